#pragma once

#include <cstdint>

namespace qlog {

// The log rule of a fault that repeats (an invalid reply, a port that does not open, a frame
// the line does not take): its first occurrence is logged at once, then one summary line a
// period (a minute) with the count while it goes on, and one line when it ends. Nothing is
// dropped unseen: every occurrence not logged on its own is in the next summary's count.
// The caller passes its own clock (milliseconds, monotonic) and its period (a minute in
// production, 0 to log every occurrence), and writes the lines in its own words.
class RepeatLimit {
public:
    enum class Say { First, Summary, Quiet };

    // One occurrence at `nowMs`: First when it begins an episode, Summary when `periodMs` has
    // passed since the episode's last line (total() and sinceLine() give the counts; the next
    // period starts), Quiet when it is only counted.
    Say occurred(uint64_t nowMs, uint64_t periodMs) {
        mLastMs = nowMs;
        if (mTotal++ == 0) {
            mLineMs = nowMs;
            mSinceLine = 0;
            return Say::First;
        }
        mSinceLine++;
        if (nowMs - mLineMs < periodMs)
            return Say::Quiet;
        mLineMs = nowMs;
        mReported = mSinceLine;
        mSinceLine = 0;
        return Say::Summary;
    }

    // True while an episode goes on and nothing has occurred for a whole period: a caller whose
    // fault has no clear end of its own (line noise) ends the episode then.
    bool idle(uint64_t nowMs, uint64_t periodMs) const {
        return mTotal != 0 && nowMs - mLastMs >= periodMs;
    }
    bool active() const { return mTotal != 0; }

    // The episode ends: the occurrences it had (0 when there was none); the next one is First.
    // Before the call, unreported() gives those that no line has counted yet.
    uint64_t ended() {
        const uint64_t total = mTotal;
        mTotal = 0;
        return total;
    }

    uint64_t total() const { return mTotal; }
    // At a Summary: the occurrences it reports (those since the episode's previous line, the
    // one that brought the summary included).
    uint64_t sinceLine() const { return mReported; }
    // Occurrences after the episode's last line, not yet in any line.
    uint64_t unreported() const { return mSinceLine; }

private:
    uint64_t mTotal = 0;      // occurrences in this episode
    uint64_t mSinceLine = 0;  // occurrences since the last line
    uint64_t mReported = 0;   // what the last summary reported
    uint64_t mLineMs = 0;     // time of the episode's last line
    uint64_t mLastMs = 0;     // time of the last occurrence
};

}  // namespace qlog
