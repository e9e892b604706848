// The two start-up scans run in-process against a private configuration root ("etc/vexa" below
// a scratch working directory): the serial-port assignment files and the device files.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SerialConfig.h"
#include "dornManager.h"
#include "inProcess.h"
#include "logCapture.h"
#include "site.h"
#include "testSupport.h"

using testsupport::LogCapture;
using testsupport::ScratchDir;
using testsupport::writeFile;

namespace {

const char* const kConfigured = "/dev/configured";  // serBusPort before a scan

class ScanTest : public ::testing::Test {
protected:
    ScratchDir dir{"scans"};
    std::string oldCwd;
    std::unique_ptr<dornManager> manager;
    LogCapture* log = nullptr;

    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        oldCwd = buf;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        // The root relative to the working directory, as `--conf-dir etc/vexa` gives it: the
        // messages below name the files the way the daemon names them then.
        testsupport::useConfRoot("etc/vexa");
        // A configuration without XML files: the constructor's own scan finds nothing.
        writeFile("etc/vexa/borl1d.conf", "borl1d.device.port=/dev/configured\n");
        manager = std::make_unique<dornManager>();
        log = new LogCapture("dornManager");
        manager->serBusPort = kConfigured;
        manager->devSerial = 4711;
        manager->clearStartupProblems();
    }
    void TearDown() override {
        delete log;
        ASSERT_EQ(chdir(oldCwd.c_str()), 0);
    }

    static void serialconf(const std::string& body, const std::string& name = "serialconf.xml") {
        writeFile("etc/vexa/" + name, "<?xml version=\"1.0\"?>\n" + body);
    }
    static void device(const std::string& name, const std::string& body) {
        writeFile("etc/vexa/borl1d/devices/" + name, body);
    }
    static std::string serialDoc(const std::string& serial) {
        return "<Borl100><serial>" + serial + "</serial></Borl100>";
    }
    std::string bus() const { return manager->serBusPort; }
    uint32_t serial() const { return static_cast<uint32_t>(manager->devSerial); }
    // Errors and warnings of the scans, each also a log line.
    std::string problems() const {
        std::string all;
        for (const auto& e : manager->startupErrors())
            all += "error: " + e + "\n";
        for (const auto& w : manager->startupWarnings())
            all += "warning: " + w + "\n";
        return all;
    }
    void clearProblems() {
        manager->clearStartupProblems();
        log->clear();
    }
};

}  // namespace

// ---- Serial-port assignment files ----

TEST_F(ScanTest, IndentedSecondPortGivesTtyS2) {
    serialconf(R"(<config>
  <serialconfig>
    <port>
      <owner>modem</owner>
    </port>
    <port>
      <owner>Borl100</owner>
    </port>
  </serialconfig>
</config>
)");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(bus(), "/dev/ttyS2");
    EXPECT_EQ(log->priorityOf("Borl100 using bus ttyS2"), log4cpp::Priority::INFO);
    EXPECT_EQ(log->priorityOf("loading serialconf.xml:."), log4cpp::Priority::INFO);
    EXPECT_EQ(log->priorityOf("Checking for serialconfig tag"), log4cpp::Priority::INFO);
    EXPECT_EQ(log->count("port: text"), 3u);  // the indentation between and around the ports
    EXPECT_EQ(log->count("port: port"), 2u);
    EXPECT_TRUE(log->has("Iteration: 0"));
    EXPECT_TRUE(log->has("Iteration: 1"));
    EXPECT_TRUE(log->has("keyword: Borl100"));
    EXPECT_TRUE(log->has("owner: Borl100"));
}

