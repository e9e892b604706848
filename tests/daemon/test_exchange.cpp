// The serial exchange run in-process with short timings: the receive loop's frame gathering over
// a socketpair or a pty, the transmit thread's frames, and the set pick-up and confirmation.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dornManager.h"
#include "exchangeCapture.h"
#include "exchangeFile.h"
#include "inProcess.h"
#include "logCapture.h"
#include "monotonicClock.h"
#include "replyFrames.h"
#include "southDevice.h"
#include "testClient.h"
#include "testSupport.h"

using namespace std::chrono_literals;

namespace {

using testsupport::block;
using testsupport::Bytes;
using testsupport::reply;
using Frame = Bytes;

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::resetExchangeState();

        // An empty configuration root: only the fields set below are used.
        testsupport::useConfRoot(site / "etc/vexa");
        manager = new dornManager();
        ExchangeTiming& t = manager->link.timing;
        t.startDelayMs = 0;
        t.pauseMs = 20;
        t.waitMs = 300;
        t.offlineMs = 400;
        t.reopenMinMs = 20;
        t.reopenMaxMs = 80;
        device = new SouthDevice(&client, 4711, 1, "test");
        manager->devA = device;
        manager->mObjectClient = &client;
        manager->mSerconf = new qserial::SerialConfig("/nonexistent/serialconf.xml", "Borl100");
        manager->serBusPort = "/nonexistent/tty";
        manager->serFd = -1;
    }

    void TearDown() override {
        stopExchange();
        if (manager->serFd >= 0)
            close(manager->serFd);
        if (pty)
            pty.reset();
        else if (peer >= 0)
            close(peer);
        delete device;
        delete manager->mSerconf;
        delete manager;
    }

    void useSocketpair() {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        manager->serFd = sv[0];
        peer = sv[1];
    }

    // The line is a pty whose device the symbolic link `link` names; a second call replaces
    // the line by a new one, as a controller plugged in again.
    void usePty(const std::string& link) {
        pty.reset();
        pty = std::make_unique<testsupport::Pty>();
        ASSERT_TRUE(pty->ok());
        ASSERT_TRUE(pty->linkAs(link));
        peer = pty->controller();
    }

    void startExchange() {
        runner = std::thread([this] { manager->runExchange(); });
    }

    void stopExchange() {
        manager->requestStop();
        if (runner.joinable())
            runner.join();
    }

    LinkStats& stats() { return manager->link.stats; }
    uint64_t valid() { return stats().validReplies.load(); }
    uint64_t invalid() {
        return stats().headerErrors + stats().terminatorErrors + stats().checksumErrors +
               stats().closingErrors;
    }

    void send(const Frame& f) { ASSERT_TRUE(testsupport::writeAll(peer, f.data(), f.size())); }

    // Reads the next 128-byte frame the transmit thread wrote; empty after 3 s without one.
    Frame nextFrame() {
        Frame f = testsupport::readExactly(peer, 128, std::chrono::seconds(3));
        return f.size() == 128 ? f : Frame{};
    }

    testsupport::ScratchDir site{"exchange"};
    testsupport::TestClient client;
    dornManager* manager = nullptr;
    SouthDevice* device = nullptr;
    int peer = -1;  // the controller's end of the line
    std::unique_ptr<testsupport::Pty> pty;
    std::thread runner;
};

// ---- Frame gathering ----

struct GatherCase {
    const char* legend;
    Frame bytes;
    int complete;  // frames handed over for decoding
    int rejected;  // frame starts dropped for a wrong header
    int idxAfter;  // position of the next byte
};

