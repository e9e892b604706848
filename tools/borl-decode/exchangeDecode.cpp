// Decoding of an exchange file with the daemon's own code (see exchangeDecode.h): the frames
// each way, the daemon's counts, and the frame dumps of a daemon log.
#include "exchangeDecode.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "linkMachine.h"

namespace borldecode {

using exchangefile::Kind;
using exchangefile::Record;

const char* const kInvalidReasons[4] = {"header", "terminator", "checksum", "end"};

namespace {

size_t checkIndex(proto::ReplyFault f) {
    return static_cast<size_t>(f) - 1;  // header, terminator, checksum, end
}

// An entry for what record `r` completed.
Entry entryOf(const Record& r, const char* kind, size_t bytes) {
    Entry e;
    e.t = r.t;
    e.line = r.line;
    e.kind = kind;
    e.bytes = bytes;
    return e;
}

}  // namespace

Decoder::Decoder() {
    proto::buildPollFrame(mPoll);
}

void Decoder::heard(uint64_t t) {
    const uint64_t gap = t - std::min(t, mLastHeard);
    for (Counts* c : {static_cast<Counts*>(&summary), static_cast<Counts*>(&mRun)}) {
        if (gap > c->longestSilenceUs) {
            c->longestSilenceUs = gap;
            c->silenceFromUs = mLastHeard;
        }
    }
    mLastHeard = t;
}

void Decoder::emit(const Entry& e) {
    for (Sink* s : mSinks)
        s->entry(e);
}

void Decoder::flushGarbage() {
    if (mGarbage.bytes == 0)
        return;
    emit(mGarbage);
    mGarbage.bytes = 0;
}

// A cycle of the daemon's on an open port begins (its frame at `t`, when recorded): the one
// before it, unanswered, timed out. An answered one's pause, from its first answer to this
// frame, is kept for finish.
void Decoder::cycle(uint64_t t, bool frame) {
    if (mWaiting)
        ++summary.timeouts;
    else if (frame && mAnswered)
        ++mPauses[t > mFirstAnswer ? 64 - __builtin_clzll(t - mFirstAnswer) : 0];
    mWaiting = true;
    mAnswered = false;
}

// The daemon pauses after the first answer within its wait before its next frame; it writes the
// next frame at once after a cycle whose wait ran out. A first answer followed by the next frame
// well within the usual pause came after the wait: the daemon counted a timeout. The usual pause is
// the most common one (of a millisecond or more: shorter ones cannot be told from the time a frame
// takes).
uint64_t Decoder::lateAnswers() const {
    size_t usual = 0;
    for (size_t b = 1; b < 65; ++b)
        usual = mPauses[b] > mPauses[usual] ? b : usual;
    uint64_t late = 0;
    for (size_t b = 0; usual >= 12 && b + 2 <= usual; ++b)
        late += mPauses[b];
    return late;
}

void Decoder::file(uint64_t t, const std::string& name) {
    for (Sink* s : mSinks)
        s->file(t, name);
}

void Decoder::feed(const Record& r, bool continues) {
    // A start record of a file that does not continue the one before begins a run of the
    // daemon: it started again.
    const bool restart = mStarted && r.kind == Kind::Start && !continues;
    if (restart)
        endRun();
    if (!mStarted)
        summary.firstUs = r.t;
    if (!mStarted || restart)
        beginRun(r);
    mStarted = true;
    mLastT = std::max(mLastT, r.t);
    if (r.kind == Kind::Tx)
        return txFrame(r);
    if (r.kind == Kind::Rx)
        return rxBytes(r);
    ++summary.records[static_cast<size_t>(r.kind)];
    if (r.kind == Kind::Start && summary.start.empty())
        summary.start = r.text;
    // A frame not taken whole by the line opens a cycle of its own when none of its bytes was
    // recorded above it.
    if ((r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) && r.value == 0)
        cycle(r.t, false);
    if (r.kind == Kind::SetRecorded || r.kind == Kind::SetConfirmed || r.kind == Kind::SetGivenUp)
        setEvent(r);
    // The daemon starts a frame afresh on every open.
    if (r.kind == Kind::Open || r.kind == Kind::Lost || r.kind == Kind::Reopen)
        mGather.restart();
    for (Sink* s : mSinks)
        restart ? s->restart(r) : s->event(r);
}

bool resumesExchange(const std::string& startFields) {
    proto::ResumeState state;
    return proto::resumeOf(startFields, state);
}

// A run of the daemon begins with its first record: silences count from there, not from the
// end of the run before (nor from t = 0 of a file read alone), and the frame gathering, the
// cycle and (for a new exchange) the pending set start afresh, as the daemon's do.
void Decoder::beginRun(const Record& r) {
    mRun = Run{};
    mRun.fromUs = r.t;
    if (r.kind == Kind::Start) {
        mRun.start = r.text;
        mRun.resumed = resumesExchange(r.text);
    }
    mRunBase = summary;
    mLastHeard = r.t;
    mWaiting = mAnswered = false;
    mGather.restart();
    if (!mRun.resumed)
        mPending = nullptr;
}

namespace {

// The counters of `now` since `base` into `out`; the silences are each run's own.
void countSince(Counts& out, const Counts& now, const Counts& base) {
    for (uint64_t Counts::*c :
         {&Counts::txFrames, &Counts::polls, &Counts::setFrames, &Counts::txOther,
          &Counts::rxFrames, &Counts::valid, &Counts::rejectedStarts, &Counts::timeouts})
        out.*c = now.*c - base.*c;
    for (size_t i = 0; i < 4; ++i)
        out.invalid[i] = now.invalid[i] - base.invalid[i];
    for (size_t k = 0; k < exchangefile::kKindCount; ++k)
        out.records[k] = now.records[k] - base.records[k];
}

}  // namespace

// The run ends at its last record: the line's silence up to there counts, the last cycle,
// still waiting for its answer, is no timeout, and its answers that came late are.
void Decoder::endRun() {
    flushGarbage();
    heard(mLastT);
    summary.timeouts += lateAnswers();
    std::fill(std::begin(mPauses), std::end(mPauses), 0);
    mRun.toUs = mLastT;
    countSince(mRun, summary, mRunBase);
    if (summary.runs.size() < Summary::kMaxRuns)
        summary.runs.push_back(mRun);
    else
        ++summary.runsNotListed;
}

// The daemon holds one pending set: a set recorded while another is pending replaces it; an
// outcome ends the pending set, at the valid reply just before it.
void Decoder::setEvent(const Record& r) {
    if (r.kind == Kind::SetRecorded) {
        if (mPending != nullptr)
            mPending->replaced = true;
        mPending = nullptr;  // the list may grow below
        if (summary.sets.size() == Summary::kMaxSets) {
            ++summary.setsNotListed;
            return;
        }
        summary.sets.emplace_back();
        mPending = &summary.sets.back();
        mPending->param = r.param;
        mPending->value = r.value;
        mPending->recorded = r.t;
        return;
    }
    if (mPending == nullptr || mPending->param != r.param || mPending->value != r.value)
        return;  // a set pending before the capture began
    mPending->outcome = r.kind;
    mPending->ended =
        mLastValid != SetRun::kNever && mLastValid >= mPending->recorded ? mLastValid : r.t;
    mPending = nullptr;
}

void Decoder::dropped(const exchangefile::Dropped& dropped) {
    const Drop d{mLastT, dropped.count, dropped.file, dropped.line, dropped.why};
    summary.droppedRecords += d.count;
    if (summary.drops.size() < Summary::kMaxDrops)
        summary.drops.push_back(d);
    for (Sink* s : mSinks)
        s->dropped(d);
}

void Decoder::txFrame(const Record& r) {
    cycle(r.t, true);
    Entry e = entryOf(r, "", r.bytes.size());
    e.tx = true;
    ++summary.txFrames;
    if (r.bytes.size() == kFrameSize && std::memcmp(r.bytes.data(), mPoll, kFrameSize) == 0) {
        e.kind = "poll";
        e.valid = true;
        ++summary.polls;
    }
    // A set frame is the one the daemon's builder makes for its parameter and value.
    for (int p = proto::kFirstParam;
         p <= proto::kLastParam && !e.valid && r.bytes.size() == kFrameSize; ++p) {
        uint8_t built[kFrameSize] = {};
        proto::buildSetFrame(built, r.bytes[proto::kIdByte + p], p);
        if (std::memcmp(built, r.bytes.data(), kFrameSize) == 0) {
            e.kind = "set";
            e.valid = true;
            e.param = p;
            e.value = r.bytes[proto::kIdByte + p];
            ++summary.setFrames;
            if (mPending != nullptr && mPending->param == p && mPending->value == e.value &&
                mPending->frames++ == 0)
                mPending->sent = r.t;
        }
    }
    if (!e.valid) {
        e.kind = "garbage";
        e.reason = r.bytes.size() == kFrameSize ? "not a poll or set frame" : "partial frame";
        ++summary.txOther;
    }
    emit(e);
}

void Decoder::rxBytes(const Record& r) {
    heard(r.t);
    const uint8_t* b = r.bytes.data();
    const size_t n = r.bytes.size();
    for (size_t i = 0; i < n; ++i) {
        // A whole reply read at a frame boundary, as a steady line gives it: what the
        // gatherer's 128 pushes would give (its header checks pass), without them.
        if (mGather.idx == 0 && n - i >= kFrameSize && b[i] == proto::kHead0 &&
            b[i + 1] == proto::kHead2 && b[i + 2] == proto::kHead1) {
            std::memcpy(mGather.respbuff, b + i, kFrameSize);
            i += kFrameSize - 1;
            complete(r);
            continue;
        }
        switch (mGather.push(b[i])) {
            case proto::ReplyGatherer::More:
                break;
            case proto::ReplyGatherer::Rejected:
                // The daemon's gatherer drops a frame start without its header at the fifth
                // byte; starts dropped one after the other within one read make one entry.
                answered(r.t);
                ++summary.rejectedStarts;
                if (mGarbage.bytes == 0) {
                    mGarbage = entryOf(r, "garbage", 0);
                    mGarbage.reason = "header";
                }
                mGarbage.bytes += 5;
                break;
            case proto::ReplyGatherer::Complete:
                complete(r);
                break;
        }
    }
    flushGarbage();
}

// A whole frame or a rejected frame start: the daemon's cycle has its answer, and pauses from
// the first (the others change nothing).
void Decoder::answered(uint64_t t) {
    mWaiting = false;
    mFirstAnswer = mAnswered ? mFirstAnswer : t;
    mAnswered = true;
}

void Decoder::complete(const Record& r) {
    answered(r.t);
    flushGarbage();
    replyFrame(r);
    mGather.restart();
}

void Decoder::replyFrame(const Record& r) {
    ++summary.rxFrames;
    mReply.t = r.t;
    mReply.line = r.line;
    // A reply identical to the one before says what that one said: decoded once.
    if (mHaveReply && std::memcmp(mLastReply, mGather.respbuff, kFrameSize) == 0) {
        ++(mReply.valid ? summary.valid : summary.invalid[checkIndex(mFailure)]);
        mLastValid = mReply.valid ? r.t : mLastValid;
        return emit(mReply);
    }
    std::memcpy(mLastReply, mGather.respbuff, kFrameSize);
    mHaveReply = true;
    const uint64_t id = mReply.replyId + 1;
    mReply = entryOf(r, "reply", kFrameSize);
    mReply.replyId = id;
    mReply.status = mGather.respbuff[proto::kStatusByte];
    const proto::ReplyFault fault = proto::checkReply(mGather.respbuff);
    mReply.valid = fault == proto::ReplyFault::None;
    if (mReply.valid) {
        uint8_t block[kDataBlockSize];
        proto::copyDataBlock(mGather.respbuff, block);
        ++summary.valid;
        mLastValid = r.t;
        mReply.hasValues = true;
        for (int i = 0; i < points::kSetpoints; ++i)
            mReply.setpoints[i] = points::setpointValue(block, i);
        for (int i = 0; i < points::kInputs; ++i)
            mReply.inputs[i] = points::inputValue(block, i);
    } else {
        mFailure = fault;
        mReply.reason = kInvalidReasons[checkIndex(fault)];
        mReply.why = proto::faultText(fault);
        ++summary.invalid[checkIndex(fault)];
    }
    emit(mReply);
}

void Decoder::finish() {
    flushGarbage();
    if (mStarted)
        endRun();
    summary.durationUs = mLastT;
}

namespace {

// "2026-12-08 08:59:41,214 ..." gives the log's clock in µs since the epoch; false for another
// line.
bool logClock(const std::string& line, uint64_t& t) {
    tm when{};
    unsigned ms = 0;
    if (std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d,%3u", &when.tm_year, &when.tm_mon,
                    &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec, &ms) != 7 ||
        when.tm_year < 1970 || when.tm_mon < 1 || when.tm_mon > 12 || ms > 999) {
        return false;
    }
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    const time_t secs = timegm(&when);
    if (secs < 0)
        return false;
    t = static_cast<uint64_t>(secs) * 1000000ull + ms * 1000ull;
    return true;
}

// One dumped byte per record: the message is "0xHH" and nothing else (a line such as
// "AC-1 Hours = 0x04D2" of another thread is not one).
bool dumpedByte(const std::string& line, uint8_t& out) {
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\r'))
        --end;
    const size_t x = end >= 4 ? end - 4 : std::string::npos;
    unsigned byte = 0;
    if (x == std::string::npos || line.compare(x, 2, "0x") != 0 ||
        (x != 0 && line[x - 1] != ' ' && line[x - 1] != ':') ||
        !std::isxdigit(static_cast<unsigned char>(line[x + 2])) ||
        !std::isxdigit(static_cast<unsigned char>(line[x + 3])) ||
        std::sscanf(line.c_str() + x, "0x%2X", &byte) != 1) {
        return false;
    }
    out = static_cast<uint8_t>(byte);
    return true;
}

}  // namespace

