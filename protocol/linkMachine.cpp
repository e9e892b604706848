#include "linkMachine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace proto {

using Say = qlog::RepeatLimit::Say;

ExchangeTiming ExchangeTiming::scaled(unsigned n) const {
    ExchangeTiming t = *this;
    if (n <= 1)
        return t;
    for (unsigned ExchangeTiming::*m :
         {&ExchangeTiming::startDelayMs, &ExchangeTiming::pauseMs, &ExchangeTiming::waitMs,
          &ExchangeTiming::offlineMs, &ExchangeTiming::reopenMinMs, &ExchangeTiming::reopenMaxMs,
          &ExchangeTiming::repeatMs})
        t.*m = std::max(1u, t.*m / n);
    t.timeScale = timeScale * n;
    return t;
}

namespace {

// The timings a start record names, each with its key.
struct TimingKey {
    const char* key;
    unsigned ExchangeTiming::*member;
};
constexpr TimingKey kTimingKeys[] = {
    {"time-scale", &ExchangeTiming::timeScale},   {"start-delay", &ExchangeTiming::startDelayMs},
    {"pause", &ExchangeTiming::pauseMs},          {"wait", &ExchangeTiming::waitMs},
    {"offline", &ExchangeTiming::offlineMs},      {"reopen-min", &ExchangeTiming::reopenMinMs},
    {"reopen-max", &ExchangeTiming::reopenMaxMs}, {"repeat", &ExchangeTiming::repeatMs},
};

// The value of `key` in a start record's "key=value ..." text; empty when absent.
std::string fieldOf(const std::string& text, const std::string& key) {
    const std::string needle = key + "=";
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        if (at == 0 || text[at - 1] == ' ') {
            const size_t from = at + needle.size();
            return text.substr(from, text.find(' ', from) - from);
        }
    }
    return std::string();
}

uint64_t numberOf(const std::string& text, uint64_t otherwise) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' ? n : otherwise;
}

}  // namespace

StartFields timingFields(const ExchangeTiming& t) {
    StartFields f;
    for (const TimingKey& k : kTimingKeys)
        f.emplace_back(k.key, std::to_string(t.*k.member));
    return f;
}

ExchangeTiming timingOf(const std::string& startText) {
    ExchangeTiming t;
    for (const TimingKey& k : kTimingKeys) {
        const uint64_t v = numberOf(fieldOf(startText, k.key), t.*k.member);
        t.*k.member = static_cast<unsigned>(std::min<uint64_t>(v, 24ull * 3600 * 1000));
    }
    return t;
}

StartFields resumeFields(const ResumeState* s) {
    if (s == nullptr)
        return {{"exchange", "new"}};
    const char* const online[] = {"never", "yes", "no"};
    StartFields f = {{"exchange", "running"}, {"online", online[s->online]}};
    if (s->online != ResumeState::Never)
        f.emplace_back("valid-ago", std::to_string(s->validAgoMs));
    if (s->pending.changeVal_status) {
        char set[64];
        std::snprintf(set, sizeof set, "%d:%u:%d:%d", s->pending.changePort,
                      unsigned{s->pending.changeVal}, s->pending.written ? 1 : 0,
                      s->pending.replies);
        f.emplace_back("set", set);
    }
    if (!s->portOpen)
        f.emplace_back("reopen-in",
                       std::to_string(s->reopenInMs) + ":" + std::to_string(s->reopenDelayMs));
    return f;
}

bool resumeOf(const std::string& text, ResumeState& s) {
    if (fieldOf(text, "exchange") != "running")
        return false;
    s = ResumeState{};
    const std::string online = fieldOf(text, "online");
    s.online = online == "yes"  ? ResumeState::Yes
               : online == "no" ? ResumeState::No
                                : ResumeState::Never;
    s.validAgoMs = numberOf(fieldOf(text, "valid-ago"), 0);
    unsigned port = 0, value = 0, written = 0, replies = 0;
    if (std::sscanf(fieldOf(text, "set").c_str(), "%u:%u:%u:%u", &port, &value, &written,
                    &replies) == 4 &&
        value < 256) {
        s.pending = PendingSet{true, static_cast<int>(port), static_cast<uint8_t>(value),
                               written != 0, static_cast<int>(replies)};
    }
    unsigned long long in = 0, delay = 0;
    if (std::sscanf(fieldOf(text, "reopen-in").c_str(), "%llu:%llu", &in, &delay) == 2) {
        s.portOpen = false;
        s.reopenInMs = in;
        s.reopenDelayMs = static_cast<unsigned>(delay);
    }
    return true;
}

