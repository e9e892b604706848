// `cmake --install` of this build into scratch destinations: the daemon, the tools, the systemd
// units and the example configuration land where a unit expects them, the units agree with the
// files installed beside them, a second install keeps what the site edited, and the examples are
// files the daemon and its logging accept as they stand.
#include <sys/stat.h>
#include <syslog.h>
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
#include "site.h"
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
    std::string unit(const std::string& name = "borl1d.service") const {
        return root + "/usr/lib/systemd/system/" + name;
    }
    std::string sysusers() const { return root + "/usr/lib/sysusers.d/borl1d.conf"; }
    std::string logrotate() const { return root + "/etc/logrotate.d/borl1d"; }
    std::string examples() const { return root + "/usr/share/doc/borl1d/examples/"; }

    ScratchDir dir;
    std::string root;
    std::string installOutput;
};

// The unit's Key=Value lines (comments and section headers left out); the values of a key given
// more than once are joined with "; ".
std::map<std::string, std::string> unitKeys(const std::string& text) {
    std::map<std::string, std::string> keys;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '[')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string& value = keys[line.substr(0, eq)];
        value += (value.empty() ? "" : "; ") + line.substr(eq + 1);
    }
    return keys;
}

// Runs the daemon installed below `root` with `args`; gives its exit status and its output.
InstallRun runDaemon(const std::string& root, const std::vector<std::string>& args) {
    std::vector<std::string> argv{root + "/usr/sbin/borl1d"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv);
    InstallRun run;
    run.status = p.wait(std::chrono::seconds(30));
    p.out().waitForEof();
    p.err().waitForEof();
    run.output = p.out().text() + "\n" + p.err().text();
    return run;
}

// The text with every occurrence of `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
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

TEST_F(InstalledTree, PutsEverythingInItsProductionPlace) {
    for (const char* bin : {"/usr/sbin/borl1d", "/usr/bin/borl-sim", "/usr/bin/vexa-console",
                            "/usr/bin/borl-decode", "/usr/bin/borl-replay"})
        EXPECT_TRUE(isExecutableFile(root + bin)) << bin;
    const std::vector<std::string> files{
        conf(), serialconf(), device(), unit(), unit("borl1d@.service"), sysusers(), logrotate(),
        root + "/usr/share/man/man8/borl1d.8", root + "/usr/share/man/man5/borl1d.conf.5",
        root + "/usr/share/man/man1/borl-sim.1", root + "/usr/share/man/man1/vexa-console.1",
        root + "/usr/share/man/man1/borl-decode.1", root + "/usr/share/doc/borl1d/capture.md",
        root + "/usr/share/man/man1/borl-replay.1", root + "/usr/share/borl1d-tools/borlrig.py",
        root + "/usr/share/borl1d-tools/borl-replay-live",
        // The templates of the Debian package's postinst, outside /usr/share/doc.
        root + "/usr/share/borl1d/serialconf.xml", root + "/usr/share/borl1d/borl100.xml",
        root + "/usr/share/doc/borl1d/operations.md"};
    for (const std::string& f : files)
        EXPECT_TRUE(fs::is_regular_file(f)) << f << "\n" << installOutput;
    for (const char* ex : {"borl1d.conf", "borl1d-second.conf", "serialconf.xml", "borl100.xml"})
        EXPECT_TRUE(fs::is_regular_file(examples() + ex)) << ex;
    // Nothing may land beside the two trees of a production install.
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(root))
        top.insert(e.path().filename());
    EXPECT_EQ(top, (std::set<std::string>{"etc", "usr"}));
}

