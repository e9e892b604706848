// The two start-up scans run in-process against a private configuration root ("etc/vexa" below
// a scratch working directory): the serial-port assignment files and the device files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/logCapture.h"
#include "cConfig.h"
#include "dornManager.h"
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
        // A configuration without XML files: the constructor's own scan finds nothing.
        writeFile("etc/vexa/borl1d.conf", "borl1d.device.port=/dev/configured\n");
        manager = std::make_unique<dornManager>();
        log = new LogCapture("dornManager");
        manager->serBusPort = kConfigured;
        manager->devSerial = 4711;
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
};

// Names of the entries of `path` in the order the listing yields them.
std::vector<std::string> listing(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

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

TEST_F(ScanTest, AnUnparsableFileStopsTheScanWhereTheListingPutsIt) {
    serialconf(
        "<config><serialconfig><port/><port/><port><owner>Borl100</owner></port>"
        "</serialconfig></config>");
    writeFile("etc/vexa/serialconf.xml.broken", "<config>");
    bool goodFirst = false;
    for (const auto& name : listing("etc/vexa")) {
        if (name == "serialconf.xml") {
            goodFirst = true;
            break;
        }
        if (name == "serialconf.xml.broken")
            break;
    }
    EXPECT_EQ(manager->readSerialConf(), goodFirst);
    EXPECT_EQ(bus(), goodFirst ? "/dev/ttyS3" : kConfigured);
    EXPECT_TRUE(log->has("serialconf.xml not parsed:."));
}

TEST_F(ScanTest, MissingConfigurationDirectory) {
    ASSERT_EQ(rename("etc/vexa", "etc/elsewhere"), 0);
    EXPECT_FALSE(manager->readSerialConf());
    EXPECT_EQ(log->messages(), std::vector<std::string>{"loading serialconf.xml:."});
}

// ---- Device description files ----

TEST_F(ScanTest, SerialTextsConvertLikeStrtoulClampedTo32Bits) {
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
        {"4294967295", 0xFFFFFFFFu},
        {"4294967296", 0xFFFFFFFFu},
        {"99999999999999999999999", 0xFFFFFFFFu},
        {"0x123456789", 0xFFFFFFFFu},
        {"&#51;3", 33},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        device("borl100.xml", serialDoc(c.text));
        manager->devSerial = 4711;
        EXPECT_TRUE(manager->loadXml());
        EXPECT_EQ(serial(), c.expected);
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
        const char* line;  // debug line
    };
    const Case cases[] = {
        {"not XML", "<Borl100><serial>5</serial>", "Document not parsed successfully:."},
        {"wrong root", "<device><serial>5</serial></device>",
         "Document is of the wrong type, root node != device:."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        device("d.xml", c.content);
        log->clear();
        EXPECT_TRUE(manager->loadXml());  // a file with ".xml" in its path was there
        EXPECT_EQ(serial(), 4711u);
        EXPECT_EQ(log->priorityOf(c.line), log4cpp::Priority::DEBUG);
    }
}

TEST_F(ScanTest, DirectoryWithoutXmlFilesOrWithoutDirectory) {
    EXPECT_FALSE(manager->loadXml());
    EXPECT_TRUE(log->has("Error: Could not load .xml file\n"));
    device("readme.txt", serialDoc("5"));
    device("xml", serialDoc("6"));
    EXPECT_FALSE(manager->loadXml());
    EXPECT_EQ(serial(), 4711u);
}

TEST_F(ScanTest, DeviceDirectoryWithoutTrailingSlash) {
    writeFile("etc/vexa/site/devices/unit.xml", serialDoc("0x2A"));
    writeFile("etc/vexa/borl1d.conf", "borl1d.device.dir=etc/vexa/site/devices\n");
    ASSERT_TRUE(cConfig::load("etc/vexa/borl1d.conf"));
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
    writeFile("etc/vexa/borl1d.conf", "borl1d.device.dir=" + deep + "/\n");
    ASSERT_TRUE(cConfig::load("etc/vexa/borl1d.conf"));

    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(serial(), 1u);
    EXPECT_TRUE(log->has("Path too long, entry skipped: " + longName));
}
