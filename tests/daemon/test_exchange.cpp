// The serial exchange's shell run in-process with short timings: the receive loop and the
// transmit thread on a socketpair or a pty, the port lost and opened again, the write step and
// its capture records, the watchdog. The rules themselves are tested with the time passed in
// (tests/protocol/test_linkMachine.cpp).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
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
        timing.startDelayMs = 0;
        timing.pauseMs = 20;
        timing.waitMs = 300;
        timing.offlineMs = 400;
        timing.reopenMinMs = 20;
        timing.reopenMaxMs = 80;
        manager->link().setTiming(timing);
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
        manager->link().setTiming(timing);
        runner = std::thread([this] { manager->link().run(); });
    }

    void stopExchange() {
        manager->link().requestStop();
        if (runner.joinable())
            runner.join();
    }

    LinkStats stats() { return manager->link().stats(); }
    uint64_t valid() { return stats().validReplies; }

    void send(const Frame& f) { ASSERT_TRUE(testsupport::writeAll(peer, f.data(), f.size())); }

    // Reads the next 128-byte frame the transmit thread wrote; empty after 3 s without one.
    Frame nextFrame() {
        Frame f = testsupport::readExactly(peer, 128, std::chrono::seconds(3));
        return f.size() == 128 ? f : Frame{};
    }

    ExchangeTiming timing;
    testsupport::ScratchDir site{"exchange"};
    testsupport::TestClient client;
    dornManager* manager = nullptr;
    SouthDevice* device = nullptr;
    int peer = -1;  // the controller's end of the line
    std::unique_ptr<testsupport::Pty> pty;
    std::thread runner;
};

// The shell's clock keeps all 64 bits: a unit up for 24.9 or 49.7 days, or years, reads on.
TEST(MonotonicClock, TimesPast32BitsOfMillisecondsAreKept) {
    for (uint64_t ms : {(1ull << 31) + 7, (1ull << 32) + 7, (1ull << 40) + 7}) {
        const timespec ts{static_cast<time_t>(ms / 1000),
                          static_cast<long>(ms % 1000) * 1000000L + 999};
        EXPECT_EQ(monotonic::msOf(ts), ms);
        EXPECT_EQ(monotonic::msOfUs(monotonic::usOf(ts)), ms);
    }
}

// ---- The port ----

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
    manager->link().closePort(EIO);  // at a time of the clock: the machine's times are the shell's
    const uint64_t due =
        manager->link().inspect([](const proto::LinkMachine& m) { return m.nextReopenMs(); });
    const auto setFlags = manager->link().lineSetFlags;
    manager->link().lineSetFlags = refuseFlags;
    manager->link().housekeeping(due);
    EXPECT_EQ(manager->serFd, -1);
    EXPECT_EQ(manager->link().inspect([](const proto::LinkMachine& m) { return m.nextReopenMs(); }),
              due + 40);
    manager->link().lineSetFlags = setFlags;
    manager->link().housekeeping(due + 40);
    ASSERT_GE(manager->serFd, 0);
    EXPECT_NE(fcntl(manager->serFd, F_GETFL) & O_NONBLOCK, 0);
}

// Two replies read in one go reach the device both.
TEST_F(ExchangeTest, BackToBackRepliesAreBothPublished) {
    useSocketpair();
    Frame two = reply(block({{46, 21}}));
    Frame second = reply(block({{46, 22}}));
    two.insert(two.end(), second.begin(), second.end());
    startExchange();
    send(two);
    ASSERT_TRUE(testsupport::waitFor([&] { return valid() == 2; }));
    EXPECT_TRUE(testsupport::waitFor([&] { return client.count("\"sample\":22.0") == 1; }));
}

TEST_F(ExchangeTest, LostPortIsReopenedAndAPartialFrameIsDiscarded) {
    testsupport::ScratchDir dir("exchange_reopen");
    std::string link = dir / "tty";
    usePty(link);
    manager->serBusPort = link.c_str();
    manager->serFd = manager->mSerconf->connect(link);
    ASSERT_GE(manager->serFd, 0);
    uint64_t reopensBefore = stats().reopens;
    uint64_t validBefore = valid();
    startExchange();

    Frame r = reply();
    send(Frame(r.begin(), r.begin() + 40));  // half a frame, then the line goes away
    ASSERT_TRUE(testsupport::waitFor([&] { return nextFrame().size() == 128; }));
    usePty(link);
    ASSERT_TRUE(testsupport::waitFor([&] { return stats().reopens > reopensBefore; }));
    send(reply());
    ASSERT_TRUE(testsupport::waitFor([&] { return valid() == validBefore + 1; }));
    stopExchange();  // before the link path goes out of scope
}

TEST_F(ExchangeTest, PortThatCannotBeOpenedIsRetriedAndNothingIsWrittenMeanwhile) {
    testsupport::ScratchDir dir("exchange_late_port");
    std::string link = dir / "tty";
    manager->serBusPort = link.c_str();
    timing.waitMs = 50;  // a cycle without a port lasts a wait
    uint64_t pollsBefore = stats().pollFrames;
    uint64_t cyclesBefore = stats().txCycles;
    startExchange();
    // Several transmit cycles go by while the port is missing: none of them writes.
    ASSERT_TRUE(testsupport::waitFor([&] { return stats().txCycles >= cyclesBefore + 3; }));
    EXPECT_EQ(stats().pollFrames, pollsBefore);

    usePty(link);
    ASSERT_TRUE(testsupport::waitFor([&] { return nextFrame().size() == 128; }));
    stopExchange();  // before the link path goes out of scope
}

// Offline detection and the statistics line are due by time: a line that babbles (a stray byte
// every few milliseconds, never a valid reply) must not hold them off. The silence is logged to
// the millisecond, never shorter than the offline time.
TEST_F(ExchangeTest, HousekeepingRunsOnTimeWhileTheLineBabbles) {
    useSocketpair();
    timing.statsIntervalMs = 150;
    timing.offlineMs = 167;
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
    const std::string said = "No valid reply from the controller for ";
    for (const std::string& line : log.messages()) {
        if (line.rfind(said, 0) == 0) {
            EXPECT_GE(std::stod(line.substr(said.size())), 0.167) << line;
        }
    }
    EXPECT_EQ(log.countStarting(said), 1u);
}

// The service watchdog is pinged from the transmit cycle only while the receive loop is alive:
// one stuck in the middle of a frame's handling gets the daemon restarted.
TEST_F(ExchangeTest, WatchdogPingsStopWhileTheReceiveLoopHangs) {
    static std::atomic<int> pings{0};
    pings = 0;
    manager->link().watchdog = [] { pings++; };
    timing.rxHungMs = 300;
    timing.waitMs = 50;

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
    uint64_t since = stats().txCycles;
    EXPECT_TRUE(testsupport::waitFor([&] {
        if (pings.load() != seen) {
            seen = pings.load();
            since = stats().txCycles;
        }
        return stats().txCycles >= since + 3;
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
    ASSERT_TRUE(testsupport::waitFor([&] { return !manager->link().pending().changeVal_status; }));
    ASSERT_TRUE(testsupport::waitFor([&] {
        Frame f = nextFrame();
        return f.size() == 128 && f[3] == 0 && f[11] == 0;
    }));
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
    manager->link().lineWrite = scriptedWrite;
    manager->link().lineFlush = scriptedFlush;
    ASSERT_TRUE(manager->beginCapture(site / "write.exchange"));
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

}  // namespace
