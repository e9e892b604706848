// The controller's point table: the set-points (analogue outputs) and inputs (run-hour
// counters, temperatures, relative humidity) the device publishes, with their labels, units and
// where and how each one's value lies in a controller data block. The one place of their count
// and order: the device builds its ports from these rows, port id = position + 1; the tools and
// the tests read them from here, and whatever is not C++ (scripts, Python tools, the installed-
// system checks) reads borl-decode's listing of them (`borl-decode --points`). A test checks the
// point tables of the docs against these rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace points {

// How a value lies in the data block.
enum class Encoding {
    U8,   // one unsigned byte
    U16,  // 16 bits, high byte at the index, low byte after it (the run-hour counters)
    S8,   // one signed byte, two's complement
};

// The encoding's name in borl-decode's listing and in the docs' point tables.
constexpr const char* encodingName(Encoding e) {
    return e == Encoding::U16 ? "u16" : e == Encoding::S8 ? "s8" : "u8";
}

struct Point {
    uint32_t id;        // port id: its position in its table, from 1
    const char* label;  // as published
    const char* unit;   // display unit; empty for none
    int index;          // data block index of the value; a U16: its high byte
    Encoding encoding;
};

// Set-points, in port-id order. The index is the one the controller reports the value at: the
// same index a set frame writes (parameter = port id) and a reply confirms, port id - 1, so that
// a confirmed write shows on the set-point it was made to.
inline constexpr Point kSetpointTable[] = {
    {1, "Aircon-1 Pull-in", "deg C", 0, Encoding::U8},
    {2, "Aircon-2 Drop-out", "deg C", 1, Encoding::U8},
    {3, "Fan Pull-in", "deg C", 2, Encoding::U8},
    {4, "High-Temp Drop-out", "deg C", 3, Encoding::U8},
    {5, "Aircon Rotation", "", 4, Encoding::U8},
    {6, "Aircon-1 power up delay", "Min", 5, Encoding::U8},
    {7, "Aircon Fail Set-point", "deg C", 6, Encoding::U8},
    {8, "Aircon Test Delay", "Min", 7, Encoding::U8},
};

// Inputs, in port-id order: hour counters are 16-bit values, the temperatures and humidity
// single unsigned bytes. A new input is one row here, at the end.
inline constexpr Point kInputTable[] = {
    {1, "AC-1 Hours", "H", 24, Encoding::U16},
    {2, "AC-2 Hours", "H", 26, Encoding::U16},
    {3, "Fan Hours", "H", 28, Encoding::U16},
    {4, "RH Hours", "H", 30, Encoding::U16},
    {5, "RH Free-Air Inhibit Hours", "H", 32, Encoding::U16},
    {6, "Active Mode Hours", "H", 34, Encoding::U16},
    {7, "Free-Air Mode Hours", "H", 36, Encoding::U16},
    {8, "Hi-Temp Hours", "H", 38, Encoding::U16},
    {9, "Mains Fail Hours", "H", 40, Encoding::U16},
    {10, "Internal Temperature", "deg C", 46, Encoding::U8},
    {11, "External Temperature", "deg C", 47, Encoding::U8},
    {12, "Average Internal Temperature", "deg C", 48, Encoding::U8},
    {13, "Average External Temperature", "deg C", 49, Encoding::U8},
    {14, "AC-1 Temperature", "deg C", 50, Encoding::U8},
    {15, "AC-2 Temperature", "deg C", 51, Encoding::U8},
    {16, "Average AC-1 Temperature", "deg C", 52, Encoding::U8},
    {17, "Average AC-2 Temperature", "deg C", 53, Encoding::U8},
    {18, "RH", "", 54, Encoding::U8},
    {19, "Average RH", "", 55, Encoding::U8},
};

constexpr int kSetpoints = static_cast<int>(sizeof kSetpointTable / sizeof kSetpointTable[0]);
constexpr int kInputs = static_cast<int>(sizeof kInputTable / sizeof kInputTable[0]);

// The data block byte with the controller's software revision, published as a capability.
constexpr int kRevisionIndex = 19;

// Port ids are positions: a row out of place would publish one point under another's id.
constexpr bool idsArePositions(const Point* table, int n) {
    for (int i = 0; i < n; ++i) {
        if (table[i].id != static_cast<uint32_t>(i + 1))
            return false;
    }
    return true;
}
static_assert(idsArePositions(kSetpointTable, kSetpoints), "set-point ids are positions");
static_assert(idsArePositions(kInputTable, kInputs), "input ids are positions");

constexpr bool insideBlock(const Point* table, int n) {
    for (int i = 0; i < n; ++i) {
        const int last = table[i].index + (table[i].encoding == Encoding::U16 ? 1 : 0);
        if (table[i].index < 0 || last >= kDataBlockSize)
            return false;
    }
    return true;
}
static_assert(insideBlock(kSetpointTable, kSetpoints), "set-points lie in the data block");
static_assert(insideBlock(kInputTable, kInputs), "inputs lie in the data block");

inline const Point& setpoint(int i) {
    return kSetpointTable[i];
}
inline const Point& input(int i) {
    return kInputTable[i];
}

// The value a point has in a 60-byte data block, as the device publishes it (raw: gain 1,
// offset 0).
inline float value(const Point& p, const uint8_t* block) {
    const uint8_t b = block[p.index];
    switch (p.encoding) {
        case Encoding::U16:
            return static_cast<float>(static_cast<unsigned>(b) * 256u + block[p.index + 1]);
        case Encoding::S8:
            return static_cast<float>(b < 128 ? b : b - 256);
        case Encoding::U8:
            break;
    }
    return static_cast<float>(b);
}
inline float setpointValue(const uint8_t* block, int i) {
    return value(kSetpointTable[i], block);
}
inline float inputValue(const uint8_t* block, int i) {
    return value(kInputTable[i], block);
}

}  // namespace points
