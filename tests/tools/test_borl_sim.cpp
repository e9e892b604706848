// The controller simulator: its frame checks and reply builder byte by byte, the stream
// gatherer's resynchronisation, the data block model, and the binary itself on a real pty,
// driven the way the end-to-end tests drive it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simController.h"
#include "simFrame.h"
#include "simLine.h"
#include "simReplay.h"
#include "testSupport.h"

using namespace borlsim;
using testsupport::Process;

namespace {

using Bytes = std::vector<uint8_t>;

// A daemon frame built by hand from the wire layout, not from the simulator's own helpers.
Bytes daemonFrame(uint8_t sel3 = 0, uint8_t sel4 = 0, uint8_t sel5 = 0, int valueAt = 0,
                  uint8_t value = 0) {
    Bytes f(128, 0);
    f[0] = 'A', f[1] = 'I', f[2] = 'O';
    f[3] = sel3, f[4] = sel4, f[5] = sel5;
    f[8] = 0x17;
    if (valueAt)
        f[valueAt] = value;
    f[123] = 'O', f[124] = 'I', f[125] = 'A';
    unsigned sum = 0;
    for (int i = 0; i < 126; ++i)
        sum += f[i];
    f[126] = static_cast<uint8_t>(0xFF - (sum & 0xFF));
    f[127] = 0xA5;
    return f;
}

Bytes withByte(Bytes f, size_t at, uint8_t v) {
    f[at] = v;
    return f;
}

Bytes resummed(Bytes f) {  // keeps a deliberately changed frame's checksum right
    unsigned sum = 0;
    for (int i = 0; i < 126; ++i)
        sum += f[i];
    f[126] = static_cast<uint8_t>(0xFF - (sum & 0xFF));
    return f;
}

TEST(SimFrame, DaemonFramesAreClassified) {
    const Bytes poll = daemonFrame();
    struct Case {
        const char* legend;
        Bytes bytes;
        RequestKind kind;
        int param;
        uint8_t value;
        const char* reason;
    } cases[] = {
        {"poll frame", poll, RequestKind::Poll, 0, 0, ""},
        {"set p=1 v=0x19", daemonFrame(0x10, 0, 0, 9, 0x19), RequestKind::Set, 1, 0x19, ""},
        {"set p=3 v=0x19", daemonFrame(0x40, 0, 0, 11, 0x19), RequestKind::Set, 3, 0x19, ""},
        {"set p=12 v=0", daemonFrame(0, 0x80, 0, 20, 0), RequestKind::Set, 12, 0, ""},
        {"set p=19 v=7", daemonFrame(0x01, 0, 0x40, 27, 7), RequestKind::Set, 19, 7, ""},
        {"p=19 without bit 0", daemonFrame(0, 0, 0x40, 27, 7), RequestKind::Bad, 0, 0, "selection"},
        {"bit 0 alone", daemonFrame(0x01), RequestKind::Bad, 0, 0, "selection"},
        {"two parameters", daemonFrame(0x30, 0, 0, 9, 1), RequestKind::Bad, 0, 0, "selection"},
        {"value in the wrong byte", daemonFrame(0x10, 0, 0, 10, 1), RequestKind::Bad, 0, 0, "body"},
        {"poll with a body byte", daemonFrame(0, 0, 0, 60, 1), RequestKind::Bad, 0, 0, "body"},
        {"byte 6 set", resummed(withByte(poll, 6, 1)), RequestKind::Bad, 0, 0, "body"},
        {"wrong identifier", resummed(withByte(poll, 8, 0x18)), RequestKind::Bad, 0, 0, "id"},
        {"bad checksum", withByte(poll, 126, 0x37), RequestKind::Bad, 0, 0, "checksum"},
        {"reply terminator", resummed(withByte(withByte(poll, 124, 'A'), 125, 'I')),
         RequestKind::Bad, 0, 0, "terminator"},
        {"bad end byte", withByte(poll, 127, 0xA4), RequestKind::Bad, 0, 0, "end"},
        {"reply header", resummed(withByte(withByte(poll, 1, 'O'), 2, 'I')), RequestKind::Bad, 0, 0,
         "header"},
    };
    EXPECT_EQ(poll[126], 0x36);
    EXPECT_EQ(daemonFrame(0x10, 0, 0, 9, 0x19)[126], 0x0D);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const Request r = parseRequest(c.bytes.data());
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.param, c.param);
        EXPECT_EQ(r.value, c.value);
        EXPECT_STREQ(r.reason, c.reason);
    }
}

