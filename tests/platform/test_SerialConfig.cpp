// Serial-port configuration: which ports an owner gets with which settings, and opening a real
// pty in raw 8-bit mode.
#include "SerialConfig.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logCapture.h"
#include "testSupport.h"

using qserial::SerialConfig;
using qserial::SerialPort;
using testsupport::Bytes;
using testsupport::LogCapture;
using testsupport::Pty;
using testsupport::readExactly;
using testsupport::ScratchDir;
using testsupport::writeFile;

using namespace std::chrono_literals;

namespace {

class SerialConfigParse : public ::testing::Test {
protected:
    ScratchDir dir{"serialconfig"};
    LogCapture log{"SerialConfig"};

    std::string file(const std::string& xml) {
        writeFile(dir / "serialconf.xml", xml);
        return dir / "serialconf.xml";
    }
};

// The line's bytes as text, for readable expectations.
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST_F(SerialConfigParse, KeepsTheOwnersPortsWithTheirSettings) {
    std::string path = file(R"(<?xml version="1.0"?>
<config>
  <!-- first bus group -->
  <serialconfig>
    <port><owner>modem</owner></port>
    <port>
      <owner>Borl100</owner>
      <baud>19200</baud>
      <databits>7</databits>
      <stopbits>2</stopbits>
      <mode>rs485</mode>
      <vendorflag>x</vendorflag>
    </port>
    <other/>
    <port><owner>Borl1000</owner><owner> Borl100</owner></port>
    <port><owner>ups</owner><owner>Borl100</owner><baud> 115200 </baud></port>
  </serialconfig>
  <serialconfig>
    <port><owner>Borl100</owner></port>
  </serialconfig>
</config>)");
    SerialConfig conf(path.c_str(), "Borl100");
    const auto& ports = conf.ports();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].device, "/dev/ttyS2");
    EXPECT_EQ(ports[0].baudRate, qserial::BR_19200);
    EXPECT_EQ(ports[0].dataBits, qserial::DB_7);
    EXPECT_EQ(ports[0].stopBits, qserial::SB_2);
    EXPECT_EQ(ports[0].mode, qserial::PM_RS485);
    EXPECT_EQ(ports[1].device, "/dev/ttyS4");  // any of several owners may match
    EXPECT_EQ(ports[1].baudRate, qserial::BR_115200);
    EXPECT_EQ(ports[1].dataBits, qserial::DB_8);
    EXPECT_EQ(ports[2].device, "/dev/ttyS1");  // each serialconfig counts from 1
    EXPECT_EQ(ports[2].mode, qserial::PM_RS232);

    ASSERT_NE(conf.find("/dev/ttyS2"), nullptr);
    EXPECT_EQ(conf.find("/dev/ttyS2")->baudRate, qserial::BR_19200);
    EXPECT_EQ(conf.find("/dev/ttyS3"), nullptr);  // near-miss owners do not match
    EXPECT_FALSE(log.contains("bad <"));

    SerialConfig modem(path.c_str(), "modem");
    ASSERT_EQ(modem.ports().size(), 1u);
    EXPECT_EQ(modem.ports()[0].device, "/dev/ttyS1");
}

TEST_F(SerialConfigParse, BadSettingsAreLoggedAndDefaulted) {
    std::string path = file(R"(<config><serialconfig>
<port><owner>Borl100</owner><baud>9601</baud><databits>9</databits><stopbits>1.5</stopbits>
<mode>RS422</mode></port>
<port><owner>other</owner><baud>nonsense</baud></port>
<port><owner/></port>
</serialconfig></config>)");
    SerialConfig conf(path.c_str(), "Borl100");
    ASSERT_EQ(conf.ports().size(), 1u);
    const SerialPort& p = conf.ports()[0];
    EXPECT_EQ(p.baudRate, qserial::BR_9600);
    EXPECT_EQ(p.dataBits, qserial::DB_8);
    EXPECT_EQ(p.stopBits, qserial::SB_1);
    EXPECT_EQ(p.mode, qserial::PM_RS232);
    EXPECT_TRUE(log.contains("/dev/ttyS1: bad <baud> value \"9601\""));
    EXPECT_TRUE(log.contains("bad <databits> value \"9\""));
    EXPECT_TRUE(log.contains("bad <stopbits> value \"1.5\""));
    EXPECT_TRUE(log.contains("bad <mode> value \"RS422\""));
    EXPECT_FALSE(log.contains("nonsense"));  // other owners' ports are not our business
    EXPECT_TRUE(SerialConfig(path.c_str(), "").ports().empty());  // an empty owner names nobody
}

TEST_F(SerialConfigParse, UnusableFilesGiveAnEmptyList) {
    struct Case {
        const char* legend;
        const char* content;  // nullptr: no file at all
        const char* logged;
    };
    const Case cases[] = {
        {"missing file", nullptr, "not read: No such file or directory"},
        {"not XML", "this is not xml <", "not read"},
        {"empty file", "", "not read"},
        {"wrong root",
         "<serial><serialconfig><port><owner>Borl100</owner></port>"
         "</serialconfig></serial>",
         "root element is not <config>"},
        {"no port of the owner", "<config><serialconfig><port/></serialconfig></config>",
         "No serial port of Borl100"},
        {"a FIFO", "fifo", "not read: a FIFO, not a regular file"},  // never blocks
        {"over 1 MiB", "big", "not read: larger than 1048576 bytes"},
    };
    const std::string ok = "<config><serialconfig><port><owner>Borl100</owner></port>";
    for (const auto& c : cases) {
        std::string path = dir / "case.xml";
        unlink(path.c_str());
        if (c.content && std::string(c.content) == "fifo")
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        else if (c.content && std::string(c.content) == "big")
            writeFile(path, ok + std::string(1048576, ' ') + "</serialconfig></config>");
        else if (c.content)
            writeFile(path, c.content);
        log.clear();
        SerialConfig conf(path.c_str(), "Borl100");
        EXPECT_TRUE(conf.ports().empty()) << c.legend;
        EXPECT_TRUE(log.contains(c.logged)) << c.legend;
        EXPECT_EQ(conf.path(), path);
    }
}

