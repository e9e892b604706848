// Start-up of the real daemon in a scratch configuration root: each failing stage ends loud with
// exit status 255 and a line naming the file and the fix; a complete configuration keeps it
// running and polling its serial line, which no second instance can take; --check-config reports
// the same findings without opening anything; hostile files never hang or exhaust start-up.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "site.h"
#include "testSupport.h"

using testsupport::Process;
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;
using namespace std::chrono_literals;

namespace {

using testsupport::kSerialconfFifthPort;

const char* const kDevice = "<?xml version=\"1.0\"?>\n<Borl100><serial>4711</serial></Borl100>\n";

// borl1d.conf naming the controller's `port` and vexad at `vexadPort`, then `extra`.
std::string conf(const std::string& port, int vexadPort, const std::string& extra = "") {
    testsupport::Site site;
    site.port = port;
    site.vexadPort = vexadPort;
    site.extra = extra;
    return testsupport::siteConf(site);
}

class Startup : public ::testing::Test {
protected:
    ScratchDir dir{"startup"};

    std::unique_ptr<Process> run(const std::vector<std::string>& args = {}) {
        return runIn(dir, args);
    }
    // The daemon in `site` on the root etc/vexa, relative to the working directory as
    // --conf-dir allows: every message names the files as etc/vexa/...
    static std::unique_ptr<Process> runIn(const ScratchDir& site,
                                          const std::vector<std::string>& args = {}) {
        std::vector<std::string> all{"--timing", testsupport::kQuickTiming};
        all.insert(all.end(), args.begin(), args.end());
        return std::make_unique<Process>(testsupport::daemonCommand("etc/vexa", all), site.path());
    }
    // A site that starts: controller at the fifth port, so the configured `port` stays.
    static void goodSite(const ScratchDir& site, const std::string& port) {
        testsupport::Site s;
        s.port = port;
        testsupport::writeSite(site / "etc/vexa", s);
    }
};

// The start-up banner, logged once start-up is through.
const char* const kBanner = "dornManager INFO: borl1d ";

void fifo(const std::string& path) {
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
}

}  // namespace

