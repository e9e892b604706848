// The daemon manager's start-up: configuration keys, the serial-port and device scans, the link
// to vexad, the device object, the transmit handshake and the serial port, and the banner that
// says what start-up found.
#include "dornManager.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <pwd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SerialConfig.h"
#include "boundedFile.h"
#include "cConfig.h"
#include "cObjectClient.h"
#include "peerOwner.h"
#include "southDevice.h"

#ifndef BORL1D_VERSION
#error "BORL1D_VERSION must name the build's version"
#endif

namespace {

// The keys the daemon reads; every "log4cpp." key belongs to the logging set-up.
const char* const kKnownKeys[] = {
    "borl1d.device.name",
    "borl1d.serialconf.file",
    "vexad.south.port",
    "vexad.host",
    "borl1d.device.dir",
    "borl1d.device.port",
    "borl1d.device.displayname",
    "borl1d.serialconf.dir",
    "borl1d.capture.file",
    "borl1d.capture.maxsize",
    "borl1d.capture.dir",
    "borl1d.capture.files",
    "vexad.user",
};

// Edit distance (insertions, deletions, substitutions) between two keys.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

const char* nearestKey(const std::string& key) {
    // A key longer than any known one by far is no typo of it: its head is compared.
    const std::string head = key.substr(0, 64);
    const char* best = kKnownKeys[0];
    size_t bestDistance = SIZE_MAX;
    for (const char* known : kKnownKeys) {
        size_t d = editDistance(head, known);
        if (d < bestDistance) {
            bestDistance = d;
            best = known;
        }
    }
    return best;
}

}  // namespace

dornManager::dornManager(bool checkOnly) : cQlog("dornManager") {
    std::string why;
    confLoaded = cConfig::load(ConfFile, &why);
    if (!confLoaded) {
        error("Could not load config file: \"%s\" \n", ConfFile);
        startupProblem(true, ERROR,
                       "Configuration file %s not read (%s): it must be a readable regular file "
                       "of at most %zu bytes; name another one with --config",
                       ConfFile, why.c_str(), qutils::kMaxStartupFileSize);
        cConfFile_status = false;
        if (!checkOnly)
            return;
    } else if (!checkOnly) {
        // A check leaves logging as it is (standard error): log4cpp would open the log files.
        cQlog::init(ConfFile);
    }

    devOwner = cConfig::getString("borl1d.device.name", devOwner);
    serConf = cConfig::getString("borl1d.serialconf.file", serConf);
    southPort = cConfig::getInt("vexad.south.port", southPort);
    vexaHost = cConfig::getString("vexad.host", vexaHost);
    const bool userOk = readVexadUser();
    devDir = cConfig::getString("borl1d.device.dir", devDir);
    serBusPort = cConfig::getString("borl1d.device.port", serBusPort);
    devDispName = cConfig::getString("borl1d.device.displayname", devDispName);
    // A second controller's instance names its own assignment directory, so that its bus does
    // not come from the first controller's assignment files.
    serConfDir = cConfig::getString("borl1d.serialconf.dir", serConfDir);
    readCaptureKeys();

    bool keysOk = (!confLoaded || checkKeys()) && userOk;
    checkVexadAddress();
    if (!keysOk && !checkOnly) {
        cConfFile_status = false;
        return;
    }
    cConfFile_status = readSerialConf() && confLoaded && keysOk;
    debug("Done reading readSerialConf()");
}

void dornManager::startupProblem(bool fatal, int priority, const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (priority <= ERROR)
        error("%s", text);
    else
        warn("%s", text);
    (fatal ? startupErrors : startupWarnings).push_back(text);
}