TEST(SimFrame, ChecksumAndSelectionBits) {
    EXPECT_EQ(frameChecksum(nullptr, 0), 0xFF);
    const uint8_t wrap[2] = {0xFF, 0x02};  // sum 0x101: only the low byte counts
    EXPECT_EQ(frameChecksum(wrap, 2), 0xFE);
    uint8_t sel[3];
    EXPECT_FALSE(selectionFor(0, sel));
    EXPECT_FALSE(selectionFor(20, sel));
    ASSERT_TRUE(selectionFor(5, sel));
    EXPECT_EQ(Bytes(sel, sel + 3), (Bytes{0x00, 0x01, 0x00}));
    ASSERT_TRUE(selectionFor(19, sel));
    EXPECT_EQ(Bytes(sel, sel + 3), (Bytes{0x01, 0x00, 0x40}));
}

TEST(SimFrame, ReplyLayout) {
    Block b{};
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>(i + 1);
    const Frame f = buildReply(b, kStatusRefused);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 4), (Bytes{'A', 'O', 'I', 2}));
    for (size_t i = 0; i < 60; ++i)
        EXPECT_EQ(f[9 + i], i + 1) << "block index " << i;
    EXPECT_EQ(Bytes(f.begin() + 123, f.begin() + 126), (Bytes{'O', 'A', 'I'}));
    EXPECT_EQ(f[126], frameChecksum(f.data(), 126));
    EXPECT_EQ(f[127], 0xA5);
    for (size_t i : {4u, 5u, 6u, 7u, 8u, 69u, 100u, 122u})
        EXPECT_EQ(f[i], 0) << "byte " << i;
}