TEST_F(Startup, NoConfigurationFile) {
    writeFile(dir / "etc/vexa/serialconf.xml", kSerialconfFifthPort);
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
    writeFile(dir / "etc/vexa/serialconf.xml", kSerialconfFifthPort);
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
    testsupport::Pty pty;
    ASSERT_TRUE(pty.ok());
    const std::string device = dir / "ttyCTRL";
    ASSERT_TRUE(pty.linkAs(device));
    testsupport::Site site;
    site.port = device;
    site.vexadPort = testsupport::freeTcpPort();  // nothing listens: vexad is down
    testsupport::writeSite(dir / "etc/vexa", site);
    auto daemon = run();

    // The transmit thread's first frame shows start-up is through; the second, a wait later
    // (nobody answers), that the daemon keeps running.
    EXPECT_EQ(pty.read(2 * 128, 10s).size(), 2 * 128u) << daemon->err().text();
    EXPECT_TRUE(daemon->running()) << daemon->err().text();
    EXPECT_GE(daemon->err().waitForLine("Serial port " + device + " open"), 0);
    int banner = daemon->err().waitForLine(kBanner);
    ASSERT_GE(banner, 0);
    std::string line = daemon->err().lines()[static_cast<size_t>(banner)];
    EXPECT_NE(
        line.find(": configuration etc/vexa/borl1d.conf; serial bus " + device +
                  " from borl1d.device.port; line 9600 8N1 RS232 (defaults; no port " + device +
                  " of Borl100 in etc/vexa/serialconf.xml); device serial 4711 from "
                  "etc/vexa/borl1d/devices/borl100.xml; vexad 127.0.0.1:" +
                  std::to_string(site.vexadPort)),
        std::string::npos)
        << line;

    // One owner per port: a second instance on the same line ends its start-up at once, naming
    // the port and the first one, before it says a word to vexad.
    auto second = run();
    EXPECT_EQ(second->wait(), 255);
    ASSERT_TRUE(second->err().waitForEof());
    std::string err = second->err().text();
    EXPECT_NE(err.find("Serial port " + device + " is held by another process (pid " +
                       std::to_string(daemon->pid()) + ")"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("TERMINATE!!!"), std::string::npos) << err;
    EXPECT_EQ(err.find(" vexaobj "), std::string::npos) << err;  // the client's log category
    // A check looks at the port without taking it.
    auto check = run({"-t"});
    EXPECT_EQ(check->wait(), 0);
    ASSERT_TRUE(check->out().waitForEof());
    EXPECT_NE(check->out().text().find("(now held by pid " + std::to_string(daemon->pid()) + ")"),
              std::string::npos)
        << check->out().text();
    EXPECT_TRUE(daemon->running());

    daemon->kill(SIGKILL);
    EXPECT_EQ(daemon->wait(), 128 + SIGKILL);
}

TEST_F(Startup, CheckConfigReportsWhatStartupWouldUse) {
    std::string logFile = dir / "borl1d.log";
    writeFile(dir / "etc/vexa/borl1d.conf",
              "vexad.host = 127.0.0.1\n"
              "vexad.south.port = 50001\n"
              "log4cpp.rootCategory = INFO, file\n"
              "log4cpp.appender.file = FileAppender\n"
              "log4cpp.appender.file.fileName = " +
                  logFile +
                  "\n"
                  "log4cpp.appender.file.layout = BasicLayout\n"
                  "log4cpp.category.dornDecode = NOTICE\n");
    writeFile(dir / "etc/vexa/serialconf.xml",
              "<config><serialconfig><port/><port><owner>Borl100</owner><baud>19200</baud>"
              "<stopbits>2</stopbits></port></serialconfig></config>");
    writeFile(dir / "etc/vexa/borl1d/devices/borl100.xml", kDevice);
    auto check = run({"--check-config"});
    EXPECT_EQ(check->wait(), testsupport::checkStatusFor("/dev/ttyS2"));
    ASSERT_TRUE(check->out().waitForEof());
    const std::vector<std::string> expected = {
        "configuration file: etc/vexa/borl1d.conf",
        "serial bus: /dev/ttyS2 from assignment file etc/vexa/serialconf.xml, port 2",
        "line settings: 19200 8N2 RS232 from etc/vexa/serialconf.xml",
        "device serial: 4711 from etc/vexa/borl1d/devices/borl100.xml",
        "vexad: 127.0.0.1:50001",
        "key vexad.south.port: 50001",
        "key borl1d.poll.pause: 50",  // the rig's --timing
        "key borl1d.device.displayname: \"BORL1_Retro_Controller\" (default)",
        "log set-up: root category INFO -> file: FileAppender to " + logFile,
        "log set-up: category dornDecode NOTICE",
        testsupport::checkStatusFor("/dev/ttyS2") == 0
            ? "configuration usable"
            : "configuration usable, but not as configured: fix the 1 warning above",
    };
    std::vector<std::string> report = check->out().lines();
    for (const std::string& line : expected)
        EXPECT_NE(std::find(report.begin(), report.end(), line), report.end())
            << line << "\n"
            << check->out().text();
    struct stat st;
    EXPECT_NE(stat(logFile.c_str(), &st), 0) << "a check opens no log file";
}

TEST_F(Startup, CheckConfigListsEveryReason) {
    writeFile(dir / "etc/vexa/borl1d.conf",
              "borl1d.device.port = " + std::string(300, 'p') +
                  "\nvexad.hots = x\nborl1d.capture.dir = " + (dir / "gone") + "\n");
    writeFile(dir / "etc/vexa/serialconf.xml",
              "<config><serialconfig><port><owner>Borl100 </owner></port></serialconfig></config>");
    auto check = run({"-t"});
    EXPECT_EQ(check->wait(), 255);
    ASSERT_TRUE(check->out().waitForEof());
    std::string report = check->out().text();
    EXPECT_NE(report.find("warning: Capture directory " + (dir / "gone") + " (borl1d.capture.dir)"),
              std::string::npos);
    for (const char* reason :
         {"error: Configuration key borl1d.device.port in etc/vexa/borl1d.conf: the value has 300 "
          "bytes",
          "error: No port owned by \"Borl100\" in the serial-port assignment files of etc/vexa "
          "(read: serialconf.xml; owners found: \"Borl100 \")",
          "error: Device directory etc/vexa/borl1d/devices/ cannot be read",
          "warning: Unknown configuration key \"vexad.hots\"", "configuration NOT usable"}) {
        EXPECT_NE(report.find(reason), std::string::npos) << reason << "\n" << report;
    }
}

// Each broken or hostile site, started as a daemon and checked with --check-config. A fatal
// problem ends start-up (255, TERMINATE!!!) and fails the check; the others are logged and start-up
// goes on to the banner. Every case runs under a watchdog: none may block or take long.
TEST_F(Startup, EveryProblemNamesItsFileAndNothingHangs) {
    using Prepare = std::function<void(const ScratchDir&)>;
    struct Case {
        const char* legend;
        Prepare prepare;
        bool fatal;
        std::string problem;  // in the log and, behind "error: "/"warning: ", in the check report
        std::string usualLine = "";          // a line the log has always had for this case
        std::vector<std::string> args = {};  // the command line's, after the quick timings
    };
    const std::string big(1048577, '#');
    auto appendConf = [&](const ScratchDir& d, const std::string& extra) {
        writeFile(d / "etc/vexa/borl1d.conf", readFile(d / "etc/vexa/borl1d.conf") + extra);
    };
    const Case cases[] = {
        {"clean site", [](const ScratchDir&) {}, false, ""},
        {"vexad port out of range",
         [&](const ScratchDir& d) { appendConf(d, "vexad.south.port = 70000\n"); }, false,
         "vexad port 70000 (vexad.south.port in etc/vexa/borl1d.conf) is not a TCP port"},
        {"vexad host that is no host",
         [&](const ScratchDir& d) { appendConf(d, "vexad.host = vexa host!\n"); }, false,
         "vexad host \"vexa host!\" (vexad.host in etc/vexa/borl1d.conf) is no host name or "
         "address"},
        {"no serial in the device description",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/borl1d/devices/borl100.xml", "<Borl100/>");
         },
         false, "No device serial in the device descriptions of etc/vexa/borl1d/devices/"},
        {"no configuration file",
         [](const ScratchDir& d) { unlink((d / "etc/vexa/borl1d.conf").c_str()); }, true,
         "Configuration file etc/vexa/borl1d.conf not read (No such file or directory)",
         "Could not load config file: \"etc/vexa/borl1d.conf\""},
        {"owner typo",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/serialconf.xml",
                       "<config><serialconfig><port><owner>modem</owner></port>"
                       "<port><owner>borl100</owner></port></serialconfig></config>");
         },
         true,
         "No port owned by \"Borl100\" in the serial-port assignment files of etc/vexa (read: "
         "serialconf.xml; owners found: \"modem\", \"borl100\"): put <owner>Borl100</owner>"},
        {"malformed assignment file",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/serialconf.xml", "<config>\n<serialconfig>\n<port>\n");
         },
         true,
         "Serial-port assignment file etc/vexa/serialconf.xml not parsed (line 4: Premature end "
         "of data",
         "serialconf.xml not parsed:."},
        {"empty device directory",
         [](const ScratchDir& d) { unlink((d / "etc/vexa/borl1d/devices/borl100.xml").c_str()); },
         true, "Device directory etc/vexa/borl1d/devices/ holds no device description",
         "Could not parse Xml file"},
        {"no device directory",
         [&](const ScratchDir& d) { appendConf(d, "borl1d.device.dir = etc/vexa/nowhere/\n"); },
         true, "Device directory etc/vexa/nowhere/ cannot be read (No such file or directory)",
         "Could not parse Xml file"},
        {"malformed device description",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/borl1d/devices/borl100.xml", "<Borl100><serial>4711</serial>");
         },
         false, "Device description etc/vexa/borl1d/devices/borl100.xml not parsed (line 1: "},
        {"serial that would be the wildcard",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/borl1d/devices/borl100.xml",
                       "<Borl100><serial>-1</serial></Borl100>");
         },
         false,
         "Device description etc/vexa/borl1d/devices/borl100.xml: serial \"-1\" is not a number "
         "from 0 to 4294967294: ignored"},
        {"mistyped key", [&](const ScratchDir& d) { appendConf(d, "vexad.hots = 10.0.0.1\n"); },
         false,
         "Unknown configuration key \"vexad.hots\" in etc/vexa/borl1d.conf is ignored; the "
         "nearest known key is vexad.host"},
        {"a time scale the line cannot carry",
         [](const ScratchDir&) {},
         true,
         "--time-scale 2 is too fast for serial port ",
         "",
         {"--time-scale", "2"}},
        // Hostile files.
        {"configuration file a FIFO", [](const ScratchDir& d) { fifo(d / "etc/vexa/borl1d.conf"); },
         true, "Configuration file etc/vexa/borl1d.conf not read (a FIFO, not a regular file)"},
        {"configuration file a link to /dev/zero",
         [](const ScratchDir& d) {
             unlink((d / "etc/vexa/borl1d.conf").c_str());
             ASSERT_EQ(symlink("/dev/zero", (d / "etc/vexa/borl1d.conf").c_str()), 0);
         },
         true,
         "Configuration file etc/vexa/borl1d.conf not read (a character device, not a regular "
         "file)"},
        {"configuration file over 1 MiB", [&](const ScratchDir& d) { appendConf(d, big); }, true,
         "Configuration file etc/vexa/borl1d.conf not read (larger than 1048576 bytes)"},
        {"100 KB display name",
         [&](const ScratchDir& d) {
             appendConf(d, "borl1d.device.displayname = " + std::string(102400, 'x') + "\n");
         },
         true,
         "Configuration key borl1d.device.displayname in etc/vexa/borl1d.conf: the value has "
         "102400 bytes, more than 255: shorten it"},
        {"FIFO among the assignment files",
         [](const ScratchDir& d) { fifo(d / "etc/vexa/zz-serialconf.xml"); }, false,
         "Serial-port assignment file etc/vexa/zz-serialconf.xml is a FIFO, not a regular file: "
         "passed over"},
        {"FIFO x.xml in the device directory",
         [](const ScratchDir& d) { fifo(d / "etc/vexa/borl1d/devices/x.xml"); }, false,
         "Device description etc/vexa/borl1d/devices/x.xml is a FIFO, not a regular file: passed "
         "over"},
        {"serial configuration file a FIFO",
         [&](const ScratchDir& d) {
             fifo(d / "etc/vexa/serial.fifo");
             appendConf(d, "borl1d.serialconf.file = etc/vexa/serial.fifo\n");
         },
         false, "Serial configuration etc/vexa/serial.fifo not read: a FIFO, not a regular file"},
        {"assignment file over 1 MiB",
         [&](const ScratchDir& d) { writeFile(d / "etc/vexa/serialconf.xml", big); }, true,
         "Serial-port assignment file etc/vexa/serialconf.xml not parsed (larger than 1048576 "
         "bytes)"},
        {"entity flood in the assignment file",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/serialconf.xml",
                       testsupport::xmlEntityFlood("config", "owner"));
         },
         true,
         "Serial-port assignment file etc/vexa/serialconf.xml not parsed (entity references "
         "expand to more than 65536 bytes of text)"},
        {"entity flood in the device description",
         [](const ScratchDir& d) {
             writeFile(d / "etc/vexa/borl1d/devices/borl100.xml",
                       testsupport::xmlEntityFlood("Borl100", "serial"));
         },
         false,
         "Device description etc/vexa/borl1d/devices/borl100.xml not parsed (entity references "
         "expand"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.legend);
        ScratchDir site("startup_case" + std::to_string(i));
        testsupport::Pty line;  // the controller's line exists: only the case's problem counts
        ASSERT_TRUE(line.ok() && line.linkAs(site / "tty"));
        goodSite(site, site / "tty");
        c.prepare(site);
        // 0: the daemon does its whole job; 1: it starts without part of it; 255: it ends.
        const int status = c.fatal ? 255 : c.problem.empty() ? 0 : 1;

        auto daemon = runIn(site, c.args);
        if (c.fatal) {
            EXPECT_EQ(daemon->wait(), 255);  // -1: still running at the watchdog
            ASSERT_TRUE(daemon->err().waitForEof());
            EXPECT_NE(daemon->err().text().find("Main ERROR: TERMINATE!!!"), std::string::npos);
        } else {
            EXPECT_GE(daemon->err().waitForLine(kBanner), 0);
        }
        std::string log = daemon->err().text();
        EXPECT_NE(log.find(c.problem), std::string::npos) << log;
        EXPECT_NE(log.find(c.usualLine), std::string::npos) << log;
        daemon.reset();

        std::vector<std::string> checkArgs = c.args;
        checkArgs.push_back("--check-config");
        auto check = runIn(site, checkArgs);
        EXPECT_EQ(check->wait(), status);
        ASSERT_TRUE(check->out().waitForEof());
        std::string report = check->out().text();
        if (!c.problem.empty()) {
            EXPECT_NE(report.find((c.fatal ? "error: " : "warning: ") + c.problem),
                      std::string::npos)
                << report;
        }
        EXPECT_NE(report.find(c.fatal ? "configuration NOT usable" : "configuration usable"),
                  std::string::npos);
    }
    // No case took hundreds of megabytes (reading the entity floods whole took 300 MB).
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 100 * 1024) << "kB";
}
