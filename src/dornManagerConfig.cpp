// The daemon's configuration: the table of its keys, and the one loop that reads them, checks
// them and warns about a key it does not know; the timing of the exchange settled in one place.
#include <arpa/inet.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cConfig.h"
#include "dornManager.h"

using config::Key;
using config::Kind;
using proto::ExchangeTiming;

namespace {

// The directory SIGUSR1's captures go to: the service's log directory (systemd's
// LOGS_DIRECTORY under the shipped unit, writable in its sandbox), else /var/log/borl1d.
const char* defaultCaptureDir() {
    static const std::string dir = [] {
        const char* logs = std::getenv("LOGS_DIRECTORY");
        const std::string all = logs != nullptr && *logs != '\0' ? logs : "/var/log/borl1d";
        return all.substr(0, all.find(':'));  // several directories: the first
    }();
    return dir.c_str();
}

// A row's default; "@" stands for the configuration root, which --conf-dir moves.
const char* defaultOf(const Key& k) {
    static std::set<std::string> belowRoot;  // the texts handed out stay valid
    if (k.def != nullptr && k.def[0] == '@')
        return belowRoot.insert(ConfDir + std::string(k.def + 1)).first->c_str();
    return k.def != nullptr ? k.def : k.defaultOf != nullptr ? k.defaultOf() : nullptr;
}

// The number `text` gives for `k`, decimal or hexadecimal behind 0x; false when it gives none
// within the row's bounds (an Int may be negative, and its bounds are its check's).
bool parseNumber(const Key& k, const char* text, int64_t& out) {
    const bool isInt = k.kind == Kind::Int;
    const char* digits = text + (isInt && (*text == '+' || *text == '-'));
    char* end = nullptr;
    errno = 0;
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const unsigned long long n = std::strtoull(digits, &end, hex ? 16 : 10);
    static const char kSuffixes[] = "kKmMgG";  // 2^10, 2^20, 2^30
    const char* suffix =
        k.kind == Kind::Size && *end != '\0' ? std::strchr(kSuffixes, *end) : nullptr;
    if (end == digits || errno != 0 || *digits == '-' || n > (UINT64_MAX >> 31) ||
        *(suffix ? end + 1 : end) != '\0')
        return false;
    out = static_cast<int64_t>(n << (suffix ? 10 * (1 + (suffix - kSuffixes) / 2) : 0));
    out = *text == '-' && isInt ? -out : out;
    if (isInt)
        return out >= INT_MIN && out <= INT_MAX;
    return static_cast<uint64_t>(out) >= k.min && static_cast<uint64_t>(out) <= k.max;
}

// The default's number: the row's text read as the file's would be, else the exchange's own.
int64_t defaultNumber(const Key& k) {
    int64_t n = k.ms != nullptr ? ExchangeTiming{}.*k.ms : 0;
    return k.ms != nullptr || parseNumber(k, defaultOf(k), n) ? n : 0;
}

// What a number must be, for the warning about one that is not.
std::string wanted(const Key& k) {
    const std::string least = std::to_string(k.min);
    return k.kind == Kind::Size
               ? "a size of at least " + least + " bytes (a number, with k, M or G)"
           : k.kind == Kind::Count
               ? std::string("a number of ") + k.unit + " " + least + ".." + std::to_string(k.max)
               : "an integer";
}

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

// A host name as the resolver takes it: dot-separated labels of letters, digits and hyphens,
// none empty or longer than 63 characters, none starting or ending with a hyphen; a trailing dot
// closes a fully qualified name.
bool isHostName(const std::string& host) {
    static const std::string label = "[[:alnum:]]([-[:alnum:]]{0,61}[[:alnum:]])?";
    static const std::regex kName(label + "(\\." + label + ")*\\.?");
    return host.size() <= 253 && std::regex_match(host, kName);
}

}  // namespace

