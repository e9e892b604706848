// What the frames of an exchange file say, decoded with the daemon's own protocol code: its frame
// gatherer, reply check and frame builders (frame.h) and the device's point table (points.h). The
// decoder streams: records go in one at a time, and each frame and event comes out at once to the
// sinks (the text or JSON printer, the picture), so that a capture of any size decodes in constant
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exchangeFile.h"
#include "frame.h"
#include "points.h"

namespace borldecode {

struct Entry {
    uint64_t t = 0;           // µs since the capture began
    size_t line = 0;          // line of the record that completed the frame
    bool tx = false;          // direction: written by the daemon (tx) or read from the line (rx)
    const char* kind = "";    // "poll", "set", "reply", "garbage"
    bool valid = false;       // a frame the daemon builds, a reply that passes its checks
    const char* reason = "";  // invalid: "header", "terminator", "checksum", "end", ...
    const char* why = "";     // invalid reply: the daemon's own text for it
    int param = 0;            // set
    int value = 0;            // set
    int status = -1;          // reply: byte 3
    size_t bytes = 0;         // the number of bytes the entry covers
    bool hasValues = false;   // a valid reply: the values below
    uint64_t replyId = 0;     // a reply: the same id as the reply before when the frame is the same
    float setpoints[points::kSetpoints] = {};
    float inputs[points::kInputs] = {};
};

// Something other than a frame that the capture recorded (the port, sets, online status, a
// frame the line did not take).
using Event = exchangefile::Record;

// One set from vexad as the capture tells it: when it became the pending set, when its first
// set frame went out, and the reply that ended it.
struct SetRun {
    static constexpr uint64_t kNever = UINT64_MAX;
    int param = 0, value = 0;
    uint64_t recorded = 0;    // its set-recorded record
    uint64_t sent = kNever;   // its first set frame; kNever: none went out
    uint64_t ended = kNever;  // the valid reply that confirmed it or gave it up; kNever: open
    uint32_t frames = 0;      // set frames written for it
    exchangefile::Kind outcome = exchangefile::Kind::SetRecorded;  // or confirmed, given up
    bool replaced = false;  // a later set became the pending set before it had an outcome
    uint64_t shownAt() const { return sent != kNever ? sent : recorded; }
};

// Records the daemon's capture dropped (its queue full, say), where its writer's comment stands.
struct Drop {
    uint64_t t = 0;  // the record before them
    uint64_t count = 0;
    std::string file;
    size_t line = 0;  // of the comment
    std::string why;  // the comment's reason ("the capture's writer could not keep up")
};

// The daemon's statistics (its "Link statistics" line) and more, counted from the records: of
// the whole capture, and of each run of the daemon in it.
struct Counts {
    uint64_t txFrames = 0, polls = 0, setFrames = 0, txOther = 0;
    uint64_t rxFrames = 0, valid = 0, rejectedStarts = 0;
    uint64_t invalid[4] = {};       // by reason: header, terminator, checksum, end (closing byte)
    uint64_t timeouts = 0;          // cycles on an open port without an answer within the wait
    uint64_t longestSilenceUs = 0;  // longest time without a byte from the line
    uint64_t silenceFromUs = 0;     // where it began
    uint64_t records[exchangefile::kKindCount] = {};  // by kind (the events': sets, port, ...)
    uint64_t of(exchangefile::Kind kind) const { return records[static_cast<size_t>(kind)]; }
};

// A run of the daemon: from its start record (or the capture's first record) to the last record
// before the next run's start. A start record begins a run unless its file continues an older
// one of the ring; the time between two runs (the daemon stopped, killed, or not capturing) is
// no silence of the line.
struct Run : Counts {
    uint64_t fromUs = 0, toUs = 0;
    std::string start;     // its start record's fields
    bool resumed = false;  // a capture begun on a running exchange (exchange=running)
};

struct Summary : Counts {
    uint64_t firstUs = 0;     // the first record's t
    uint64_t durationUs = 0;  // the last record's t
    uint64_t wallUs = 0;      // t = 0, µs since the epoch (UTC)
    std::string start;        // the first start record's fields
    bool fromLog = false;     // read from a DEBUG log: the daemon's dumped frames only
    // What the capture does not hold: the files before its first one (gone from the ring), and
    // records the daemon dropped.
    bool continues = false;
    uint64_t droppedRecords = 0;
    std::vector<Drop> drops;   // the first kMaxDrops places
    std::vector<SetRun> sets;  // the first kMaxSets sets, in the order recorded
    uint64_t setsNotListed = 0;
    std::vector<Run> runs;  // the first kMaxRuns runs, each with its counts
    uint64_t runsNotListed = 0;
    static constexpr size_t kMaxDrops = 1000;
    static constexpr size_t kMaxSets = 100000;
    static constexpr size_t kMaxRuns = 10000;
};
extern const char* const kInvalidReasons[4];  // "header", "terminator", "checksum", "end"

// Where the decoded frames and events go, in time order.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void entry(const Entry& e) = 0;
    virtual void event(const Event& e) = 0;
    // A start record that begins a new run of the daemon (Run): the daemon started again.
    virtual void restart(const Event& start) = 0;
    // A file of several begins with its record at `t`.
    virtual void file(uint64_t t, const std::string& name) = 0;
    // The daemon dropped `d.count` records after the one at `d.t`.
    virtual void dropped(const Drop& d) = 0;
};

