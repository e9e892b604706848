// The rules of the serial exchange with the controller as one state machine: the cycle (a frame,
// the wait for its answer, the pause after it), valid and invalid replies, online and offline,
// the pending set with its confirmation and give-up, the stalled line, the port lost and its
// re-open back-off, the statistics, and the repeat limits of the log lines that report them.
//
// It does no I/O and reads no clock. Its caller hands it the time (milliseconds of a monotonic
// clock, 64 bits), the bytes read, the outcome of each write, vexad's sets and the port's fate,
// and asks it for the next frame and for when to call again. What follows from the rules (what
// to publish, log, count and capture) it tells a sink, synchronously, inside the call that
// caused it, in the order it happens. The daemon's two exchange threads, a replay of a capture,
// the fuzz target and the table tests drive this same machine.
//
// Not thread-safe: the daemon calls it under one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "exchangeFile.h"
#include "frame.h"
#include "repeatLimit.h"

namespace proto {

constexpr uint64_t kNever = UINT64_MAX;

// The exchange's timings: the production cadence unless the command line changes them.
struct ExchangeTiming {
    unsigned startDelayMs = 1000;  // pause before the receive loop starts
    unsigned pauseMs = 1000;       // transmit pause after an answered cycle
    unsigned waitMs = 2000;        // transmit wait for an answer
    unsigned offlineMs = 10000;    // no valid reply this long: device reported offline
    unsigned reopenMinMs = 1000;   // first serial re-open delay, doubled up to reopenMaxMs
    unsigned reopenMaxMs = 30000;
    unsigned statsIntervalMs = 15 * 60 * 1000;  // link statistics log line
    unsigned rxHungMs = 10000;     // receive loop busy this long: no more watchdog pings
    unsigned repeatMs = 60000;     // a repeating fault's log: one summary line this often
    unsigned vexadRetryMs = 1000;  // first re-connection delay to vexad (the client's back-off)
    unsigned timeScale = 1;        // the lab's time scale the timings were divided by

