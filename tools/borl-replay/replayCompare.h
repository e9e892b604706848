// A capture of the serial exchange replayed through the exchange's rules (linkMachine.h), the
// machine the daemon runs, with the time read from the capture: its bytes from the line, its
// frames' outcomes, vexad's sets and the port's fate go in at their recorded times, and what the
// rules send and record comes out to be compared with the capture, record by record in time
// order: the frames, set-recorded, set-confirmed, set-given-up, online, offline, lost and
// reopen. The first difference in time is the verdict. Nothing waits and nothing reads a clock:
// the same capture gives the same verdict on every run, on any machine.
//
// Each run of the daemon in the capture (a start record that does not continue a file of the
// ring) is replayed with a machine of its own, by the timing its start record gives (the
// production timing when it gives none), from the state a capture of a running exchange says it
// began in.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "exchangeFile.h"
#include "linkMachine.h"

namespace replay {

// What the replay found: the capture's time of the first difference and what it was.
struct Verdict {
    bool matched = true;
    uint64_t atUs = 0;  // µs since the capture's t = 0
    std::string what;
};

// What each side sent and recorded, for the report.
struct Tally {
    uint64_t frames = 0;
    uint64_t online = 0;
    uint64_t offline = 0;
    uint64_t setRecorded = 0;
    uint64_t setConfirmed = 0;
    uint64_t setGivenUp = 0;
};

class Comparison {
public:
    Comparison();
    ~Comparison();
    Comparison(const Comparison&) = delete;
    Comparison& operator=(const Comparison&) = delete;

    // The capture's next record, in time order; `continues`: its file continues an older one of
    // the ring (a start record there begins no new run). False once the verdict is in.
    bool take(const exchangefile::Record& r, bool continues);
    // The capture has ended: what the rules recorded that the capture has not is the verdict.
    void finish();

    const Verdict& verdict() const { return mVerdict; }
    const Tally& captured() const { return mCaptured; }
    const Tally& replayed() const { return mReplayed; }
    unsigned runs() const { return mRuns; }
    // The timing of the first run (what the capture was taken with).
    const proto::ExchangeTiming& timing() const { return mFirstTiming; }

private:
    struct Run;
    struct Outcome {
        exchangefile::Kind kind;
        int param = 0;
        int value = 0;
        uint64_t atUs = 0;
        std::string text() const;
    };

    void beginRun(const exchangefile::Record& start);
    void endRun();
    void frame(const exchangefile::Record& r, uint64_t now);
    void writeEnded(const exchangefile::Record& r, uint64_t now);
    void reopened(const exchangefile::Record& r, uint64_t now);
    void setRecorded(const exchangefile::Record& r, uint64_t now);
    void advance(uint64_t now);
    void resolveWrite(proto::WriteResult result, size_t sent, uint64_t now);
    void expect(const exchangefile::Record& r);
    void compare(bool atEnd);
    void diverged(uint64_t atUs, std::string what);
    void count(Tally& t, exchangefile::Kind kind);
    uint64_t msOf(uint64_t us) const;

    std::unique_ptr<Run> mRun;
    std::deque<Outcome> mExpected;  // the capture's records not yet met by the rules'
    std::deque<Outcome> mActual;    // the rules' records not yet met by the capture's
    Verdict mVerdict;
    Tally mCaptured;
    Tally mReplayed;
    unsigned mRuns = 0;
    proto::ExchangeTiming mFirstTiming;
    uint64_t mLastUs = 0;  // the last record's time
};

}  // namespace replay