// Both units start the installed daemon with the same service settings and sandbox, and agree
// with the files installed beside them: the user that sysusers creates, the log directory that
// logrotate rotates, the man pages they name.
TEST_F(InstalledTree, UnitsAgreeWithTheDaemonAndTheFilesBesideThem) {
    auto keys = unitKeys(readFile(unit()));
    auto instance = unitKeys(readFile(unit("borl1d@.service")));
    EXPECT_EQ(keys["ExecStart"], "/usr/sbin/borl1d");
    EXPECT_EQ(instance["ExecStart"], "/usr/sbin/borl1d -c " BORL1D_CONF_DIR "/borl1d-%i.conf");
    // The same service in both, but for the command and the description.
    for (auto* k : {&keys, &instance}) {
        k->erase("ExecStart");
        k->erase("Description");
    }
    EXPECT_EQ(keys, instance);
    for (const char* name : {"borl1d.service", "borl1d@.service"})
        EXPECT_EQ(readFile(unit(name)).find("@BORL1D"), std::string::npos) << name;

    // The daemon's notify protocol and exit status: 255 is a configuration problem that a
    // restart cannot cure; a crash or a watchdog timeout is restarted.
    EXPECT_EQ(keys["Type"], "notify");
    EXPECT_EQ(keys["NotifyAccess"], "main");
    EXPECT_EQ(keys["WatchdogSec"], "30");
    EXPECT_EQ(keys["Restart"], "on-failure");
    EXPECT_EQ(keys["RestartPreventExitStatus"], "255");
    EXPECT_EQ(keys["ExecReload"], "/bin/kill -HUP $MAINPID");
    EXPECT_EQ(keys["WantedBy"], "multi-user.target");

    // sysusers creates the unit's user and puts it in the group of the serial ttys.
    const std::string user = keys["User"];
    const std::string users = readFile(sysusers());
    EXPECT_NE(users.find("\nu " + user + " "), std::string::npos) << users;
    EXPECT_NE(users.find("\nm " + user + " " + keys["SupplementaryGroups"] + "\n"),
              std::string::npos)
        << users;
    EXPECT_EQ(keys["CapabilityBoundingSet"], "");
    EXPECT_EQ(keys["ProtectSystem"], "strict");
    EXPECT_EQ(keys["DevicePolicy"], "closed");

    // The service writes its logs where logrotate rotates them and re-opens them on reload.
    const std::string rotate = readFile(logrotate());
    EXPECT_NE(rotate.find("/var/log/" + keys["LogsDirectory"] + "/*.log"), std::string::npos);
    EXPECT_NE(rotate.find("try-reload-or-restart borl1d.service 'borl1d@*.service'"),
              std::string::npos)
        << rotate;

    // Every page named in Documentation= is installed.
    std::istringstream docs(keys["Documentation"]);
    int pages = 0;
    for (std::string page; docs >> page; ++pages) {
        ASSERT_EQ(page.rfind("man:", 0), 0u) << page;
        size_t open = page.find('(');
        std::string name = page.substr(4, open - 4);
        std::string section = page.substr(open + 1, page.size() - open - 2);
        EXPECT_TRUE(
            fs::is_regular_file(root + "/usr/share/man/man" + section + "/" + name + "." + section))
            << page;
    }
    EXPECT_EQ(pages, 2);
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
    EXPECT_EQ(readFile(serialconf()), readFile(examples() + "serialconf.xml"));
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
    keys = unitKeys(readFile(prefix + "/lib/systemd/system/borl1d@.service"));
    EXPECT_EQ(keys["ExecStart"], prefix + "/sbin/borl1d -c " BORL1D_CONF_DIR "/borl1d-%i.conf");
    // Every path the install reported lies below the prefix.
    std::vector<std::string> paths = reportedPaths(run.output);
    EXPECT_GE(paths.size(), 7u) << run.output;
    for (const std::string& path : paths)
        EXPECT_EQ(path.rfind(prefix + "/", 0), 0u) << path;
}