class Decoder {
public:
    Decoder();
    void add(Sink& sink) { mSinks.push_back(&sink); }
    // Feeds the next record; `continues`: its file continues an older one of the ring (a start
    // record there begins no new run).
    void feed(const exchangefile::Record& r, bool continues = false);
    void file(uint64_t t, const std::string& name);
    // The capture's writer noted records dropped after the last record fed.
    void dropped(const exchangefile::Dropped& dropped);
    // Ends the input: the last silence counted to the last record; the last cycle, still
    // waiting for its answer, is not a timeout.
    void finish();

    Summary summary;

private:
    void txFrame(const exchangefile::Record& r);
    void rxBytes(const exchangefile::Record& r);
    void replyFrame(const exchangefile::Record& r);
    void complete(const exchangefile::Record& r);
    void cycle(uint64_t t, bool frame);
    void answered(uint64_t t);
    uint64_t lateAnswers() const;
    void heard(uint64_t t);
    void emit(const Entry& e);
    void flushGarbage();
    void setEvent(const exchangefile::Record& r);
    void beginRun(const exchangefile::Record& r);
    void endRun();

    std::vector<Sink*> mSinks;
    proto::ReplyGatherer mGather;
    uint8_t mPoll[kFrameSize] = {};
    bool mWaiting = false;      // a cycle on an open port waits for its answer
    bool mAnswered = false;     // the cycle had an answer (a frame or a rejected start),
    uint64_t mFirstAnswer = 0;  // the first at this time
    uint64_t mPauses[65] = {};  // answered cycles by the time to the next frame: [2^(b-1), 2^b) µs
    bool mStarted = false;
    uint64_t mLastHeard = 0;
    uint64_t mLastT = 0;
    Entry mGarbage;  // frame starts dropped in one read, not yet emitted (bytes 0: none)
    Entry mReply;    // the last reply, its values for a reply of the same bytes
    uint8_t mLastReply[kFrameSize] = {};
    proto::ReplyFault mFailure = proto::ReplyFault::None;
    bool mHaveReply = false;
    uint64_t mLastValid = SetRun::kNever;  // the last valid reply
    SetRun* mPending = nullptr;            // the daemon's pending set (one at a time), listed
    Run mRun;                              // the run in hand: its counts so far
    Counts mRunBase;                       // the capture's counts when it began
};

// A start record's fields say that its capture began on a running exchange (exchange=running).
bool resumesExchange(const std::string& startFields);

// A daemon log with DEBUG frame dumps ("DORNBuffer(128): " then one "0x.." per record) turned
// into tx records; `next` gives the log's lines one by one (false at the end). False when the
// log holds none.
// `wallUs`: the log's clock at the first dump (the records' t = 0).
bool fromDebugLog(const std::function<bool(std::string&)>& next,
                  std::vector<exchangefile::Record>& out, uint64_t& wallUs);

// Output: text for a person or one JSON object per line for scripts, written to `out` through a
// large buffer.
class Printer : public Sink {
public:
    Printer(std::FILE* out, bool json);
    void setWall(uint64_t wallUs) { mWallUs = wallUs; }
    ~Printer() override;
    void entry(const Entry& e) override;
    void event(const Event& e) override;
    void restart(const Event& start) override;
    void file(uint64_t t, const std::string& name) override;
    void dropped(const Drop& d) override;
    // The summary; false when the output could not be written.
    bool finish(const Summary& s);

private:
    void wall(uint64_t t);
    void textVerdict(const Entry& e);
    void values(const Entry& e);
    void flush();

    std::FILE* mOut;
    bool mJson;
    uint64_t mWallUs = 0;
    std::string mBuf;
    int64_t mSecond = -1;  // the second whose text mDate holds
    char mDate[24] = {};
    uint64_t mValuesId = 0;  // the reply whose values text mValues holds (0: none)
    std::string mValues;
    uint64_t mShownId = 0;  // text: the reply whose values were printed last
    bool mFailed = false;
};

// `text` with each byte that is not part of a UTF-8 character replaced by U+FFFD: a capture's
// free text (a port's name, a reason) comes from the field, JSON and SVG need UTF-8.
std::string utf8(const std::string& text);

std::string textSummary(const Summary& s);
std::string jsonSummary(const Summary& s);

// The picture of the capture (--svg): reduced per pixel column while the records stream by.
class Night : public Sink {
public:
    Night();
    ~Night() override;
    void entry(const Entry& e) override;
    void event(const Event& e) override;
    void restart(const Event& start) override;
    void file(uint64_t, const std::string&) override {}
    void dropped(const Drop& d) override;
    std::string svg(const Summary& s) const;
    struct State;

private:
    std::unique_ptr<State> m;
};

}  // namespace borldecode
