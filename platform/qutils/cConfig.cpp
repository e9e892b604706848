// Process-wide key=value configuration. Values are interned in a pool that only grows, so every
// text handed out stays valid (and unchanged) for the life of the process, also across a later
// load that replaces the keys.
#include "cConfig.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "boundedFile.h"
#include "cQlog.h"

namespace {

struct ConfigState {
    std::mutex mutex;
    std::map<std::string, const char*> props;  // key -> interned value
    std::unordered_set<std::string> pool;      // node-based: elements never move
};

// Never destroyed: other threads may still read keys while the process exits.
ConfigState& state() {
    static ConfigState* s = new ConfigState();
    return *s;
}

const cQlog& logger() {
    static const cQlog* log = new cQlog("cConfig");
    return *log;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

}  // namespace

bool cConfig::load(const char* path) {
    return load(path, nullptr);
}

bool cConfig::load(const char* path, std::string* why) {
    if (!path) {
        if (why)
            *why = "no path";
        return false;
    }
    std::string text;
    qutils::FileRead read = qutils::readBoundedFile(path, text);
    if (read.status != qutils::FileRead::Ok) {
        logger().debug("Configuration file %s not read: %s", path, read.reason.c_str());
        if (why)
            *why = read.reason;
        return false;
    }
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);  // UTF-8 byte order mark

    std::map<std::string, std::string> parsed;
    size_t pos = 0;
    int lineNo = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#' || line[0] == '!')
            continue;
        // A zero byte (a damaged file) would cut the text handed out at that byte, silently:
        // the value read would not be the one written.
        if (line.find('\0') != std::string::npos) {
            logger().warn("%s:%d: zero byte in line, skipped", path, lineNo);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            logger().warn("%s:%d: no '=' in line, skipped: %s", path, lineNo, line.c_str());
            continue;
        }
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) {
            logger().warn("%s:%d: no key before '=', line skipped", path, lineNo);
            continue;
        }
        parsed[key] = trim(line.substr(eq + 1));  // a later line with the same key wins
    }

    ConfigState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.props.clear();
        for (const auto& kv : parsed) {
            auto it = s.pool.insert(kv.second).first;
            s.props[kv.first] = it->c_str();
        }
    }
    logger().debug("Loaded %zu keys from %s", parsed.size(), path);
    return true;
}

std::vector<std::string> cConfig::keys() {
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<std::string> out;
    for (const auto& kv : s.props)
        out.push_back(kv.first);
    return out;
}

const char* cConfig::getString(const char* key, const char* def) {
    if (!key)
        return def;
    ConfigState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.props.find(key);
    return it == s.props.end() ? def : it->second;
}

int cConfig::getInt(const char* key, int def) {
    const char* text = getString(key, nullptr);
    if (!text)
        return def;

    // Decimal, or hexadecimal behind 0x; a leading 0 stays decimal ("050000" is 50000).
    const char* digits = text;
    if (*digits == '+' || *digits == '-')
        ++digits;
    bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text, &end, hex ? 16 : 10);
    bool bad = end == text || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX;
    if (bad) {
        logger().warn("Configuration key %s: \"%s\" is not an integer, using %d", key, text, def);
        return def;
    }
    return static_cast<int>(value);
}