// Runs a byte stream through a gatherer in the given chunks and describes what came out.
std::vector<std::string> gather(const std::vector<Bytes>& chunks, bool flush = false) {
    RequestGatherer g;
    std::vector<GatherEvent> ev;
    for (const Bytes& c : chunks)
        g.feed(c.data(), c.size(), ev);
    if (flush)
        g.flush(ev);
    std::vector<std::string> out;
    for (const GatherEvent& e : ev) {
        switch (e.type) {
            case GatherEvent::Type::Garbage:
                out.push_back("garbage " + std::to_string(e.count));
                break;
            case GatherEvent::Type::Short:
                out.push_back("short " + std::to_string(e.count));
                break;
            case GatherEvent::Type::Complete:
                out.push_back(e.request.kind == RequestKind::Bad
                                  ? std::string("bad ") + e.request.reason
                              : e.request.kind == RequestKind::Poll
                                  ? "poll"
                                  : "set " + std::to_string(e.request.param));
                break;
        }
    }
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(SimGather, FindsFramesInTheStream) {
    const Bytes poll = daemonFrame();
    const Bytes set3 = daemonFrame(0x40, 0, 0, 11, 0x19);
    const Bytes cut(poll.begin(), poll.begin() + 60);
    using V = std::vector<std::string>;
    // Two frames back to back, then one split at every awkward point.
    EXPECT_EQ(gather({cat({poll, set3})}), (V{"poll", "set 3"}));
    EXPECT_EQ(
        gather({Bytes(poll.begin(), poll.begin() + 1), Bytes(poll.begin() + 1, poll.begin() + 2),
                Bytes(poll.begin() + 2, poll.end())}),
        (V{"poll"}));
    // Garbage, including a false header start, is skipped and counted once.
    EXPECT_EQ(gather({cat({Bytes{0x00, 'A', 'I', 'A', 'X'}, poll})}), (V{"garbage 5", "poll"}));
    EXPECT_EQ(gather({Bytes{0x55, 0x66}, Bytes{'A'}, Bytes(poll.begin() + 1, poll.end())}),
              (V{"garbage 2", "poll"}));
    // A cut frame is reported once and the whole frame behind it is still found.
    EXPECT_EQ(gather({cat({cut, set3})}), (V{"bad terminator", "set 3"}));
    // A damaged but whole frame does not swallow the next one, nor count as garbage.
    EXPECT_EQ(gather({cat({withByte(poll, 126, 0), poll})}), (V{"bad checksum", "poll"}));
    // A well framed frame the controller does not accept is dropped whole.
    EXPECT_EQ(gather({cat({resummed(withByte(poll, 8, 0)), poll})}), (V{"bad id", "poll"}));
    // The line goes quiet: a partial frame and loose bytes are given up.
    EXPECT_EQ(gather({cut}, true), (V{"short 60"}));
    EXPECT_EQ(gather({Bytes{1, 2, 3, 'A', 'I'}}, true), (V{"garbage 5"}));
}

TEST(SimController, SetsCountersAndDrift) {
    ControllerModel m(7, 3);
    const Block start = m.block();
    // Set-point p at index p - 1: 1..4 in deg C, 5 Aircon Rotation, 6 power-up delay (min),
    // 7 fail set-point (deg C), 8 test delay (min).
    EXPECT_EQ(Bytes(start.begin(), start.begin() + 8), (Bytes{24, 26, 22, 35, 7, 5, 30, 10}));
    EXPECT_EQ(start[19], 42);
    EXPECT_TRUE(m.applySet(3, 0x19));
    EXPECT_TRUE(m.applySet(6, 9));
    EXPECT_TRUE(m.applySet(19, 9));
    EXPECT_FALSE(m.applySet(0, 1));
    EXPECT_FALSE(m.applySet(20, 1));
    EXPECT_EQ(Bytes(m.block().begin(), m.block().begin() + 8),
              (Bytes{24, 26, 0x19, 35, 7, 9, 30, 10}));
    EXPECT_EQ(m.block()[18], 9);
    EXPECT_EQ(m.block()[19], 42);  // parameter 19 does not reach the revision

    auto hours = [&](size_t k) { return m.block()[24 + 2 * k] << 8 | m.block()[25 + 2 * k]; };
    const int ac1 = hours(0);
    m.exchange();
    m.exchange();
    EXPECT_EQ(hours(0), ac1);
    m.exchange();
    EXPECT_EQ(hours(0), ac1 + 1);

    // Held fields stay put; everything else keeps to plausible values over a long run.
    EXPECT_TRUE(m.poke(46, 28));
    EXPECT_TRUE(m.poke(25, 0xFF));
    EXPECT_FALSE(m.poke(60, 1));
    const int held = hours(0);
    bool moved = false;
    for (int i = 0; i < 3000; ++i) {
        m.exchange();
        const Block& b = m.block();
        for (size_t t = 47; t < 54; ++t)
            ASSERT_TRUE(b[t] >= 5 && b[t] <= 30) << t;
        ASSERT_TRUE(b[54] >= 20 && b[54] <= 80);
        ASSERT_TRUE(b[55] >= 20 && b[55] <= 80);
        moved = moved || b[47] != start[47];
    }
    EXPECT_TRUE(moved);
    EXPECT_EQ(m.block()[46], 28);
    EXPECT_EQ(hours(0), held);
    EXPECT_GT(hours(2), ac1);  // the fan counter went on

    ControllerModel a(99, 1), b(99, 1);  // one seed, one run
    for (int i = 0; i < 200; ++i)
        a.exchange(), b.exchange();
    EXPECT_EQ(a.block(), b.block());
}

TEST(SimCommand, Lines) {
    struct Case {
        const char* line;
        bool ok;
        Command::Op op;
    } cases[] = {
        {"silent on", true, Command::Op::Silent}, {"  refuse off ", true, Command::Op::Refuse},
        {"badsum 3", true, Command::Op::BadSum},  {"stray 0", true, Command::Op::Stray},
        {"noise 0.25", true, Command::Op::Noise}, {"delay 500", true, Command::Op::Delay},
        {"poke 59 255", true, Command::Op::Poke}, {"hangup", true, Command::Op::Hangup},
        {"quit", true, Command::Op::Quit},        {"", true, Command::Op::None},
        {"# note", true, Command::Op::None},      {"silent maybe", false, Command::Op::None},
        {"badsum -1", false, Command::Op::None},  {"badsum 3x", false, Command::Op::None},
        {"noise 1.5", false, Command::Op::None},  {"noise nan", false, Command::Op::None},
        {"poke 60 1", false, Command::Op::None},  {"poke 1 256", false, Command::Op::None},
        {"poke 1", false, Command::Op::None},     {"quit now", false, Command::Op::None},
        {"reboot", false, Command::Op::None},     {"delay 600001", false, Command::Op::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Command cmd;
        std::string error;
        EXPECT_EQ(parseCommand(c.line, cmd, error), c.ok);
        EXPECT_EQ(cmd.op, c.op);
        EXPECT_EQ(error.empty(), c.ok);
    }
}

// The replay without a pty: each frame the daemon sends takes the next step, whatever the frame
// is. The step says its records (with those before the first frame at step 1) and a frame other
// than the captured one, and gives the captured bytes and the port's loss and return at their
// delays divided by the speed. A step cut off after 3 bytes matches a whole frame beginning with
// them. After the last step nothing is answered, and the replay is over.
TEST(SimReplay, EachFrameTakesTheNextStep) {
    testsupport::ScratchDir dir("sim_replay_steps");
    std::string poll;
    for (uint8_t b : daemonFrame())
        poll += " " + std::string(1, "0123456789ABCDEF"[b >> 4]) + "0123456789ABCDEF"[b & 15];
    testsupport::writeFile(dir / "c",
                           "borl-exchange 2 wall=2026-12-08T09:00:00.000000Z\n0 start serial=1\n"
                           "5 rx 00\n6 online\n10 tx" +
                               poll +
                               "\n2010 rx 01 02\n"
                               "3000 set-recorded 3 30\n4000 tx" +
                               poll +
                               "\n4100 lost hang-up\n"
                               "6000 reopen /dev/ttyS2\n7000 tx 41 49 4F\n7001 abandoned 3\n");
    std::unique_ptr<Answerer> replay;
    ASSERT_EQ(loadReplay({dir / "c"}, 10, replay), 0);
    const std::string at = "at=2026-12-08T09:00:00.00";
    EXPECT_EQ(replay->begin(), std::vector<std::string>{"replay capture from=2026-12-08T09:00:00."
                                                        "000Z to=2026-12-08T09:00:00.007Z frames=3 "
                                                        "serial=1"});
    const struct {
        Bytes frame;
        std::vector<std::string> said;  // then each reply: delay, first line, bytes, line change
        bool over;
    } steps[] = {
        {daemonFrame(),
         {"replay step 1 line=5 " + at + "0Z", "replay record line=4 " + at + "0Z online",
          "replay record line=7 " + at + "3Z set-recorded 3 30", "0us tx replay n=1 line=3 0",
          "200us tx replay n=2 line=6 1 2"},
         false},
        {daemonFrame(0x40, 0, 0, 11, 30),
         {"replay step 2 line=8 " + at + "4Z",
          "replay diverged at line 8 (2026-12-08T09:00:00.004Z): the daemon sent set p=3 v=30, "
          "the capture has poll",
          "10us replay lost line=9 down", "200us replay reopen line=10 up"},
         false},
        {daemonFrame(), {"replay step 3 line=11 " + at + "7Z"}, true},
        {daemonFrame(), {}, true},
    };
    for (const auto& s : steps) {
        GatherEvent e;
        std::copy(s.frame.begin(), s.frame.end(), e.frame.begin());
        e.request = parseRequest(e.frame.data());
        const Clock::time_point now = Clock::now();
        const Answer a = replay->answer(e, now);
        std::vector<std::string> said = a.said;
        for (const Reply& r : a.replies) {
            said.push_back(std::to_string((r.due - now) / std::chrono::microseconds(1)) + "us " +
                           r.lines.at(0));
            for (uint8_t b : r.bytes)
                said.back() += " " + std::to_string(b);
            said.back() += r.change == LineChange::None   ? ""
                           : r.change == LineChange::Down ? " down"
                                                          : " up";
        }
        EXPECT_EQ(said, s.said);
        EXPECT_EQ(replay->finished().has_value(), s.over);
    }
}

// ---- the binary on a real pty ----

class SimProcess {
public:
    // `input`: standard input's whole text, given and closed at once (a capture read from "-").
    explicit SimProcess(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), testsupport::builtBinary("borl-sim"));
        proc = std::make_unique<Process>(args);
        if (!input.empty()) {
            proc->writeStdin(input);
            proc->closeStdin();
        }
        EXPECT_GE(proc->out().waitForLine("pty: "), 0) << proc->err().text();
        path = ptyPath(0);
        open();
    }
    ~SimProcess() {
        if (fd >= 0)
            close(fd);
    }
    std::string ptyPath(size_t from) {
        const int at = proc->out().waitForLine("pty: ", std::chrono::seconds(10), from);
        return at < 0 ? "" : proc->out().lines()[static_cast<size_t>(at)].substr(5);
    }
    void open() {
        if (fd >= 0)
            close(fd);
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << path;
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    }
    void send(const Bytes& b) { ASSERT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size())); }
    // Reads exactly n bytes, or fewer if the line stays quiet for `quiet`.
    Bytes read(size_t n, std::chrono::milliseconds quiet = std::chrono::seconds(5)) {
        Bytes got;
        while (got.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || !(p.revents & POLLIN))
                break;
            uint8_t buf[256];
            const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0)
                break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    bool quietFor(std::chrono::milliseconds ms) { return read(1, ms).empty(); }
    void command(const std::string& c) {
        const size_t from = proc->out().size();
        proc->writeStdin(c + "\n");
        ASSERT_GE(proc->out().waitForLine("ok " + c, std::chrono::seconds(10), from), 0) << c;
    }
    int line(const std::string& needle, size_t from = 0) {
        return proc->out().waitForLine(needle, std::chrono::seconds(10), from);
    }

    std::unique_ptr<Process> proc;
    std::string path;
    int fd = -1;
};