bool dornManager::checkKeys() {
    bool ok = true;
    // Text values go into fixed places (paths, vexad's device label); a value this long is a
    // damaged or hostile file, not a setting.
    for (const char* key : kKnownKeys) {
        if (strcmp(key, "vexad.south.port") == 0 || strcmp(key, "borl1d.capture.maxsize") == 0 ||
            strcmp(key, "borl1d.capture.files") == 0)
            continue;  // a number: one that does not fit is warned about and defaulted
        const char* value = cConfig::getString(key, nullptr);
        size_t length = value ? strlen(value) : 0;
        if (length > cConfig::kMaxValueLength) {
            startupProblem(true, ERROR,
                           "Configuration key %s in %s: the value has %zu bytes, more than %zu: "
                           "shorten it",
                           key, ConfFile, length, cConfig::kMaxValueLength);
            ok = false;
        }
    }
    for (const std::string& key : cConfig::keys()) {
        if (key.compare(0, 8, "log4cpp.") == 0)
            continue;
        bool known = false;
        for (const char* k : kKnownKeys)
            known = known || key == k;
        if (!known) {
            startupProblem(false, WARN,
                           "Unknown configuration key \"%.64s\" in %s is ignored; the nearest "
                           "known key is %s",
                           key.c_str(), ConfFile, nearestKey(key));
        }
    }
    return ok;
}

namespace {

// A host name as the resolver takes it: dot-separated labels of letters, digits and hyphens,
// none empty or longer than 63 characters, none starting or ending with a hyphen.
bool isHostName(const std::string& host) {
    if (host.empty() || host.size() > 253)
        return false;
    size_t start = 0;
    while (start < host.size()) {
        size_t dot = host.find('.', start);
        const size_t end = dot == std::string::npos ? host.size() : dot;
        const size_t len = end - start;
        if (len == 0 || len > 63 || host[start] == '-' || host[end - 1] == '-')
            return false;
        for (size_t i = start; i < end; ++i) {
            if (!isalnum(static_cast<unsigned char>(host[i])) && host[i] != '-')
                return false;
        }
        if (dot == std::string::npos || dot + 1 == host.size())
            break;  // a trailing dot closes a fully qualified name
        start = dot + 1;
    }
    return true;
}

}  // namespace

void dornManager::checkVexadAddress() {
    vexadAddressOk = false;
    if (southPort < 1 || southPort > 65535) {
        startupProblem(false, ERROR,
                       "vexad port %d (vexad.south.port in %s) is not a TCP port: nothing reaches "
                       "vexad; set it to 1..65535",
                       southPort, ConfFile);
    }
    in6_addr address;
    if (inet_pton(AF_INET, vexaHost, &address) != 1 &&
        inet_pton(AF_INET6, vexaHost, &address) != 1 && !isHostName(vexaHost)) {
        startupProblem(false, ERROR,
                       "vexad host \"%.64s\" (vexad.host in %s) is no host name or address: "
                       "nothing reaches vexad; name vexad's host there",
                       vexaHost, ConfFile);
        return;
    }
    vexadAddressOk = southPort >= 1 && southPort <= 65535;
}

bool dornManager::readVexadUser() {
    vexadUser = cConfig::getString("vexad.user", "");
    vexadUid = -1;
    if (vexadUser.empty())
        return true;
    const char* text = vexadUser.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = strtoull(text, &end, 10);
    if (isdigit(static_cast<unsigned char>(*text)) && *end == '\0' && errno == 0 &&
        number < UINT32_MAX) {
        vexadUid = static_cast<int64_t>(number);  // a uid names a user even without a name
        return true;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(text, &entry, buf.data(), buf.size(), &found) == 0 && found) {
        vexadUid = found->pw_uid;
        return true;
    }
    // The operator asked for the check: the daemon does not run without it.
    startupProblem(true, ERROR,
                   "Configuration key vexad.user in %s: no user \"%.64s\" on this system: name "
                   "the user vexad runs as (its name or uid, \"ss -ltnpe\" shows it), or remove "
                   "the key",
                   ConfFile, text);
    return false;
}

std::string dornManager::describeVexadUser() const {
    if (vexadUid < 0 && !vexadUser.empty())
        return "\"" + vexadUser + "\", which names no user: start-up ends";
    if (vexadUid < 0) {
        return "not set: a listener of any user but root on vexad's port is warned about, not "
               "refused";
    }
    return vexaobj::describeUser(static_cast<uid_t>(vexadUid)) +
           ": a listener of any other user on vexad's port is refused (root's is accepted)";
}

std::string dornManager::describeBus() const {
    return std::string(serBusPort) + " from " +
           (serBusFrom.empty() ? std::string("borl1d.device.port") : serBusFrom);
}