// Each key once: its default, its bounds, its field, its check. A new key is a row here; the
// reader, the unknown-key warning and --check-config follow, and the tests hold the man page
// borl1d.conf(5) and the example configuration to the rows.
const std::vector<Key> dornManager::kKeys = {
    config::text("borl1d.device.name", "Borl100", &dornManager::devOwner),
    config::text("borl1d.serialconf.file", "@/serialconf.xml", &dornManager::serConf),
    config::integer("vexad.south.port", "50000", 1, 65535, &dornManager::southPort,
                    &dornManager::checkVexadAddress),
    config::text("vexad.host", "localhost", &dornManager::vexaHost),
    config::string("vexad.user", "", nullptr, &dornManager::vexadUser, &dornManager::readVexadUser),
    config::text("borl1d.device.dir", "@/borl1d/devices/", &dornManager::devDir),
    config::text("borl1d.device.port", "/dev/ttyS2", &dornManager::serBusPort),
    config::text("borl1d.device.displayname", "BORL1_Retro_Controller", &dornManager::devDispName),
    // A second controller's instance names its own assignment directory, so that its bus does
    // not come from the first controller's assignment files.
    config::text("borl1d.serialconf.dir", "@", &dornManager::serConfDir),
    config::string("borl1d.capture.file", "", nullptr, &dornManager::captureFile),
    config::size("borl1d.capture.maxsize", "16M", capture::kMinMaxSize,
                 &dornManager::captureMaxSize),
    config::string("borl1d.capture.dir", nullptr, defaultCaptureDir, &dornManager::captureDir),
    config::count("borl1d.capture.files", "8", 1, capture::kMaxFiles, "files",
                  &dornManager::captureFiles),
    // The exchange's timings a site may set: bounded so that the offline time (10 s) still
    // covers the pause and a poll's round trip at 9600 baud, and the wait that round trip.
    config::millis("borl1d.poll.pause", "pause", 0, 5000, &ExchangeTiming::pauseMs),
    config::millis("borl1d.poll.wait", "wait", 500, 5000, &ExchangeTiming::waitMs),
    // The others, for tests that cannot wait out the production cadence (--timing).
    config::millis(nullptr, "start", 0, 0, &ExchangeTiming::startDelayMs),
    config::millis(nullptr, "offline", 0, 0, &ExchangeTiming::offlineMs),
    config::millis(nullptr, "reopen-min", 0, 0, &ExchangeTiming::reopenMinMs),
    config::millis(nullptr, "reopen-max", 0, 0, &ExchangeTiming::reopenMaxMs),
    config::millis(nullptr, "stats", 0, 0, &ExchangeTiming::statsIntervalMs),
    config::millis(nullptr, "rx-hung", 0, 0, &ExchangeTiming::rxHungMs),
    config::millis(nullptr, "repeat", 0, 0, &ExchangeTiming::repeatMs),
    config::millis(nullptr, "vexad-retry", 0, 0, &ExchangeTiming::vexadRetryMs),
};

namespace config {

const Key* timingItem(const std::string& item) {
    for (const Key& k : dornManager::kKeys) {
        if (k.item != nullptr && item == k.item)
            return &k;
    }
    return nullptr;
}

std::string defaultText(const Key& k) {
    const char* def = defaultOf(k);
    return def != nullptr ? def : std::to_string(defaultNumber(k));
}

}  // namespace config

bool dornManager::readKeys() {
    const size_t errors = mStartupErrors.size();
    for (const Key& k : kKeys)
        readKey(k);
    for (const Key& k : kKeys) {
        if (k.check != nullptr)
            (this->*k.check)(k);
    }
    if (confLoaded)
        warnUnknownKeys();
    return mStartupErrors.size() == errors;
}

// One key, from the file when it has it, else its default, into its field. A text longer than
// any setting ends start-up; a number that is none is warned about and the default is used.
void dornManager::readKey(const Key& k) {
    const char* text = confLoaded && k.name ? cConfig::getString(k.name, nullptr) : nullptr;
    if (k.kind == Kind::Text) {
        // Text values go into fixed places (paths, vexad's device label); a value this long is a
        // damaged or hostile file, not a setting.
        const size_t length = text != nullptr ? strlen(text) : 0;
        if (length > cConfig::kMaxValueLength) {
            startupProblem(true, ERROR,
                           "Configuration key %s in %s: the value has %zu bytes, more than %zu: "
                           "shorten it",
                           k.name, ConfFile, length, cConfig::kMaxValueLength);
        }
        const char* value = text != nullptr ? text : defaultOf(k);
        if (k.text != nullptr)
            this->*k.text = value;
        else
            this->*k.string = value;
        return;
    }
    int64_t n = 0;
    if (text == nullptr || !parseNumber(k, text, n)) {
        n = defaultNumber(k);
        if (text != nullptr) {
            startupProblem(false, WARN,
                           "Configuration key %s in %s: \"%.32s\" is not %s; %lld is used", k.name,
                           ConfFile, text, wanted(k).c_str(), static_cast<long long>(n));
        }
    }
    if (k.integer != nullptr)
        this->*k.integer = static_cast<int>(n);
    else if (k.number != nullptr)
        this->*k.number = static_cast<uint64_t>(n);
    else
        mTiming.*k.ms = static_cast<unsigned>(n);
}

// Every key but logging's ("log4cpp.") is a row of the table; another is named with the known
// key nearest to it (a key longer than any known one by far is no typo of it: its head counts).
void dornManager::warnUnknownKeys() {
    for (const std::string& key : cConfig::keys()) {
        const char* nearest = nullptr;
        size_t distance = SIZE_MAX;
        for (const Key& k : kKeys) {
            const size_t d = k.name != nullptr ? editDistance(key.substr(0, 64), k.name) : SIZE_MAX;
            nearest = d < distance ? k.name : nearest;
            distance = std::min(d, distance);
        }
        if (distance > 0 && key.compare(0, 8, "log4cpp.") != 0) {
            startupProblem(false, WARN,
                           "Unknown configuration key \"%.64s\" in %s is ignored; the nearest "
                           "known key is %s",
                           key.c_str(), ConfFile, nearest);
        }
    }
}