void expectValidReply(const Bytes& r, uint8_t status) {
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{'A', 'O', 'I', status}));
    EXPECT_EQ(Bytes(r.begin() + 123, r.begin() + 126), (Bytes{'O', 'A', 'I'}));
    unsigned sum = 0;
    for (int i = 0; i < 126; ++i)
        sum += r[i];
    EXPECT_EQ(r[126], static_cast<uint8_t>(0xFF - (sum & 0xFF)));
    EXPECT_EQ(r[127], 0xA5);
}

TEST(BorlSimBinary, AnswersPollsAndSets) {
    SimProcess sim({"--seed", "5", "--hours-every", "1"});
    sim.send(daemonFrame());
    Bytes r = sim.read(128);
    expectValidReply(r, 0);
    EXPECT_EQ(Bytes(r.begin() + 9, r.begin() + 17), (Bytes{24, 26, 22, 35, 7, 5, 30, 10}));
    EXPECT_EQ(r[9 + 19], 42);  // software revision
    for (int i = 46; i <= 53; ++i)
        EXPECT_TRUE(r[9 + i] >= 5 && r[9 + i] <= 40) << i;
    EXPECT_TRUE(r[9 + 54] <= 100 && r[9 + 55] <= 100);
    const int ac1 = r[9 + 24] << 8 | r[9 + 25];
    EXPECT_GT(ac1, 0);
    EXPECT_GE(sim.line("rx poll"), 0);
    EXPECT_GE(sim.line("tx reply status=0"), 0);

    sim.send(daemonFrame(0x40, 0, 0, 11, 0x19));
    r = sim.read(128);
    expectValidReply(r, 0);
    EXPECT_EQ(r[11], 0x19);
    EXPECT_EQ(r[9 + 24] << 8 | r[9 + 25], ac1 + 1);  // one hour per answered frame
    EXPECT_GE(sim.line("rx set p=3 v=25"), 0);

    // Garbage ahead of a frame is skipped; a damaged frame is logged and not answered.
    sim.send(cat({Bytes{0x00, 0x13, 'A'}, daemonFrame()}));
    r = sim.read(128);
    expectValidReply(r, 0);
    EXPECT_EQ(r[11], 0x19);  // the set stayed
    EXPECT_GE(sim.line("rx bad garbage n=3"), 0);
    sim.send(withByte(daemonFrame(), 126, 0x00));
    EXPECT_GE(sim.line("rx bad checksum"), 0);
    EXPECT_TRUE(sim.quietFor(std::chrono::milliseconds(300)));
    sim.send(daemonFrame());
    expectValidReply(sim.read(128), 0);
}