std::string dornManager::describeLine() const {
    const qserial::SerialPort* port = mSerconf ? mSerconf->find(serBusPort) : nullptr;
    if (port)
        return qserial::SerialConfig::settingsText(*port) + " from " + mSerconf->path();
    qserial::SerialPort defaults;
    std::string why;
    if (mSerconf && !mSerconf->problem().empty())
        why = mSerconf->problem();
    else
        why = std::string("no port ") + serBusPort + " of " + devOwner + " in " + serConf;
    return qserial::SerialConfig::settingsText(defaults) + " (defaults; " + why + ")";
}

std::string dornManager::describeSerial() const {
    std::string text = std::to_string(static_cast<uint32_t>(devSerial));
    if (devSerialFile.empty())
        return text + " (no <serial> read in " + devDir + ")";
    return text + " from " + devSerialFile;
}

bool dornManager::initDorn() {
    mSerconf = new qserial::SerialConfig(serConf, devOwner);
    if (!loadXml()) {
        error("Could not parse Xml file");
        return false;
    }

    // One owner per port: a second poller on the line garbles every frame. Known before vexad
    // hears of this instance.
    pid_t holder = qserial::SerialConfig::holderOf(serBusPort);
    if (holder > 0) {
        startupProblem(true, ERROR,
                       "Serial port %s is held by another process (pid %d): stop it (another "
                       "borl1d?) or give this instance its own port",
                       serBusPort, static_cast<int>(holder));
        return false;
    }

    // Without these descriptors the two exchange threads could not wake each other or stop.
    if (!link.ready()) {
        startupProblem(true, ERROR,
                       "Cannot create the exchange's event and timer descriptors: raise the "
                       "process's limit of open files (LimitNOFILE) or free memory");
        return false;
    }

    // vexad may come up later: the client keeps connecting on its own.
    cObjectClient::Options vexad;
    vexad.vexadUid = vexadUid;
    mObjectClient = new cObjectClient(vexad);
    // An address that cannot be right is not looked up: the controller is still polled.
    if (vexadAddressOk)
        mObjectClient->start(vexaHost, southPort);

    devA = new SouthDevice(mObjectClient, static_cast<uint32_t>(devSerial), 1, devDispName);

    // A port that does not open is not fatal: the exchange logs its errors and re-opens it. A
    // port that another process took meanwhile is.
    const int fd = mSerconf->connect(std::string(serBusPort));
    if (fd >= 0 && !link.adoptPort(fd)) {
        startupProblem(true, ERROR,
                       "Serial port %s cannot be made non-blocking (%s): a write could then hold "
                       "the exchange for as long as the line stalls",
                       serBusPort, strerror(errno));
        mObjectClient->stop();  // nothing of this instance may reach vexad any more
        return false;
    }
    if (fd < 0 && errno == EBUSY) {
        startupProblem(true, ERROR,
                       "Serial port %s is held by another process: stop it (another borl1d?) or "
                       "give this instance its own port",
                       serBusPort);
        mObjectClient->stop();  // nothing of this instance may reach vexad any more
        return false;
    }
    info("borl1d %s: configuration %s; serial bus %s; line %s; device serial %s; vexad %s:%d",
         BORL1D_VERSION, ConfFile, describeBus().c_str(), describeLine().c_str(),
         describeSerial().c_str(), vexaHost, southPort);
    return true;
}

int dornManager::start() {
    const bool ran = link.run();
    capture::shutdown();  // a running capture's file complete before the process ends
    if (!ran)
        return -1;
    link.logStatistics();  // the whole run's counts, comparable with a capture's decoding
    // An ordered stop: the port closed, and what is still queued for vexad gets a moment to
    // go out.
    if (serFd >= 0) {
        std::lock_guard<std::mutex> lock(fdMutex);
        qserial::SerialConfig::closePort(serFd);
        serFd = -1;
    }
    if (mObjectClient != nullptr) {
        mObjectClient->flush(std::chrono::milliseconds(1000));
        mObjectClient->stop();
    }
    info("Stopped\n");
    return 0;
}
