// Faults injected end to end: a line that corrupts replies, a controller that falls silent, a
// serial port that goes away, vexad that goes away, a flood of requests from vexad and a burst of
// sets. FaultsE2E holds the short versions (seconds each); FaultsE2ELong the long ones, which the
// default run skips (label "long": scripts/test --long).
//
// The corrupting line runs two ways: the real daemon on the rig's short timings, and the receive
// loop and transmit thread of this process without a pause against the simulator's pty (about
// a thousand exchanges a second), with a tap on the line that records every byte the controller
// sent.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "SerialConfig.h"
#include "dornManager.h"
#include "e2eRig.h"
#include "inProcess.h"
#include "logCapture.h"
#include "replyFrames.h"
#include "southDevice.h"
#include "testClient.h"

using namespace std::chrono_literals;
using e2e::json;
using e2e::Rig;
using e2e::RigOptions;

namespace {

using Clock = std::chrono::steady_clock;

// Under a sanitizer the daemon's memory is the instrumentation's (freed blocks are held back in
// quarantine, shadow memory grows with use): memory bounds are checked in plain builds only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when the process is gone.
long statusKb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

size_t openDescriptors(pid_t pid) {
    size_t n = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.' ? 1 : 0;
        closedir(d);
    }
    return n;
}

// ---- What the receiver must make of the controller's bytes ----

// Works out, independently of the daemon, what the receive loop must do with a stream of
// controller bytes: bytes are stored from position 0; a start without the controller's header
// ("A", "O", "I") is dropped at its fifth byte; a frame is complete when position 127 is filled;
// a complete frame is checked for header, terminator, checksum and end byte, in that order.
class LineModel {
public:
    void feed(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            push(p[i]);
    }

    uint64_t offset = 0;    // bytes seen
    uint64_t rejected = 0;  // frame starts dropped for a wrong header
    uint64_t valid = 0;
    std::map<std::string, uint64_t> invalid;  // complete frames by the decoder's reason
    std::set<uint64_t> validStarts;           // stream offsets where a valid frame began

    uint64_t complete() const {
        uint64_t n = valid;
        for (const auto& r : invalid)
            n += r.second;
        return n;
    }

private:
    void push(uint8_t b) {
        if (mPos == 0)
            mStart = offset;
        mBuf[mPos] = b;
        ++offset;
        const bool header = mBuf[0] == 'A' && mBuf[1] == 'O' && mBuf[2] == 'I';
        if (mPos >= 4 && !header) {
            ++rejected;
            mPos = 0;
            return;
        }
        if (mPos < 127) {
            ++mPos;
            return;
        }
        mPos = 0;
        const uint8_t check = testsupport::frameChecksum(mBuf);
        const char* reason = nullptr;
        if (!header) {
            reason = "Frame Error: Header mismatch";
        } else if (mBuf[123] != 'O' || mBuf[124] != 'A' || mBuf[125] != 'I') {
            reason = "Frame Error: Terminator mismatch";
        } else if (mBuf[126] != check) {
            reason = "Checksum fail";
        } else if (mBuf[127] != 0xA5) {
            reason = "Closing byte mismatch";
        }
        if (reason) {
            ++invalid[reason];
        } else {
            ++valid;
            validStarts.insert(mStart);
        }
    }

    uint8_t mBuf[128] = {};
    int mPos = 0;
    uint64_t mStart = 0;
};

// Which replies the simulator sent clean, in order, from its "tx corrupt ..." and "tx reply"
// lines (a reply's corrupt lines come right before its reply line).
std::vector<bool> cleanReplies(const std::vector<std::string>& simLines) {
    std::vector<bool> clean;
    bool corrupt = false;
    for (const auto& l : simLines) {
        if (l.rfind("tx corrupt", 0) == 0) {
            corrupt = true;
        } else if (l.rfind("tx reply", 0) == 0) {
            clean.push_back(!corrupt);
            corrupt = false;
        }
    }
    return clean;
}

// Replies of a line that only corrupts bytes (no byte added or lost) sit at 128-byte steps.
struct ReplyAccount {
    uint64_t clean = 0;            // replies the simulator sent untouched
    uint64_t cleanDecoded = 0;     // ... that the receiver must decode
    uint64_t cleanLost = 0;        // ... lost while gathering fell back into step after a fault
    uint64_t corruptAccepted = 0;  // corrupted replies that the 8-bit checksum lets through
};

ReplyAccount accountReplies(const LineModel& model, const std::vector<bool>& clean) {
    ReplyAccount a;
    for (size_t k = 0; k < clean.size(); ++k) {
        const bool decoded = model.validStarts.count(128u * k) != 0;
        if (clean[k]) {
            ++a.clean;
            ++(decoded ? a.cleanDecoded : a.cleanLost);
        } else if (decoded) {
            ++a.corruptAccepted;
        }
    }
    return a;
}

std::string describe(const LineModel& m, const ReplyAccount& a) {
    std::ostringstream s;
    s << "replies clean " << a.clean << " (decoded " << a.cleanDecoded << ", lost in resync "
      << a.cleanLost << "), corrupted but passing the checksum " << a.corruptAccepted
      << "; frames valid " << m.valid << ", rejected starts " << m.rejected;
    for (const auto& r : m.invalid)
        s << ", \"" << r.first << "\" " << r.second;
    return s.str();
}

