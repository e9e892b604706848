// `cmake --install` of this build into scratch destinations: the daemon, the systemd unit and the
// example configuration land where a unit expects them, a second install keeps what the site
// edited, and the examples are files the daemon and its logging accept as they stand.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <log4cpp/Category.hh>
#include <log4cpp/SyslogAppender.hh>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SerialConfig.h"
#include "cConfig.h"
#include "cQlog.h"
#include "dornManager.h"
#include "testSupport.h"

using testsupport::Process;
using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// What one `cmake --install` printed, and how it ended.
struct InstallRun {
    int status = -1;
    std::string output;
};

// Installs the build with the given prefix, below `destdir` when it is not empty.
InstallRun install(const std::string& prefix, const std::string& destdir = "") {
    std::vector<std::string> argv{"/usr/bin/env"};
    if (!destdir.empty())
        argv.push_back("DESTDIR=" + destdir);
    for (const char* a : {BORL1D_CMAKE_COMMAND, "--install", BORL1D_BINARY_DIR, "--prefix"})
        argv.push_back(a);
    argv.push_back(prefix);
    Process p(argv);
    InstallRun run;
    run.status = p.wait(std::chrono::minutes(2));
    p.out().waitForEof();
    p.err().waitForEof();
    run.output = p.out().text() + "\n" + p.err().text();
    return run;
}

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
}

// The example files, installed once per test into <scratch>/root with the production prefix.
class InstalledTree : public ::testing::Test {
protected:
    InstalledTree() : dir("install"), root(dir / "root") {}
    void SetUp() override {
        InstallRun run = install("/usr", root);
        ASSERT_EQ(run.status, 0) << run.output;
        installOutput = run.output;
    }
    std::string conf() const { return root + "/etc/vexa/borl1d.conf"; }
    std::string serialconf() const { return root + "/etc/vexa/serialconf.xml"; }
    std::string device() const { return root + "/etc/vexa/borl1d/devices/borl100.xml"; }
    std::string unit() const { return root + "/usr/lib/systemd/system/borl1d.service"; }

    ScratchDir dir;
    std::string root;
    std::string installOutput;
};

// The unit's Key=Value lines (comments and section headers left out).
std::map<std::string, std::string> unitKeys(const std::string& text) {
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '[')
            continue;
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A commented-out key of the daemon: "#borl1d.x = v" or "#vexad.x = v"; gives "borl1d.x".
std::string commentedKey(const std::string& line) {
    if (line.rfind("#borl1d.", 0) != 0 && line.rfind("#vexad.", 0) != 0)
        return "";
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return "";
    std::string key = line.substr(1, eq - 1);
    return key.substr(0, key.find_last_not_of(" \t") + 1);
}

// The paths `cmake --install` reported as installed or up to date.
std::vector<std::string> reportedPaths(const std::string& output) {
    std::vector<std::string> paths;
    for (const std::string& line : linesOf(output)) {
        for (const char* tag : {"-- Installing: ", "-- Up-to-date: "}) {
            if (line.rfind(tag, 0) == 0)
                paths.push_back(line.substr(strlen(tag)));
        }
    }
    return paths;
}

// Reads the settings log4cpp keeps protected in its syslog appender.
struct SyslogPeek : log4cpp::SyslogAppender {
    static int facility(const log4cpp::SyslogAppender& a) { return a.*(&SyslogPeek::_facility); }
    static std::string name(const log4cpp::SyslogAppender& a) {
        return a.*(&SyslogPeek::_syslogName);
    }
};

}  // namespace