// The example configuration and borl1d.conf(5) list every key of the daemon's table, each with
// its default, and no other key.
TEST_F(InstalledTree, ExampleAndManPageListEveryKeyWithItsDefault) {
    std::map<std::string, std::string> defaults;
    for (const config::Key& k : dornManager::kKeys) {
        if (k.name != nullptr)
            defaults[k.name] = config::defaultText(k);
    }
    // Un-commenting the example's keys must give the same values the daemon uses without them.
    std::string uncommented;
    std::map<std::string, std::string> listed;
    for (const std::string& line : linesOf(readFile(conf()))) {
        const std::string key = commentedKey(line);
        uncommented += (key.empty() ? line : line.substr(1)) + "\n";
        if (!key.empty())
            listed[key];
    }
    writeFile(dir / "uncommented.conf", uncommented);
    ASSERT_TRUE(cConfig::load((dir / "uncommented.conf").c_str()));
    for (auto& [key, value] : listed)
        value = cConfig::getString(key.c_str(), "(absent)");
    EXPECT_EQ(listed, defaults);
    // As installed, with every key commented out, the daemon reads its built-in defaults.
    ASSERT_TRUE(cConfig::load(conf().c_str()));
    for (const auto& kv : defaults)
        EXPECT_STREQ(cConfig::getString(kv.first.c_str(), "(absent)"), "(absent)") << kv.first;

    // The man page's KEYS: ".TP", ".B key", then its text, whose "Default:" names the default.
    std::map<std::string, std::string> entries;  // the text without its font macros
    std::string key;
    bool keys = false, named = false;
    for (const std::string& line : linesOf(readFile(root + "/usr/share/man/man5/borl1d.conf.5"))) {
        keys = line.rfind(".SH", 0) == 0 ? line == ".SH KEYS" : keys;
        if (!keys || line == ".TP" || line == ".PP") {
            named = line == ".TP";
            key.clear();
        } else if (named) {
            key = line.substr(3);
            named = false;
        } else if (!key.empty()) {
            entries[key] += " " + (line[0] == '.' ? line.substr(line.find(' ') + 1) : line) + " ";
        }
    }
    std::map<std::string, std::string> documented;
    for (const auto& [name, text] : entries) {
        const std::string said = text.substr(std::min(text.find(" Default: "), text.size()));
        const std::string& def = defaults[name];
        bool shown = false;
        for (char after : std::string(" .,;)"))
            shown = shown || said.find(" " + def + after) != std::string::npos;
        const bool none =
            said.rfind(" Default: empty", 0) == 0 || said.rfind(" Default: not set", 0) == 0;
        documented[name] = (def.empty() ? none : shown) ? def : "not in \"" + said + "\"";
    }
    EXPECT_EQ(documented, defaults);
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

// The example serial-port assignment and device description carry the installed daemon through
// its start-up checks: controller on the second port, serial number 1001, line 9600 8N1 RS232.
TEST_F(InstalledTree, ExampleXmlFilesPassTheDaemonsCheck) {
    // The site's files as installed, with a configuration that logs to standard error only.
    const std::string plain = dir / "plain.conf";
    writeFile(plain, "# keys at their defaults\n");
    InstallRun check = runDaemon(root, {"--conf-dir", root + "/etc/vexa", "-c", plain, "-t"});
    EXPECT_EQ(check.status, testsupport::checkStatusFor("/dev/ttyS2")) << check.output;
    EXPECT_NE(check.output.find("/dev/ttyS2"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("1001"), std::string::npos) << check.output;

    qserial::SerialConfig ports(serialconf().c_str(), "Borl100");
    const qserial::SerialPort* port = ports.find("/dev/ttyS2");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->baudRate, qserial::BR_9600);
    EXPECT_EQ(port->dataBits, qserial::DB_8);
    EXPECT_EQ(port->stopBits, qserial::SB_1);
    EXPECT_EQ(port->mode, qserial::PM_RS232);
    EXPECT_EQ(ports.ports().size(), 1u);
}

// The second controller's example, set up as its comments say below a scratch /etc/vexa, gives
// that controller its own port, serial and vexad port, apart from the first controller's files.
TEST_F(InstalledTree, SecondControllerExampleGivesItsOwnPortSerialAndVexadPort) {
    const std::string vexa = root + "/etc/vexa";
    std::string second;
    for (const std::string& line : linesOf(readFile(examples() + "borl1d-second.conf"))) {
        if (line.rfind("log4cpp.", 0) != 0)  // logging to standard error, not to syslog
            second += replaced(line, "/etc/vexa", vexa) + "\n";
    }
    writeFile(vexa + "/borl1d-second.conf", second);
    writeFile(vexa + "/borl1d-second/serialconf.xml",
              "<config><serialconfig><port><owner>none</owner></port>"
              "<port><owner>modem</owner></port>"
              "<port><owner>Borl100</owner><baud>19200</baud></port>"
              "</serialconfig></config>\n");
    writeFile(vexa + "/borl1d-second/devices/borl100.xml",
              "<Borl100><serial>2002</serial></Borl100>\n");

    InstallRun check =
        runDaemon(root, {"--conf-dir", vexa, "-c", vexa + "/borl1d-second.conf", "-t"});
    EXPECT_EQ(check.status, testsupport::checkStatusFor("/dev/ttyS3")) << check.output;
    EXPECT_NE(check.output.find("/dev/ttyS3"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("2002"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("50001"), std::string::npos) << check.output;
}