    // The same cadence `n` times faster (the lab's --time-scale, a replay at speed n): every
    // timing of the exchange's rules divided by n, none below 1 ms; the statistics interval, the
    // watchdog's limit and vexad's re-connection delay stay.
    ExchangeTiming scaled(unsigned n) const;
};

// Counters of the serial link, logged every statsIntervalMs and at the stop.
struct LinkStats {
    uint64_t pollFrames = 0;
    uint64_t setFrames = 0;
    uint64_t validReplies = 0;
    uint64_t invalid[kReplyFaults] = {};  // by fault: header, terminator, checksum, closing byte
    uint64_t rejectedStarts = 0;
    uint64_t timeouts = 0;
    uint64_t reopens = 0;
    uint64_t txCycles = 0;  // transmit cycles, whether a frame was written or not
    uint64_t givenUpSets = 0;
    uint64_t abandonedFrames = 0;  // frames the line did not take within the cycle
};

// One frame of a cycle: the poll frame, or the set frame of the pending set.
struct TxFrame {
    uint8_t bytes[kFrameSize] = {};
    uint8_t len = 0;
    bool isSet = false;  // a set frame for port/value below
    int port = 0;        // parameter number of a set frame
    uint8_t value = 0;   // value of a set frame
};

// What became of a frame's write.
enum class WriteResult {
    NoPort,     // the port was closed: nothing was written, and no answer is awaited
    Whole,      // the line took the whole frame
    Abandoned,  // the line had not taken it by the cycle's end
    Stopped,    // a stop came while the line had not taken it
    Failed,     // the write failed, or the port went away under it
};

// The pending set: the one analogue-output write that goes out instead of the poll frame until a
// reply shows it.
struct PendingSet {
    bool changeVal_status = false;  // a set is pending
    int changePort = 0;             // its parameter number (analogue output port id); 0: none
    uint8_t changeVal = 0;          // its byte; 0: none
    bool written = false;           // a set frame carrying it went out
    int replies = 0;                // valid replies since then that did not show it
};

// Something that happened, for the sink. Which fields an event fills is said at its type.
struct LinkEvent {
    enum Type {
        // A reply and what follows it.
        ReplyValid,         // frame, block: publish the data block; the device is online
        ReplyInvalid,       // fault, say; count: the replies a summary reports
        RepliesValidAgain,  // count: invalid replies of the episode, unreported: not yet logged
        Online,  // the device is online again (or for the first time); logged: its offline spell
                 // was logged, so its end is too
        OnlineSpellsEnded,  // count, unreported: offline spells of a flapping controller
        Offline,            // ms: the silence; say; count: the spells a summary reports
        OfflineLogged,      // ms: an offline spell counted quietly lasts: it gets its line now
        SetChecked,    // port; index: the data block index compared (-1: none), value: the byte
        SetConfirmed,  // port, value
        SetGivenUp,    // port, value; count: the replies that did not show it
        Statistics,    // the statistics line is due
        // vexad's sets.
        SetTaken,     // port, requested: a set taken from vexad's requests
        SetDropped,   // port, requested: the controller's byte cannot hold it
        SetRecorded,  // port, value: the pending set from now on
        // The transmit side.
        SetFrameBuilt,   // frame: the set frame of this cycle (port, value in it)
        FrameSent,       // count: the bytes written (the whole frame)
        FrameAbandoned,  // say; count: the bytes of it that reached the line; total: abandoned
        LineTakesFramesAgain,  // count: the frames abandoned while it stalled
        TimedOut,              // no answer within the wait
        // The port.
        PortNotOpen,    // the receive loop starts without the port: it is retried
        PortLost,       // text: why
        PortReopened,   // count: the attempts that failed before
        ReopenFailing,  // count: the attempts that failed so far in this episode
    };
    Type type;
    qlog::RepeatLimit::Say say = qlog::RepeatLimit::Say::First;
    ReplyFault fault = ReplyFault::None;
    bool logged = false;
    int port = 0;
    int index = -1;
    uint8_t value = 0;
    float requested = 0.0f;
    uint64_t count = 0;
    uint64_t unreported = 0;
    uint64_t total = 0;
    uint64_t ms = 0;
    const char* text = nullptr;
    const uint8_t* frame = nullptr;    // ReplyValid: the reply; SetFrameBuilt: the set frame
    const uint8_t* block = nullptr;    // ReplyValid: its 60-byte data block
    const TxFrame* txFrame = nullptr;  // SetFrameBuilt
};

// The capture record an event stands for (online, offline, the sets, the port lost and back),
// with its fields; false for the others. The daemon's capture and the replay's comparison both
// take the records from here.
struct EventRecord {
    exchangefile::Kind kind;
    int param = 0;
    int value = 0;
    const char* text = nullptr;
};
bool recordOf(const LinkEvent& event, EventRecord& record);

// The rules' state at a moment, as a capture begun on a running exchange needs it to be replayed:
// whether the device is online, how long ago the last valid reply came, the pending set, the
// closed port's back-off.
struct ResumeState {
    enum Online { Never, Yes, No };
    Online online = Never;
    uint64_t validAgoMs = 0;  // the last valid reply, this long before
    PendingSet pending;
    bool portOpen = true;
    uint64_t reopenInMs = 0;  // a closed port: its next attempt, this long after
    unsigned reopenDelayMs = 0;
};

// The start record's account of the rules (docs/capture.md): the timing a capture was taken with
// and, for a capture begun on a running exchange, the state it begins from. A replay reads both
// back; a start record without them stands for the production timing and a new exchange.
using StartFields = std::vector<std::pair<std::string, std::string>>;
StartFields timingFields(const ExchangeTiming& timing);
StartFields resumeFields(const ResumeState* state);  // null: a new exchange
ExchangeTiming timingOf(const std::string& startText);
// False for a new exchange; true, with `state`, for a running one.
bool resumeOf(const std::string& startText, ResumeState& state);

class LinkSink {
public:
    virtual ~LinkSink() = default;
    // Called inside the machine's call; must not call back into the machine.
    virtual void onEvent(const LinkEvent& event) = 0;
};

class LinkMachine {
public:
    // Valid replies that may come back without the pending value before the set is given up.
    static constexpr int kSetReplies = 10;

    explicit LinkMachine(LinkSink& sink, const ExchangeTiming& timing = ExchangeTiming{});
    LinkMachine(const LinkMachine&) = delete;
    LinkMachine& operator=(const LinkMachine&) = delete;

    const ExchangeTiming& timing() const { return mTiming; }
    // Before the first call.
    void setTiming(const ExchangeTiming& timing) {
        mTiming = timing;
        mReopenDelayMs = timing.reopenMinMs;
    }
    // Back to the state of a new machine, with the same sink and timing.
    void reset();

    // ---- The transmit side ----
    // A cycle begins at `now`: the set frame while a set is pending (from now on a reply can
    // show whether the controller took it), else the poll frame. It ends waitMs later unless an
    // answer comes before; the frame is to be written now.
    const TxFrame& beginCycle(uint64_t now);
    // What became of the cycle's frame (`sent`: the bytes that reached the line).
    void frameWritten(uint64_t now, WriteResult result, size_t sent);
    // When the cycle ends: the wait after the frame, moved by an answer to the pause after it.
    uint64_t cycleEnd() const { return mCycleEnd; }
    // The cycle has ended (`now` >= cycleEnd()): true when it was answered. The next begins.
    bool endCycle(uint64_t now);