std::vector<uint8_t> parseHex(const std::string& hex) {
    std::vector<uint8_t> out;
    std::istringstream in(hex);
    for (std::string byte; in >> byte;)
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

// ---- The real daemon on a corrupting line ----

// The daemon's log holds one "Frame valid" per valid reply and one "Received frame invalid:
// <reason>" per invalid one; both must match what the bytes on the line call for.
void corruptingLineAgainstTheBinary(size_t replies) {
    // A poll 10 ms after each reply: the replies come quickly, all of them are checked.
    Rig rig("faults_noise_bin",
            RigOptions{{"--noise", "0.01", "--verbose"}, {"--timing", "pause=10,repeat=0"}});
    ASSERT_TRUE(
        rig.simProc->out().waitForCount("tx reply", replies, std::chrono::seconds(replies * 3)));
    const size_t ok = rig.simLines();
    rig.sim("silent on");
    ASSERT_GE(rig.waitSim("ok silent on", 15s, ok), 0);

    // Every byte the controller sent, in order, from the simulator's dumps.
    LineModel model;
    for (const auto& l : rig.simProc->err().lines()) {
        if (l.rfind("tx frame: ", 0) == 0) {
            const auto bytes = parseHex(l.substr(10));
            model.feed(bytes.data(), bytes.size());
        }
    }
    const ReplyAccount account = accountReplies(model, cleanReplies(rig.simProc->out().lines()));
    SCOPED_TRACE(describe(model, account));
    ASSERT_GE(account.clean, 1u) << "no clean reply: the run proves nothing";

    auto logged = [&](const std::string& needle) { return rig.daemon->err().count(needle); };
    EXPECT_TRUE(rig.daemon->err().waitUntil([&] {
        return logged("Frame valid") == model.valid &&
               logged("Received frame invalid: ") == model.complete() - model.valid;
    })) << "valid "
        << logged("Frame valid") << ", invalid " << logged("Received frame invalid: ");
    for (const auto& r : model.invalid)
        EXPECT_EQ(logged("Received frame invalid: " + r.first), r.second) << r.first;
    EXPECT_EQ(account.cleanDecoded + account.cleanLost, account.clean);
    EXPECT_TRUE(rig.daemon->running());
}

// ---- The receive loop of this process, accelerated, against the simulator ----

// Passes bytes between the daemon's end of a socketpair and the simulator's pty, and feeds every
// byte from the controller through the model on the way.
class LineTap {
public:
    LineTap(int daemonSide, int ptySide) : mDaemon(daemonSide), mPty(ptySide) {
        mThread = std::thread([this] { run(); });
    }
    ~LineTap() { stop(); }
    void stop() {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
    }
    // Milliseconds since the controller last sent a byte.
    int64_t quietMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   Clock::now().time_since_epoch())
                   .count() -
               mLastFromPty.load();
    }
    LineModel model;  // read only after stop()

private:
    void run() {
        uint8_t buf[4096];
        while (!mStop) {
            pollfd p[2] = {{mDaemon, POLLIN, 0}, {mPty, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            if (p[0].revents & POLLIN) {
                ssize_t n = read(mDaemon, buf, sizeof buf);
                if (n > 0)
                    testsupport::writeAll(mPty, buf, static_cast<size_t>(n));
            }
            if (p[1].revents & POLLIN) {
                ssize_t n = read(mPty, buf, sizeof buf);
                if (n > 0) {
                    model.feed(buf, static_cast<size_t>(n));
                    mLastFromPty = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       Clock::now().time_since_epoch())
                                       .count();
                    testsupport::writeAll(mDaemon, buf, static_cast<size_t>(n));
                }
            }
        }
    }
    int mDaemon;
    int mPty;
    std::atomic<bool> mStop{false};
    std::atomic<int64_t> mLastFromPty{0};
    std::thread mThread;
};

// The transmit thread and the receive loop of this process, stopped and joined at the latest
// when it goes out of scope.
class RunningExchange {
public:
    explicit RunningExchange(dornManager& manager)
        : mManager(manager), mThread([&manager] { manager.link().run(); }) {}
    ~RunningExchange() { stop(); }
    void stop() {
        mManager.link().requestStop();
        if (mThread.joinable())
            mThread.join();
    }

private:
    dornManager& mManager;
    std::thread mThread;
};