TEST(BorlSimBinary, RefuseSilentAndPoke) {
    SimProcess sim({"--seed", "1"});
    sim.command("refuse on");
    sim.send(daemonFrame(0x40, 0, 0, 11, 0x19));
    Bytes r = sim.read(128);
    expectValidReply(r, 2);
    EXPECT_EQ(r[11], 22);  // old value kept
    EXPECT_GE(sim.line("tx reply status=2"), 0);
    sim.send(daemonFrame());
    expectValidReply(sim.read(128), 0);  // polls are still answered normally

    sim.command("silent on");
    const size_t before = sim.proc->out().size();
    sim.send(daemonFrame());
    EXPECT_GE(sim.line("rx poll", before), 0);
    EXPECT_TRUE(sim.quietFor(std::chrono::milliseconds(300)));
    sim.command("silent off");
    sim.command("refuse off");
    sim.command("poke 46 33");
    for (int i = 0; i < 3; ++i) {
        sim.send(daemonFrame());
        r = sim.read(128);
        expectValidReply(r, 0);
        EXPECT_EQ(r[9 + 46], 33);
    }
    const size_t at = sim.proc->out().size();
    sim.proc->writeStdin("poke 60 1\n");
    EXPECT_GE(sim.line("error poke takes", at), 0);
}