bool fromDebugLog(const std::function<bool(std::string&)>& next, std::vector<Record>& out,
                  uint64_t& wallUs) {
    out.clear();
    std::string line;
    size_t lineNo = 0;
    Record current;
    size_t want = 0;
    uint64_t t = 0;
    while (next(line)) {
        ++lineNo;
        if (line.size() > exchangefile::kMaxLine)
            continue;
        logClock(line, t);
        const size_t dump = line.find("DORNBuffer(");
        unsigned n = 0;
        if (dump != std::string::npos) {
            if (std::sscanf(line.c_str() + dump, "DORNBuffer(%u)", &n) == 1 && n > 0 &&
                n <= kFrameSize) {
                current = Record{};
                current.kind = Kind::Tx;
                current.t = t;
                current.line = lineNo;
                want = n;
            }
            continue;
        }
        uint8_t byte = 0;
        if (want > 0 && dumpedByte(line, byte)) {
            current.bytes.push_back(byte);
            if (--want == 0)
                out.push_back(current);
        }
    }
    if (out.empty())
        return false;
    // The records' time is from the first dump on, and never goes back.
    const uint64_t t0 = out.front().t;
    wallUs = t0;
    uint64_t last = 0;
    for (Record& r : out) {
        r.t = std::max(r.t >= t0 ? r.t - t0 : 0, last);
        last = r.t;
    }
    return true;
}

}  // namespace borldecode