TEST(SerialConfigConnect, PtyIsRawAndPassesEveryByteBothWays) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    SerialConfig conf("/nonexistent/serialconf.xml", "Borl100");
    int fd = conf.connect(pty.device());
    ASSERT_GE(fd, 0);

    termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // reads block for the next byte
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    Bytes all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<uint8_t>(b));
    ASSERT_TRUE(pty.write(all));
    EXPECT_EQ(readExactly(fd, all.size(), 5s), all);  // controller to daemon
    ASSERT_TRUE(testsupport::writeAll(fd, all.data(), all.size()));
    EXPECT_EQ(pty.read(all.size(), 5s), all);  // daemon to controller

    // The exchange re-opens a lost port through the same call, once it has closed it.
    SerialConfig::closePort(fd);
    int again = conf.connect(pty.device());
    ASSERT_GE(again, 0);
    ASSERT_TRUE(pty.write(text("\r\n\x11\x13")));
    EXPECT_EQ(readExactly(again, 4, 5s), text("\r\n\x11\x13"));
    SerialConfig::closePort(again);
}

TEST(SerialConfigConnect, APortHasOneOwner) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    LogCapture log("SerialConfig");
    SerialConfig conf("/nonexistent/serialconf.xml", "Borl100");
    int fd = conf.connect(pty.device());
    ASSERT_GE(fd, 0);
    // The exclusive flag is checked where the query exists (qemu-arm's user-mode emulation does
    // not pass it through; the second open below shows the hold all the same).
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0) {
        EXPECT_EQ(exclusive, 1);
    }
    EXPECT_EQ(SerialConfig::holderOf(pty.device()), getpid());

    // Held: -1 with EBUSY, and the line names the holder.
    errno = 0;
    EXPECT_EQ(conf.connect(pty.device()), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_TRUE(log.contains("Serial port " + pty.device() + " is held by another process (pid " +
                             std::to_string(getpid()) + ")"));
    // A program with an advisory lock of its own on the tty holds it just the same.
    SerialConfig::closePort(fd);
    int other = open(pty.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    errno = 0;
    EXPECT_EQ(SerialConfig::openPort(pty.device(), SerialPort()), -1);
    EXPECT_EQ(errno, EBUSY);
    close(other);

    // Given up: free for the next owner, and the tty's exclusive mode is gone with it.
    fd = conf.connect(pty.device());
    ASSERT_GE(fd, 0);
    SerialConfig::closePort(fd);
    int keep = open(pty.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(keep, 0);
    if (ioctl(keep, TIOCGEXCL, &exclusive) == 0) {
        EXPECT_EQ(exclusive, 0);
    }
    EXPECT_EQ(SerialConfig::holderOf(pty.device()), -1);
    close(keep);
}

TEST(SerialConfigConnect, StaleInputIsFlushedOnOpen) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    int keep = open(pty.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // line already up
    ASSERT_GE(keep, 0);
    termios raw;
    tcgetattr(keep, &raw);
    cfmakeraw(&raw);
    tcsetattr(keep, TCSANOW, &raw);
    ASSERT_TRUE(pty.write(text("stale")));
    // Wait until the stale bytes are queued at the slave before it is opened again.
    pollfd p{keep, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);

    int fd = SerialConfig::openPort(pty.device(), SerialPort());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pty.write(text("new")));
    EXPECT_EQ(readExactly(fd, 3, 5s), text("new"));
    close(fd);
    close(keep);
}

TEST(SerialConfigConnect, ConfiguredSettingsAreApplied) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    LogCapture log("SerialConfig");
    SerialPort settings;
    settings.baudRate = qserial::BR_19200;
    settings.dataBits = qserial::DB_7;
    settings.stopBits = qserial::SB_2;
    settings.mode = qserial::PM_RS485;  // a pty has no RS485 mode: logged, not fatal
    int fd = SerialConfig::openPort(pty.device(), settings);
    ASSERT_GE(fd, 0);
    termios tio;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);  // (a pty keeps CS8 whatever it is told)
    EXPECT_TRUE(log.contains("Could not switch " + pty.device() + " to RS485 mode"));
    close(fd);
}

TEST(SerialConfigConnect, FailuresReturnNegativeAndNameThePath) {
    LogCapture log("SerialConfig");
    SerialConfig conf("/nonexistent/serialconf.xml", "Borl100");
    EXPECT_LT(conf.connect("/nonexistent/ttyS9"), 0);
    EXPECT_TRUE(log.contains("/nonexistent/ttyS9: No such file or directory"));
    EXPECT_LT(conf.connect("/dev/null"), 0);  // not a terminal
    EXPECT_TRUE(log.contains("/dev/null"));
}