TEST(BorlSimBinary, LineFaults) {
    SimProcess sim({"--seed", "3", "--bad-checksum-every", "2"});
    for (int i = 1; i <= 4; ++i) {
        sim.send(daemonFrame());
        Bytes r = sim.read(128);
        ASSERT_EQ(r.size(), 128u);
        unsigned sum = 0;
        for (int k = 0; k < 126; ++k)
            sum += r[k];
        EXPECT_EQ(r[126] == static_cast<uint8_t>(0xFF - (sum & 0xFF)), i % 2 == 1) << i;
    }
    EXPECT_GE(sim.line("tx corrupt badsum"), 0);

    sim.command("badsum 0");
    sim.command("stray 1");
    sim.send(daemonFrame());
    Bytes r = sim.read(129);
    ASSERT_EQ(r.size(), 129u);
    expectValidReply(Bytes(r.begin() + 1, r.end()), 0);
    EXPECT_GE(sim.line("tx corrupt stray"), 0);

    sim.command("stray 0");
    sim.command("noise 1");
    sim.send(daemonFrame());
    r = sim.read(128);
    ASSERT_EQ(r.size(), 128u);
    EXPECT_FALSE(r[0] == 'A' && r[1] == 'O' && r[2] == 'I');
    EXPECT_NE(r[127], 0xA5);
    EXPECT_GE(sim.line("tx corrupt noise n=128"), 0);

    // A reply held back for a minute blocks neither commands nor the exit.
    sim.command("noise 0");
    sim.command("delay 60000");
    const size_t before = sim.proc->out().size();
    sim.send(daemonFrame());
    EXPECT_GE(sim.line("rx poll", before), 0);
    sim.command("poke 1 1");
    EXPECT_TRUE(sim.quietFor(std::chrono::milliseconds(200)));
    sim.proc->writeStdin("quit\n");
    EXPECT_EQ(sim.proc->wait(std::chrono::seconds(5)), 0);
}

