// The exchange's rules (protocol/linkMachine.h) alone, driven as the daemon's threads drive them,
// with the time passed in: each input is a program of steps that a controller and vexad play
// against the machine (answered cycles, replies late or corrupted, garbage, silence, the
// line that does not take a frame, sets of any value, the port lost and back). A simulated cycle
// costs microseconds, so a campaign covers years of polling.
//
// Input: byte 0 the clock's reading at the start (0, just short of 2^31 or 2^32 ms, or 2^40 ms),
// then one step after the other (byte: step, then its arguments):
//   0 n        n + 1 cycles the controller answers 100 ms after the frame
//   1 a d c    one cycle: answer a % 7 (valid, a byte corrupted at c, garbage of c bytes, the first
//              c % 128 bytes of a reply, silence, a stray byte before a reply, a refused set's
//              reply), d * 9 ms after the frame; the write's outcome (a >> 4) % 4
//   2 p v      vexad's set of port p % (set-points + 2) (0 and the last are no output) to v
//              (v > 250: out of range, negative or not a number)
//   3 f        the port lost, then f % 8 re-open attempts fail before one succeeds
//   4 n        n + 1 silent cycles
//   5          the controller refuses sets from now on, or takes them again
// Checks after every step:
//   - a set frame carries only a value some set message carried for that port;
//   - a set ends: confirmed by a valid reply after its frame, given up at exactly the tenth valid
//     reply without it, or replaced; none is still pending after more replies;
//   - offline never while valid replies come (not before the offline time after the last one),
//     and no later than the offline time plus one cycle;
//   - the statistics equal the events.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzzSupport.h"
#include "linkMachine.h"
#include "points.h"
#include "replyFrames.h"

namespace {

using proto::LinkEvent;
using proto::LinkMachine;
using proto::WriteResult;

uint64_t gCycles = 0;  // simulated cycles of this process, said at its exit

// The input, read step by step; zeros once it is used up.
struct Program {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool more() const { return pos < size; }
    uint8_t next() { return pos < size ? data[pos++] : 0; }
};

// The controller: its set-points, which it takes from set frames unless it refuses them.
struct Controller {
    testsupport::Block block{};
    bool refuses = false;
    testsupport::Bytes reply() const { return testsupport::reply(block); }
    void take(const proto::TxFrame& frame) {
        if (frame.isSet && !refuses && frame.port >= 1 && frame.port <= points::kSetpoints)
            block[static_cast<size_t>(frame.port - 1)] = frame.value;
    }
};

// Everything the machine says, checked as it comes.
struct Checker : proto::LinkSink {
    const proto::ExchangeTiming timing;
    uint64_t now = 0;
    proto::LinkStats counted;               // from the events
    std::set<std::pair<int, int>> carried;  // (port, byte) of the set messages
    uint64_t lastValid = 0;
    bool everOnline = false;
    bool offline = false;
    bool pending = false;
    int pendingPort = 0;
    int pendingValue = 0;
    bool written = false;  // its set frame went out
    int validSinceWritten = 0;

    explicit Checker(const proto::ExchangeTiming& t) : timing(t) {}

    void onEvent(const LinkEvent& e) override {
        switch (e.type) {
            case LinkEvent::ReplyValid:
                counted.validReplies++;
                lastValid = now;
                everOnline = true;
                offline = false;
                validSinceWritten += pending && written;
                FUZZ_CHECK(validSinceWritten <= LinkMachine::kSetReplies, "a set did not end");
                break;
            case LinkEvent::ReplyInvalid:
                counted.invalid[static_cast<int>(e.fault) - 1]++;
                break;
            case LinkEvent::Offline:
                FUZZ_CHECK(everOnline && !offline, "offline twice");
                FUZZ_CHECK(now >= lastValid + timing.offlineMs, "offline early");
                offline = true;
                break;
            case LinkEvent::SetRecorded:
                FUZZ_CHECK(carried.count({e.port, e.value}) != 0, "a set nobody asked for");
                pending = true;
                pendingPort = e.port;
                pendingValue = e.value;
                written = false;
                validSinceWritten = 0;
                break;
            case LinkEvent::SetConfirmed:
            case LinkEvent::SetGivenUp:
                FUZZ_CHECK(pending && written && e.port == pendingPort && e.value == pendingValue,
                           "the end of a set that was not written");
                FUZZ_CHECK(e.type == LinkEvent::SetConfirmed ||
                               validSinceWritten == LinkMachine::kSetReplies,
                           "given up after " + std::to_string(validSinceWritten));
                counted.givenUpSets += e.type == LinkEvent::SetGivenUp;
                pending = false;
                break;
            case LinkEvent::FrameSent:
                break;  // counted with the frame by the driver
            case LinkEvent::FrameAbandoned:
                counted.abandonedFrames++;
                break;
            case LinkEvent::TimedOut:
                counted.timeouts++;
                break;
            case LinkEvent::PortReopened:
                counted.reopens++;
                break;
            default:
                break;
        }
    }

    void checkStats(const proto::LinkStats& s) const {
        FUZZ_CHECK(s.validReplies == counted.validReplies && s.timeouts == counted.timeouts &&
                       s.reopens == counted.reopens && s.givenUpSets == counted.givenUpSets &&
                       s.abandonedFrames == counted.abandonedFrames &&
                       s.pollFrames == counted.pollFrames && s.setFrames == counted.setFrames,
                   "statistics");
        for (int i = 0; i < proto::kReplyFaults; ++i)
            FUZZ_CHECK(s.invalid[i] == counted.invalid[i], "invalid statistics");
    }
};

class Driver {
public:
    // `base`: the clock's reading at the start (a unit up for days).
    explicit Driver(uint64_t base) : c(timing), m(c, timing) {
        c.now = base;
        m.startReceiving(base, true);
    }