TEST_F(ScanTest, PositionsCountPortsOnlyAndEachSerialconfigAfresh) {
    struct Case {
        const char* legend;
        const char* body;
        const char* bus;  // expected serBusPort
        bool result;
    };
    const Case cases[] = {
        {"port without owner keeps its place",
         "<config><serialconfig><port/><other/><port><owner>Borl100</owner></port>"
         "</serialconfig></config>",
         "/dev/ttyS2", true},
        {"fourth port",
         "<config><serialconfig><port/><port/><port/><port><owner>Borl100</owner>"
         "</port></serialconfig></config>",
         "/dev/ttyS4", true},
        {"fifth port: no bus, still success",
         "<config><serialconfig><port/><port/><port/><port/><port><owner>Borl100</owner>"
         "</port></serialconfig></config>",
         kConfigured, true},
        {"last match wins",
         "<config><serialconfig><port><owner>Borl100</owner></port><port/>"
         "<port><owner>Borl100</owner></port></serialconfig></config>",
         "/dev/ttyS3", true},
        {"second serialconfig counts from 1",
         "<config><serialconfig><port/><port/><port><owner>Borl100</owner></port>"
         "</serialconfig><serialconfig><port><owner>Borl100</owner></port></serialconfig>"
         "</config>",
         "/dev/ttyS1", true},
        {"one of several owners",
         "<config><serialconfig><port><owner>ups</owner>"
         "<owner>Borl100</owner><owner>modem</owner></port>"
         "</serialconfig></config>",
         "/dev/ttyS1", true},
        {"character reference in the owner",
         "<config><serialconfig><port/><port><owner>Borl&#49;00</owner></port>"
         "</serialconfig></config>",
         "/dev/ttyS2", true},
        {"owner too deep",
         "<config><serialconfig><port><x><owner>Borl100</owner></x></port>"
         "</serialconfig></config>",
         kConfigured, false},
        {"port outside serialconfig", "<config><port><owner>Borl100</owner></port></config>",
         kConfigured, false},
        {"no serialconfig", "<config><other/></config>", kConfigured, false},
        {"config without children", "<config/>", kConfigured, false},
        {"empty owner elements",
         "<config><serialconfig><port><owner/><owner></owner></port>"
         "</serialconfig></config>",
         kConfigured, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        serialconf(c.body);
        manager->serBusPort = kConfigured;
        log->clear();
        EXPECT_EQ(manager->readSerialConf(), c.result);
        EXPECT_EQ(bus(), c.bus);
    }
}

TEST_F(ScanTest, FifthPortLogsCouldNotDetermineBus) {
    serialconf(
        "<config><serialconfig><port/><port/><port/><port/><port/>"
        "<port><owner>Borl100</owner></port></serialconfig></config>");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(log->priorityOf("Could not determine bus"), log4cpp::Priority::ERROR);
    EXPECT_TRUE(log->has("Iteration: 5"));
    EXPECT_EQ(bus(), kConfigured);
}

TEST_F(ScanTest, BothMatchesAreLoggedAndTheLaterWins) {
    serialconf(
        "<config><serialconfig><port><owner>Borl100</owner></port>"
        "<port><owner>Borl100</owner></port></serialconfig></config>");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_TRUE(log->has("Borl100 using bus ttyS1"));
    EXPECT_TRUE(log->has("Borl100 using bus ttyS2"));
    EXPECT_EQ(bus(), "/dev/ttyS2");
}

TEST_F(ScanTest, NearMissOwnersDoNotMatch) {
    const char* owners[] = {" Borl100", "Borl100 ", "\nBorl100\n", "borl100",
                            "BORL100",  "Borl1000", "Borl10",      "Borl100x"};
    for (const char* owner : owners) {
        SCOPED_TRACE(owner);
        serialconf(std::string("<config><serialconfig><port><owner>") + owner +
                   "</owner></port></serialconfig></config>");
        EXPECT_FALSE(manager->readSerialConf());
        EXPECT_EQ(bus(), kConfigured);
    }
}

TEST_F(ScanTest, LongOwnerIsLoggedWholeComparedCutAndNeverMatches) {
    std::string longOwner = "Borl100" + std::string(193, 'z');  // 200 characters
    serialconf("<config><serialconfig><port><owner>" + longOwner +
               "</owner></port></serialconfig></config>");
    EXPECT_FALSE(manager->readSerialConf());
    EXPECT_TRUE(log->has("keyword: " + longOwner));
    EXPECT_TRUE(log->has("owner: " + longOwner.substr(0, 127)));
    EXPECT_EQ(bus(), kConfigured);
}

TEST_F(ScanTest, TheConfiguredDeviceNameDoesNotChangeTheKeyword) {
    manager->devOwner = "Other";
    serialconf(
        "<config><serialconfig><port><owner>Other</owner></port>"
        "<port><owner>Borl100</owner></port></serialconfig></config>");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(bus(), "/dev/ttyS2");
}

TEST_F(ScanTest, UnusableAssignmentFilesEndTheScan) {
    struct Case {
        const char* legend;
        const char* content;
        const char* line;
    };
    const Case cases[] = {
        {"not XML", "<config><serialconfig>", "serialconf.xml not parsed:."},
        {"empty", "", "serialconf.xml not parsed:."},
        {"wrong root",
         "<serial><serialconfig><port><owner>Borl100</owner></port></serialconfig></serial>",
         "serialconfig.xml content error:."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        writeFile("etc/vexa/serialconf.xml", c.content);
        log->clear();
        EXPECT_FALSE(manager->readSerialConf());
        EXPECT_EQ(log->priorityOf(c.line), log4cpp::Priority::INFO);
        EXPECT_FALSE(log->has("Checking for serialconfig tag"));
    }
}

TEST_F(ScanTest, OnlyNamesContainingSerialconfXmlAreRead) {
    serialconf("<config><serialconfig><port><owner>Borl100</owner></port></serialconfig></config>",
               "serial.xml");
    EXPECT_FALSE(manager->readSerialConf());
    serialconf(
        "<config><serialconfig><port/><port><owner>Borl100</owner></port>"
        "</serialconfig></config>",
        "site-serialconf.xml.orig");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(bus(), "/dev/ttyS2");
}

TEST_F(ScanTest, FilesAreReadInNameOrderAndAnUnparsableOneStopsTheScan) {
    // Written in reverse order, read in byte order of the names: the last match wins.
    serialconf(
        "<config><serialconfig><port/><port/><port><owner>Borl100</owner></port>"
        "</serialconfig></config>",
        "z-serialconf.xml.old");
    serialconf("<config><serialconfig><port><owner>Borl100</owner></port></serialconfig></config>",
               "serialconf.xml");
    serialconf(
        "<config><serialconfig><port/><port><owner>Borl100</owner></port>"
        "</serialconfig></config>",
        "a-serialconf.xml");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(bus(), "/dev/ttyS3");

    // An unparsable file ends the scan where the order puts it: after the good one, the bus
    // stays found (and the file is a warning); before it, start-up has no bus.
    writeFile("etc/vexa/serialconf.xml.broken", "<config>\n<serialconfig>");
    manager->serBusPort = kConfigured;
    clearProblems();
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(bus(), "/dev/ttyS1");  // z-serialconf.xml.old is never reached
    EXPECT_TRUE(log->has("serialconf.xml not parsed:."));
    EXPECT_TRUE(manager->startupErrors().empty()) << problems();
    EXPECT_NE(problems().find("warning: Serial-port assignment file etc/vexa/serialconf.xml.broken "
                              "not parsed (line 2: "),
              std::string::npos)
        << problems();

    writeFile("etc/vexa/0-serialconf.xml", "<config>");
    manager->serBusPort = kConfigured;
    clearProblems();
    EXPECT_FALSE(manager->readSerialConf());
    EXPECT_EQ(bus(), kConfigured);
    EXPECT_NE(problems().find("error: Serial-port assignment file etc/vexa/0-serialconf.xml not "
                              "parsed (line 1: "),
              std::string::npos)
        << problems();
}

TEST_F(ScanTest, MissingConfigurationDirectory) {
    ASSERT_EQ(rename("etc/vexa", "etc/elsewhere"), 0);
    EXPECT_FALSE(manager->readSerialConf());
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>{
                  "loading serialconf.xml:.",
                  "Serial-port assignment directory etc/vexa cannot be read (No such file or "
                  "directory): it must hold serialconf.xml with a <port> owned by \"Borl100\""}));
}