TEST(BorlSimBinary, HangupRepointsTheLink) {
    testsupport::ScratchDir dir("borl_sim_hangup");
    const std::string link = dir / "ttyS1";
    SimProcess sim({"--link", link, "--quiet"});
    char target[128] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.path, target);

    const size_t before = sim.proc->out().size();
    sim.proc->writeStdin("hangup\n");
    const std::string fresh = sim.ptyPath(before);
    ASSERT_FALSE(fresh.empty());
    EXPECT_NE(fresh, sim.path);
    std::memset(target, 0, sizeof target);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(fresh, target);
    // The old line is gone for whoever still holds it.
    uint8_t b;
    pollfd p{sim.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_LE(read(sim.fd, &b, 1), 0);

    sim.path = fresh;
    sim.open();
    sim.send(daemonFrame());
    expectValidReply(sim.read(128), 0);
    EXPECT_EQ(sim.proc->out().size(), before + 1);  // --quiet: nothing but pty lines

    sim.proc->kill(SIGTERM);
    EXPECT_EQ(sim.proc->wait(), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);  // link removed on exit
}

TEST(BorlSimBinary, EndOfInputAndSignals) {
    {
        SimProcess sim({"--exit-on-eof"});
        sim.proc->closeStdin();
        EXPECT_EQ(sim.proc->wait(), 0);
    }
    {
        SimProcess sim({});  // without --exit-on-eof, end of input does not end the run
        sim.proc->closeStdin();
        sim.send(daemonFrame());
        expectValidReply(sim.read(128), 0);
        EXPECT_TRUE(sim.proc->running());
    }
    for (int sig : {SIGTERM, SIGINT}) {
        SimProcess sim({"--quiet"});
        sim.proc->kill(sig);
        EXPECT_EQ(sim.proc->wait(), 0) << sig;
    }
}

// --help and --version print on standard output and exit 0; a bad option or value is named on
// standard error with a hint to --help and exit status 64, before any line is opened.
TEST(BorlSimBinary, CommandLine) {
    const std::string version = std::string("borl-sim ") + BORL1D_VERSION;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string shown;  // the first line on standard output, or a line on standard error
    } cases[] = {
        {{"--help"}, 0, "usage: borl-sim [options]"},
        {{"--version"}, 0, version},
        {{"-V"}, 0, version},
        {{"--noise", "2"}, 64, "borl-sim: --noise takes a probability 0..1, not \"2\""},
        {{"--bad-checksum-every", "x"},
         64,
         "borl-sim: --bad-checksum-every takes a number 0..1000000, not \"x\""},
        {{"--delay-ms=600001"},
         64,
         "borl-sim: --delay-ms takes milliseconds 0..600000, not \"600001\""},
        {{"--seed", "-1"}, 64, "borl-sim: --seed takes a number 0..4294967295, not \"-1\""},
        {{"--hours-every", ""}, 64, "borl-sim: --hours-every takes a number 0..1000000, not \"\""},
        {{"--link", ""}, 64, "borl-sim: --link takes a path, not \"\""},
        {{"--seed"}, 64, "borl-sim: --seed needs a value"},
        {{"--silent=yes"}, 64, "borl-sim: --silent takes no value"},
        {{"--foo"}, 64, "borl-sim: unknown option --foo"},
        {{"--foo=1", "--quiet"}, 64, "borl-sim: unknown option --foo"},
        {{"-x"}, 64, "borl-sim: unknown option -x"},
        {{"--s"},
         64,
         "borl-sim: option --s is ambiguous: --silent, --stray-byte-every, --seed, --stamp"},
        {{"--quiet", "extra"}, 64, "borl-sim: unexpected argument \"extra\""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        c.args.insert(c.args.begin(), testsupport::builtBinary("borl-sim"));
        Process p(c.args);
        ASSERT_EQ(p.wait(), c.status);
        ASSERT_TRUE(p.out().waitForEof() && p.err().waitForEof());
        if (c.status == 0) {
            ASSERT_GE(p.out().size(), 1u);
            EXPECT_EQ(p.out().lines()[0], c.shown);
            EXPECT_EQ(p.err().size(), 0u) << p.err().text();
        } else {
            EXPECT_EQ(p.out().size(), 0u) << p.out().text();
            EXPECT_EQ(p.err().text(), c.shown + "\nTry 'borl-sim --help' for more information.\n");
        }
    }
}

