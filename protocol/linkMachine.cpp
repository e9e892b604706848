#include "linkMachine.h"

#include <algorithm>

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
    return t;
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
    mAwaiting = mAnswered = mWritten = false;
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

// ---- The transmit side ----

const TxFrame& LinkMachine::beginCycle(uint64_t now) {
    mFrame = &mPoll;
    if (mPending.changeVal_status) {
        // From now on a reply can show whether the controller took it.
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
    // Whatever became of the frame on an open port, an unanswered cycle is a timeout.
    mWritten = result != WriteResult::NoPort;
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
    for (size_t i = 0; i < n; ++i) {
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

void LinkMachine::pickUpSet(uint64_t /*now*/, std::map<int, float>& setValues, int portNum) {
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
    uint64_t next = kNever;
    offlineDue(now, next);
    if (now >= mNextStatsMs) {
        mNextStatsMs = now + mTiming.statsIntervalMs;
        emit(LinkEvent{LinkEvent::Statistics});
    }
    next = std::min(next, mNextStatsMs);
    if (!mPortOpen)
        next = std::min(next, mNextReopen);
    return next;
}

// The device goes offline once no valid reply came for the offline time. While the controller
// flaps (offline again within a period of the last such line) the spells are counted, in the
// next line, instead of each being logged; a spell counted only is logged once it lasts.
void LinkMachine::offlineDue(uint64_t now, uint64_t& next) {
    if (mEverOnline && !mOfflineReported) {
        const uint64_t due = mLastValidMs + mTiming.offlineMs;
        if (now < due) {
            next = std::min(next, due);
            return;
        }
        mOfflineReported = true;
        LinkEvent e{LinkEvent::Offline};
        e.ms = now - mLastValidMs;
        e.say = mOfflineLog.occurred(now, mTiming.repeatMs);
        e.count = mOfflineLog.sinceLine();
        mOfflineLogged = e.say != Say::Quiet;
        emit(std::move(e));
    }
    if (mOfflineReported && !mOfflineLogged) {
        const uint64_t due = mLastValidMs + mTiming.offlineMs + mTiming.repeatMs;
        if (now < due) {
            next = std::min(next, due);
            return;
        }
        mOfflineLogged = true;
        LinkEvent e{LinkEvent::OfflineLogged};
        e.ms = now - mLastValidMs;
        emit(std::move(e));
    }
}

// ---- The port ----

void LinkMachine::portLost(uint64_t now, const char* reason) {
    LinkEvent e{LinkEvent::PortLost};
    e.text = reason;
    emit(std::move(e));
    mPortOpen = false;
    mRx.restart();
    // Every loss starts the back-off afresh: the first retry comes soon.
    mReopenDelayMs = mTiming.reopenMinMs;
    mNextReopen = now + mReopenDelayMs;
}

void LinkMachine::portReopened(uint64_t /*now*/) {
    mStats.reopens++;
    mPortOpen = true;
    mRx.restart();
    LinkEvent e{LinkEvent::PortReopened};
    e.count = mReopenLog.ended();
    emit(std::move(e));
}

void LinkMachine::reopenFailed(uint64_t now) {
    if (mReopenLog.occurred(now, mTiming.repeatMs) == Say::Summary) {
        LinkEvent e{LinkEvent::ReopenFailing};
        e.count = mReopenLog.total();
        emit(std::move(e));
    }
    mReopenDelayMs = std::min(mReopenDelayMs * 2, mTiming.reopenMaxMs);
    mNextReopen = now + mReopenDelayMs;
}

}  // namespace proto