bool recordOf(const LinkEvent& e, EventRecord& r) {
    using exchangefile::Kind;
    switch (e.type) {
        case LinkEvent::Online:
            r = {Kind::Online};
            return true;
        case LinkEvent::Offline:
            r = {Kind::Offline};
            return true;
        case LinkEvent::SetRecorded:
            r = {Kind::SetRecorded, e.port, e.value};
            return true;
        case LinkEvent::SetConfirmed:
            r = {Kind::SetConfirmed, e.port, e.value};
            return true;
        case LinkEvent::SetGivenUp:
            r = {Kind::SetGivenUp, e.port, e.value};
            return true;
        case LinkEvent::PortLost:
            r = {Kind::Lost, 0, 0, e.text};
            return true;
        case LinkEvent::PortReopened:
            r = {Kind::Reopen};
            return true;
        default:
            return false;
    }
}

LinkMachine::LinkMachine(LinkSink& sink, const ExchangeTiming& timing)
    : mSink(sink), mTiming(timing) {
    mPoll.len = static_cast<uint8_t>(buildPollFrame(mPoll.bytes));
    mReopenDelayMs = mTiming.reopenMinMs;
}

void LinkMachine::reset() {
    mStats = LinkStats{};
    mFrame = &mPoll;
    mCycleEnd = 0;
    mAwaiting = mAnswered = mWritten = mSetTaken = false;
    mStallLog = qlog::RepeatLimit{};
    mRx.restart();
    mLastValidMs = 0;
    mEverOnline = mOfflineReported = mOfflineLogged = false;
    mNextStatsMs = 0;
    mInvalidLog = mOfflineLog = mReopenLog = qlog::RepeatLimit{};
    mPending = PendingSet{};
    mPortOpen = true;
    mReopenDelayMs = mTiming.reopenMinMs;
    mNextReopen = 0;
}

ResumeState LinkMachine::resumeState(uint64_t now) const {
    ResumeState s;
    s.online = !mEverOnline       ? ResumeState::Never
               : mOfflineReported ? ResumeState::No
                                  : ResumeState::Yes;
    s.validAgoMs = now - std::min(now, mLastValidMs);
    s.pending = mPending;
    s.portOpen = mPortOpen;
    s.reopenInMs = mNextReopen - std::min(now, mNextReopen);
    s.reopenDelayMs = mReopenDelayMs;
    return s;
}

void LinkMachine::resume(uint64_t now, const ResumeState& s) {
    mEverOnline = s.online != ResumeState::Never;
    mOfflineReported = s.online == ResumeState::No;
    mOfflineLogged = mOfflineReported;
    mLastValidMs = now - std::min(now, s.validAgoMs);
    mPending = s.pending;
    mPortOpen = s.portOpen;
    if (!mPortOpen) {
        mNextReopen = now + s.reopenInMs;
        mReopenDelayMs = s.reopenDelayMs;
    }
}

// ---- The transmit side ----

const TxFrame& LinkMachine::beginCycle(uint64_t now) {
    mFrame = &mPoll;
    mSetTaken = false;
    if (mPending.changeVal_status) {
        // From now on a reply can show whether the controller took it.
        mSetTaken = !mPending.written;
        mPending.written = true;
        mSet = TxFrame{};
        mSet.isSet = true;
        mSet.port = mPending.changePort;
        mSet.value = mPending.changeVal;
        mSet.len = static_cast<uint8_t>(buildSetFrame(mSet.bytes, mSet.value, mSet.port));
        mFrame = &mSet;
        LinkEvent e{LinkEvent::SetFrameBuilt};
        e.port = mSet.port;
        e.value = mSet.value;
        e.frame = mSet.bytes;
        e.txFrame = &mSet;
        emit(std::move(e));
    }
    // An answer counts only when it comes after this frame went out: the wait starts before
    // the write.
    mAwaiting = true;
    mAnswered = false;
    mWritten = false;
    mCycleEnd = now + mTiming.waitMs;
    return *mFrame;
}

