// The live controller: its data block and how it changes over time (set-points that sets write,
// a software revision, run-hour counters that advance, temperatures and humidity that drift), and
// how it answers the daemon's frames, with the faults that options and commands switch on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>

#include "simFrame.h"
#include "simLine.h"

namespace borlsim {

class ControllerModel {
public:
    // `hoursEvery`: one run hour per that many answered frames; 0 stops the counters.
    ControllerModel(uint32_t seed, unsigned hoursEvery);

    const Block& block() const { return mBlock; }

    // Stores `value` for parameter 1..19 at index param - 1; false for any other parameter.
    bool applySet(int param, uint8_t value);

    // Sets one byte by hand and holds its field still from then on: a poked temperature no
    // longer drifts, a poked counter no longer advances, so tests can rely on what they wrote.
    bool poke(size_t index, uint8_t value);

    // One answered frame went by: advance the counters and let the climate drift.
    void exchange();

    // Random numbers shared with the line faults, so one seed repeats a whole run.
    std::mt19937& rng() { return mRng; }

private:
    void tickHours();
    void drift();

    Block mBlock{};
    bool mHeld[kBlockSize] = {};
    std::mt19937 mRng;
    unsigned mHoursEvery;
    unsigned long mExchanges = 0;
    unsigned long mHourTicks = 0;
};

struct LiveOptions {
    bool silent = false;     // answer nothing (and count nothing)
    bool refuse = false;     // answer sets with status 2, keep the old value
    bool applyLate = false;  // a set takes effect after the reply to its frame went out
    unsigned long badSumEvery = 0;
    unsigned long strayEvery = 0;
    double noise = 0.0;
    unsigned long delayMs = 0;
    unsigned long hoursEvery = 10;
};

// The model answering each frame with its data block, with the line faults of `o`.
std::unique_ptr<Answerer> liveController(const LiveOptions& o, uint32_t seed);

}  // namespace borlsim
