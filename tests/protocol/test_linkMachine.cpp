// The exchange's rules with the time passed in: nothing is waited for, so a rule that takes ten
// seconds or 49 days of uptime is checked in microseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "linkMachine.h"
#include "replyFrames.h"

namespace {

using proto::ExchangeTiming;
using proto::LinkEvent;
using proto::LinkMachine;
using proto::WriteResult;
using testsupport::block;
using testsupport::reply;

// A machine with a sink that keeps every event with the time it came at.
struct Rig : proto::LinkSink {
    LinkMachine m{*this};
    uint64_t now = 0;
    std::vector<std::pair<uint64_t, LinkEvent::Type>> trace;
    std::map<int, float> sets;  // vexad's requests
    int latest = 0;

    explicit Rig(const ExchangeTiming& t = ExchangeTiming{}, uint64_t start = 0) : now(start) {
        m.setTiming(t);
        m.startReceiving(now, true);
    }
    void onEvent(const LinkEvent& e) override { trace.emplace_back(now, e.type); }

    size_t count(LinkEvent::Type type) const {
        size_t n = 0;
        for (const auto& e : trace)
            n += e.second == type;
        return n;
    }
    // Runs the due work from now up to `t`, as the receive loop wakes for it.
    void until(uint64_t t) {
        for (uint64_t next = m.timeout(now); next > now && next <= t; next = m.timeout(now))
            now = next;
        now = t;
        m.timeout(now);
    }
    void bytes(const testsupport::Bytes& b) { m.bytesRead(now, b.data(), b.size()); }
    // One whole cycle at `now`: the frame goes out whole, `answer` comes 100 ms later (none
    // when empty), the cycle ends when it is due. Returns whether it was a set frame.
    bool cycle(const testsupport::Bytes& answer) {
        const bool set = m.beginCycle(now).isSet;
        m.frameWritten(now, WriteResult::Whole, kFrameSize);
        if (!answer.empty()) {
            until(now + 100);
            bytes(answer);
        }
        until(m.cycleEnd());
        m.endCycle(now);
        return set;
    }
    void request(int port, float value) {
        sets[port] = value;
        latest = port;
        m.pickUpSet(now, sets, latest);
    }
};

testsupport::Bytes badReply() {
    testsupport::Bytes r = reply();
    r[126] ^= 0xFF;
    return r;
}

// The cadence and the offline rule, at the production timing and at several bases of the clock:
// every event comes at the same time after the base whether the clock reads 0, just short of
// 2^31 or 2^32 ms (a unit up for 24.9 or 49.7 days), or far beyond.
TEST(LinkMachine, CadenceOfflineAndBackOffAreTheSameAtEveryBaseOfTheClock) {
    const auto run = [](uint64_t base) {
        Rig r(ExchangeTiming{}, base);
        for (int i = 0; i < 5; ++i)
            r.cycle(reply());  // answered: 100 ms to the reply, then the 1 s pause
        for (int i = 0; i < 8; ++i)
            r.cycle({});  // silent: the 2 s wait each
        r.cycle(reply());
        r.m.portLost(r.now, "gone");
        for (int i = 0; i < 4; ++i) {
            r.until(r.m.nextReopenMs());
            r.m.reopenFailed(r.now);
        }
        std::vector<std::pair<uint64_t, LinkEvent::Type>> relative;
        for (const auto& e : r.trace)
            relative.emplace_back(e.first - base, e.second);
        return std::make_pair(relative, r.m.nextReopenMs() - base);
    };
    const auto reference = run(0);
    // Answered cycles 1.1 s apart, the last valid reply at 4.5 s, offline 10 s after it.
    EXPECT_NE(std::find(reference.first.begin(), reference.first.end(),
                        std::make_pair(uint64_t{100}, LinkEvent::ReplyValid)),
              reference.first.end());
    EXPECT_NE(std::find(reference.first.begin(), reference.first.end(),
                        std::make_pair(uint64_t{14500}, LinkEvent::Offline)),
              reference.first.end());
    for (uint64_t base : {(uint64_t{1} << 31) - 7000, (uint64_t{1} << 32) - 7000,
                          (uint64_t{1} << 32) - 1, uint64_t{1} << 40}) {
        SCOPED_TRACE(base);
        EXPECT_EQ(run(base), reference);
    }
}

// The device is reported offline 10 s after the last valid reply, whatever comes meanwhile that
// is not a valid reply; a valid reply brings it back, and the next silence takes it offline
// again.
TEST(LinkMachine, OfflineTenSecondsAfterTheLastValidReplyInEverySpell) {
    const struct {
        const char* legend;
        testsupport::Bytes answer;  // what the line brings in each cycle after the valid one
    } cases[] = {
        {"silent line", {}},
        {"only invalid replies", badReply()},
        {"only frame starts with a wrong header", testsupport::Bytes(5, 0x55)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        Rig r;
        for (int spell = 1; spell <= 2; ++spell) {
            r.cycle(reply());
            const uint64_t lastValid = r.m.lastValidMs();
            while (r.now + 2000 < lastValid + 9999)  // a cycle lasts 2 s at most
                r.cycle(c.answer);
            r.until(lastValid + 9999);
            EXPECT_EQ(r.count(LinkEvent::Offline), size_t(spell - 1));
            r.until(lastValid + 10000);
            EXPECT_EQ(r.count(LinkEvent::Offline), size_t(spell));
            EXPECT_TRUE(r.m.offline());
        }
        r.cycle(reply());
        EXPECT_EQ(r.count(LinkEvent::Online), 3u);
        EXPECT_FALSE(r.m.offline());
    }
}

// The re-open back-off starts at its least after every loss, doubles with every failed attempt
// and stops at its most, at the production timing and at each lab time scale.
TEST(LinkMachine, ReopenBackOffFollowsTheTimeScale) {
    for (unsigned scale : {1u, 10u, 50u, 1000u}) {
        SCOPED_TRACE(scale);
        const ExchangeTiming t = ExchangeTiming{}.scaled(scale);
        EXPECT_EQ(t.reopenMinMs, std::max(1u, 1000u / scale));
        EXPECT_EQ(t.reopenMaxMs, std::max(1u, 30000u / scale));
        Rig r(t);
        for (int loss = 0; loss < 2; ++loss) {
            r.m.portLost(r.now, "gone");
            std::vector<unsigned> delays;
            for (int attempt = 0; attempt < 7; ++attempt) {
                delays.push_back(static_cast<unsigned>(r.m.nextReopenMs() - r.now));
                r.until(r.m.nextReopenMs());
                ASSERT_TRUE(r.m.reopenDue(r.now));
                r.m.reopenFailed(r.now);
            }
            const std::vector<unsigned> want = {1000, 2000, 4000, 8000, 16000, 30000, 30000};
            for (size_t i = 0; i < want.size(); ++i)
                EXPECT_EQ(delays[i], std::max(1u, want[i] / scale)) << "attempt " << i;
            r.m.portReopened(r.now);
        }
        EXPECT_EQ(r.m.stats().reopens, 2u);
    }
}

// The first answer within the wait moves the cycle's end to the pause after it; a part of a
// reply, or an answer after the wait, leaves it.
TEST(LinkMachine, AnAnswerWithinTheWaitStartsThePause) {
    const testsupport::Bytes good = reply();
    const struct {
        const char* legend;
        testsupport::Bytes bytes;
        uint64_t after;  // ms after the frame
        uint64_t end;    // the cycle's end, ms after the frame
    } cases[] = {
        {"valid reply", good, 300, 1300},
        {"invalid reply", badReply(), 300, 1300},
        {"rejected frame start", testsupport::Bytes(5, 0x55), 300, 1300},
        {"part of a reply", testsupport::Bytes(good.begin(), good.begin() + 40), 300, 2000},
        {"reply after the wait", good, 2000, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        Rig r;
        r.m.beginCycle(0);
        r.m.frameWritten(0, WriteResult::Whole, kFrameSize);
        r.now = c.after;
        r.bytes(c.bytes);
        EXPECT_EQ(r.m.cycleEnd(), c.end);
        EXPECT_EQ(r.m.endCycle(r.m.cycleEnd()), c.end != 2000);
        EXPECT_EQ(r.m.stats().timeouts, c.end == 2000 ? 1u : 0u);
    }
}

// A faulty frame start or frame is counted under its fault and leaves nothing behind: the reply
// after it is decoded; a stray byte loses the replies it shifts until one lands in step again.
TEST(LinkMachine, AFaultIsCountedAndTheRepliesAfterItAreDecoded) {
    testsupport::Bytes own = reply();
    own[1] = 'I';  // the daemon's own header
    own[2] = 'O';
    testsupport::Bytes longer = reply();
    longer.insert(longer.begin() + 60, 0x55);  // a byte too many: the frame ends before 0xA5
    longer.resize(128);
    const struct {
        const char* legend;
        testsupport::Bytes bytes;
        int fault;       // the LinkStats::invalid index counted; -1: a rejected start
        uint64_t valid;  // of the five replies sent after it
    } cases[] = {
        {"wrong header: rejected at the fifth byte", {own.begin(), own.begin() + 5}, -1, 5},
        {"bad checksum", badReply(), 2, 5},
        {"an extra byte: the frame ends at the last position", longer, 1, 5},
        {"a stray byte: shifted replies lost until one is in step", {0x00}, -1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        Rig r;
        r.bytes(c.bytes);
        for (int i = 0; i < 5; ++i)
            r.bytes(reply());
        const proto::LinkStats& s = r.m.stats();
        EXPECT_EQ(s.validReplies, c.valid);
        if (c.fault >= 0) {
            EXPECT_EQ(s.invalid[c.fault], 1u);
        } else {
            EXPECT_GE(s.rejectedStarts, 1u);
        }
        EXPECT_EQ(r.count(LinkEvent::ReplyInvalid), c.fault >= 0 ? 1u : 0u);
    }
}

// ---- The pending set ----

// What the controller shows for port 3 in each reply after the set was written: the set ends
// confirmed at the reply that shows it, or given up at exactly the tenth that does not.
TEST(LinkMachine, ASetIsConfirmedWhenShownAndGivenUpAtTheTenthReplyWithoutIt) {
    const struct {
        const char* legend;
        std::vector<uint8_t> shown;
        LinkEvent::Type outcome;
        size_t setFrames;
    } cases[] = {
        {"shown at once", {27}, LinkEvent::SetConfirmed, 1},
        {"shown at the tenth reply", {1, 1, 1, 1, 1, 1, 1, 1, 1, 27}, LinkEvent::SetConfirmed, 10},
        {"never shown", std::vector<uint8_t>(10, 1), LinkEvent::SetGivenUp, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        Rig r;
        r.request(3, 27.9f);
        r.request(5, 40.0f);  // the newest goes first, port 3 waits its turn
        r.request(3, 27.9f);
        ASSERT_EQ(r.m.pending().changePort, 3);
        ASSERT_EQ(r.m.pending().changeVal, 27);
        r.bytes(reply(block({{2, 27}})));  // a reply before any set frame proves nothing
        size_t setFrames = 0;
        for (uint8_t shown : c.shown)
            setFrames += r.cycle(reply(block({{2, shown}})));
        EXPECT_EQ(setFrames, c.setFrames);
        EXPECT_EQ(r.count(c.outcome), 1u);
        EXPECT_EQ(r.m.stats().givenUpSets, c.outcome == LinkEvent::SetGivenUp ? 1u : 0u);
        r.m.pickUpSet(r.now, r.sets, r.latest);
        EXPECT_EQ(r.m.pending().changePort, 5) << "the set queued behind it goes out";
    }
}

// Only values the controller's byte holds become a set, truncated; nothing else is written, and
// a lookup never invents an entry.
TEST(LinkMachine, OnlyValuesTheByteHoldsBecomeASet) {
    const struct {
        float value;
        int byte;  // -1: dropped
    } cases[] = {{25.9f, 0x19},
                 {0.5f, 0},
                 {255.9f, 0xFF},
                 {256.0f, -1},
                 {-3.0f, -1},
                 {std::numeric_limits<float>::quiet_NaN(), -1},
                 {std::numeric_limits<float>::infinity(), -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        Rig r;
        r.request(2, c.value);
        EXPECT_TRUE(r.sets.empty());
        EXPECT_EQ(r.m.pending().changeVal_status, c.byte >= 0);
        if (c.byte >= 0) {
            EXPECT_EQ(r.m.pending().changeVal, c.byte);
        }
        r.latest = 7;  // names a port with no entry
        r.m.pickUpSet(r.now, r.sets, r.latest);
        EXPECT_TRUE(r.sets.empty());
    }
}

// A set of every port is written one port after the other, the newest first; a set displaced
// by a newer one is written afterwards, unless a newer value for its port waits.
TEST(LinkMachine, QueuedSetsAreWrittenOneAfterTheOther) {
    Rig r;
    for (int p = 1; p <= 8; ++p)
        r.sets[p] = 10.0f + static_cast<float>(p);
    r.m.pickUpSet(r.now, r.sets, 8);
    r.sets[1] = 30.0f;  // a newer value for a waiting port
    std::vector<int> written;
    while (r.m.pending().changeVal_status) {
        const proto::PendingSet p = r.m.pending();
        written.push_back(p.changePort * 100 + p.changeVal);
        r.cycle(reply(block({{p.changePort - 1, p.changeVal}})));
        r.m.pickUpSet(r.now, r.sets, 8);
    }
    EXPECT_EQ(written, (std::vector<int>{818, 130, 212, 313, 414, 515, 616, 717}));
    EXPECT_EQ(r.count(LinkEvent::SetConfirmed), 8u);
}

// A reply confirms only once a set frame carrying the pending value has gone out: a reply to an
// earlier frame shows the controller as it was before; an invalid reply shows nothing, not even
// a value of 0.
TEST(LinkMachine, OnlyAValidReplyAfterAFrameCarryingTheValueConfirmsIt) {
    Rig r;
    r.request(3, 20.0f);
    r.m.beginCycle(r.now);             // 20 goes out ...
    r.request(3, 12.0f);               // ... and straight back to 12 while that frame is in flight
    r.bytes(reply(block({{2, 12}})));  // the reply to the frame carrying 20 shows the old 12
    EXPECT_EQ(r.m.pending().changeVal, 12) << "12 was never written";
    r.m.beginCycle(r.now);
    testsupport::Bytes bad = reply(block({{2, 12}}));
    bad[126] ^= 0xFF;
    r.bytes(bad);
    r.bytes(reply(block({{2, 20}})));  // the controller applied the 20 meanwhile
    EXPECT_TRUE(r.m.pending().changeVal_status);
    r.bytes(reply(block({{2, 12}})));
    EXPECT_FALSE(r.m.pending().changeVal_status);

    r.request(1, 0.0f);  // a set of 0 and an invalid reply, whose data block would be zeros
    r.m.beginCycle(r.now);
    r.bytes(badReply());
    EXPECT_TRUE(r.m.pending().changeVal_status);
}

}  // namespace