void LinkMachine::frameWritten(uint64_t now, WriteResult result, size_t sent) {
    mStats.txCycles++;
    // Whatever became of the frame on an open port, an unanswered cycle is a timeout. A set frame
    // that met no port at all has not gone out.
    mWritten = result != WriteResult::NoPort;
    if (!mWritten && mSetTaken)
        mPending.written = false;
    if (result == WriteResult::Whole) {
        (mFrame->isSet ? mStats.setFrames : mStats.pollFrames)++;
        LinkEvent e{LinkEvent::FrameSent};
        e.count = sent;
        emit(std::move(e));
    } else if (result == WriteResult::Abandoned) {
        // Reported once when the line stalls, then summarised once a period while it stays.
        mStats.abandonedFrames++;
        LinkEvent e{LinkEvent::FrameAbandoned};
        e.say = mStallLog.occurred(now, mTiming.repeatMs);
        e.count = sent;
        e.total = mStallLog.total();
        emit(std::move(e));
    }
}

bool LinkMachine::endCycle(uint64_t /*now*/) {
    mAwaiting = false;
    if (mAnswered) {
        // The stall is over once a frame is answered: a frame that the line buffered after the
        // flush made room proves nothing.
        if (const uint64_t abandoned = mStallLog.ended()) {
            LinkEvent e{LinkEvent::LineTakesFramesAgain};
            e.count = abandoned;
            emit(std::move(e));
        }
        return true;
    }
    if (mWritten) {
        mStats.timeouts++;
        emit(LinkEvent{LinkEvent::TimedOut});
    }
    return false;
}

// The first answer to a frame (a reply, valid or not, or a frame start dropped for its header)
// within the wait time moves the cycle's end to the pause after it; a later one, or one in the
// pause, changes nothing.
void LinkMachine::answered(uint64_t now) {
    if (mAwaiting && now < mCycleEnd) {
        mAwaiting = false;
        mAnswered = true;
        mCycleEnd = now + mTiming.pauseMs;
    }
}

// ---- The receive side ----

void LinkMachine::startReceiving(uint64_t now, bool portOpen) {
    mLastValidMs = now;
    mNextStatsMs = now + mTiming.statsIntervalMs;
    mReopenDelayMs = mTiming.reopenMinMs;
    mPortOpen = portOpen;
    if (!portOpen) {
        mNextReopen = now + mReopenDelayMs;
        emit(LinkEvent{LinkEvent::PortNotOpen});
    }
}

void LinkMachine::bytesRead(uint64_t now, const uint8_t* bytes, size_t n) {
    advance(now);
    for (size_t i = 0; i < n; ++i) {
        i += mRx.pushMiddle(bytes + i, n - i);
        if (i == n)
            break;
        switch (mRx.push(bytes[i])) {
            case ReplyGatherer::More:
                break;
            case ReplyGatherer::Rejected:
                mStats.rejectedStarts++;
                answered(now);
                break;
            case ReplyGatherer::Complete:
                replyComplete(now);
                answered(now);
                // Stale bytes of an invalid frame must never complete the next one.
                mRx.restart();
                break;
        }
    }
}

void LinkMachine::replyComplete(uint64_t now) {
    const ReplyFault fault = checkReply(mRx.respbuff);
    if (fault == ReplyFault::None)
        replyValid(now, mRx.respbuff);
    else
        replyInvalid(now, fault);
}