    void run(Program& p) {
        while (p.more()) {
            step(p);
            c.checkStats(m.stats());
            // Offline no later than the offline time plus one cycle after the last valid reply.
            const uint64_t cycle = timing.waitMs + timing.pauseMs;
            FUZZ_CHECK(
                !c.everOnline || c.offline || c.now <= c.lastValid + timing.offlineMs + cycle,
                "offline late");
        }
    }

private:
    void step(Program& p) {
        const uint8_t op = p.next();
        switch (op % 6) {
            case 0:
                for (int n = p.next(); n >= 0; --n)
                    cycle(ctl.reply(), 100, WriteResult::Whole);
                break;
            case 1:
                oneCycle(p);
                break;
            case 2:
                request(p.next() % (points::kSetpoints + 2), p.next());
                break;
            case 3:
                portLost(p.next() % 8);
                break;
            case 4:
                for (int n = p.next(); n >= 0; --n)
                    cycle({}, 0, WriteResult::Whole);
                break;
            default:
                ctl.refuses = !ctl.refuses;
                break;
        }
    }

    void oneCycle(Program& p) {
        const uint8_t a = p.next();
        const uint64_t delay = uint64_t{p.next()} * 9;
        const uint8_t where = p.next();
        const WriteResult outcomes[] = {WriteResult::Whole, WriteResult::Abandoned,
                                        WriteResult::Failed, WriteResult::NoPort};
        testsupport::Bytes answer = ctl.reply();
        switch (a % 7) {
            case 1:
                answer[where % answer.size()] ^= 0x5A;
                break;
            case 2:
                answer.assign(where, static_cast<uint8_t>(where * 37));
                break;
            case 3:
                answer.resize(where % 128);
                break;
            case 4:
                answer.clear();
                break;
            case 5:
                answer.insert(answer.begin(), 0x00);
                break;
            case 6:
                answer = testsupport::reply(ctl.block, 2);  // the controller refused a set
                break;
            default:
                break;
        }
        cycle(answer, delay, outcomes[(a >> 4) % 4]);
    }

    // vexad's set: the values that fit the controller's byte are carried; the receive loop picks
    // it up at once.
    void request(int port, uint8_t v) {
        float value = static_cast<float>(v);
        if (v > 250)
            value = v == 251 ? -3.0f : v == 252 ? 256.0f : v == 253 ? 1e30f : std::nanf("");
        if (value >= 0.0f && value < 256.0f)
            c.carried.insert({port, static_cast<int>(value)});
        sets[port] = value;
        latest = port;
        m.pickUpSet(c.now, sets, latest);
    }

    void portLost(int failures) {
        m.portLost(c.now, "gone");
        reopenFailures = failures;
    }

    // One transmit cycle: the pick-up, the frame, its write, the controller's answer `delay` ms
    // later (none when empty), and the due work up to the cycle's end.
    void cycle(const testsupport::Bytes& answer, uint64_t delay, WriteResult outcome) {
        ++gCycles;
        m.pickUpSet(c.now, sets, latest);
        const proto::TxFrame frame = m.beginCycle(c.now);
        const bool taken = frame.isSet && !c.written;
        if (frame.isSet) {
            FUZZ_CHECK(c.carried.count({frame.port, frame.value}) != 0,
                       "a set frame nobody asked for");
            c.written = true;  // from now on a reply can show it, unless it met no port
        }
        if (!m.portOpen())
            outcome = WriteResult::NoPort;
        if (outcome == WriteResult::NoPort && taken)
            c.written = false;
        m.frameWritten(c.now, outcome, outcome == WriteResult::Whole ? kFrameSize : 0);
        if (outcome == WriteResult::Whole) {
            (frame.isSet ? c.counted.setFrames : c.counted.pollFrames)++;
            ctl.take(frame);
        }
        if (!answer.empty() && m.portOpen()) {
            until(std::min(c.now + delay, m.cycleEnd()));
            m.bytesRead(c.now, answer.data(), answer.size());
        }
        until(m.cycleEnd());
        m.endCycle(c.now);
    }

    // The due work up to `t`, as the receive loop wakes for it; a closed port re-opened when due.
    void until(uint64_t t) {
        for (;;) {
            const uint64_t next = m.timeout(c.now);
            if (m.reopenDue(c.now)) {
                if (reopenFailures-- > 0)
                    m.reopenFailed(c.now);
                else
                    m.portReopened(c.now);
            } else if (next <= t) {
                c.now = next;
            } else if (c.now < t) {
                c.now = t;
            } else {
                return;
            }
        }
    }

    const proto::ExchangeTiming timing{};
    Checker c;
    LinkMachine m;
    Controller ctl;
    std::map<int, float> sets;
    int latest = 0;
    int reopenFailures = 0;
};

void sayCycles() {
    std::fprintf(stderr, "fuzz_link: %llu simulated cycles\n",
                 static_cast<unsigned long long>(gCycles));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool said = [] { return std::atexit(sayCycles) == 0; }();
    (void)said;
    if (size < 1)
        return 0;
    // Byte 0: the clock's reading at the start: 0, or 10 s before 2^31 or 2^32 ms, or 2^40 ms.
    const uint64_t bases[] = {0, (uint64_t{1} << 31) - 10000, (uint64_t{1} << 32) - 10000,
                              uint64_t{1} << 40};
    Program p{data + 1, size - 1};
    Driver d(bases[data[0] % 4]);
    d.run(p);
    return 0;
}