// ---- Device description files ----

TEST_F(ScanTest, SerialTextsConvertLikeStrtoulAndNeverGiveTheWildcard) {
    const uint32_t kRejected = 4711;  // the value before: the element counts as holding none
    struct Case {
        const char* text;
        uint32_t expected;
    };
    const Case cases[] = {
        {"26", 26},
        {"0x1A", 26},
        {"0X1a", 26},
        {"017", 15},
        {"12abc", 12},
        {"abc", 0},
        {"  42  ", 42},
        {"\n 7\n", 7},
        {"+5", 5},
        {"-0", 0},
        {"- 5", 0},  // no number after the sign: strtoul gives 0
        {"4294967294", 0xFFFFFFFEu},
        {"0xFFFFFFFE", 0xFFFFFFFEu},
        {"&#51;3", 33},
        // The wildcard and what strtoul would turn into it or into another device's serial.
        {"4294967295", kRejected},
        {"0xFFFFFFFF", kRejected},
        {"4294967296", kRejected},
        {"99999999999999999999999", kRejected},
        {"0x123456789", kRejected},
        {"-1", kRejected},
        {"-5", kRejected},
        {" -0x10", kRejected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        device("borl100.xml", serialDoc(c.text));
        manager->devSerial = 4711;
        clearProblems();
        EXPECT_TRUE(manager->loadXml());
        EXPECT_EQ(serial(), c.expected);
        bool refused = log->contains(
            "Device description etc/vexa/borl1d/devices/borl100.xml: "
            "serial \"");
        EXPECT_EQ(refused, c.expected == kRejected);
    }
    // Only the first 127 characters take part.
    device("borl100.xml", serialDoc(std::string(127, '0') + "9"));
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 0u);
}