// --check-config's line of a key: the value in force (the command line's and the time scale's
// included), marked when it is the default: "key borl1d.poll.pause: 1000 (default)".
std::string dornManager::keyReport(const Key& k) {
    const bool isText = k.kind == Kind::Text;
    const std::string value = k.text      ? this->*k.text
                              : k.string  ? this->*k.string
                              : k.integer ? std::to_string(this->*k.integer)
                              : k.number  ? std::to_string(this->*k.number)
                                          : std::to_string(mLink.timing().*k.ms);
    const std::string def = isText ? defaultOf(k) : std::to_string(defaultNumber(k));
    return std::string("key ") + k.name + ": " + (isText ? "\"" + value + "\"" : value) +
           (value == def ? " (default)" : "");
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
    (fatal ? mStartupErrors : mStartupWarnings).push_back(text);
}

// vexad's address, with the host read too: a port or host no connection can be made to.
void dornManager::checkVexadAddress(const Key& port) {
    const bool inRange =
        southPort >= static_cast<int64_t>(port.min) && southPort <= static_cast<int64_t>(port.max);
    if (!inRange) {
        startupProblem(false, ERROR,
                       "vexad port %d (vexad.south.port in %s) is not a TCP port: nothing reaches "
                       "vexad; set it to %d..%d",
                       southPort, ConfFile, static_cast<int>(port.min), static_cast<int>(port.max));
    }
    in6_addr address;
    const bool hostOk = inet_pton(AF_INET, vexaHost, &address) == 1 ||
                        inet_pton(AF_INET6, vexaHost, &address) == 1 || isHostName(vexaHost);
    if (!hostOk) {
        startupProblem(false, ERROR,
                       "vexad host \"%.64s\" (vexad.host in %s) is no host name or address: "
                       "nothing reaches vexad; name vexad's host there",
                       vexaHost, ConfFile);
    }
    vexadAddressOk = inRange && hostOk;
}

void dornManager::readVexadUser(const Key&) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    const bool digits = vexadUser.find_first_not_of("0123456789") == std::string::npos;
    vexadUid = -1;
    if (vexadUser.empty())
        return;
    if (digits && vexadUser.size() <= 10 && std::stoull(vexadUser) < UINT32_MAX)
        vexadUid = std::stoll(vexadUser);  // a uid names a user even without a name
    else if (getpwnam_r(vexadUser.c_str(), &entry, buf.data(), buf.size(), &found) == 0 && found)
        vexadUid = found->pw_uid;
    else  // the operator asked for the check: the daemon does not run without it
        startupProblem(true, ERROR,
                       "Configuration key vexad.user in %s: no user \"%.64s\" on this system: "
                       "name the user vexad runs as (its name or uid, \"ss -ltnpe\" shows it), or "
                       "remove the key",
                       ConfFile, vexadUser.c_str());
}

// What the controller needs to answer before it counts as offline: the poll's and the reply's
// 128 bytes on the line (a start bit, the data bits and the stop bits each, at the line's baud
// rate), the pause after the reply, and 50 ms for the controller to turn round and for the UART
// or the USB adapter to hand the bytes over (an adapter's latency timer alone takes 16 ms). A
// scale at which the offline time is shorter reports the device offline while it answers.
bool dornManager::settleTiming() {
    ExchangeTiming t = mTiming;
    for (const auto& item : mGiven.timing)
        t.*item.first->ms = item.second;
    const qserial::SerialPort* found = mSerconf ? mSerconf->find(serBusPort) : nullptr;
    const qserial::SerialPort line = found ? *found : qserial::SerialPort{};
    static const unsigned kBaud[] = {115200, 57600, 38400, 19200, 9600};  // by eBaudRate
    const unsigned bits = 1 + (8 - line.dataBits) + (1 + line.stopBits);  // by their enums
    const uint64_t roundTripUs = 2ull * kFrameSize * bits * 1000000 / kBaud[line.baudRate];
    constexpr unsigned kTurnRoundMs = 50;
    auto sound = [&](unsigned n) {
        const ExchangeTiming s = t.scaled(n);
        return s.offlineMs * 1000ull >= roundTripUs + (s.pauseMs + kTurnRoundMs) * 1000ull;
    };
    const unsigned scale = mGiven.timeScale;
    if (scale > 1 && !sound(scale)) {
        unsigned largest = 1;
        while (largest < scale && sound(largest + 1))
            ++largest;
        const ExchangeTiming s = t.scaled(scale);
        startupProblem(true, ERROR,
                       "--time-scale %u is too fast for serial port %s (%s): the offline time "
                       "would be %u ms, shorter than one answered poll (%u ms for the poll and "
                       "its reply on the line, the pause of %u ms and %u ms for the controller "
                       "to answer), so the device would be reported offline while it answers; "
                       "this line allows --time-scale %u at most",
                       scale, serBusPort, qserial::SerialConfig::settingsText(line).c_str(),
                       s.offlineMs, static_cast<unsigned>((roundTripUs + 999) / 1000), s.pauseMs,
                       kTurnRoundMs, largest);
        mLink.setTiming(t);  // what --check-config shows
        return false;
    }
    mLink.setTiming(t.scaled(scale));
    return true;
}