TEST_F(InstalledTree, PutsDaemonUnitAndExamplesInTheirProductionPlaces) {
    EXPECT_TRUE(isExecutableFile(root + "/usr/sbin/borl1d"));
    for (const std::string& f : {conf(), serialconf(), device(), unit()})
        EXPECT_TRUE(fs::is_regular_file(f)) << f << "\n" << installOutput;
    for (const char* ex : {"borl1d.conf", "serialconf.xml", "borl100.xml"})
        EXPECT_TRUE(fs::is_regular_file(root + "/usr/share/borl1d/examples/" + ex)) << ex;
    EXPECT_TRUE(fs::is_regular_file(root + "/usr/share/doc/borl1d/operations.md"));
    // Nothing may land beside the two trees of a production install.
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(root))
        top.insert(e.path().filename());
    EXPECT_EQ(top, (std::set<std::string>{"etc", "usr"}));
}

TEST_F(InstalledTree, UnitStartsTheInstalledDaemonAndMatchesTheBuild) {
    auto keys = unitKeys(readFile(unit()));
    EXPECT_EQ(keys["ExecStart"], "/usr/sbin/borl1d");
    EXPECT_EQ(keys["Restart"], "on-failure");
    EXPECT_EQ(keys["After"], "network-online.target");
    // Exit status 255 is a configuration problem: restarting cannot cure it.
    EXPECT_EQ(keys["RestartPreventExitStatus"], "255");
    EXPECT_EQ(keys["WantedBy"], "multi-user.target");
#if BORL1D_SYSTEMD_BUILD
    EXPECT_EQ(keys["Type"], "notify");
    EXPECT_EQ(keys["WatchdogSec"], "30");
#else
    // Without sd_notify a notify unit would never become ready and a watchdog would kill it.
    EXPECT_EQ(keys["Type"], "simple");
    EXPECT_EQ(keys.count("WatchdogSec"), 0u);
#endif
    EXPECT_NE(readFile(unit()).find("255"), std::string::npos);
}

TEST_F(InstalledTree, SecondInstallKeepsWhatTheSiteEditedAndRestoresWhatIsMissing) {
    const std::string edited = "vexad.host = central\n";
    writeFile(conf(), edited);
    writeFile(device(), "<Borl100><serial>77</serial></Borl100>\n");
    fs::remove(serialconf());

    InstallRun again = install("/usr", root);
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(readFile(conf()), edited);
    EXPECT_EQ(readFile(device()), "<Borl100><serial>77</serial></Borl100>\n");
    EXPECT_NE(again.output.find("Keeping existing: " + conf()), std::string::npos) << again.output;
    // A deleted example is installed again from the pristine copy.
    EXPECT_EQ(readFile(serialconf()), readFile(root + "/usr/share/borl1d/examples/serialconf.xml"));
}

TEST(Install, ScratchPrefixKeepsEverythingInsideThePrefix) {
    ScratchDir dir("install-prefix");
    const std::string prefix = dir / "opt";
    InstallRun run = install(prefix);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(isExecutableFile(prefix + "/sbin/borl1d"));
    EXPECT_TRUE(fs::is_regular_file(prefix + "/etc/vexa/borl1d.conf")) << run.output;
    EXPECT_TRUE(fs::is_regular_file(prefix + "/etc/vexa/serialconf.xml"));
    EXPECT_TRUE(fs::is_regular_file(prefix + "/etc/vexa/borl1d/devices/borl100.xml"));
    auto keys = unitKeys(readFile(prefix + "/lib/systemd/system/borl1d.service"));
    EXPECT_EQ(keys["ExecStart"], prefix + "/sbin/borl1d");
    // Every path the install reported lies below the prefix.
    std::vector<std::string> paths = reportedPaths(run.output);
    EXPECT_GE(paths.size(), 7u) << run.output;
    for (const std::string& path : paths)
        EXPECT_EQ(path.rfind(prefix + "/", 0), 0u) << path;
}