TEST_F(ScanTest, LastSerialReadWinsAndOthersArePassedOver) {
    device("a.xml",
           "<Borl100>\n  <serial>1</serial>\n  <serial>2</serial>\n"
           "  <x><serial>3</serial></x>\n  <serial></serial>\n  <serial/>\n</Borl100>\n");
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 2u);  // empty ones leave the value, the nested one is not read
    EXPECT_TRUE(log->has("loading xml"));
}

TEST_F(ScanTest, DeviceFilesThatAreNoUse) {
    struct Case {
        const char* legend;
        const char* content;
        const char* line;   // debug line
        const char* error;  // the ERROR naming the file
    };
    const Case cases[] = {
        {"not XML", "<Borl100>\n<serial>5</serial>", "Document not parsed successfully:.",
         "Device description etc/vexa/borl1d/devices/d.xml not parsed (line 2: "},
        {"wrong root", "<device><serial>5</serial></device>",
         "Document is of the wrong type, root node != device:.",
         "Device description etc/vexa/borl1d/devices/d.xml: root element <device> instead of "
         "<Borl100>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        device("d.xml", c.content);
        clearProblems();
        EXPECT_TRUE(manager->loadXml());  // a file with ".xml" in its path was there
        EXPECT_EQ(serial(), 4711u);
        EXPECT_EQ(log->priorityOf(c.line), log4cpp::Priority::DEBUG);
        EXPECT_TRUE(log->contains(c.error)) << problems();
        EXPECT_TRUE(manager->startupErrors().empty());  // start-up goes on
    }
}

TEST_F(ScanTest, DirectoryWithoutXmlFilesOrWithoutDirectory) {
    EXPECT_FALSE(manager->loadXml());
    EXPECT_TRUE(log->has("Error: Could not load .xml file"));
    EXPECT_TRUE(
        log->contains("Device directory etc/vexa/borl1d/devices/ cannot be read (No such "
                      "file or directory)"));
    device("readme.txt", serialDoc("5"));
    device("xml", serialDoc("6"));
    clearProblems();
    EXPECT_FALSE(manager->loadXml());
    EXPECT_EQ(serial(), 4711u);
    ASSERT_EQ(manager->startupErrors().size(), 1u);
    EXPECT_EQ(
        manager->startupErrors()[0].rfind("Device directory etc/vexa/borl1d/devices/ holds no "
                                          "device description",
                                          0),
        0u);
}

TEST_F(ScanTest, DeviceDirectoryWithoutTrailingSlash) {
    writeFile("etc/vexa/site/devices/unit.xml", serialDoc("0x2A"));
    manager->devDir = "etc/vexa/site/devices";
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 42u);
    EXPECT_FALSE(log->has("Document not parsed successfully:."));
}

TEST_F(ScanTest, PathsTooLongForTheBufferArePassedOver) {
    // A directory path of 470 characters: "a.xml" still fits 499, a 40-character name does not.
    std::string deep = "etc/vexa/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/";
    deep += std::string(470 - 1 - deep.size(), 'f');
    ASSERT_EQ(deep.size(), 469u);
    writeFile(deep + "/a.xml", serialDoc("1"));
    std::string longName = std::string(36, 'n') + ".xml";
    writeFile(deep + "/" + longName, serialDoc("2"));
    deep += "/";
    manager->devDir = deep.c_str();

    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 1u);
    EXPECT_TRUE(log->has("Path too long, entry skipped: " + longName));
}

