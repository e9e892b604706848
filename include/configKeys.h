// The daemon's configuration keys as rows of one table (dornManager::kKeys, in
// src/dornManagerConfig.cpp): each key once, with its default, its bounds, the field its value
// goes to and its own check. The reader, the warning about an unknown key, the start-up problems
// of a bad value, --check-config's report, the lab's --timing items and the tests of the man page
// and of the example configuration all walk the rows. The exchange's timings are rows too: those
// a site may set have a key, the others are --timing items of the tests only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "linkMachine.h"

class dornManager;

namespace config {

// How a key's text becomes its value.
enum class Kind {
    Text,   // as written; longer than cConfig::kMaxValueLength it ends start-up
    Int,    // decimal, or hexadecimal behind 0x, that fits an int; its check judges its range
    Count,  // decimal, min..max
    Size,   // bytes, or with k, M or G (binary), at least min
};

struct Key;
// A key's own check once every key is read: it logs a problem itself (startupProblem).
using Check = void (dornManager::*)(const Key&);

struct Key {
    const char* name;  // the key in the file; null: a --timing item only
    const char* item;  // its --timing item (milliseconds); null: none
    Kind kind;
    const char* def;             // the default as the file writes it, "@" standing for the
                                 // configuration root; null: defaultOf's, else the exchange's
                                 // own (ExchangeTiming)
    const char* (*defaultOf)();  // a default known at run time only
    uint64_t min, max;           // a number's bounds
    const char* unit;            // what a Count counts, for its warning
    // The field the value goes to: one of these.
    const char* dornManager::*text;
    std::string dornManager::*string;
    int dornManager::*integer;
    uint64_t dornManager::*number;
    unsigned proto::ExchangeTiming::*ms;
    Check check;  // null: none
};

// The rows, one helper per kind of field.
constexpr Key text(const char* name, const char* def, const char* dornManager::*field,
                   Check check = nullptr) {
    return {name,    nullptr, Kind::Text, def,     nullptr, 0,       0,
            nullptr, field,   nullptr,    nullptr, nullptr, nullptr, check};
}
constexpr Key string(const char* name, const char* def, const char* (*defaultOf)(),
                     std::string dornManager::*field, Check check = nullptr) {
    return {name,    nullptr, Kind::Text, def,     defaultOf, 0,       0,
            nullptr, nullptr, field,      nullptr, nullptr,   nullptr, check};
}
constexpr Key integer(const char* name, const char* def, uint64_t min, uint64_t max,
                      int dornManager::*field, Check check) {
    return {name,    nullptr, Kind::Int, def,   nullptr, min,     max,
            nullptr, nullptr, nullptr,   field, nullptr, nullptr, check};
}
constexpr Key count(const char* name, const char* def, uint64_t min, uint64_t max, const char* unit,
                    uint64_t dornManager::*field) {
    return {name, nullptr, Kind::Count, def,     nullptr, min,     max,
            unit, nullptr, nullptr,     nullptr, field,   nullptr, nullptr};
}
constexpr Key size(const char* name, const char* def, uint64_t min, uint64_t dornManager::*field) {
    return {name,    nullptr, Kind::Size, def,     nullptr, min,     UINT64_MAX,
            nullptr, nullptr, nullptr,    nullptr, field,   nullptr, nullptr};
}
// A timing of the exchange in milliseconds: a key (`name`, within min..max) and a --timing item,
// or (`name` null) an item only. Its default is the exchange's own.
constexpr Key millis(const char* name, const char* item, uint64_t min, uint64_t max,
                     unsigned proto::ExchangeTiming::*field) {
    return {name,           item,    Kind::Count, nullptr, nullptr, min,   max,
            "milliseconds", nullptr, nullptr,     nullptr, nullptr, field, nullptr};
}

// The longest timing a --timing item sets: a day.
constexpr unsigned kMaxTimingMs = 24u * 3600 * 1000;

// What the command line sets over the keys: --capture, --timing's items and --time-scale.
struct Overrides {
    const char* captureFile = nullptr;                    // --capture; null: none
    std::vector<std::pair<const Key*, unsigned>> timing;  // --timing's items, in order
    unsigned timeScale = 1;                               // --time-scale
};

// The row of --timing's item `item`; null when there is none.
const Key* timingItem(const std::string& item);
// A row's default as the file would write it ("16M", "/etc/vexa/serialconf.xml", "" for none).
std::string defaultText(const Key& key);

}  // namespace config