// Every key of borl1d.conf appears in the example, commented out, with the daemon's default.
TEST_F(InstalledTree, ExampleConfigurationListsEveryKeyWithItsDefault) {
    const std::map<std::string, std::string> defaults{
        {"borl1d.device.name", "Borl100"},
        {"borl1d.serialconf.file", "/etc/vexa/serialconf.xml"},
        {"vexad.south.port", "50000"},
        {"vexad.host", "localhost"},
        {"borl1d.device.dir", "/etc/vexa/borl1d/devices/"},
        {"borl1d.device.port", "/dev/ttyS2"},
        {"borl1d.device.displayname", "BORL1_Retro_Controller"}};

    // Un-commenting the keys must give the same values the daemon uses without them.
    std::string text = readFile(conf());
    std::string uncommented;
    std::set<std::string> listed;
    for (const std::string& line : linesOf(text)) {
        std::string key = commentedKey(line);
        if (!key.empty())
            listed.insert(key);
        uncommented += (key.empty() ? line : line.substr(1)) + "\n";
    }
    const std::string path = dir / "uncommented.conf";
    writeFile(path, uncommented);
    ASSERT_TRUE(cConfig::load(path.c_str()));
    for (const auto& [key, value] : defaults)
        EXPECT_STREQ(cConfig::getString(key.c_str(), "(absent)"), value.c_str()) << key;

    std::set<std::string> expected;
    for (const auto& kv : defaults)
        expected.insert(kv.first);
    EXPECT_EQ(listed, expected);

    // As installed, with every key commented out, the daemon reads its built-in defaults.
    ASSERT_TRUE(cConfig::load(conf().c_str()));
    for (const auto& kv : defaults)
        EXPECT_STREQ(cConfig::getString(kv.first.c_str(), "(absent)"), "(absent)") << kv.first;
}

// log4cpp accepts the example's set-up: the local syslog, daemon facility, name "borl1d".
TEST_F(InstalledTree, ExampleLoggingGoesToTheLocalSyslog) {
    ASSERT_TRUE(cQlog::init(conf().c_str()));
    log4cpp::Appender* appender = log4cpp::Category::getRoot().getAppender("syslog");
    ASSERT_NE(appender, nullptr);
    // log4cpp's "SyslogAppender" type would send UDP datagrams to a syslog host instead.
    auto* local = dynamic_cast<log4cpp::SyslogAppender*>(appender);
    ASSERT_NE(local, nullptr) << "not the local syslog appender";
    EXPECT_EQ(SyslogPeek::facility(*local), LOG_DAEMON);
    EXPECT_EQ(SyslogPeek::name(*local), "borl1d");
    EXPECT_EQ(log4cpp::Category::getRoot().getPriority(), log4cpp::Priority::INFO);
}

// The example serial-port assignment and device description carry the daemon through its
// start-up scans: controller on the second port, serial number 1001, line 9600 8N1 RS232.
TEST_F(InstalledTree, ExampleXmlFilesPassTheStartUpScans) {
    // The scans read etc/vexa below the working directory in this build of the daemon code.
    ScratchDir work("install-scan");
    fs::create_directories(work / "etc/vexa/borl1d/devices");
    fs::copy_file(serialconf(), work / "etc/vexa/serialconf.xml");
    fs::copy_file(device(), work / "etc/vexa/borl1d/devices/borl100.xml");
    writeFile(work / "etc/vexa/borl1d.conf", "# keys at their defaults\n");
    const std::string here = fs::current_path();
    ASSERT_EQ(chdir(work.path().c_str()), 0);

    auto manager = std::make_unique<dornManager>();
    EXPECT_TRUE(manager->cConfFile_status);
    EXPECT_STREQ(manager->serBusPort, "/dev/ttyS2");
    EXPECT_TRUE(manager->loadXml());
    EXPECT_EQ(manager->devSerial, 1001);

    qserial::SerialConfig ports(serialconf().c_str(), "Borl100");
    const qserial::SerialPort* port = ports.find("/dev/ttyS2");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->baudRate, qserial::BR_9600);
    EXPECT_EQ(port->dataBits, qserial::DB_8);
    EXPECT_EQ(port->stopBits, qserial::SB_1);
    EXPECT_EQ(port->mode, qserial::PM_RS232);
    EXPECT_EQ(ports.ports().size(), 1u);

    ASSERT_EQ(chdir(here.c_str()), 0);
}