// Runs the exchange of this process against borl-sim with 1 % of reply bytes corrupted, `pauseMs`
// between a reply and the next poll, until the simulator has sent `replies` replies and
// `duration` has passed, then checks that every frame was handled as the bytes call for.
void corruptingLineAccelerated(size_t replies, std::chrono::seconds duration, unsigned pauseMs) {
    testsupport::ScratchDir dir("faults_noise_fast");
    const std::string link = dir / "ttyCTRL";
    testsupport::Process sim(
        {testsupport::builtBinary("borl-sim"), "--link", link, "--seed", "11", "--noise", "0.01"},
        dir.path());
    ASSERT_GE(sim.out().waitForLine("pty: "), 0);
    const int pty = qserial::SerialConfig::openPort(link, qserial::SerialPort());
    ASSERT_GE(pty, 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);

    // Every category at the production level INFO, counted only: the frame dumps at debug are
    // not formatted at this rate, and a long run keeps no lines.
    std::unique_ptr<testsupport::LogCapture> log(testsupport::LogCapture::everything(
        log4cpp::Priority::INFO, testsupport::LogCapture::Keep::Counts));
    testsupport::TestClient client(testsupport::TestClient::Keep::Counts);
    testsupport::useConfRoot(dir / "etc/vexa");  // empty: only the fields set below count
    std::unique_ptr<dornManager> manager(new dornManager());
    ExchangeTiming timing;
    timing.startDelayMs = 0;
    timing.pauseMs = pauseMs;
    timing.waitMs = 200;
    timing.repeatMs = 0;  // every invalid reply a line of its own, counted below
    manager->link().setTiming(timing);
    std::unique_ptr<SouthDevice> device(new SouthDevice(&client, 4711, 1, "faults"));
    std::unique_ptr<qserial::SerialConfig> serconf(
        new qserial::SerialConfig("/nonexistent/serialconf.xml", "Borl100"));
    manager->devA = device.get();
    manager->mObjectClient = &client;
    manager->mSerconf = serconf.get();
    manager->serBusPort = link.c_str();
    manager->serFd = sv[0];

    LineTap tap(sv[1], pty);
    RunningExchange exchange(*manager);

    // The line keeps moving for the whole run: a reply at least every 2 s.
    const auto end = Clock::now() + duration;
    size_t sent = 0;
    size_t from = 0;
    while (sent < replies || Clock::now() < end) {
        const int at = sim.out().waitForLine("tx reply", 2s, from);
        if (at < 0) {
            ADD_FAILURE() << "the exchange stalled after " << sent << " replies";
            break;
        }
        ++sent;
        from = static_cast<size_t>(at) + 1;
    }

    // Silence the controller, let the last bytes arrive, and compare.
    const size_t ok = sim.out().size();
    sim.writeStdin("silent on\n");
    ASSERT_GE(sim.out().waitForLine("ok silent on", 15s, ok), 0);
    EXPECT_TRUE(testsupport::waitFor([&] { return tap.quietMs() >= 300; }));
    tap.stop();
    const LineModel& model = tap.model;
    const ReplyAccount account = accountReplies(model, cleanReplies(sim.out().lines()));
    SCOPED_TRACE(describe(model, account));
    std::cout << "[ line      ] " << describe(model, account) << std::endl;

    LinkStats linkStats;
    const auto invalid = [&linkStats] {
        return linkStats.invalid[0] + linkStats.invalid[1] + linkStats.invalid[2] +
               linkStats.invalid[3];
    };
    EXPECT_TRUE(testsupport::waitFor([&] {
        linkStats = manager->link().stats();
        return linkStats.validReplies == model.valid && invalid() == model.complete() - model.valid;
    })) << "valid "
        << linkStats.validReplies << ", invalid " << invalid();
    EXPECT_EQ(linkStats.rejectedStarts, model.rejected);
    EXPECT_EQ(log->countStarting("Frame valid"), model.valid);
    for (const auto& r : model.invalid)
        EXPECT_EQ(log->countStarting("Received frame invalid: " + r.first), r.second) << r.first;
    EXPECT_EQ(log->countStarting("Received frame invalid: "), model.complete() - model.valid);
    EXPECT_EQ(account.cleanDecoded + account.cleanLost, account.clean);
    EXPECT_GT(account.cleanDecoded, account.clean / 2);
    // Every valid reply but the first publishes one sample event per analogue input.
    EXPECT_EQ(client.objects(cObject::OBJ_ANALOG_SAMPLE), points::kInputs * (model.valid - 1));

    exchange.stop();
    close(sv[0]);
    close(sv[1]);
    close(pty);
    sim.writeStdin("quit\n");
    EXPECT_EQ(sim.wait(), 0);
}

// ---- vexad played by the test ----

// Listens on 127.0.0.1 in place of vexad, accepts the daemon, writes lines to it as fast as the
// connection takes them and sorts the lines the daemon sends back. Reading can be paused, to
// play a vexad that does not read.
class FakeVexad {
public:
    // `receiveBuffer` > 0: the connection's receive buffer, fixed (a vexad whose kernel holds
    // little of what it did not read yet).
    explicit FakeVexad(int port, int receiveBuffer = 0) {
        mListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (receiveBuffer > 0)
            setsockopt(mListen, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(mListen, 1))
            ADD_FAILURE() << "cannot listen on port " << port << ": " << strerror(errno);
    }
    ~FakeVexad() {
        mStop = true;
        if (mReader.joinable())
            mReader.join();
        if (mConn >= 0)
            close(mConn);
        close(mListen);
    }

    bool acceptDaemon(std::chrono::milliseconds timeout = 20s) {
        pollfd p{mListen, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        mConn = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (mConn < 0)
            return false;
        mReader = std::thread([this] { readLoop(); });
        return true;
    }

    void sendAll(const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(mConn, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ADD_FAILURE() << "the daemon closed the connection: " << strerror(errno);
                return;
            }
            off += static_cast<size_t>(n);
        }
    }