// ---- What start-up reads: regular files, 1 MiB, bounded entities, nothing from outside ----

TEST_F(ScanTest, DeviceEntriesThatAreNoFilesDoNotCountButOversizedFilesDo) {
    // (FIFOs and oversized files in both scans are also run against the daemon itself.)
    ASSERT_EQ(mkdir("etc/vexa/borl1d", 0700), 0);
    ASSERT_EQ(mkdir("etc/vexa/borl1d/devices", 0700), 0);
    ASSERT_EQ(mkfifo("etc/vexa/borl1d/devices/x.xml", 0600), 0);
    ASSERT_EQ(mkdir("etc/vexa/borl1d/devices/d.xml", 0700), 0);
    EXPECT_FALSE(manager->loadXml());
    EXPECT_TRUE(log->contains("etc/vexa/borl1d/devices/d.xml is a directory, not a regular file"));
    device("y.xml", serialDoc("5") + std::string(1048576, ' '));
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 4711u);
    EXPECT_TRUE(log->contains("etc/vexa/borl1d/devices/y.xml not parsed (larger than"));
}

TEST_F(ScanTest, SmallEntitiesAreTextAndFloodsAreRefused) {
    serialconf(
        "<!DOCTYPE config [<!ENTITY o \"Borl100\">]>\n"
        "<config><serialconfig><port/><port><owner>&o;</owner></port></serialconfig>"
        "</config>");
    EXPECT_TRUE(manager->readSerialConf());
    EXPECT_EQ(bus(), "/dev/ttyS2");
    device("a.xml",
           "<!DOCTYPE Borl100 [<!ENTITY n \"4\"><!ENTITY s \"&n;7\">]>\n"
           "<Borl100><serial>&s;&n;</serial></Borl100>");
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 474u);
    // The serial configuration reads its file under the same bound (the scans' floods are run
    // against the daemon).
    writeFile("etc/vexa/serialconf.xml", testsupport::xmlEntityFlood("config", "owner"));
    qserial::SerialConfig service("etc/vexa/serialconf.xml", "Borl100");
    EXPECT_TRUE(service.ports().empty());
    EXPECT_NE(service.problem().find("entity references expand to more than 65536 bytes"),
              std::string::npos);
}

TEST_F(ScanTest, NoExternalEntityDtdOrNetworkIsEverLoaded) {
    // A listener on 127.0.0.1 stands for "the network": nothing may connect to it.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    writeFile("etc/vexa/owner.txt", "Borl100");
    writeFile("etc/vexa/serial.txt", "5");
    writeFile("etc/vexa/owner.dtd", "<!ENTITY o \"Borl100\">");
    const std::string doctype = "<!DOCTYPE config SYSTEM \"" + url +
                                "/config.dtd\" [\n"
                                "  <!ENTITY file SYSTEM \"owner.txt\">\n"
                                "  <!ENTITY net SYSTEM \"" +
                                url +
                                "/owner\">\n"
                                "  <!ENTITY % dtd SYSTEM \"owner.dtd\"> %dtd;\n"
                                "  <!ENTITY % pe SYSTEM \"" +
                                url + "/pe\"> %pe;\n]>\n";
    serialconf(doctype +
               "<config><serialconfig><port><owner>&file;</owner></port><port><owner>&net;</owner>"
               "</port><port><owner>&o;</owner></port></serialconfig></config>");
    device("a.xml",
           "<!DOCTYPE Borl100 [<!ENTITY s SYSTEM \"../../serial.txt\">]>\n"
           "<Borl100><serial>7&s;</serial></Borl100>");

    EXPECT_FALSE(manager->readSerialConf());
    EXPECT_FALSE(log->contains("not parsed")) << "the file itself is fine";
    EXPECT_EQ(bus(), kConfigured);  // no owner text came from outside the file
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 7u);
    qserial::SerialConfig service("etc/vexa/serialconf.xml", "Borl100");
    EXPECT_TRUE(service.ports().empty());

    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "something connected to " << url;
    close(listener);
}
