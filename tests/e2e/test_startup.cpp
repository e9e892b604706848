// Start-up of the real daemon in a scratch configuration root: each failing stage ends loud with
// exit status 255; a complete configuration keeps it running and polling its serial line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

using testsupport::builtBinary;
using testsupport::Process;
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::waitFor;
using testsupport::writeFile;
using namespace std::chrono_literals;

namespace {

// Controller at the fifth port of its bus: the scan succeeds and keeps the configured device.
const char* const kSerialconfFifth =
    "<?xml version=\"1.0\"?>\n"
    "<config>\n"
    "  <serialconfig>\n"
    "    <port><owner>modem</owner></port>\n"
    "    <port/>\n"
    "    <port/>\n"
    "    <port/>\n"
    "    <port><owner>Borl100</owner></port>\n"
    "  </serialconfig>\n"
    "</config>\n";

const char* const kDevice = "<?xml version=\"1.0\"?>\n<Borl100><serial>4711</serial></Borl100>\n";

std::string conf(const std::string& port, int vexadPort, const std::string& extra = "") {
    return "vexad.host = 127.0.0.1\n"
           "vexad.south.port = " +
           std::to_string(vexadPort) +
           "\n"
           "borl1d.device.port = " +
           port + "\n" + extra;
}

// The controller's end of a pty; the daemon opens the other end.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0)
            close(master);
    }
    int master = -1;
    std::string slave;
};

class Startup : public ::testing::Test {
protected:
    ScratchDir dir{"startup"};

    std::unique_ptr<Process> run() {
        return std::make_unique<Process>(std::vector<std::string>{builtBinary("borl1d-testroot")},
                                         dir.path());
    }
};

}  // namespace

TEST_F(Startup, NoConfigurationFile) {
    writeFile(dir / "etc/vexa/serialconf.xml", kSerialconfFifth);
    auto daemon = run();
    EXPECT_EQ(daemon->wait(), 255);
    ASSERT_TRUE(daemon->err().waitForEof());
    std::string err = daemon->err().text();
    EXPECT_NE(err.find("Could not load config file: \"etc/vexa/borl1d.conf\""), std::string::npos)
        << err;
    EXPECT_NE(err.find("Main ERROR: TERMINATE!!!"), std::string::npos) << err;
    EXPECT_EQ(err.find("loading serialconf.xml"), std::string::npos) << err;  // no XML read
}

TEST_F(Startup, NoOwnerMatch) {
    writeFile(dir / "etc/vexa/borl1d.conf", conf("/dev/null", 1));
    writeFile(dir / "etc/vexa/serialconf.xml",
              "<config><serialconfig><port><owner>modem</owner></port></serialconfig></config>");
    writeFile(dir / "etc/vexa/borl1d/devices/borl100.xml", kDevice);
    auto daemon = run();
    EXPECT_EQ(daemon->wait(), 255);
    ASSERT_TRUE(daemon->err().waitForEof());
    std::string err = daemon->err().text();
    EXPECT_NE(err.find("loading serialconf.xml:."), std::string::npos) << err;
    EXPECT_NE(err.find("TERMINATE!!!"), std::string::npos) << err;
    EXPECT_EQ(err.find("loading xml"), std::string::npos) << err;  // device files not read
}

TEST_F(Startup, NoDeviceDirectory) {
    writeFile(dir / "etc/vexa/borl1d.conf", conf("/dev/null", 1));
    writeFile(dir / "etc/vexa/serialconf.xml", kSerialconfFifth);
    auto daemon = run();
    EXPECT_EQ(daemon->wait(), 255);
    ASSERT_TRUE(daemon->err().waitForEof());
    std::string err = daemon->err().text();
    EXPECT_NE(err.find("Could not determine bus"), std::string::npos) << err;
    EXPECT_NE(err.find("dornManager ERROR: Could not parse Xml file"), std::string::npos) << err;
    EXPECT_NE(err.find("TERMINATE!!!"), std::string::npos) << err;
}

TEST_F(Startup, LogSetUpFromTheConfigurationFile) {
    std::string logFile = dir / "borl1d.log";
    writeFile(dir / "etc/vexa/borl1d.conf",
              conf("/dev/null", 1,
                   "log4cpp.rootCategory = DEBUG, file\n"
                   "log4cpp.appender.file = FileAppender\n"
                   "log4cpp.appender.file.fileName = " +
                       logFile +
                       "\n"
                       "log4cpp.appender.file.layout = PatternLayout\n"
                       "log4cpp.appender.file.layout.ConversionPattern = %c %p: %m%n\n"));
    writeFile(dir / "etc/vexa/serialconf.xml", "<config/>");
    auto daemon = run();
    EXPECT_EQ(daemon->wait(), 255);
    std::string log = readFile(logFile);
    EXPECT_NE(log.find("dornManager INFO: loading serialconf.xml:."), std::string::npos) << log;
    EXPECT_NE(log.find("dornManager DEBUG: Done reading readSerialConf()"), std::string::npos);
    EXPECT_NE(log.find("Main ERROR: TERMINATE!!!"), std::string::npos) << log;
    ASSERT_TRUE(daemon->err().waitForEof());
    EXPECT_EQ(daemon->err().text().find("TERMINATE"), std::string::npos);  // not twice
}

TEST_F(Startup, CompleteConfigurationKeepsRunning) {
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    int vexadPort = testsupport::freeTcpPort();  // nothing listens: vexad is down
    writeFile(dir / "etc/vexa/borl1d.conf", conf(pty.slave, vexadPort));
    writeFile(dir / "etc/vexa/serialconf.xml", kSerialconfFifth);
    writeFile(dir / "etc/vexa/borl1d/devices/borl100.xml", kDevice);
    auto daemon = run();

    // The transmit thread's first frame shows start-up is through.
    std::string received;
    ASSERT_TRUE(waitFor([&] {
        pollfd p{pty.master, POLLIN, 0};
        if (poll(&p, 1, 0) == 1) {
            char buf[256];
            ssize_t n = read(pty.master, buf, sizeof buf);
            if (n > 0)
                received.append(buf, static_cast<size_t>(n));
        }
        return received.size() >= 128 || !daemon->running();
    }));
    EXPECT_GE(received.size(), 128u) << daemon->err().text();
    EXPECT_EQ(daemon->wait(2s), -1) << daemon->err().text();  // still running
    EXPECT_GE(daemon->err().waitForLine("Serial port " + pty.slave + " open"), 0);
    daemon->kill(SIGKILL);
    EXPECT_EQ(daemon->wait(), 128 + SIGKILL);
}
