// The replay's comparison: a capture the rules themselves wrote matches, and each way a capture
// can differ from them is named at its time.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "exchangeFile.h"
#include "linkMachine.h"
#include "replayCompare.h"
#include "replyFrames.h"

namespace {

using exchangefile::Kind;
using exchangefile::Record;
using proto::LinkEvent;

// A capture as the daemon writes it: the rules driven through cycles, with a set of port 3 to 27
// confirmed, a silent spell that takes the device offline, and its return.
struct Capture : proto::LinkSink {
    proto::LinkMachine m{*this};
    std::vector<Record> records;
    uint64_t now = 0;
    std::map<int, float> sets;

    void onEvent(const LinkEvent& e) override {
        proto::EventRecord r{Kind::Online};
        if (proto::recordOf(e, r))
            add(r.kind, {}, r.param, r.value);
    }
    void add(Kind kind, testsupport::Bytes bytes = {}, int param = 0, int value = 0) {
        Record r;
        r.t = now * 1000;
        r.kind = kind;
        r.bytes = std::move(bytes);
        r.param = param;
        r.value = value;
        records.push_back(r);
    }
    void cycle(bool answered, uint8_t shows) {
        const proto::TxFrame f = m.beginCycle(now);
        add(Kind::Tx, testsupport::Bytes(f.bytes, f.bytes + f.len));
        m.frameWritten(now, proto::WriteResult::Whole, f.len);
        if (answered) {
            now += 100;
            const testsupport::Bytes reply = testsupport::reply(testsupport::block({{2, shows}}));
            add(Kind::Rx, reply);
            m.bytesRead(now, reply.data(), reply.size());
        }
        for (uint64_t due = m.timeout(now); due < m.cycleEnd(); due = m.timeout(now))
            now = due;
        now = m.cycleEnd();
        m.endCycle(now);
    }

    Capture() {
        Record start;
        start.kind = Kind::Start;
        proto::StartFields f = proto::timingFields(proto::ExchangeTiming{});
        f.push_back({"exchange", "new"});
        start.text = exchangefile::startFields(f);
        records.push_back(start);
        add(Kind::Open);
        cycle(false, 0);  // the reply waits in the port for the receive loop's start
        m.startReceiving(1000, true);
        now = 2000;
        for (int i = 0; i < 3; ++i)
            cycle(true, 20);
        sets[3] = 27.0f;
        m.pickUpSet(now, sets, 3);
        for (int i = 0; i < 2; ++i)
            cycle(true, 27);
        for (int i = 0; i < 7; ++i)
            cycle(false, 0);
        cycle(true, 27);
    }
};

size_t find(const std::vector<Record>& rs, Kind kind) {
    for (size_t i = 0; i < rs.size(); ++i) {
        if (rs[i].kind == kind)
            return i;
    }
    return rs.size();
}

replay::Verdict replayOf(const std::vector<Record>& records) {
    replay::Comparison c;
    for (const Record& r : records)
        c.take(r, false);
    c.finish();
    return c.verdict();
}

TEST(ReplayCompare, TheRulesOwnCaptureMatchesAndEachDifferenceIsNamedAtItsTime) {
    const std::vector<Record> capture = Capture().records;
    ASSERT_TRUE(replayOf(capture).matched) << replayOf(capture).what;
    const size_t confirmed = find(capture, Kind::SetConfirmed);
    const size_t offline = find(capture, Kind::Offline);
    const size_t setFrame = find(capture, Kind::SetRecorded) + 1;
    ASSERT_LT(offline, capture.size());
    ASSERT_EQ(capture[setFrame].kind, Kind::Tx);
    const struct {
        const char* legend;
        std::function<void(std::vector<Record>&)> edit;
        uint64_t atUs;
        std::string what;
    } cases[] = {
        {"an outcome changed", [&](auto& rs) { rs[confirmed].kind = Kind::SetGivenUp; },
         capture[confirmed].t,
         "the capture has \"set-given-up 3 27\", the replayed rules have \"set-confirmed 3 27\""},
        {"a record missing", [&](auto& rs) { rs.erase(rs.begin() + long(offline)); },
         capture[offline].t, "the capture has \"online\", the replayed rules have \"offline\""},
        {"a record added",
         [&](auto& rs) {
             Record r = rs[offline - 2];
             r.kind = Kind::Offline;
             rs.insert(rs.begin() + long(offline - 1), r);
         },
         capture[offline - 2].t,
         "the capture has \"offline\", the replayed rules have no such record"},
        {"a frame's bytes changed",
         [&](auto& rs) {
             rs[setFrame].bytes[11] = 28;
             testsupport::resum(rs[setFrame].bytes.data());
         },
         capture[setFrame].t,
         "the capture has the frame set p=3 v=28, the rules send set p=3 v=27"},
        {"a frame before its cycle's end", [&](auto& rs) { rs[confirmed + 1].t -= 5000; },
         capture[confirmed + 1].t - 5000,
         "the capture has a frame 5 ms before the rules end the cycle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::vector<Record> edited = capture;
        c.edit(edited);
        const replay::Verdict v = replayOf(edited);
        EXPECT_FALSE(v.matched);
        EXPECT_EQ(v.atUs, c.atUs);
        EXPECT_EQ(v.what, c.what);
    }
}

}  // namespace
