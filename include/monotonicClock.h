// The monotonic clock as the exchange, the capture and the service notifications read it:
// milliseconds or microseconds since an arbitrary start, and deadlines as the timers take them.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ctime>

namespace monotonic {

inline timespec now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// A time of the clock in milliseconds.
inline uint64_t msOf(const timespec& ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

inline uint64_t nowMs() {
    return msOf(now());
}

// A time of the clock in microseconds.
inline uint64_t usOf(const timespec& ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

inline uint64_t nowUs() {
    return usOf(now());
}

// Microseconds of the clock in milliseconds, all 64 bits of them.
inline uint64_t msOfUs(uint64_t us) {
    return us / 1000u;
}

// A poll() timeout that ends at `deadlineMs`, read at `nowMs`: 0 once it has passed.
inline int msUntil(uint64_t deadlineMs, uint64_t nowMs) {
    return deadlineMs <= nowMs ? 0
                               : static_cast<int>(std::min<uint64_t>(deadlineMs - nowMs, INT_MAX));
}

// The time `ms` from now.
inline timespec deadlineIn(unsigned ms) {
    timespec ts = now();
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

inline bool reached(const timespec& deadline) {
    const timespec t = now();
    return t.tv_sec > deadline.tv_sec ||
           (t.tv_sec == deadline.tv_sec && t.tv_nsec >= deadline.tv_nsec);
}

}  // namespace monotonic
