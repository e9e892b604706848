#include "replayCompare.h"

#include <algorithm>
#include <cstring>

namespace replay {

using exchangefile::Kind;
using exchangefile::Record;
using proto::LinkMachine;
using proto::WriteResult;

// One run of the daemon: the rules as it ran them, and where the replay of them stands.
struct Comparison::Run : proto::LinkSink {
    Comparison& c;
    proto::ExchangeTiming timing;
    LinkMachine m;
    uint64_t startUs;        // the run's t = 0, in the capture's time
    uint64_t nowMs = 0;      // the rules' time of the step in hand, ms since the run began
    uint64_t inputUs = 0;    // the time of the capture's record in hand
    bool receiving = false;  // the receive loop has begun (after the start delay)
    bool portOpenAtStart = false;
    bool cycleOpen = false;     // a frame went out and its cycle has not ended
    bool writePending = false;  // the cycle's write has not been said to have ended
    size_t written = 0;         // the bytes of it in the capture's tx record
    std::map<int, float> sets;  // vexad's requests not yet taken
    int latest = 0;

    Run(Comparison& cmp, const proto::ExchangeTiming& t, uint64_t start)
        : c(cmp), timing(t), m(*this, t), startUs(start) {}

    void onEvent(const proto::LinkEvent& e) override {
        proto::EventRecord r{Kind::Online};
        if (!proto::recordOf(e, r))
            return;
        // At the time of the capture's record that caused it, or of the due work that did.
        const bool input = (inputUs - std::min(inputUs, startUs)) / 1000 == nowMs;
        c.mActual.push_back(
            Outcome{r.kind, r.param, r.value, input ? inputUs : startUs + nowMs * 1000});
        c.count(c.mReplayed, r.kind);
    }
};

std::string Comparison::Outcome::text() const {
    std::string s = exchangefile::kindName(kind);
    if (kind == Kind::SetRecorded || kind == Kind::SetConfirmed || kind == Kind::SetGivenUp)
        s += " " + std::to_string(param) + " " + std::to_string(value);
    return s;
}

namespace {

// A frame as a person reads it: "poll", "set p=3 v=27", or its length.
std::string describe(const uint8_t* bytes, size_t n) {
    uint8_t built[kFrameSize] = {};
    if (n == kFrameSize && proto::buildPollFrame(built) == kFrameSize &&
        std::memcmp(built, bytes, n) == 0)
        return "poll";
    for (int p = proto::kFirstParam; n == kFrameSize && p <= proto::kLastParam; ++p) {
        std::memset(built, 0, sizeof built);
        proto::buildSetFrame(built, bytes[proto::kIdByte + p], p);
        if (std::memcmp(built, bytes, n) == 0)
            return "set p=" + std::to_string(p) + " v=" + std::to_string(bytes[proto::kIdByte + p]);
    }
    return std::to_string(n) + " bytes that are no poll or set frame";
}

}  // namespace

Comparison::Comparison() = default;
Comparison::~Comparison() = default;

uint64_t Comparison::msOf(uint64_t us) const {
    return (us - std::min(us, mRun->startUs)) / 1000;
}

void Comparison::count(Tally& t, Kind kind) {
    switch (kind) {
        case Kind::Online:
            t.online++;
            break;
        case Kind::Offline:
            t.offline++;
            break;
        case Kind::SetRecorded:
            t.setRecorded++;
            break;
        case Kind::SetConfirmed:
            t.setConfirmed++;
            break;
        case Kind::SetGivenUp:
            t.setGivenUp++;
            break;
        default:
            break;
    }
}

bool Comparison::take(const Record& r, bool continues) {
    if (!mVerdict.matched)
        return false;
    mLastUs = r.t;
    if (r.kind == Kind::Start) {
        if (!continues || !mRun) {
            endRun();
            beginRun(r);
        }
        return mVerdict.matched;
    }
    if (!mRun) {  // a file without its start record: the production timing, a new exchange
        Record start;
        start.t = r.t;
        beginRun(start);
    }
    const uint64_t now = msOf(r.t);
    mRun->inputUs = r.t;
    // A write the capture says nothing more of went out whole; what became of it shows only
    // once the next frame comes (a reply, a timer or a set may be recorded before its end).
    if (mRun->writePending && r.kind == Kind::Tx)
        resolveWrite(WriteResult::Whole, mRun->written, mRun->nowMs);
    switch (r.kind) {
        case Kind::Open:
            mRun->portOpenAtStart = mRun->portOpenAtStart || !mRun->receiving;
            break;
        case Kind::Tx:
            frame(r, now);
            break;
        case Kind::Abandoned:
        case Kind::WriteFailed:
            writeEnded(r, now);
            break;
        case Kind::Rx:
            advance(now);
            mRun->m.bytesRead(now, r.bytes.data(), r.bytes.size());
            // The receive loop takes a waiting set at the top of its next turn.
            mRun->m.pickUpSet(now, mRun->sets, mRun->latest);
            break;
        case Kind::SetRecorded:
            setRecorded(r, now);
            break;
        case Kind::Lost:
            advance(now);
            mRun->m.portLost(now, r.text.c_str());
            break;
        case Kind::Reopen:
            reopened(r, now);
            break;
        default:  // online, offline, set-confirmed, set-given-up: the rules' own by now
            advance(now);
            break;
    }
    expect(r);
    compare(false);
    return mVerdict.matched;
}

void Comparison::finish() {
    if (mRun && mVerdict.matched && mRun->writePending)
        resolveWrite(WriteResult::Whole, mRun->written, mRun->nowMs);
    endRun();
}

void Comparison::beginRun(const Record& start) {
    mRun = std::make_unique<Run>(*this, proto::timingOf(start.text), start.t);
    if (mRuns++ == 0)
        mFirstTiming = mRun->timing;
    proto::ResumeState state;
    if (proto::resumeOf(start.text, state)) {
        // A capture of a running exchange: the receive loop runs already.
        mRun->m.startReceiving(0, state.portOpen);
        mRun->m.resume(0, state);
        mRun->receiving = true;
    }
}

void Comparison::endRun() {
    if (mRun && mVerdict.matched)
        compare(true);
    mRun.reset();
}

// The rules' time goes on to `now` as the daemon's threads would have taken it: the receive loop
// begins after the start delay and does its due work, the transmit thread ends its cycle.
void Comparison::advance(uint64_t now) {
    Run& run = *mRun;
    for (;;) {
        uint64_t next = run.receiving ? run.m.dueWork() : run.timing.startDelayMs;
        if (run.cycleOpen)
            next = std::min(next, run.m.cycleEnd());
        if (next > now)
            break;
        run.nowMs = std::max(run.nowMs, next);
        if (run.cycleOpen && run.m.cycleEnd() <= run.nowMs) {
            run.m.endCycle(run.nowMs);
            run.cycleOpen = false;
        } else if (!run.receiving) {
            run.m.startReceiving(run.nowMs, run.portOpenAtStart);
            run.receiving = true;
        } else {
            run.m.timeout(run.nowMs);
        }
    }
    run.nowMs = std::max(run.nowMs, now);
}

void Comparison::frame(const Record& r, uint64_t now) {
    advance(now);
    Run& run = *mRun;
    if (run.cycleOpen) {
        return diverged(r.t, "the capture has a frame " + std::to_string(run.m.cycleEnd() - now) +
                                 " ms before the rules end the cycle");
    }
    const proto::TxFrame& f = run.m.beginCycle(now);
    run.cycleOpen = true;
    run.writePending = true;
    run.written = r.bytes.size();
    mCaptured.frames++;
    mReplayed.frames++;
    if (r.bytes.size() > f.len || std::memcmp(r.bytes.data(), f.bytes, r.bytes.size()) != 0) {
        diverged(r.t, "the capture has the frame " + describe(r.bytes.data(), r.bytes.size()) +
                          ", the rules send " + describe(f.bytes, f.len));
    }
}

void Comparison::resolveWrite(WriteResult result, size_t sent, uint64_t now) {
    mRun->m.frameWritten(now, result, sent);
    mRun->writePending = false;
}

// A frame the line did not take whole. When none of it reached the line the capture has no tx
// record: its cycle began a wait before an abandoned frame (the write waited for room until the
// cycle's end), at a failed write. Records of the receive side in between (the device gone
// offline meanwhile) have taken the rules' time past that: the cycle begins when it began.
void Comparison::writeEnded(const Record& r, uint64_t now) {
    const WriteResult result =
        r.kind == Kind::Abandoned ? WriteResult::Abandoned : WriteResult::Failed;
    if (!mRun->writePending) {
        const uint64_t began = result == WriteResult::Abandoned
                                   ? now - std::min<uint64_t>(now, mRun->timing.waitMs)
                                   : now;
        advance(began);
        if (!mRun->cycleOpen) {
            mRun->m.beginCycle(began);
            mRun->cycleOpen = true;
        }
    }
    resolveWrite(result, static_cast<size_t>(r.value), mRun->nowMs);
    advance(now);
}

// The port open again: never before the back-off's due time. The attempts that failed before
// are not in the capture; they are taken to have come when due.
void Comparison::reopened(const Record& r, uint64_t now) {
    advance(now);
    LinkMachine& m = mRun->m;
    if (m.portOpen())
        return;
    for (;;) {
        const uint64_t due = m.nextReopenMs();
        if (now < due) {
            return diverged(r.t, "the port opened again " + std::to_string(due - now) +
                                     " ms before the back-off allowed it");
        }
        const uint64_t after = due + std::min(m.reopenDelayMs() * 2, mRun->timing.reopenMaxMs);
        if (after > now)
            break;
        m.reopenFailed(due);
    }
    m.portReopened(now);
}

// A set recorded: one the rules took from their own queue already, or vexad's, which goes in now.
void Comparison::setRecorded(const Record& r, uint64_t now) {
    advance(now);
    for (const Outcome& a : mActual) {
        if (a.kind == Kind::SetRecorded && a.param == r.param && a.value == r.value)
            return;
    }
    mRun->sets[r.param] = static_cast<float>(r.value);
    mRun->latest = r.param;
    mRun->m.pickUpSet(now, mRun->sets, mRun->latest);
}

void Comparison::expect(const Record& r) {
    switch (r.kind) {
        case Kind::Online:
        case Kind::Offline:
        case Kind::SetRecorded:
        case Kind::SetConfirmed:
        case Kind::SetGivenUp:
        case Kind::Lost:
        case Kind::Reopen:
            mExpected.push_back(Outcome{r.kind, r.param, r.value, r.t});
            count(mCaptured, r.kind);
            break;
        default:
            break;
    }
}

// The records of both sides in order: the first pair that differs, a record of the capture the
// rules did not make by its time, or (at the end) one of the rules the capture does not have.
void Comparison::compare(bool atEnd) {
    while (!mExpected.empty() && !mActual.empty()) {
        const Outcome& e = mExpected.front();
        const Outcome& a = mActual.front();
        if (e.text() != a.text()) {
            return diverged(std::min(e.atUs, a.atUs), "the capture has \"" + e.text() +
                                                          "\", the replayed rules have \"" +
                                                          a.text() + "\"");
        }
        mExpected.pop_front();
        mActual.pop_front();
    }
    if (!mExpected.empty()) {
        return diverged(mExpected.front().atUs, "the capture has \"" + mExpected.front().text() +
                                                    "\", the replayed rules have no such record");
    }
    if (atEnd && !mActual.empty()) {
        diverged(mActual.front().atUs, "the replayed rules have \"" + mActual.front().text() +
                                           "\", the capture has nothing of the kind");
    }
}

void Comparison::diverged(uint64_t atUs, std::string what) {
    if (!mVerdict.matched)
        return;
    mVerdict.matched = false;
    mVerdict.atUs = atUs;
    mVerdict.what = std::move(what);
}

}  // namespace replay