// --replay reads a capture's files as one, in the order of their times, or standard input; a
// file cut inside its last line is read up to there with a warning naming it; a malformed file
// ends the simulator with 65, one it cannot read with 66. The replies are the captured bytes.
TEST(BorlSimBinary, ReplayReadsTheCaptureAsOne) {
    testsupport::ScratchDir dir("borl_sim_replay");
    std::string poll;
    for (uint8_t b : daemonFrame())
        poll += (poll.empty() ? "" : " ") + std::string(1, "0123456789ABCDEF"[b >> 4]) +
                "0123456789ABCDEF"[b & 15];
    const auto file = [](const char* hour, const std::string& records) {
        return std::string("borl-exchange 2 wall=2026-12-08T") + hour + ":00:00.000000Z\n" +
               "0 start version=1.1.0 port=/dev/ttyS2 line=9600_8N1_RS232 serial=4711\n" + records;
    };
    const std::string early = file("09", "10 tx " + poll + "\n20 rx 01 02 03\n");
    const std::string late = file("10", "10 tx " + poll + "\n20 rx 04 05\n");
    const std::pair<const char*, std::string> files[] = {
        {"early", early},
        {"late", late},
        {"cut", early + "30 tx 41 49"},
        {"bad", early + "40 rx 4G\n"},
        // A frame abandoned after 3 bytes, one after none, then one that is not a frame.
        {"abandoned",
         early + "30 tx 41 49 4F\n31 abandoned 3\n40 abandoned 0\n50 tx 41 49 4F 01\n"},
    };
    for (const auto& f : files)
        testsupport::writeFile(dir / f.first, f.second);
    struct Case {
        std::vector<std::string> files;
        std::string input;  // standard input
        int status;         // -1: it runs
        std::string said;   // on standard output (it runs) or standard error
        std::vector<Bytes> replies;
        std::string warning = {};   // on standard error, when it runs
        std::string diverged = {};  // the "replay diverged" line; none when empty
    } cases[] = {
        {{"-"},
         early,
         -1,
         "from=2026-12-08T09:00:00.000Z to=2026-12-08T09:00:00.000Z frames=1",
         {{1, 2, 3}}},
        {{dir / "late", dir / "early"},
         "",
         -1,
         "to=2026-12-08T10:00:00.000Z frames=2",
         {{1, 2, 3}, {4, 5}}},
        {{dir / "cut"},
         "",
         -1,
         "frames=1",
         {{1, 2, 3}},
         "borl-sim: warning: " + dir / "cut" + ":5: unfinished last line"},
        {{dir / "abandoned"},
         "",
         -1,
         "frames=4",
         {{1, 2, 3}, {}, {}, {}},
         "",
         "replay diverged at line 8 (2026-12-08T09:00:00.000Z): the daemon sent poll, the capture "
         "has 4 bytes"},
        {{dir / "bad"}, "", 65, dir / "bad:5: rx byte \"4G\" is not two hex digits", {}},
        {{dir / "gone"}, "", 66, dir / "gone: cannot read: No such file", {}},
        {{dir / "."}, "", 66, "cannot read: Is a directory", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files[0]);
        std::vector<std::string> args = {"--replay"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        if (c.status >= 0) {
            args.insert(args.begin(), testsupport::builtBinary("borl-sim"));
            Process p(args);
            EXPECT_EQ(p.wait(), c.status);
            EXPECT_GE(p.err().waitForLine(c.said), 0) << p.err().text();
            continue;
        }
        SimProcess sim(args, c.input);
        EXPECT_GE(sim.line("replay capture "), 0);
        EXPECT_NE(sim.proc->out().text().find(c.said), std::string::npos) << sim.proc->out().text();
        for (const Bytes& reply : c.replies) {
            sim.send(daemonFrame());
            EXPECT_EQ(sim.read(reply.size()), reply);
        }
        if (!c.warning.empty()) {
            EXPECT_GE(sim.proc->err().waitForLine(c.warning), 0) << sim.proc->err().text();
        }
        // A frame after the capture's end: the lines of the last step are all out before its own.
        sim.send(daemonFrame());
        EXPECT_TRUE(sim.proc->out().waitForCount("rx poll", c.replies.size() + 1));
        const std::string out = sim.proc->out().text();
        const size_t at = out.find("replay diverged");
        EXPECT_EQ(at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at),
                  c.diverged);
    }
}

}  // namespace
