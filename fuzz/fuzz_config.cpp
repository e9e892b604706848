// The key/value configuration reader on file content, then the keys the daemon reads.
//
// Checks: a value never holds a line end and never starts or ends with a blank; an integer key
// gives either its default or the number its text spells, the same whatever the default.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cConfig.h"
#include "fuzzSupport.h"
#include "inProcess.h"
#include "logCapture.h"

namespace {

const char* const kKeys[] = {
    "borl1d.device.name",  "borl1d.serialconf.file", "vexad.south.port",          "vexad.host",
    "borl1d.device.dir",   "borl1d.device.port",     "borl1d.device.displayname", "a",
    "log4cpp.rootCategory"};

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        testsupport::discardLogs(log4cpp::Priority::DEBUG);
        return testsupport::privateConfRoot() + "/etc/vexa/borl1d.conf";
    }();
    fuzzsupport::writeBytes(path, data, size);
    FUZZ_CHECK(cConfig::load(path.c_str()), "load");

    for (const char* key : kKeys) {
        const char* value = cConfig::getString(key, nullptr);
        if (value != nullptr) {
            const size_t n = strlen(value);
            FUZZ_CHECK(strchr(value, '\n') == nullptr, key);
            FUZZ_CHECK(n == 0 || (!blank(value[0]) && !blank(value[n - 1])), key);
        }
        const int a = cConfig::getInt(key, INT_MIN);
        const int b = cConfig::getInt(key, INT_MAX);
        if (a != INT_MIN || b != INT_MAX) {
            FUZZ_CHECK(a == b && value != nullptr, key);
            // The text must spell that number (decimal, or hexadecimal behind 0x).
            errno = 0;
            char* end = nullptr;
            const long long spelt = strtoll(value, &end, 0);
            const bool octalLooking =
                value[0] == '0' || ((value[0] == '+' || value[0] == '-') && value[1] == '0');
            if (!octalLooking || strpbrk(value, "xX") != nullptr)
                FUZZ_CHECK(*end == '\0' && errno == 0 && spelt == a, value);
        }
    }
    return 0;
}