void LinkMachine::replyValid(uint64_t now, const uint8_t* frame) {
    copyDataBlock(frame, mBlock);
    LinkEvent published{LinkEvent::ReplyValid};
    published.frame = frame;
    published.block = mBlock;
    emit(std::move(published));

    mStats.validReplies++;
    mLastValidMs = now;
    // A valid reply ends an episode of invalid ones once none has come for a whole period.
    endQuietEpisode(mInvalidLog, now, LinkEvent::RepliesValidAgain);
    if (!mEverOnline || mOfflineReported) {
        LinkEvent e{LinkEvent::Online};
        e.logged = mOfflineReported && mOfflineLogged;
        emit(std::move(e));
    }
    mEverOnline = true;
    mOfflineReported = false;
    // A period online after the controller flapped: its offline spells are over.
    endQuietEpisode(mOfflineLog, now, LinkEvent::OnlineSpellsEnded);
    // Only a valid reply can confirm a set: an invalid one shows nothing of the controller.
    checkSet(mBlock);
}

// An invalid reply: the first of an episode is logged with its reason, the others once a period
// in a line that counts them; the per-reason counts are in the statistics.
void LinkMachine::replyInvalid(uint64_t now, ReplyFault fault) {
    mStats.invalid[static_cast<int>(fault) - 1]++;
    LinkEvent e{LinkEvent::ReplyInvalid};
    e.fault = fault;
    e.say = mInvalidLog.occurred(now, mTiming.repeatMs);
    e.count = mInvalidLog.sinceLine();
    emit(std::move(e));
}

// An episode of a repeating fault is over once it has not occurred for a whole period: said in
// one event with its counts, when it had more than its first occurrence.
void LinkMachine::endQuietEpisode(qlog::RepeatLimit& episode, uint64_t now, LinkEvent::Type type) {
    if (!episode.idle(now, mTiming.repeatMs))
        return;
    LinkEvent e{type};
    e.unreported = episode.unreported();
    e.count = episode.ended();
    if (e.count > 1)
        emit(std::move(e));
}

// The confirmation after a valid reply: the pending set ends when the controller reports the
// value at data block index port - 1 in a reply that came after a set frame carrying that value
// (a reply to an earlier frame shows the controller as it was before). A controller that keeps
// answering without the value (it refuses or clamps it) has the set given up after kSetReplies
// replies, so that the sets queued behind it are written.
void LinkMachine::checkSet(const uint8_t* block) {
    if (!mPending.changeVal_status)
        return;
    const int port = mPending.changePort;
    LinkEvent checked{LinkEvent::SetChecked};
    checked.port = port;
    if (port >= 1 && port <= kDataBlockSize) {
        checked.index = port - 1;
        checked.value = block[port - 1];
    }
    emit(std::move(checked));
    if (!mPending.written)
        return;

    LinkEvent e{LinkEvent::SetConfirmed};
    e.port = port;
    e.value = mPending.changeVal;
    // A parameter the data block has no byte for can never be shown: it is given up as well.
    if (checked.index < 0 || checked.value != mPending.changeVal) {
        if (++mPending.replies < kSetReplies)
            return;
        e.type = LinkEvent::SetGivenUp;
        e.count = static_cast<uint64_t>(mPending.replies);
        mStats.givenUpSets++;
    }
    endSet();
    emit(std::move(e));
}

void LinkMachine::endSet() {
    mPending = PendingSet{};
}

void LinkMachine::pickUpSet(uint64_t now, std::map<int, float>& setValues, int portNum) {
    advance(now);
    if (setValues.empty())
        return;
    auto entry = setValues.find(portNum);
    if (entry == setValues.end()) {
        if (mPending.changeVal_status)
            return;  // the next waits until the pending set has ended
        entry = setValues.begin();
    }
    const int port = entry->first;
    const float value = entry->second;
    setValues.erase(entry);

    LinkEvent taken{LinkEvent::SetTaken};
    taken.port = port;
    taken.requested = value;
    emit(std::move(taken));
    if (!(value >= 0.0f && value < 256.0f)) {
        LinkEvent e{LinkEvent::SetDropped};
        e.port = port;
        e.requested = value;
        emit(std::move(e));
        return;
    }
    const uint8_t byte = static_cast<uint8_t>(static_cast<uint32_t>(value));
    const PendingSet displaced = mPending;
    mPending = PendingSet{true, port, byte};
    // A set for another port that the new one displaced is written after it, unless a newer
    // value for its port already waits.
    if (displaced.changeVal_status && displaced.changePort != port &&
        setValues.find(displaced.changePort) == setValues.end())
        setValues.emplace(displaced.changePort, static_cast<float>(displaced.changeVal));
    LinkEvent e{LinkEvent::SetRecorded};
    e.port = port;
    e.value = byte;
    emit(std::move(e));
}

