// The capture of the serial exchange to an exchange file (docs/capture.md), taken on a running
// daemon. The exchange's hooks cost one relaxed atomic load while no capture runs; while one runs
// they copy the record into a bounded queue under a short lock that is never held across file
// I/O. A writer thread of the capture's own formats the records and writes them, rotates the file
// once at its bound, and ends the capture with one ERROR line when the file cannot be written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "exchangeFile.h"

namespace capture {

// True while a capture runs: the only thing the hooks look at when none does.
extern std::atomic<bool> gOn;

// The default bound of borl1d.capture.maxsize, and the smallest accepted.
constexpr uint64_t kDefaultMaxSize = 16u << 20;
constexpr uint64_t kMinMaxSize = 4096;

// Queues a record; call it through the inline hooks below.
void record(exchangefile::Kind kind, const uint8_t* bytes, size_t n, int param, int value,
            const char* text);

struct Settings {
    std::string file;                    // the exchange file
    uint64_t maxSize = kDefaultMaxSize;  // rotated once (FILE.1) when it would grow past this
    std::string startFields;             // the start record's fields (version, port, line, serial)
    std::string openPort;                // non-empty: the port is open now (an "open" record)
};

// Starts a capture (the file is opened by the writer thread, which logs the start at INFO or the
// failure at ERROR). False when one runs already.
bool start(const Settings& settings);
// Ends the capture that runs (the writer thread writes what is queued, closes the file and logs
// the end at INFO). False when none runs.
bool stop();
// At the daemon's stop: ends a running capture and waits for its file to be complete.
void shutdown();

}  // namespace capture

// The exchange's hooks: nothing but the atomic test while no capture runs.
inline void captureBytes(exchangefile::Kind kind, const uint8_t* bytes, size_t n) {
    if (capture::gOn.load(std::memory_order_relaxed))
        capture::record(kind, bytes, n, 0, 0, nullptr);
}
inline void captureEvent(exchangefile::Kind kind, int param = 0, int value = 0,
                         const char* text = nullptr) {
    if (capture::gOn.load(std::memory_order_relaxed))
        capture::record(kind, nullptr, 0, param, value, text);
}
