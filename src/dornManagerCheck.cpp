// --check-config: start-up's reading and scans without the serial port, vexad or the log files,
// and a report of what start-up would use, with every problem found.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "SerialConfig.h"
#include "cConfig.h"
#include "dornManager.h"

#ifndef BORL1D_VERSION
#error "BORL1D_VERSION must name the build's version"
#endif

namespace {

// The value of a log4cpp key, or "" when absent.
std::string logKey(const std::string& key) {
    return cConfig::getString(key.c_str(), "");
}

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// "INFO, file, err" -> level "INFO", appenders {"file", "err"}.
void splitCategory(const std::string& value, std::string& level, std::vector<std::string>& apps) {
    std::istringstream in(value);
    std::string item;
    for (bool first = true; std::getline(in, item, ','); first = false) {
        if (first)
            level = trimmed(item);
        else if (!trimmed(item).empty())
            apps.push_back(trimmed(item));
    }
}

// Why the daemon could not create or write `file`; empty when it could.
std::string cannotWrite(const std::string& file) {
    struct stat st;
    if (stat(file.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "it is a directory";
        return access(file.c_str(), W_OK) == 0 ? "" : strerror(errno);
    }
    if (errno != ENOENT)
        return strerror(errno);
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : file.substr(0, slash);
    return access(dir.c_str(), W_OK | X_OK) == 0 ? "" : strerror(errno);
}

// The appender types log4cpp knows and where each writes: the appender's key that names the
// place, and the words before it, before its value, and when the key is absent.
struct AppenderType {
    const char* type;
    const char* key;
    const char* to;
    const char* as;
    const char* absent;
};
const AppenderType kAppenderTypes[] = {
    {"ConsoleAppender", nullptr, " to standard output", "", ""},
    {"FileAppender", ".fileName", " to", " ", " (no fileName)"},
    {"RollingFileAppender", ".fileName", " to", " ", " (no fileName)"},
    {"DailyRollingFileAppender", ".fileName", " to", " ", " (no fileName)"},
    {"SyslogAppender", ".syslogHost", " to syslog at", " ", " localhost"},
    {"LocalSyslogAppender", ".syslogName", " to the local syslog", " as ", ""},
    {"AbortAppender", nullptr, "", "", ""},
};

// Where one appender of the logging set-up writes, as far as its keys tell; a warning when its
// log file cannot be written.
std::string describeAppender(const std::string& name, std::vector<std::string>& warnings) {
    const std::string base = "log4cpp.appender." + name;
    const std::string type = logKey(base);
    const AppenderType* known = nullptr;
    for (const AppenderType& t : kAppenderTypes)
        known = type == t.type ? &t : known;
    if (known == nullptr) {
        warnings.push_back(
            "Logging: appender " + name +
            (type.empty() ? " is named but not defined" : " has the unknown type " + type) +
            "; log4cpp refuses the set-up and the daemon logs to standard error");
        return name + (type.empty() ? " (not defined)" : ": " + type);
    }
    const std::string value = known->key != nullptr ? logKey(base + known->key) : "";
    const std::string why =
        value.empty() || std::strcmp(known->key, ".fileName") != 0 ? "" : cannotWrite(value);
    if (!why.empty()) {
        warnings.push_back("Logging: log file " + value + " of appender " + name +
                           " cannot be written (" + why + "): its lines are lost");
    }
    return name + ": " + type + known->to + (value.empty() ? known->absent : known->as + value);
}

// The logging set-up the configuration file asks for, one text per category that it names.
std::vector<std::string> describeLogging(std::vector<std::string>& warnings) {
    std::vector<std::string> lines;
    auto category = [&](const std::string& label, const std::string& value) {
        std::string level;
        std::vector<std::string> apps;
        splitCategory(value, level, apps);
        std::string line = label + " " + (level.empty() ? std::string("(level inherited)") : level);
        for (size_t i = 0; i < apps.size(); ++i)
            line += (i == 0 ? " -> " : "; ") + describeAppender(apps[i], warnings);
        lines.push_back(line);
    };
    const std::string root = logKey("log4cpp.rootCategory");
    if (root.empty())
        lines.push_back("none in the file: INFO and above to standard error");
    else
        category("root category", root);
    const std::string prefix = "log4cpp.category.";
    for (const std::string& key : cConfig::keys()) {
        if (key.compare(0, prefix.size(), prefix) == 0)
            category("category " + key.substr(prefix.size()), logKey(key));
    }
    return lines;
}

// Why the daemon could not create files in `dir`; empty when it could.
std::string cannotWriteIn(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "not a directory";
    return access(dir.c_str(), W_OK | X_OK) == 0 ? "" : strerror(errno);
}

// The serial port as a check sees it: looked at, not opened (a running daemon holds it, and
// opening a tty moves its modem lines). Returns who holds it, if anyone; a port that is no
// character device, or absent, is a warning.
std::string lookAtPort(const char* port, std::vector<std::string>& warnings) {
    struct stat st;
    if (stat(port, &st) != 0) {
        warnings.push_back(std::string("Serial port ") + port + ": " + strerror(errno) +
                           ": start-up goes on and opens it when it appears");
    } else if (!S_ISCHR(st.st_mode)) {
        warnings.push_back(std::string("Serial port ") + port +
                           " is not a character device: it will not open as a serial line");
    } else if (const pid_t holder = qserial::SerialConfig::holderOf(port); holder > 0) {
        return " (now held by pid " + std::to_string(holder) + ")";
    }
    return "";
}

}  // namespace

// A capture file or directory the daemon could not write is a warning. The default directory is
// the service's log directory, which the service manager makes at the unit's start: its absence
// is no problem.
void dornManager::checkCapturePlaces() {
    const std::string file = captureFile.empty() ? "" : cannotWrite(captureFile);
    if (!file.empty()) {
        mStartupWarnings.push_back("Capture file " + captureFile +
                                   " (borl1d.capture.file or --capture) cannot be written (" +
                                   file + "): no capture is taken");
    }
    const bool configured = cConfig::getString("borl1d.capture.dir", nullptr) != nullptr;
    const std::string dir = cannotWriteIn(captureDir);
    if (!dir.empty() && (configured || dir != strerror(ENOENT))) {
        mStartupWarnings.push_back("Capture directory " + captureDir +
                                   " (borl1d.capture.dir) cannot be written (" + dir +
                                   "): SIGUSR1 takes no capture");
    }
}

int dornManager::checkConfig() {
    mSerconf = new qserial::SerialConfig(serConf, devOwner);
    if (!mSerconf->problem().empty())
        mStartupWarnings.push_back(mSerconf->problem() +
                                   ": the port is opened with 9600 8N1 RS232");
    settleTiming();  // a refused --time-scale is a start-up error
    bool ok = loadXml();
    if (!ok)
        error("Could not parse Xml file");
    ok = ok && cConfFile_status;

    const std::string portState = lookAtPort(serBusPort, mStartupWarnings);
    const std::vector<std::string> logging = describeLogging(mStartupWarnings);
    checkCapturePlaces();

    if (!ok && mStartupErrors.empty())
        mStartupErrors.push_back("start-up would fail (see the log lines above)");
    ok = ok && mStartupErrors.empty();
    // Each warning leaves part of the job undone or done otherwise than the operator meant.
    const int status = !ok ? 255 : mStartupWarnings.empty() ? 0 : 1;

    std::printf("borl1d %s configuration check\n", BORL1D_VERSION);
    std::printf("configuration file: %s%s\n", ConfFile,
                confLoaded ? "" : " (not read: the defaults are shown)");
    std::printf("serial bus: %s%s\n", describeBus().c_str(), portState.c_str());
    std::printf("line settings: %s\n", describeLine().c_str());
    std::printf("device serial: %s\n", describeSerial().c_str());
    std::printf("vexad: %s:%d\n", vexaHost, southPort);
    std::printf("vexad user (vexad.user): %s\n", describeVexadUser().c_str());
    for (const std::string& line : logging)
        std::printf("log set-up: %s\n", line.c_str());
    for (const config::Key& key : kKeys) {
        if (key.name != nullptr)
            std::printf("%s\n", keyReport(key).c_str());
    }
    for (const std::string& w : mStartupWarnings)
        std::printf("warning: %s\n", w.c_str());
    for (const std::string& e : mStartupErrors)
        std::printf("error: %s\n", e.c_str());
    if (status == 1) {
        std::printf("configuration usable, but not as configured: fix the %zu warning%s above\n",
                    mStartupWarnings.size(), mStartupWarnings.size() == 1 ? "" : "s");
    } else {
        std::printf("%s\n", ok ? "configuration usable" : "configuration NOT usable");
    }
    std::fflush(stdout);
    return status;
}