    std::atomic<bool> reading{true};
    std::atomic<uint64_t> deviceReplies{0};  // message type 1 with the device
    std::atomic<uint64_t> inputReplies{0};   // message type 1 with analogue inputs
    std::atomic<uint64_t> samples{0};        // sample events
    std::atomic<uint64_t> online{0};         // device events: online, offline
    std::atomic<uint64_t> offline{0};
    std::atomic<uint64_t> unparsable{0};

private:
    void readLoop() {
        std::string pending;
        char buf[65536];
        while (!mStop) {
            if (!reading) {
                std::this_thread::sleep_for(10ms);
                continue;
            }
            pollfd p{mConn, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            ssize_t n = recv(mConn, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            pending.append(buf, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
                sort(pending.substr(start, nl - start));
            pending.erase(0, start);
        }
    }
    void sort(const std::string& line) {
        json m = json::parse(line, nullptr, false);
        if (m.is_discarded()) {
            ++unparsable;
            return;
        }
        if (e2e::isReplyWith(m, 0))
            ++deviceReplies;
        else if (e2e::isReplyWith(m, 4))
            ++inputReplies;
        else if (e2e::isSample(m))
            ++samples;
        online += e2e::isOnline(m);
        offline += e2e::isOffline(m);
    }

    int mListen = -1;
    int mConn = -1;
    std::atomic<bool> mStop{false};
    std::thread mReader;
};

// The flood: device requests, every 50th a request for one analogue input, every 1000th a line
// that is not JSON at all.
struct Flood {
    std::string bytes;
    uint64_t device = 0;
    uint64_t inputs = 0;
    uint64_t garbage = 0;
};

Flood makeFlood(size_t lines) {
    Flood f;
    for (size_t i = 1; i <= lines; ++i) {
        if (i % 1000 == 0) {
            f.bytes += "{\"msgType\":1,\"objects\":[{\"objType\":0,\n";
            ++f.garbage;
        } else if (i % 50 == 0) {
            f.bytes +=
                "{\"msgType\":1,\"objects\":[{\"objType\":4,\"deviceSerial\":-1,\"portId\":" +
                std::to_string(1 + i % points::kInputs) + "}]}\n";
            ++f.inputs;
        } else {
            f.bytes += "{\"msgType\":1,\"objects\":[{\"objType\":0,\"deviceSerial\":-1}]}\n";
            ++f.device;
        }
    }
    return f;
}

// Sends the flood as a vexad that reads sends it: never more than 750 lines ahead of their
// answers (the few lines that are not JSON, never answered, come out of that slack). A reader
// slowed down on a busy machine then never leaves the daemon 1000 answers to queue, which it
// would drop, oldest first, as it does for a vexad that does not read.
void sendKeepingUp(FakeVexad& vexad, const Flood& flood) {
    size_t at = 0;
    uint64_t sent = 0;  // lines
    while (at < flood.bytes.size()) {
        if (!testsupport::waitFor(
                [&] { return vexad.deviceReplies + vexad.inputReplies + 500 >= sent; }, 30s)) {
            ADD_FAILURE() << "answers stopped after " << sent << " lines";
            return;
        }
        size_t end = at;
        for (int i = 0; i < 250 && end < flood.bytes.size(); ++i, ++sent)
            end = flood.bytes.find('\n', end) + 1;
        vexad.sendAll(flood.bytes.substr(at, end - at));
        at = end;
    }
}

// Starts the daemon against a FakeVexad and waits for its first samples.
void startWithFakeVexad(Rig& rig, FakeVexad& vexad, const std::vector<std::string>& args = {}) {
    rig.startDaemon(args);
    ASSERT_TRUE(vexad.acceptDaemon());
    ASSERT_TRUE(testsupport::waitFor([&] { return vexad.samples >= 3 * points::kInputs; }, 20s));
}

// ---- Sets ----

struct SetMessage {
    int port;  // an analogue output's id, or -1 for every one
    double value;
};

// The byte a set of `value` writes to the controller, or -1 when the value cannot go there.
int controllerByte(double value) {
    if (!(value >= 0.0 && value < 256.0))
        return -1;
    return static_cast<int>(static_cast<uint32_t>(static_cast<float>(value)));
}

std::string setLine(const SetMessage& s) {
    std::ostringstream o;
    o.precision(9);
    o << "{\"msgType\":0,\"objects\":[{\"objType\":11,\"deviceSerial\":-1,\"portId\":" << s.port
      << ",\"sampledValue\":" << s.value << "}]}";
    return o.str();
}

// "rx set p=3 v=27" -> (3, 27)
bool parseRxSet(const std::string& line, int& p, int& v) {
    return std::sscanf(line.c_str(), "rx set p=%d v=%d", &p, &v) == 2;
}

// Sample sequence numbers per input must run 1, 2, ..., 31, 1, ... without a gap or a repeat.
void expectUnbrokenSequences(const std::vector<json>& messages) {
    std::map<int, unsigned> last;
    for (const auto& m : messages) {
        if (!e2e::isSample(m))
            continue;
        const json& o = m["objects"][0];
        const int port = o["portNum"].get<int>();
        const unsigned seq = o["seqNum"].get<unsigned>();
        auto it = last.find(port);
        if (it != last.end()) {
            EXPECT_EQ(seq, it->second % 31 + 1) << "input " << port << " after " << it->second;
        }
        last[port] = seq;
    }
    EXPECT_EQ(last.size(), static_cast<size_t>(points::kInputs));
}

}  // namespace

// ---- Corrupted replies ----

TEST(FaultsE2E, CorruptedRepliesAreReportedAndCleanOnesDecodedByTheDaemon) {
    corruptingLineAgainstTheBinary(25);
}

// The next poll as soon as a reply is in: no transmit pause. Ten minutes of it are a long test.
TEST(FaultsE2E, CorruptedRepliesAtAcceleratedPollingForFiveThousandReplies) {
    corruptingLineAccelerated(5000, 0s, 0);
}

// A 1 ms pause: without one, ten minutes are about 4.5 million replies, and the simulator's lines
// the test keeps take about 800 MB.
TEST(FaultsE2ELong, CorruptedRepliesAtAcceleratedPollingForTenMinutes) {
    corruptingLineAccelerated(0, 600s, 1);
}

// ---- Controller silent and back ----

// A set made while the controller hears nothing is sent on every cycle and confirmed once it
// answers again; meanwhile the device goes offline (soon: after 300 ms) and comes back online.
TEST(FaultsE2E, SetMadeWhileTheControllerIsSilentIsConfirmedWhenItIsBack) {
    Rig rig("faults_silent_set", RigOptions{{}, {"--timing", "wait=100,offline=300"}});
    ASSERT_GE(rig.waitForMessage(e2e::isOnline), 0);
    rig.sim("silent on");
    ASSERT_GE(rig.waitSim("ok silent on"), 0);
    rig.console("set 4 33");
    int first = rig.waitSim("rx set p=4 v=33");
    ASSERT_GE(first, 0);
    ASSERT_GE(rig.waitSim("rx set p=4 v=33", 15s, static_cast<size_t>(first) + 1), 0);
    int offline = rig.waitForMessage(e2e::isOffline, 25s);
    ASSERT_GE(offline, 0);
    EXPECT_LT(rig.waitOut("changeVal reset", 0ms), 0);

    rig.sim("silent off");
    ASSERT_GE(rig.waitLog("Set-point 4 = 33 confirmed", 15s), 0);
    EXPECT_GE(rig.waitForMessage(e2e::isOnline, 15s, static_cast<size_t>(offline)), 0);
}

// ---- Serial port lost and back ----

// The line goes away and another one takes its place, several times: every time the port is
// opened again, publication resumes, and no descriptor is left behind. The first re-open 20 ms
// after a loss: the next line is there by then or soon after.
void lostAndBack(int times) {
    Rig rig("faults_hangups", RigOptions{{}, {"--timing", "reopen-min=20"}});
    ASSERT_GE(rig.waitForMessage(e2e::isLastSample), 0);
    const size_t fdsBefore = openDescriptors(rig.daemon->pid());
    for (int i = 0; i < times; ++i) {
        SCOPED_TRACE("hangup " + std::to_string(i + 1));
        const size_t log = rig.daemon->err().size();
        rig.sim("hangup");
        ASSERT_GE(rig.waitLog("lost", 15s, log), 0);
        ASSERT_GE(rig.waitLog("open again", 20s, log), 0);
        const size_t from = rig.messageCount();
        ASSERT_GE(rig.waitForMessage(e2e::isLastSample, 15s, from), 0);
    }
    EXPECT_EQ(openDescriptors(rig.daemon->pid()), fdsBefore);
}

TEST(FaultsE2E, SerialPortLostAndBackThreeTimes) {
    lostAndBack(3);
}

TEST(FaultsE2ELong, SerialPortLostAndBackFortyTimes) {
    lostAndBack(40);
}

// The controller's line is gone for a while (no device at the configured path): the daemon keeps
// trying, a set made meanwhile waits, and both polling and the set go out once a controller is
// attached again. Re-open attempts 50 and then 100 ms apart.
TEST(FaultsE2E, SerialPortGoneForAWhileThenASetWaitingIsWritten) {
    Rig rig("faults_port_gone",
            RigOptions{{}, {"--timing", "repeat=0,reopen-min=50,reopen-max=100"}});
    ASSERT_GE(rig.waitForMessage(e2e::isLastSample), 0);
    rig.sim("quit");
    ASSERT_EQ(rig.simProc->wait(), 0);
    ASSERT_GE(rig.waitLog("lost"), 0);
    rig.console("set 2 21");
    ASSERT_GE(rig.waitLog("Setting analogue output port 2 state to 21"), 0);
    // Two re-open attempts fail while nothing is there: the first is logged with its reason,
    // the next in a line that counts them (at once: the rig's repeat period is 0).
    const int failed = rig.waitLog("Could not open serial port", 15s);
    ASSERT_GE(failed, 0);
    ASSERT_GE(rig.waitLog("still cannot be opened: 2 attempts", 15s, static_cast<size_t>(failed)),
              0);
    EXPECT_TRUE(rig.daemon->running());

    rig.startSim({});
    ASSERT_GE(rig.waitLog("open again", 40s), 0);
    ASSERT_GE(rig.waitSim("rx set p=2 v=21", 15s), 0);
    ASSERT_GE(rig.waitLog("Set-point 2 = 21 confirmed", 15s), 0);
    ASSERT_GE(rig.waitSim("rx poll", 15s), 0);
}

// ---- A line that stops taking bytes ----

// The capture decoded counts what the daemon's statistics line at its stop counts, within what
// the times in a capture cannot settle: a first answer late in its cycle's wait (of `waitS`
// seconds) may have come after it, an answer just before a frame may be that frame's (its wait
// began before its record), and the stop may have come after the last cycle's wait.
void expectDecodedStatistics(Rig& rig, const std::string& capture, double waitS) {
    testsupport::Process decode({testsupport::builtBinary("borl-decode"), "--json", capture});
    ASSERT_EQ(decode.wait(30s), 0) << decode.err().text();
    std::vector<json> rows;
    for (const std::string& line : decode.out().lines())
        rows.push_back(json::parse(line));
    int64_t late = 0, early = 0;
    double frame = -1, answer = -1;  // the last frame, and the last answer after it
    for (const json& r : rows) {
        const std::string dir = r.value("dir", "");
        const double t = r.value("t", 0.0);
        if (dir == "rx")
            late += frame >= 0 && answer < 0 && t - frame > waitS / 2;
        if (dir == "tx")
            early += answer >= 0 && t - answer < waitS / 2;
        if (dir == "rx" || dir == "tx") {
            answer = dir == "rx" ? t : -1;
            frame = dir == "tx" ? t : frame;
        }
    }
    const int64_t pending = answer < 0;
    const std::vector<std::string> log = rig.daemon->err().lines();
    const auto stats = std::find_if(log.rbegin(), log.rend(), [](const std::string& l) {
        return l.find("Link statistics") != std::string::npos;
    });
    ASSERT_NE(stats, log.rend());
    const auto statistic = [&](const std::string& label) {
        return std::stoull(stats->substr(stats->find(label + " ") + label.size() + 1));
    };
    const json& summary = rows.back()["summary"];
    EXPECT_GT(summary["abandoned_frames"].get<uint64_t>(), 0u);
    EXPECT_EQ(summary["abandoned_frames"].get<uint64_t>(), statistic("abandoned frames")) << *stats;
    const int64_t timeouts = static_cast<int64_t>(statistic("timeouts"));
    const int64_t decoded = summary["timeouts"].get<int64_t>();
    EXPECT_LE(decoded, timeouts + early) << *stats;
    EXPECT_GE(decoded + late + early + pending, timeouts) << *stats;
}

// The controller end stops reading (held flow control, a wedged adapter) until the line takes
// no more: each frame is abandoned at the end of its cycle and the exchange goes on; once the
// line is read again it resumes; a stop while the line is stalled ends the daemon at once. A wait
// of 3 ms: unanswered cycles come quickly, and the line's buffers fill in about half a second.
// vexad does not read from before the first stall to long after it, its socket's buffer small and
// the daemon's queue full: the offline and online events, queued before more than a queue of
// samples, reach it. The capture of it, decoded, counts the abandoned frames and the timeouts of
// the daemon's statistics.
TEST(FaultsE2E, StalledLineNeitherHangsTheExchangeNorTheStop) {
    Rig rig("faults_stalled", RigOptions{{}, {}, false, false});
    FakeVexad vexad(rig.vexadPort, 16384);
    startWithFakeVexad(rig, vexad, {"--timing", "pause=2,wait=3", "--capture", "stalled.exchange"});
    ASSERT_TRUE(testsupport::waitFor([&] { return vexad.online == 1; }));
    for (int round = 1; round <= 2; ++round) {
        const size_t log = rig.logLines();
        if (round == 1) {
            vexad.reading = false;
            ASSERT_GE(rig.waitLog("send queue full", 30s, log), 0);
        }
        rig.sim("deaf on");
        ASSERT_GE(rig.waitLog("does not take frames", 30s, log), 0) << "stall " << round;
        if (round == 2) {
            // Frames abandoned one after another (each flush makes room for a few more polls),
            // more than the decoder's count could hide.
            ASSERT_TRUE(testsupport::waitFor(
                [&] {
                    const std::string c = testsupport::readFile(rig.dir / "stalled.exchange");
                    size_t n = 0;
                    for (size_t at = c.find(" abandoned "); at != std::string::npos;
                         at = c.find(" abandoned ", at + 1))
                        ++n;
                    return n >= 3;
                },
                30s));
            break;
        }
        ASSERT_GE(rig.waitLog("device offline", 15s, log), 0);  // cycles go on as timeouts
        rig.sim("deaf off");
        ASSERT_GE(rig.waitLog("takes frames again", 15s, log), 0);
        // The polls the line held are answered at once, and polling goes on: far more samples
        // than the queue holds come after the online event.
        const int online = rig.waitLog("device online", 15s, log);
        ASSERT_GE(online, 0);
        ASSERT_TRUE(rig.daemon->err().waitForCount("Frame valid", 1000 / points::kInputs + 10, 15s,
                                                   static_cast<size_t>(online)));
        vexad.reading = true;
        EXPECT_TRUE(testsupport::waitFor([&] { return vexad.offline == 1 && vexad.online == 2; }));
    }
    rig.daemon->kill(SIGTERM);
    EXPECT_EQ(rig.daemon->wait(5s), 0);
    expectDecodedStatistics(rig, rig.dir / "stalled.exchange", 0.003);
}

// ---- vexad down and back ----

// vexad goes away while the controller keeps answering: the events of the outage wait in the
// client's queue and reach the new vexad in order, every input's sequence unbroken. A reply every
// 50 ms: the queue of 1000 holds the events of each (one per input) for 2.5 s, more than the
// client's re-connection takes (tries 100, 300, 700 ms after the loss).
TEST(FaultsE2E, EventsQueuedWhileVexadIsDownArriveInOrder) {
    Rig rig("faults_vexad_down");
    ASSERT_GE(rig.waitForMessage(e2e::isLastSample), 0);
    rig.stopConsole();
    const int lost = rig.waitLog("connection to vexad");
    ASSERT_GE(lost, 0);
    const size_t since = static_cast<size_t>(lost);
    ASSERT_TRUE(rig.daemon->err().waitForCount("Frame valid", 4, 15s, since));
    rig.startConsole();
    const int back = rig.waitLog("re-connected to vexad", 20s, since);
    ASSERT_GE(back, 0);
    const size_t duringOutage = rig.daemon->err().count("Frame valid", since) -
                                rig.daemon->err().count("Frame valid", static_cast<size_t>(back));
    ASSERT_TRUE(rig.waitForMessages(e2e::isLastSample, duringOutage + 1, 15s));
    // Everything sampled during the outage arrived, nothing twice, nothing out of order.
    expectUnbrokenSequences(rig.messages());
    EXPECT_EQ(rig.daemon->err().count("dropped"), 0u);
}

// An outage longer than the queue: the oldest events are dropped and counted, the newest 1000
// arrive in order.
TEST(FaultsE2ELong, VexadDownLongerThanTheQueueKeepsTheNewestInOrder) {
    Rig rig("faults_vexad_long");
    ASSERT_GE(rig.waitForMessage(e2e::isLastSample), 0);
    rig.stopConsole();
    const int lost = rig.waitLog("connection to vexad");
    ASSERT_GE(lost, 0);
    // One event per input and reply: enough replies to overflow the queue of 1000.
    ASSERT_TRUE(rig.daemon->err().waitForCount("Frame valid", 1000 / points::kInputs + 8, 150s,
                                               static_cast<size_t>(lost)));
    rig.startConsole();
    const int back =
        rig.waitLog("messages dropped while disconnected", 60s, static_cast<size_t>(lost));
    ASSERT_GE(back, 0);
    ASSERT_TRUE(rig.waitForMessages([](const json&) { return true; }, 1000, 15s));
    expectUnbrokenSequences(rig.messages());
}

// ---- A flood of requests ----

void requestFlood(size_t lines, bool vexadReads) {
    Rig rig("faults_flood", RigOptions{{}, {}, false, false});
    FakeVexad vexad(rig.vexadPort);
    startWithFakeVexad(rig, vexad);
    if (::testing::Test::HasFatalFailure())
        return;
    const pid_t pid = rig.daemon->pid();
    const long rssBefore = statusKb(pid, "VmRSS");
    const Flood flood = makeFlood(lines);

    vexad.reading = vexadReads;
    const size_t simBefore = rig.simLines();
    const auto started = Clock::now();
    if (!vexadReads) {
        vexad.sendAll(flood.bytes);
        // Everything was taken; the answers that found no room were dropped, oldest first.
        ASSERT_GE(rig.waitLog("oldest dropped", 30s), 0);
        vexad.reading = true;
    } else {
        sendKeepingUp(vexad, flood);
        EXPECT_TRUE(testsupport::waitFor(
            [&] {
                return vexad.deviceReplies == flood.device && vexad.inputReplies == flood.inputs;
            },
            120s))
            << "device replies " << vexad.deviceReplies << " of " << flood.device
            << ", input replies " << vexad.inputReplies << " of " << flood.inputs;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const long hwm = statusKb(pid, "VmHWM");
    const long rssAfter = statusKb(pid, "VmRSS");
    std::cout << "[ flood     ] " << lines << " lines in " << seconds << " s; VmRSS " << rssBefore
              << " kB before, " << rssAfter << " kB after, VmHWM " << hwm << " kB" << std::endl;

    // Bounded: the growth is nowhere near what keeping every request or answer would take. Each
    // request is 58 bytes of text and its answer more than 300; the bound is 40 bytes a line
    // (1.2 MB for 30 000 lines, where the daemon grows by a few hundred kB).
    if (!kSanitized) {
        EXPECT_LT(hwm - rssBefore, static_cast<long>(lines / 25));
    }
    EXPECT_EQ(vexad.unparsable, 0u);

    // Every line that is not JSON is reported: one error line each, ten a second at most, the
    // rest counted in a summary line.
    auto rejected = [&] {
        size_t n = 0;
        for (const auto& l : rig.daemon->err().lines()) {
            if (l.find("rejected line from vexad") != std::string::npos) {
                ++n;
            } else if (const size_t at = l.find(" further lines rejected");
                       at != std::string::npos) {
                const size_t from = l.rfind(' ', at - 1) + 1;
                n += std::stoul(l.substr(from, at - from));
            }
        }
        return n;
    };
    EXPECT_TRUE(testsupport::waitFor([&] { return rejected() == flood.garbage; }, 10s))
        << rejected() << " of " << flood.garbage << " reported";

    // The controller was polled all along and publication goes on.
    const size_t polls = rig.simProc->out().count("rx poll", simBefore);
    EXPECT_GE(polls + 2, static_cast<size_t>(seconds));
    const uint64_t samples = vexad.samples;
    EXPECT_TRUE(
        testsupport::waitFor([&] { return vexad.samples >= samples + points::kInputs; }, 15s));
    EXPECT_TRUE(rig.daemon->running());
}

TEST(FaultsE2E, FloodOfRequestsIsAnsweredWithBoundedMemory) {
    requestFlood(30000, true);
}

TEST(FaultsE2ELong, FloodOfRequestsFromAVexadThatDoesNotReadStaysBounded) {
    requestFlood(100000, false);
}

// ---- A burst of sets ----

// 1000 sets in one burst, on every analogue output, with fractions, out-of-range values and sets
// of every output at once: the controller is written only bytes that some set carried, and each
// output ends confirmed at the value of its last set. A cycle every 10 ms: the sets settle soon.
TEST(FaultsE2E, BurstOfSetsWritesOnlyValuesThatSetsCarriedAndEndsConfirmed) {
    Rig rig("faults_set_burst", RigOptions{{}, {"--timing", "pause=10"}});
    ASSERT_GE(rig.waitForMessage(e2e::isOnline), 0);

    std::mt19937 rng(4711);
    std::vector<SetMessage> sets;
    for (int i = 0; i < 992; ++i) {
        const unsigned r = rng() % 100;
        SetMessage s;
        s.port = r < 2 ? -1 : 1 + static_cast<int>(rng() % points::kSetpoints);
        if (r < 5)
            s.value = r % 2 ? -1.0 - rng() % 50 : 256.0 + rng() % 1000;
        else
            s.value = (rng() % 6000) / 100.0;
        sets.push_back(s);
    }
    // The last set of every output is one the controller can take.
    for (int p = 1; p <= points::kSetpoints; ++p)
        sets.push_back({p, 10.0 + p + 0.75});

    std::map<int, std::set<int>> carried;  // port -> bytes some set carried
    std::map<int, int> last;               // port -> byte of its last set
    for (const auto& s : sets) {
        const int byte = controllerByte(s.value);
        for (int p = 1; p <= points::kSetpoints; ++p) {
            if (s.port != -1 && s.port != p)
                continue;
            if (byte >= 0)
                carried[p].insert(byte);
            last[p] = byte;
        }
    }
    std::string burst;
    for (const auto& s : sets)
        burst += setLine(s) + "\n";
    const size_t simFrom = rig.simLines();
    rig.console(burst.substr(0, burst.size() - 1));

    // Settled: every output's last confirmation is the value of its last set, and the controller
    // is polled again after the last set frame. Each line is read once, as it arrives.
    std::map<int, int> confirmed;  // port -> value of its last confirmation
    size_t logAt = 0;
    size_t simAt = simFrom;
    bool polledAfterLastSet = false;
    auto settled = [&] {
        for (const std::string& l : rig.daemon->err().linesFrom(logAt)) {
            ++logAt;
            const size_t at = l.find("Set-point ");
            int p, v;
            if (at != std::string::npos &&
                l.find("confirmed by the controller", at) != std::string::npos &&
                std::sscanf(l.c_str() + at, "Set-point %d = %d", &p, &v) == 2)
                confirmed[p] = v;
        }
        for (const std::string& l : rig.simProc->out().linesFrom(simAt)) {
            ++simAt;
            if (l.rfind("rx set ", 0) == 0)
                polledAfterLastSet = false;
            else if (l.rfind("rx poll", 0) == 0)
                polledAfterLastSet = true;
        }
        for (int p = 1; p <= points::kSetpoints; ++p) {
            if (confirmed.count(p) == 0 || confirmed[p] != last[p])
                return false;
        }
        return polledAfterLastSet;
    };
    const bool done = rig.simProc->out().waitUntil(settled, 120s);
    for (int p = 1; p <= points::kSetpoints; ++p)
        EXPECT_EQ(confirmed.count(p) ? confirmed[p] : -1, last[p]) << "output " << p;
    ASSERT_TRUE(done);

    // Every set frame the controller received carried a byte that some set for its port carried.
    const auto sim = rig.simProc->out().lines();
    size_t setFrames = 0;
    for (size_t i = simFrom; i < sim.size(); ++i) {
        int p, v;
        if (!parseRxSet(sim[i], p, v))
            continue;
        ++setFrames;
        ASSERT_TRUE(p >= 1 && p <= points::kSetpoints) << sim[i];
        EXPECT_TRUE(carried[p].count(v)) << "no set carried " << sim[i];
    }
    EXPECT_GE(setFrames, static_cast<size_t>(points::kSetpoints));
}

// ---- The simulator's reply time stamps, used by the latency measurement ----

TEST(FaultsE2E, SimulatorStampsEveryReplyOnceItsLastByteIsWritten) {
    Rig rig("faults_stamp", RigOptions{{"--stamp"}});
    ASSERT_TRUE(rig.simProc->out().waitForCount("tx sent t=", 3, 15s));
    double previous = 0;
    const auto lines = rig.simProc->out().lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("tx sent t=", 0) != 0)
            continue;
        ASSERT_GT(i, 0u);
        EXPECT_EQ(lines[i - 1].rfind("tx reply", 0), 0u) << "a stamp follows its reply line";
        const double t = std::stod(lines[i].substr(10));
        EXPECT_GT(t, previous);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        EXPECT_LE(t, static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9);
        previous = t;
    }
}