Frame concat(std::initializer_list<Frame> parts) {
    Frame all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Frame ownHeader() {
    Frame f = reply();
    f[1] = 'I';
    f[2] = 'O';
    return f;
}

TEST(ReplyGatherer, GathersFramesByteByByte) {
    const Frame r = reply();
    const std::vector<GatherCase> cases = {
        {"one reply", r, 1, 0, 0},
        {"two replies back to back", concat({r, r}), 2, 0, 0},
        {"first four bytes are stored untested", Frame{'X', 'Y', 'Z', 'W'}, 0, 0, 4},
        {"wrong header rejected at the fifth byte", Frame{'A', 'I', 'O', 0, 0}, 0, 1, 0},
        {"own header: rest rejected in groups of five", ownHeader(), 0, 25, 3},
        {"stray byte shifts the reply: lost", concat({Frame{0x00}, r}), 0, 25, 4},
        {"split reply completes", Frame(r.begin(), r.begin() + 127), 0, 0, 127},
        {"reply without end byte completes at the last position",
         concat({Frame(r.begin(), r.begin() + 127), Frame{0x00}}), 1, 0, 0},
    };
    for (const auto& c : cases) {
        ReplyGatherer g;
        int complete = 0, rejected = 0;
        for (uint8_t b : c.bytes) {
            switch (g.push(b)) {
                case ReplyGatherer::Complete:
                    ++complete;
                    g.restart();
                    break;
                case ReplyGatherer::Rejected:
                    ++rejected;
                    break;
                case ReplyGatherer::More:
                    break;
            }
        }
        EXPECT_EQ(complete, c.complete) << c.legend;
        EXPECT_EQ(rejected, c.rejected) << c.legend;
        EXPECT_EQ(g.idx, c.idxAfter) << c.legend;
    }
}

TEST(ReplyGatherer, PositionNeverPassesTheLastByte) {
    ReplyGatherer g;
    for (int i = 0; i < 127; ++i)
        EXPECT_EQ(g.push(i < 3 ? "AOI"[i] : 0x11), ReplyGatherer::More);
    EXPECT_EQ(g.idx, 127);
    EXPECT_EQ(g.push(0x11), ReplyGatherer::Complete);
    EXPECT_EQ(g.idx, 127);
}

// ---- The handshake's answer and the re-open back-off, step by step ----

// Every answer to a frame within the wait time (a reply, valid or not, or a frame start dropped
// for its header) starts the production pause of 1 s; part of a reply, or a reply after the
// wait time ran out, leaves the cycle's end where it was.
TEST_F(ExchangeTest, AnAnswerWithinTheWaitStartsThePauseAndNothingElseDoes) {
    const Frame good = reply();
    Frame bad = good;
    bad[126] ^= 0xFF;
    const struct {
        const char* legend;
        Frame bytes;
        unsigned waitMs;  // the cycle's wait; 0: it has run out when the bytes arrive
        bool answered;
    } cases[] = {
        {"valid reply", good, 60000, true},
        {"invalid reply", bad, 60000, true},
        {"rejected frame start", Frame(5, 0x55), 60000, true},
        {"part of a reply", Frame(good.begin(), good.begin() + 40), 60000, false},
        {"reply after the wait time", good, 0, false},
    };
    manager->link.timing = ExchangeTiming{};
    TxHandshake& hs = manager->link.handshake;  // no transmit thread runs: read without the lock
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        manager->link.rx.restart();
        const uint64_t cycleEnd = monotonic::msOf(hs.startCycle(c.waitMs));
        manager->receiveBytes(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(hs.answered, c.answered);
        const auto left = static_cast<int64_t>(monotonic::msOf(hs.txDeadline) - monotonic::nowMs());
        if (c.answered) {
            EXPECT_GT(left, 0);
            EXPECT_LE(left, 1000);
        } else {
            EXPECT_EQ(monotonic::msOf(hs.txDeadline), cycleEnd);
        }
    }
}

// A port that does not open again is retried after a delay that doubles up to its most; every
// loss of the port, the second as the first, starts the delay afresh at its least.
TEST_F(ExchangeTest, ReopenDelayDoublesUpToItsMostAndStartsAfreshAtEveryLoss) {
    testsupport::ScratchDir dir("exchange_backoff");
    const std::string link = dir / "tty";
    usePty(link);
    manager->serBusPort = link.c_str();
    manager->adoptPort(manager->mSerconf->connect(link));
    ASSERT_GE(manager->serFd, 0);
    for (int loss = 1; loss <= 2; ++loss) {
        SCOPED_TRACE("loss " + std::to_string(loss));
        manager->closePort(EIO);
        pty->hangUp();
        EXPECT_EQ(manager->link.reopenDelayMs, 20u);
        uint64_t due = manager->link.nextReopenMs;
        for (unsigned delay : {40u, 80u, 80u}) {
            manager->housekeeping(due);  // an attempt that fails
            EXPECT_EQ(manager->link.nextReopenMs, due + delay);
            due = manager->link.nextReopenMs;
        }
        usePty(link);
        manager->housekeeping(due);
        ASSERT_GE(manager->serFd, 0);
    }
}

int refuseFlags(int, int) {
    errno = EINVAL;
    return -1;
}

// A re-opened port that cannot be made non-blocking is closed (with its lock: else the next
// re-open finds the port held) and retried after the back-off, never kept blocking.
TEST_F(ExchangeTest, AReopenedPortThatStaysBlockingIsClosedAndRetried) {
    testsupport::ScratchDir dir("exchange_blocking");
    const std::string link = dir / "tty";
    usePty(link);
    manager->serBusPort = link.c_str();
    manager->link.reopenDelayMs = 20;
    const auto setFlags = manager->link.lineSetFlags;
    manager->link.lineSetFlags = refuseFlags;
    manager->housekeeping(1000);
    EXPECT_EQ(manager->serFd, -1);
    EXPECT_EQ(manager->link.nextReopenMs, 1040u);
    manager->link.lineSetFlags = setFlags;
    manager->housekeeping(1040);
    ASSERT_GE(manager->serFd, 0);
    EXPECT_NE(fcntl(manager->serFd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(ExchangeTest, BackToBackRepliesAreBothDecoded) {
    useSocketpair();
    uint64_t before = valid();
    uint64_t invalidBefore = invalid();
    Frame two = reply(block({{46, 21}}));
    Frame second = reply(block({{46, 22}}));
    two.insert(two.end(), second.begin(), second.end());
    startExchange();
    send(two);
    ASSERT_TRUE(testsupport::waitFor([&] { return valid() == before + 2; }));
    EXPECT_EQ(invalid(), invalidBefore);
}

TEST_F(ExchangeTest, StrayByteLosesOneReplyThenGatheringFallsBackIntoStep) {
    useSocketpair();
    uint64_t validBefore = valid();
    uint64_t rejectedBefore = stats().rejectedStarts.load();
    startExchange();
    Frame stream{0x00};
    for (int i = 0; i < 5; ++i) {
        Frame r = reply();
        stream.insert(stream.end(), r.begin(), r.end());
    }
    send(stream);
    // The shifted replies are rejected in groups of five until one lands at position 0.
    ASSERT_TRUE(testsupport::waitFor([&] { return valid() >= validBefore + 1; }));
    EXPECT_GT(stats().rejectedStarts.load(), rejectedBefore);
}

// A faulty frame start or frame is counted under its fault and leaves nothing behind: the next
// reply is decoded. (Once three tests, one per fault.)
TEST_F(ExchangeTest, AFaultIsCountedAndTheNextReplyIsDecoded) {
    useSocketpair();
    Frame own = reply();
    own[1] = 'I';  // the daemon's own header
    own[2] = 'O';
    Frame badSum = reply();
    badSum[126] ^= 0x01;
    Frame longer = reply();
    longer.insert(longer.begin() + 60, 0x55);  // one byte too many: 0xA5 would land at 128
    longer.resize(128);                        // the rest of it is lost on the line
    const struct Case {
        const char* legend;
        Frame bytes;
        std::function<uint64_t()> faults;
    } cases[] = {
        {"wrong header: rejected at the fifth byte", Frame(own.begin(), own.begin() + 5),
         [&] { return stats().rejectedStarts.load(); }},
        {"bad checksum", badSum, [&] { return stats().checksumErrors.load(); }},
        {"an extra byte: the frame ends at the last position", longer, [&] { return invalid(); }},
    };
    startExchange();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        const uint64_t faultsBefore = c.faults();
        const uint64_t validBefore = valid();
        send(c.bytes);
        ASSERT_TRUE(testsupport::waitFor([&] { return c.faults() == faultsBefore + 1; }));
        send(reply());
        ASSERT_TRUE(testsupport::waitFor([&] { return valid() == validBefore + 1; }));
    }
}

TEST_F(ExchangeTest, LostPortIsReopenedAndAPartialFrameIsDiscarded) {
    testsupport::ScratchDir dir("exchange_reopen");
    std::string link = dir / "tty";
    usePty(link);
    manager->serBusPort = link.c_str();
    manager->serFd = manager->mSerconf->connect(link);
    ASSERT_GE(manager->serFd, 0);
    uint64_t reopensBefore = stats().reopens.load();
    uint64_t validBefore = valid();
    startExchange();

    Frame r = reply();
    send(Frame(r.begin(), r.begin() + 40));  // half a frame, then the line goes away
    ASSERT_TRUE(testsupport::waitFor([&] { return nextFrame().size() == 128; }));
    usePty(link);
    ASSERT_TRUE(testsupport::waitFor([&] { return stats().reopens.load() > reopensBefore; }));
    send(reply());
    ASSERT_TRUE(testsupport::waitFor([&] { return valid() == validBefore + 1; }));
    stopExchange();  // before the link path goes out of scope
}

TEST_F(ExchangeTest, PortThatCannotBeOpenedIsRetriedAndNothingIsWrittenMeanwhile) {
    testsupport::ScratchDir dir("exchange_late_port");
    std::string link = dir / "tty";
    manager->serBusPort = link.c_str();
    manager->link.timing.waitMs = 50;  // a cycle without a port lasts a wait
    uint64_t pollsBefore = stats().pollFrames.load();
    uint64_t cyclesBefore = stats().txCycles.load();
    startExchange();
    // Several transmit cycles go by while the port is missing: none of them writes.
    ASSERT_TRUE(testsupport::waitFor([&] { return stats().txCycles.load() >= cyclesBefore + 3; }));
    EXPECT_EQ(stats().pollFrames.load(), pollsBefore);

    usePty(link);
    ASSERT_TRUE(testsupport::waitFor([&] { return nextFrame().size() == 128; }));
    stopExchange();  // before the link path goes out of scope
}

TEST_F(ExchangeTest, SilentControllerTakesTheDeviceOfflineOnceAndAReplyBringsItBack) {
    useSocketpair();
    startExchange();
    send(reply());
    ASSERT_TRUE(testsupport::waitFor([&] { return client.count("\"deviceStatus\":2") == 1; }));
    ASSERT_TRUE(testsupport::waitFor([&] { return client.count("\"deviceStatus\":1") == 1; }));
    send(reply());
    ASSERT_TRUE(testsupport::waitFor([&] { return client.count("\"deviceStatus\":2") == 2; }));
    EXPECT_EQ(client.count("\"deviceStatus\":1"), 1u);
}

// Offline detection and the statistics line are due by time: a line that babbles (a stray byte
// every few milliseconds, never a valid reply) must not hold them off.
TEST_F(ExchangeTest, HousekeepingRunsOnTimeWhileTheLineBabbles) {
    useSocketpair();
    manager->link.timing.statsIntervalMs = 150;
    testsupport::LogCapture log("dornManager");
    startExchange();
    send(reply());
    ASSERT_TRUE(testsupport::waitFor([&] { return client.count("\"deviceStatus\":2") == 1; }));

    std::atomic<bool> babbling{true};
    std::thread babbler([&] {
        const uint8_t noise = 0x55;
        while (babbling) {
            if (write(peer, &noise, 1) != 1)
                break;
            std::this_thread::sleep_for(3ms);
        }
    });
    const auto statsLines = [&] { return log.countStarting("Link statistics"); };
    const size_t statsBefore = statsLines();
    EXPECT_TRUE(testsupport::waitFor([&] { return client.count("\"deviceStatus\":1") == 1; }))
        << "offline while bytes keep coming";
    EXPECT_TRUE(testsupport::waitFor([&] { return statsLines() >= statsBefore + 2; }))
        << "statistics while bytes keep coming";
    babbling = false;
    babbler.join();
}

// The service watchdog is pinged from the transmit cycle only while the receive loop is alive:
// one stuck in the middle of a frame's handling gets the daemon restarted.
TEST_F(ExchangeTest, WatchdogPingsStopWhileTheReceiveLoopHangs) {
    static std::atomic<int> pings{0};
    pings = 0;
    manager->link.watchdog = [] { pings++; };
    manager->link.timing.rxHungMs = 300;
    manager->link.timing.waitMs = 50;

    // A client that blocks the receive loop inside the updater until released.
    struct Hold {
        std::mutex m;
        std::condition_variable cv;
        bool released = false;
        std::atomic<bool> entered{false};
    } hold;
    testsupport::TestClient stuck;
    stuck.onSend = [&hold](const cObjectList&) {
        hold.entered = true;
        std::unique_lock<std::mutex> lock(hold.m);
        hold.cv.wait(lock, [&hold] { return hold.released; });
    };
    device->client = &stuck;
    manager->mObjectClient = &stuck;
    useSocketpair();
    startExchange();
    ASSERT_TRUE(testsupport::waitFor([&] { return pings.load() >= 3; }));

    send(reply());  // its handling sends the capability, and hangs there
    ASSERT_TRUE(testsupport::waitFor([&] { return hold.entered.load(); }));
    // Transmit cycles go on (each one times out); after rxHungMs three in a row ping nothing.
    int seen = pings.load();
    uint64_t since = stats().txCycles.load();
    EXPECT_TRUE(testsupport::waitFor([&] {
        if (pings.load() != seen) {
            seen = pings.load();
            since = stats().txCycles.load();
        }
        return stats().txCycles.load() >= since + 3;
    })) << "pinged on every cycle while the receive loop hangs";
    const int stopped = pings.load();

    {
        std::lock_guard<std::mutex> lock(hold.m);
        hold.released = true;
    }
    hold.cv.notify_all();
    EXPECT_TRUE(testsupport::waitFor([&] { return pings.load() > stopped; }));
    stopExchange();
}

// ---- Transmit thread ----

TEST_F(ExchangeTest, SendsThePollFrameAndTheSetFrameWhileASetIsPending) {
    useSocketpair();
    startExchange();
    Frame poll = nextFrame();
    ASSERT_EQ(poll.size(), 128u);
    EXPECT_EQ(poll[0], 'A');
    EXPECT_EQ(poll[3], 0);
    EXPECT_EQ(poll[126], 0x36);
    {
        std::lock_guard<std::mutex> lock(device->mMutex);
        device->setValues[3] = 25.9f;
        device->portNum = 3;
    }
    send(reply(block({{2, 0x10}})));  // a reply lets the loop pick the set up and the cycle go on
    ASSERT_TRUE(testsupport::waitFor([&] {
        Frame f = nextFrame();
        return f.size() == 128 && f[3] == 0x40 && f[11] == 0x19;
    }));
    send(reply(block({{2, 0x19}})));  // the controller now reports the value: confirmed
    ASSERT_TRUE(
        testsupport::waitFor([&] { return !manager->link.pending.get().changeVal_status; }));
    ASSERT_TRUE(testsupport::waitFor([&] {
        Frame f = nextFrame();
        return f.size() == 128 && f[3] == 0 && f[11] == 0;
    }));
}

TEST_F(ExchangeTest, InvalidReplyNeverConfirmsASetOfZero) {
    useSocketpair();
    {
        std::lock_guard<std::mutex> lock(device->mMutex);
        device->setValues[1] = 0.0f;
        device->portNum = 1;
    }
    uint64_t checksumBefore = stats().checksumErrors.load();
    startExchange();
    Frame bad = reply(block({{0, 0}}));
    bad[126] ^= 0xFF;
    send(bad);
    ASSERT_TRUE(
        testsupport::waitFor([&] { return stats().checksumErrors.load() == checksumBefore + 1; }));
    const PendingSet::Snapshot pending = manager->link.pending.get();
    EXPECT_TRUE(pending.changeVal_status);
    EXPECT_EQ(pending.changePort, 1);
}

// ---- The write step ----

// The line as the write step sees it: each write takes at most what the plan says (a negative
// step fails with that errno), then everything; the flushes are noted between the writes.
std::mutex gLineMutex;
std::vector<int> gLinePlan;
std::vector<std::string> gLineCalls;

ssize_t scriptedWrite(int fd, const void* bytes, size_t n) {
    std::lock_guard<std::mutex> lock(gLineMutex);
    const int step = gLinePlan.empty() ? 128 : gLinePlan.front();
    if (!gLinePlan.empty())
        gLinePlan.erase(gLinePlan.begin());
    errno = -step;
    const ssize_t written = step < 0 ? -1 : write(fd, bytes, std::min(n, size_t(step)));
    gLineCalls.push_back(std::to_string(written));
    return written;
}

int scriptedFlush(int, int) {
    std::lock_guard<std::mutex> lock(gLineMutex);
    gLineCalls.push_back("flush");
    return 0;
}

// A frame the line takes in three pieces reaches it whole, once; the next fails after 40 bytes:
// what is left of it is flushed before the frame after it. The capture has the frames as they
// reached the line, each before its reply.
TEST_F(ExchangeTest, AFrameTakenInPiecesOrCutByAFailureIsRecordedAsItReachedTheLine) {
    useSocketpair();
    gLinePlan = {50, 50, 50, 40, -EIO};
    manager->link.lineWrite = scriptedWrite;
    manager->link.lineFlush = scriptedFlush;
    manager->captureFile = site / "write.exchange";
    startExchange();
    const Frame poll = nextFrame();
    ASSERT_EQ(poll.size(), 128u);
    send(reply());
    EXPECT_EQ(testsupport::readExactly(peer, 40, 3s), Frame(poll.begin(), poll.begin() + 40));
    EXPECT_EQ(nextFrame(), poll);  // once the cut frame's cycle timed out
    stopExchange();
    capture::shutdown();
    {
        std::lock_guard<std::mutex> lock(gLineMutex);
        gLineCalls.resize(7);
        EXPECT_EQ(gLineCalls,
                  (std::vector<std::string>{"50", "50", "28", "40", "-1", "flush", "128"}));
    }
    exchangefile::File f;
    size_t line = 0;
    std::string why;
    ASSERT_TRUE(exchangefile::read(testsupport::readFile(site / "write.exchange"), f, line, why));
    std::vector<std::string> records;  // after the start and the open port
    for (size_t i = 2; i < 8 && i < f.records.size(); ++i) {
        const std::string text = exchangefile::format(f.records[i]);
        records.push_back(text.substr(text.find(' ') + 1));
    }
    const std::string frame = "tx " + exchangefile::hex(poll.data(), 128);
    EXPECT_EQ(records,
              (std::vector<std::string>{frame, "rx " + exchangefile::hex(reply().data(), 128),
                                        "online", "tx " + exchangefile::hex(poll.data(), 40),
                                        "write-failed 40 " + std::string(strerror(EIO)), frame}));
}

// ---- Pick-up and confirmation, step by step ----

class PickUpTest : public ExchangeTest {
protected:
    void request(int port, float value) {
        std::lock_guard<std::mutex> lock(device->mMutex);
        device->setValues[port] = value;
        device->portNum = port;
    }
    std::pair<int, int> pending() {
        const PendingSet::Snapshot p = manager->link.pending.get();
        return {p.changeVal_status ? p.changePort : 0, p.changeVal};
    }
    size_t waiting() {
        std::lock_guard<std::mutex> lock(device->mMutex);
        return device->setValues.size();
    }
    // The transmit thread's next frame goes out (a set frame while a set is pending).
    void writeFrame() {
        TxFrame frame;
        if (manager->chooseFrame(frame))
            manager->frameWritten(frame, TxOutcome::whole(frame.len));
    }
    // A reply to the set frame: the controller reports `value` for `port`.
    void confirmFromController(int port, uint8_t value) {
        writeFrame();
        uint8_t block[128] = {};
        block[port - 1] = value;
        manager->confirmSet(block);
    }
};

TEST_F(PickUpTest, TruncatesValuesThatFitTheByte) {
    struct Case {
        float value;
        int byte;
    };
    for (Case c : {Case{25.9f, 0x19}, Case{0.5f, 0x00}, Case{255.9f, 0xFF}, Case{27.0f, 27}}) {
        request(2, c.value);
        manager->pickUpSet();
        EXPECT_EQ(pending(), std::make_pair(2, c.byte)) << c.value;
    }
}

TEST_F(PickUpTest, DropsValuesTheControllerByteCannotHold) {
    for (float v : {256.0f, 300.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity()}) {
        request(4, v);
        manager->pickUpSet();
        EXPECT_EQ(pending().first, 0) << v;
        EXPECT_EQ(waiting(), 0u) << v;
    }
}

TEST_F(PickUpTest, NewestSetReplacesThePendingOneAndTheDisplacedOneIsWrittenAfterwards) {
    request(1, 20.0f);
    manager->pickUpSet();
    request(2, 30.0f);
    manager->pickUpSet();
    EXPECT_EQ(pending(), std::make_pair(2, 30));
    EXPECT_EQ(waiting(), 1u) << "port 1 went back to wait";

    manager->pickUpSet();  // port 2 still pending: port 1 waits
    EXPECT_EQ(pending(), std::make_pair(2, 30));
    confirmFromController(2, 30);
    manager->pickUpSet();
    EXPECT_EQ(pending(), std::make_pair(1, 20));
    EXPECT_EQ(waiting(), 0u);
}

TEST_F(PickUpTest, DisplacedSetGivesWayToANewerValueForItsPort) {
    request(1, 20.0f);
    manager->pickUpSet();
    {
        std::lock_guard<std::mutex> lock(device->mMutex);
        device->setValues[1] = 21.0f;  // a newer value for port 1 ...
        device->setValues[2] = 30.0f;  // ... and port 2, the latest set
        device->portNum = 2;
    }
    manager->pickUpSet();
    EXPECT_EQ(pending(), std::make_pair(2, 30));
    confirmFromController(2, 30);
    manager->pickUpSet();
    EXPECT_EQ(pending(), std::make_pair(1, 21));
}

TEST_F(PickUpTest, SetOfEveryPortIsWrittenOnePortAfterTheOther) {
    {
        std::lock_guard<std::mutex> lock(device->mMutex);
        for (int p = 1; p <= 8; ++p)
            device->setValues[p] = 10.0f + static_cast<float>(p);
        device->portNum = 8;
    }
    std::vector<int> written;
    for (int round = 0; round < 10; ++round) {
        manager->pickUpSet();
        auto [port, value] = pending();
        if (port == 0)
            break;
        written.push_back(port);
        EXPECT_EQ(value, 10 + port);
        confirmFromController(port, static_cast<uint8_t>(value));
    }
    EXPECT_EQ(written, (std::vector<int>{8, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(waiting(), 0u);
}

TEST_F(PickUpTest, LookupNeverCreatesAnEntryAndNothingIsInvented) {
    manager->pickUpSet();
    EXPECT_EQ(waiting(), 0u);
    EXPECT_EQ(pending().first, 0);
    {
        std::lock_guard<std::mutex> lock(device->mMutex);
        device->portNum = 5;  // names a port with no entry
    }
    manager->pickUpSet();
    EXPECT_EQ(waiting(), 0u);
    EXPECT_EQ(pending().first, 0);
}

TEST_F(PickUpTest, ConfirmationComparesDataBlockIndexPortMinusOne) {
    request(6, 7.0f);
    manager->pickUpSet();
    writeFrame();
    uint8_t block[128] = {};
    block[6] = 7;  // port 7's byte
    manager->confirmSet(block);
    EXPECT_EQ(pending().first, 6);
    block[5] = 7;
    manager->confirmSet(block);
    EXPECT_EQ(pending().first, 0);
}

// A reply confirms only once a set frame carrying the pending value has gone out: a reply to an
// earlier frame shows the controller as it was before.
TEST_F(PickUpTest, OnlyAReplyAfterAFrameCarryingTheValueConfirmsIt) {
    uint8_t shows12[128] = {};
    shows12[2] = 12;
    uint8_t shows20[128] = {};
    shows20[2] = 20;

    request(3, 12.0f);
    manager->pickUpSet();
    manager->confirmSet(shows12);  // the reply to the poll frame before: not the set's
    EXPECT_EQ(pending(), std::make_pair(3, 12));

    request(3, 20.0f);  // 12 -> 20, written ...
    manager->pickUpSet();
    writeFrame();
    request(3, 12.0f);  // ... and straight back to 12 while that frame is in flight
    manager->pickUpSet();
    manager->confirmSet(shows12);  // the reply to the frame carrying 20, showing the old 12
    EXPECT_EQ(pending(), std::make_pair(3, 12)) << "12 was never written";

    writeFrame();
    manager->confirmSet(shows20);  // the controller applied the 20 meanwhile
    EXPECT_EQ(pending(), std::make_pair(3, 12));
    manager->confirmSet(shows12);
    EXPECT_EQ(pending().first, 0);
}

TEST_F(PickUpTest, ASetNeverTakenIsGivenUpAfterTenRepliesAndTheNextOneGoesOut) {
    {
        std::lock_guard<std::mutex> lock(device->mMutex);
        device->setValues[1] = 20.0f;
        device->setValues[2] = 30.0f;
        device->portNum = 2;
    }
    manager->pickUpSet();
    uint8_t refused[128] = {};
    for (int i = 0; i < 5; ++i)
        manager->confirmSet(refused);  // replies before any set frame: they do not count
    writeFrame();
    for (int i = 0; i < 9; ++i)
        manager->confirmSet(refused);
    manager->pickUpSet();
    EXPECT_EQ(pending(), std::make_pair(2, 30)) << "nine replies: still pending";
    manager->confirmSet(refused);
    EXPECT_EQ(pending().first, 0) << "the tenth reply gives it up";
    EXPECT_EQ(stats().givenUpSets.load(), 1u);
    manager->pickUpSet();
    EXPECT_EQ(pending(), std::make_pair(1, 20)) << "the set queued behind it goes out";
}

}  // namespace
