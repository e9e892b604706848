// The controller's point table: the 8 set-points (analogue outputs) and 19 inputs (run-hour
// counters, temperatures, relative humidity) the device publishes, with their labels, units and
// where each one's value lies in a controller data block. The one place of their count and
// order: the device builds its ports from these rows, port id = position + 1, and the tools,
// the tests and borl-decode's listing (`borl-decode --points`) read them from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace points {

struct Point {
    uint32_t id;        // port id: its position in its table, from 1
    const char* label;  // as published
    const char* unit;   // display unit; empty for none
    int index;          // data block index of the value; hour counters: its high byte
    bool hours;         // a 16-bit run-hour counter, high byte at `index`, low byte after it
};

// Set-points, in port-id order. The index is the one the controller reports the value at: the
// same index a set frame writes (parameter = port id) and a reply confirms, port id - 1, so that
// a confirmed write shows on the set-point it was made to.
inline constexpr Point kSetpointTable[] = {
    {1, "Aircon-1 Pull-in", "deg C", 0, false},
    {2, "Aircon-2 Drop-out", "deg C", 1, false},
    {3, "Fan Pull-in", "deg C", 2, false},
    {4, "High-Temp Drop-out", "deg C", 3, false},
    {5, "Aircon Rotation", "", 4, false},
    {6, "Aircon-1 power up delay", "Min", 5, false},
    {7, "Aircon Fail Set-point", "deg C", 6, false},
    {8, "Aircon Test Delay", "Min", 7, false},
};

// Inputs, in port-id order: hour counters are 16-bit values, the temperatures and humidity
// single unsigned bytes.
inline constexpr Point kInputTable[] = {
    {1, "AC-1 Hours", "H", 24, true},
    {2, "AC-2 Hours", "H", 26, true},
    {3, "Fan Hours", "H", 28, true},
    {4, "RH Hours", "H", 30, true},
    {5, "RH Free-Air Inhibit Hours", "H", 32, true},
    {6, "Active Mode Hours", "H", 34, true},
    {7, "Free-Air Mode Hours", "H", 36, true},
    {8, "Hi-Temp Hours", "H", 38, true},
    {9, "Mains Fail Hours", "H", 40, true},
    {10, "Internal Temperature", "deg C", 46, false},
    {11, "External Temperature", "deg C", 47, false},
    {12, "Average Internal Temperature", "deg C", 48, false},
    {13, "Average External Temperature", "deg C", 49, false},
    {14, "AC-1 Temperature", "deg C", 50, false},
    {15, "AC-2 Temperature", "deg C", 51, false},
    {16, "Average AC-1 Temperature", "deg C", 52, false},
    {17, "Average AC-2 Temperature", "deg C", 53, false},
    {18, "RH", "", 54, false},
    {19, "Average RH", "", 55, false},
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

inline const Point& setpoint(int i) {
    return kSetpointTable[i];
}
inline const Point& input(int i) {
    return kInputTable[i];
}

// The value a point has in a 60-byte data block, as the device publishes it (raw: gain 1,
// offset 0).
inline float value(const Point& p, const uint8_t* block) {
    if (p.hours)
        return static_cast<float>(static_cast<unsigned>(block[p.index]) * 256u +
                                  block[p.index + 1]);
    return static_cast<float>(block[p.index]);
}
inline float setpointValue(const uint8_t* block, int i) {
    return value(kSetpointTable[i], block);
}
inline float inputValue(const uint8_t* block, int i) {
    return value(kInputTable[i], block);
}

}  // namespace points