    // ---- The receive side ----
    // The receive loop starts reading (after the start delay); `portOpen`: the port is open.
    void startReceiving(uint64_t now, bool portOpen);
    // Bytes read from the line.
    void bytesRead(uint64_t now, const uint8_t* bytes, size_t n);
    // The bytes the frame being gathered still lacks: a read never needs more.
    int bytesWanted() const { return kFrameSize - mRx.idx; }
    // vexad's requested sets (port id -> value) and the port of the latest: the newest is taken
    // first and replaces a pending set (which goes back into `setValues` for its turn); the
    // others are taken one at a time, each once the one before has ended. Only values the
    // controller's byte can hold become a set; nothing else is ever written.
    void pickUpSet(uint64_t now, std::map<int, float>& setValues, int portNum);
    // Work due by time (offline, the statistics line); returns when to call again: the next
    // due work, the port's re-open included. Every input of the receive side (the bytes, the
    // sets, the port's fate) runs the work due by its time first.
    uint64_t timeout(uint64_t now);
    // When the work due by time comes next (offline, the statistics line), the port aside.
    uint64_t dueWork() const;

    // ---- The port ----
    void portLost(uint64_t now, const char* reason);
    bool portOpen() const { return mPortOpen; }
    // The port is closed and its re-open is due.
    bool reopenDue(uint64_t now) const { return !mPortOpen && now >= mNextReopen; }
    // A re-open attempt of this loss failed already (its failures are summarised, not each
    // said).
    bool reopenFailing() const { return mReopenLog.active(); }
    void portReopened(uint64_t now);
    void reopenFailed(uint64_t now);

    // ---- A capture of a running exchange: its start record's state, taken back by a replay ----
    ResumeState resumeState(uint64_t now) const;
    void resume(uint64_t now, const ResumeState& state);

    // ---- State, for the shell, the tests and the replay ----
    const LinkStats& stats() const { return mStats; }
    const PendingSet& pending() const { return mPending; }
    bool everOnline() const { return mEverOnline; }
    bool offline() const { return mOfflineReported; }
    uint64_t lastValidMs() const { return mLastValidMs; }
    unsigned reopenDelayMs() const { return mReopenDelayMs; }
    uint64_t nextReopenMs() const { return mNextReopen; }
    const TxFrame& pollFrame() const { return mPoll; }

private:
    void emit(LinkEvent&& e) { mSink.onEvent(e); }
    void answered(uint64_t now);
    void replyComplete(uint64_t now);
    void replyValid(uint64_t now, const uint8_t* frame);
    void replyInvalid(uint64_t now, ReplyFault fault);
    void checkSet(const uint8_t* block);
    void endSet();
    void advance(uint64_t now);
    void offlineDue(uint64_t now);
    void endQuietEpisode(qlog::RepeatLimit& episode, uint64_t now, LinkEvent::Type type);

    LinkSink& mSink;
    ExchangeTiming mTiming;
    LinkStats mStats;

    // The transmit side.
    TxFrame mPoll;                   // built once
    TxFrame mSet;                    // built afresh on every cycle that sends a set
    const TxFrame* mFrame = &mPoll;  // the cycle's frame
    uint64_t mCycleEnd = 0;          // when the cycle ends
    bool mAwaiting = false;          // the frame went out and no answer came yet
    bool mAnswered = false;          // an answer came within the wait
    bool mWritten = false;           // the cycle's frame met an open port
    bool mSetTaken = false;          // the cycle's frame is the pending set's first
    qlog::RepeatLimit mStallLog;     // frames the line does not take

    // The receive side.
    ReplyGatherer mRx;
    uint8_t mBlock[kFrameSize] = {};  // the data block of the last valid reply (zero behind it)
    uint64_t mLastValidMs = 0;
    bool mEverOnline = false;       // a valid reply has been seen
    bool mOfflineReported = false;  // the device was reported offline after silence
    bool mOfflineLogged = false;    // the current offline spell has its line
    uint64_t mNextStatsMs = 0;
    qlog::RepeatLimit mInvalidLog;  // invalid replies
    qlog::RepeatLimit mOfflineLog;  // offline spells

    PendingSet mPending;

    // The port.
    bool mPortOpen = true;
    unsigned mReopenDelayMs = 0;
    uint64_t mNextReopen = 0;
    qlog::RepeatLimit mReopenLog;  // failed re-opens
};

}  // namespace proto