uint64_t LinkMachine::timeout(uint64_t now) {
    advance(now);
    return mPortOpen ? dueWork() : std::min(dueWork(), mNextReopen);
}

uint64_t LinkMachine::dueWork() const {
    uint64_t next = mNextStatsMs;
    if (mEverOnline && !mOfflineReported)
        next = std::min(next, mLastValidMs + mTiming.offlineMs);
    else if (mOfflineReported && !mOfflineLogged)
        next = std::min(next, mLastValidMs + mTiming.offlineMs + mTiming.repeatMs);
    return next;
}

// The work due by `now`: every input of the receive side runs it first, so that the rules come
// out the same however often the caller asks for it between inputs. The transmit side's inputs
// leave it to the receive side: nothing they decide depends on it, and the transmit thread never
// publishes.
void LinkMachine::advance(uint64_t now) {
    offlineDue(now);
    if (now >= mNextStatsMs) {
        mNextStatsMs = now + mTiming.statsIntervalMs;
        emit(LinkEvent{LinkEvent::Statistics});
    }
}

// The device goes offline once no valid reply came for the offline time. While the controller
// flaps (offline again within a period of the last such line) the spells are counted, in the
// next line, instead of each being logged; a spell counted only is logged once it lasts.
void LinkMachine::offlineDue(uint64_t now) {
    if (mEverOnline && !mOfflineReported) {
        if (now < mLastValidMs + mTiming.offlineMs)
            return;
        mOfflineReported = true;
        LinkEvent e{LinkEvent::Offline};
        e.ms = now - mLastValidMs;
        e.say = mOfflineLog.occurred(now, mTiming.repeatMs);
        e.count = mOfflineLog.sinceLine();
        mOfflineLogged = e.say != Say::Quiet;
        emit(std::move(e));
    }
    if (mOfflineReported && !mOfflineLogged) {
        if (now < mLastValidMs + mTiming.offlineMs + mTiming.repeatMs)
            return;
        mOfflineLogged = true;
        LinkEvent e{LinkEvent::OfflineLogged};
        e.ms = now - mLastValidMs;
        emit(std::move(e));
    }
}

// ---- The port ----

void LinkMachine::portLost(uint64_t now, const char* reason) {
    advance(now);
    LinkEvent e{LinkEvent::PortLost};
    e.text = reason;
    emit(std::move(e));
    mPortOpen = false;
    mRx.restart();
    // Every loss starts the back-off afresh: the first retry comes soon.
    mReopenDelayMs = mTiming.reopenMinMs;
    mNextReopen = now + mReopenDelayMs;
}

void LinkMachine::portReopened(uint64_t now) {
    advance(now);
    mStats.reopens++;
    mPortOpen = true;
    mRx.restart();
    LinkEvent e{LinkEvent::PortReopened};
    e.count = mReopenLog.ended();
    emit(std::move(e));
}

void LinkMachine::reopenFailed(uint64_t now) {
    advance(now);
    if (mReopenLog.occurred(now, mTiming.repeatMs) == Say::Summary) {
        LinkEvent e{LinkEvent::ReopenFailing};
        e.count = mReopenLog.total();
        emit(std::move(e));
    }
    mReopenDelayMs = std::min(mReopenDelayMs * 2, mTiming.reopenMaxMs);
    mNextReopen = now + mReopenDelayMs;
}

}  // namespace proto
