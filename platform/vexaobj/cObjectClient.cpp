// The connection to vexad.
//
// Three parts, two of them with a thread of their own started by start():
//  - the outgoing side holds the bounded queue (sendQueue.h) and the rule of who writes the
//    socket, under one lock;
//  - the link (io thread) owns the connection: it resolves and connects (with back-off), writes
//    the queue in order, several messages per write, reads incoming bytes and cuts them into
//    lines;
//  - the dispatch (reader thread) decodes the incoming lines and hands each message to the
//    listener, one at a time and with no lock of the client held, so the listener may call
//    send().
// send() encodes and queues, and may write itself (see Outgoing). It never waits on the socket,
// so a slow, stalled or absent vexad never holds up the daemon.
// Before a connection is used, the user of vexad's end is looked up (peerOwner.h): any local
// process may listen on vexad's port while vexad is away.
#include "cObjectClient.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cObjectCodec.h"
#include "cObjectList.h"
#include "cObjectListener.h"
#include "cQlog.h"
#include "peerOwner.h"
#include "sendQueue.h"

namespace {

using Clock = std::chrono::steady_clock;
using Line = vexaobj::LineFramer::Line;

// Incoming lines waiting for the listener. When this many are waiting the io thread stops
// reading the socket, so a fast vexad and a slow listener meet TCP flow control, not memory.
constexpr size_t kInboundLimit = 64;
// A connection attempt that neither succeeds nor fails within this time is given up.
constexpr int kConnectTimeoutMs = 10000;
// Rejected incoming lines: at most this many log lines per second, then one summary.
constexpr int kRejectLinesPerSecond = 10;
// TCP keep-alive: first probe after 30 s idle, then every 10 s, dead after 3 unanswered.
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
// A sender's encoding buffer is given back when a message made it larger than this.
constexpr size_t kScratchKeep = 16384;
// Distinct failure lines counted in one failure episode; further ones are logged each time.
constexpr size_t kDistinctFailures = 8;
// vexad's end still in its handshake: asked again after 1 ms, this many times at most.
constexpr int kOwnerTries = 100;

std::string errnoText(int err) {
    char buf[128];
    // GNU strerror_r returns the text, which may or may not live in buf.
    return std::string(strerror_r(err, buf, sizeof buf));
}

// Milliseconds from now until `t`, rounded up so that a poll that waits them has reached it;
// 0 when it has passed.
int msUntil(Clock::time_point t) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

// Joins the thread unless it is the caller: a listener may stop the client from its own call.
void joinUnlessSelf(std::thread& t) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id())
        t.join();
}

// The eventfd that wakes the io thread: messages to write, room for incoming lines, a flush,
// the stop.
class Waker {
public:
    Waker() = default;
    ~Waker() {
        if (mFd >= 0)
            ::close(mFd);
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    bool open(std::string& err) {
        mFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (mFd < 0)
            err = errnoText(errno);
        return mFd >= 0;
    }
    void wake() const {
        if (mFd >= 0) {
            uint64_t one = 1;
            ssize_t r = ::write(mFd, &one, sizeof one);
            (void)r;  // a full counter already means "wake up"
        }
    }
    // Waits up to `timeoutMs` (-1: without limit) for `p` (fd -1: none) to be ready or for a
    // wake-up, which it takes. False, with the reason in `why`, when the poll itself failed.
    bool wait(pollfd& p, int timeoutMs, std::string& why) const {
        pollfd all[2] = {{mFd, POLLIN, 0}, p};
        if (::poll(all, 2, timeoutMs) < 0 && errno != EINTR) {
            why = errnoText(errno);
            return false;
        }
        if (all[0].revents) {
            uint64_t v;
            ssize_t r = ::read(mFd, &v, sizeof v);
            (void)r;  // nothing to take: the counter was already read
        }
        p.revents = all[1].revents;
        return true;
    }

private:
    int mFd = -1;
};

using Addresses = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// The one name lookup of the client: the addresses of vexad's host and port, or null with the
// reason in `err`.
Addresses resolve(const std::string& host, int port, std::string& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (gai != 0)
        err = gai_strerror(gai);
    return Addresses(gai == 0 ? res : nullptr, ::freeaddrinfo);
}

// Connection trouble as an operator reads it. A failure episode begins with the first failure
// after a connection that lived (or after start) and ends when a connection lives again.
// Within an episode each distinct failure line is logged the first time; its repeats are
// counted and reported in one summary line each, at most once per summary period and when the
// episode ends. The first connection made in an episode is announced at once; later ones only
// once they live, so that a vexad that drops every connection costs no log lines per attempt.
class TroubleLog {
public:
    TroubleLog(const cQlog& log, int summaryMs) : mLog(log), mSummaryPeriod(summaryMs) {}

    // A failure; true when it is to be logged now, false when it was counted as a repeat.
    bool failure(const std::string& line) {
        const auto now = Clock::now();
        if (!mEpisode) {
            mEpisode = true;
            mAnnounced = false;
            mLastSummary = now;
        }
        for (auto& r : mRepeats) {
            if (r.line == line) {
                ++r.count;
                return false;
            }
        }
        if (mRepeats.size() < kDistinctFailures)
            mRepeats.push_back(Repeated{line, 0, now});
        return true;
    }
    // Writes the summaries when the period has passed since the last ones.
    void summariseIfDue(int nextDelayMs) {
        const auto now = Clock::now();
        if (now - mLastSummary < mSummaryPeriod)
            return;
        summarise(now, "; next attempt in " + std::to_string(nextDelayMs) + " ms");
        mLastSummary = now;
    }
    // A connection was made: true when it is to be announced now.
    bool connectionMade() {
        if (mEpisode && mAnnounced)
            return false;
        mAnnounced = true;
        return true;
    }
    // A connection lived: the episode, if any, ends with the summaries still owed. True when
    // an episode ended.
    bool connectionLived() {
        if (!mEpisode)
            return false;
        summarise(Clock::now(), "");
        mRepeats.clear();
        mEpisode = false;
        return true;
    }
    // The client stops: the summaries still owed.
    void close() { summarise(Clock::now(), ""); }

private:
    struct Repeated {
        std::string line;
        size_t count;             // repeats not yet reported
        Clock::time_point since;  // when the line or its last summary was logged
    };

    void summarise(Clock::time_point now, const std::string& tail) {
        for (auto& r : mRepeats) {
            if (r.count == 0)
                continue;
            const double seconds = std::chrono::duration<double>(now - r.since).count();
            const std::string times = r.count == 1 ? "once" : std::to_string(r.count) + " times";
            mLog.error("%s (repeated %s in the last %.*f s%s)", r.line.c_str(), times.c_str(),
                       seconds < 10 ? 1 : 0, seconds, tail.c_str());
            r.count = 0;
            r.since = now;
        }
    }

    const cQlog& mLog;
    const std::chrono::milliseconds mSummaryPeriod;
    bool mEpisode = false;    // failures since the last connection that lived
    bool mAnnounced = false;  // a connection of this episode has been announced
    Clock::time_point mLastSummary{};
    std::vector<Repeated> mRepeats;
};

// ---------------------------------------------------------------------------------------------
// The dispatch half: lines read from vexad wait here for the reader thread, which decodes them
// and calls the listener.

class Dispatch {
public:
    Dispatch(const cQlog& log, const Waker& waker) : mLog(log), mWaker(waker) {}

    void setListener(cObjectListener* listener) {
        std::lock_guard<std::mutex> lk(mMu);
        mListener = listener;
    }
    // False while kInboundLimit lines wait; the io thread then stops reading the socket.
    bool hasRoom() const {
        std::lock_guard<std::mutex> lk(mMu);
        return mQueue.size() < kInboundLimit;
    }
    // Takes the lines (leaving `lines` empty) for the reader thread.
    void push(std::vector<Line>& lines) {
        {
            std::lock_guard<std::mutex> lk(mMu);
            std::move(lines.begin(), lines.end(), std::back_inserter(mQueue));
        }
        lines.clear();
        mCv.notify_one();
    }

    void start() {
        mThread = std::thread([this] { run(); });
    }
    void requestStop() {
        {
            std::lock_guard<std::mutex> lk(mMu);
            mStopping = true;
        }
        mCv.notify_all();
    }
    void join() { joinUnlessSelf(mThread); }

private:
    void run() {
        std::unique_lock<std::mutex> lk(mMu);
        while (!mStopping) {
            if (mQueue.empty()) {
                if (mRejectsSuppressed > 0) {
                    auto windowEnd = mRejectWindow + std::chrono::seconds(1);
                    mCv.wait_until(lk, windowEnd, [this] { return mStopping || !mQueue.empty(); });
                    if (Clock::now() >= windowEnd)
                        flushRejectSummary();
                } else {
                    mCv.wait(lk, [this] { return mStopping || !mQueue.empty(); });
                }
                continue;
            }
            Line line = std::move(mQueue.front());
            mQueue.pop_front();
            bool freedRoom = mQueue.size() + 1 == kInboundLimit;
            cObjectListener* target = mListener;
            lk.unlock();
            if (freedRoom)
                mWaker.wake();
            handleLine(line, target);
            lk.lock();
        }
    }

    void handleLine(const Line& line, cObjectListener* target) {
        if (line.overlong) {
            reject("line longer than " + std::to_string(vexaobj::kMaxLineBytes) +
                       " bytes, discarded up to its end",
                   line.text);
            return;
        }
        if (line.text.empty())
            return;  // blank lines carry nothing
        cObjectList msg;
        std::string reason;
        if (!vexaobj::decodeMessage(line.text, msg, reason)) {
            reject(reason, line.text);
            return;
        }
        if (!target) {
            mLog.debug("message type %u with %d objects dropped: no listener",
                       static_cast<unsigned>(msg.getMsgType()), msg.numObjects());
        } else {
            try {
                target->handleObjectAction(&msg);
            } catch (const std::exception& e) {
                mLog.error("listener failed on message type %u: %s",
                           static_cast<unsigned>(msg.getMsgType()), e.what());
            } catch (...) {
                mLog.error("listener failed on message type %u",
                           static_cast<unsigned>(msg.getMsgType()));
            }
        }
        msg.deleteObjects();
    }

    void reject(const std::string& reason, const std::string& text) {
        auto now = Clock::now();
        if (now - mRejectWindow >= std::chrono::seconds(1)) {
            flushRejectSummary();
            mRejectWindow = now;
            mRejectsInWindow = 0;
        }
        if (mRejectsInWindow < kRejectLinesPerSecond) {
            ++mRejectsInWindow;
            // The parser's reason may quote the offending token: keep it short and printable.
            mLog.error("rejected line from vexad: %s: %s",
                       vexaobj::printableExcerpt(reason, 160).c_str(),
                       vexaobj::printableExcerpt(text).c_str());
        } else {
            ++mRejectsSuppressed;
        }
    }

    void flushRejectSummary() {
        if (mRejectsSuppressed > 0) {
            mLog.error("%zu further lines rejected", mRejectsSuppressed);
            mRejectsSuppressed = 0;
        }
    }

    const cQlog& mLog;
    const Waker& mWaker;
    std::thread mThread;

    // Guarded by mMu.
    mutable std::mutex mMu;
    std::condition_variable mCv;
    std::deque<Line> mQueue;
    cObjectListener* mListener = nullptr;
    bool mStopping = false;

    // Rejected-line log limiter; reader thread only.
    Clock::time_point mRejectWindow{};
    int mRejectsInWindow = 0;
    size_t mRejectsSuppressed = 0;
};

// ---------------------------------------------------------------------------------------------
// The outgoing side: the queue, and who writes the socket.
//
// One thread writes the socket at a time, always holding mMu, with one non-blocking sendmsg:
//  - the io thread, whenever it is not idle;
//  - a sender (send(), the end of a batch), only while the io thread is idle on a connection that
//    has lived: it writes what is queued itself, which spares the io thread a wake-up, and when
//    the socket does not take it all it leaves the rest, a line cut short included, to the io
//    thread, which it wakes. The io thread is not idle again until it has looked at the queue.
// Until a connection has lived every write is the io thread's, which judges whether it lives.

class Outgoing {
public:
    Outgoing(const cObjectClient::Options& opt, const cQlog& log, const Waker& waker)
        : mLog(log), mWaker(waker), mQueue(opt.queueLimit) {}

    // ---- senders and the client's own calls --------------------------------------------

    // The start, once, with a valid address: Claimed, or why not.
    enum class Start { Claimed, Twice, Invalid };
    Start claimStart(bool validAddress) {
        std::lock_guard<std::mutex> lk(mMu);
        if (mStarted)
            return Start::Twice;
        mStarted = validAddress;
        return validAddress ? Start::Claimed : Start::Invalid;
    }
    // Queues a line (see SendQueue::push) and writes it or has it written.
    void enqueue(const std::string& line, bool sample) {
        std::unique_lock<std::mutex> lk(mMu);
        const bool firstStalledDrop =
            mQueue.push(line, sample) && mQueue.unreported() == 1 && mConnFd >= 0;
        writeOrWake(lk);
        if (firstStalledDrop) {
            mLog.error(
                "send queue full (%zu messages): vexad is not reading, oldest dropped, samples "
                "first",
                mQueue.limit());
        }
    }
    void beginBatch() {
        std::lock_guard<std::mutex> lk(mMu);
        ++mBatchDepth;
    }
    void endBatch() {
        std::unique_lock<std::mutex> lk(mMu);
        --mBatchDepth;
        writeOrWake(lk);
    }
    // Waits for the queue to become empty and what was written to be acknowledged, bounded by
    // the deadline (see cObjectClient::flush).
    bool flush(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        std::unique_lock<std::mutex> lk(mMu);
        if (!mStarted || mStopping)
            return mQueue.empty();
        if (mQueue.empty() && mConnFd < 0)
            return true;  // nothing in flight either: it is put back when a connection fails
        ++mFlushWaiters;  // open batches no longer hold the queue back
        if (mIoIdle) {
            mIoIdle = false;
            mWaker.wake();
        }
        const bool done = waitDeliveredLocked(lk, deadline);
        --mFlushWaiters;
        return done;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lk(mMu);
            mStopping = true;
        }
        mCv.notify_all();
    }
    size_t queued() const {
        std::lock_guard<std::mutex> lk(mMu);
        return mQueue.size();
    }
    size_t dropped() const {
        std::lock_guard<std::mutex> lk(mMu);
        return mQueue.droppedTotal();
    }

    // ---- the io thread ------------------------------------------------------------------

    struct Written {
        enum { Idle, Some, Full, Failed } what;
        size_t lines = 0;         // Some: lines completed
        size_t stalledDrops = 0;  // Idle: the queue drained after drops while connected
    };
    // One write of what is queued, unless nothing is or a batch holds it back: the io thread is
    // then idle.
    Written writeNext(int fd, std::string& why) {
        std::lock_guard<std::mutex> lk(mMu);
        mIoIdle = mQueue.empty() || heldBackLocked();
        if (mIoIdle)
            return {Written::Idle, 0, mQueue.empty() ? mQueue.takeUnreported() : 0};
        const Written w = sendQueuedLocked(fd);
        if (w.what == Written::Failed)
            why = errnoText(errno);
        return w;
    }
    void connectionUp(int fd) {
        std::lock_guard<std::mutex> lk(mMu);
        mConnFd = fd;
    }
    // From now on senders may write to it themselves while the io thread is idle.
    void connectionLived(int fd) {
        std::lock_guard<std::mutex> lk(mMu);
        mDirectFd = fd;
    }
    // The connection is gone (before its socket is closed): a line cut short is sent again whole
    // on the next one.
    void connectionLost() {
        {
            std::lock_guard<std::mutex> lk(mMu);
            mConnFd = mDirectFd = -1;
            mQueue.restartLine();
            mIoIdle = false;
        }
        mCv.notify_all();
    }
    size_t takeDropsToReport() {
        std::lock_guard<std::mutex> lk(mMu);
        return mQueue.takeUnreported();
    }

private:
    // A sender's turn once its messages are queued or its batch ended, under `lk`, which it
    // releases. When the io thread waits for new messages and there are some it may write now,
    // the sender writes them itself (see the rule above); what the socket does not take is the
    // io thread's, which is woken: it waits for room in the socket, and meets a failed
    // connection in its own write.
    void writeOrWake(std::unique_lock<std::mutex>& lk) {
        bool wakeIo = false;
        if (mIoIdle && !mQueue.empty() && !heldBackLocked()) {
            if (mDirectFd >= 0)
                sendQueuedLocked(mDirectFd);
            mIoIdle = mQueue.empty();
            wakeIo = !mIoIdle;
        }
        lk.unlock();
        if (wakeIo)
            mWaker.wake();
    }
    // One sendmsg of the lines from the first on: Some when it took all it was given, Full when
    // it took less or nothing for now, Failed with errno saying why. Under mMu.
    Written sendQueuedLocked(int fd) {
        iovec iov[vexaobj::SendQueue::kGatherLines];
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = mQueue.gather(iov);
        size_t offered = 0;
        for (size_t i = 0; i < mh.msg_iovlen; ++i)
            offered += iov[i].iov_len;
        const ssize_t w = ::sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return {Written::Failed};
        const size_t lines = w > 0 ? mQueue.written(static_cast<size_t>(w)) : 0;
        if (mQueue.empty())
            mCv.notify_all();
        if (w <= 0 || static_cast<size_t>(w) < offered)
            return {Written::Full};
        return {Written::Some, lines};
    }
    // An open batch holds the queue back, unless a flush() waits. Under mMu.
    bool heldBackLocked() const { return mBatchDepth > 0 && mFlushWaiters == 0; }

    // Waits until the queue is empty and vexad's host has acknowledged what was written, or the
    // deadline. No event tells of the acknowledgement: the socket is looked at again after a
    // round trip of the connection. Under mMu.
    bool waitDeliveredLocked(std::unique_lock<std::mutex>& lk, Clock::time_point deadline) {
        for (;;) {
            if (!mCv.wait_until(lk, deadline, [&] { return mQueue.empty() || mStopping; }) ||
                mStopping)
                return false;
            int unacked = 0;
            if (mConnFd < 0 || (::ioctl(mConnFd, SIOCOUTQ, &unacked) == 0 && unacked == 0))
                return true;
            if (Clock::now() >= deadline)
                return false;
            mCv.wait_until(lk, std::min(deadline, Clock::now() + roundTrip(mConnFd)));
        }
    }
    static std::chrono::microseconds roundTrip(int fd) {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 || info.tcpi_rtt == 0)
            return std::chrono::milliseconds(1);
        return std::chrono::microseconds(info.tcpi_rtt);
    }

    const cQlog& mLog;
    const Waker& mWaker;

    // Guarded by mMu.
    mutable std::mutex mMu;
    std::condition_variable mCv;  // the queue drained, a connection was lost, or the stop
    vexaobj::SendQueue mQueue;
    bool mStarted = false;
    bool mStopping = false;
    int mBatchDepth = 0;    // open batches
    int mFlushWaiters = 0;  // flush() calls waiting
    bool mIoIdle = false;   // the io thread waits for messages it may write
    int mConnFd = -1;       // the connection, while there is one
    int mDirectFd = -1;     // the connection senders write to while the io thread is idle
};

// ---------------------------------------------------------------------------------------------
// The connection: connecting with back-off, the io thread's writing and reading.

class Link {
public:
    Link(const cObjectClient::Options& opt, const cQlog& log, const Waker& waker,
         Dispatch& dispatch, Outgoing& out)
        : mOpt(opt), mLog(log), mWaker(waker), mDispatch(dispatch), mOut(out) {}

    // Claims the start; false (and logged) when already started or the address is not valid.
    bool claimStart(const char* host, int port) {
        const auto claim = mOut.claimStart(host && *host && port > 0 && port <= 65535);
        if (claim == Outgoing::Start::Twice)
            mLog.error("start called twice; the first call stands");
        else if (claim == Outgoing::Start::Invalid)
            mLog.error("cannot start: vexad address \"%s\":%d is not valid", host ? host : "",
                       port);
        if (claim != Outgoing::Start::Claimed)
            return false;
        mHost = host;
        mPort = port;
        return true;
    }

    void start(Addresses first) {
        for (const addrinfo* a = first.get(); a; a = a->ai_next) {
            if (!vexaobj::isLoopback(a->ai_addr))
                warnRemote(endpoint());
        }
        mThread = std::thread([this, a = std::move(first)]() mutable { run(std::move(a)); });
    }
    void requestStop() {
        mStopping = true;
        mOut.stop();
        mWaker.wake();
    }
    void join() { joinUnlessSelf(mThread); }
    bool connected() const { return mConnected; }

private:
    // ---- io thread ----------------------------------------------------------------------

    void run(Addresses first) {
        TroubleLog trouble(mLog, mOpt.repeatSummaryMs);
        int backoff = mOpt.backoffMinMs;
        bool everConnected = false;
        while (!mStopping) {
            std::string err;
            // The address start() resolved serves the first attempt; every later attempt
            // resolves again, so a name that comes to resolve, or moves, is followed.
            Addresses addrs = first ? std::move(first) : resolve(mHost, mPort, err);
            if (!addrs)
                err = "cannot resolve host: " + err;
            int fd = addrs ? connectAny(addrs.get(), err) : -1;
            addrs.reset();
            if (fd < 0) {
                if (mStopping)
                    break;
                failed(trouble, "cannot connect to vexad at " + endpoint() + ": " + err,
                       "connection attempt to vexad at " + endpoint() + " failed: " + err, backoff);
                continue;
            }

            std::string refusal;
            if (!admitPeer(fd, refusal)) {
                ::close(fd);  // unread and unwritten
                failed(trouble, refusal, refusal, backoff);
                continue;
            }
            tuneSocket(fd);
            bool announced = trouble.connectionMade();
            if (announced)
                announce(everConnected);
            everConnected = true;
            mConnected = true;
            mOut.connectionUp(fd);
            // A connection that lived restarts the back-off; one that vexad drops at once does
            // not, so a vexad that accepts and closes every connection is tried less and less.
            std::string reason = runConnection(fd, [&] {
                backoff = mOpt.backoffMinMs;
                if (trouble.connectionLived() && !announced)
                    announce(true);
            });
            mConnected = false;
            ::close(fd);
            if (mStopping)
                break;
            const std::string line = "connection to vexad at " + endpoint() + " lost: " + reason;
            failed(trouble, line, line, backoff);
        }
        trouble.close();
    }

    // A failed attempt or a lost connection: logged as `line`, or, as a repeat, counted and
    // logged at debug level as `repeat`; then the back-off is waited out and doubled up to its
    // ceiling.
    void failed(TroubleLog& trouble, const std::string& line, const std::string& repeat,
                int& backoff) {
        if (trouble.failure(line)) {
            mLog.error("%s; retrying in %d ms", line.c_str(), backoff);
        } else {
            mLog.debug("%s; next in %d ms", repeat.c_str(), backoff);
            trouble.summariseIfDue(backoff);
        }
        sleepInterruptible(backoff);
        backoff = std::min(backoff * 2, mOpt.backoffMaxMs);
    }

    std::string endpoint() const { return mHost + ":" + std::to_string(mPort); }

    // The connected/re-connected line, with vexad's address and user and the messages dropped
    // since the last one.
    void announce(bool again) {
        const size_t dropped = mOut.takeDropsToReport();
        const std::string drops =
            dropped > 0 ? "; " + std::to_string(dropped) + " messages dropped while disconnected"
                        : "";
        const std::string user = mPeerUser.empty() ? "" : " (" + mPeerUser + ")";
        mLog.info("%s to vexad at %s%s%s", again ? "re-connected" : "connected", mPeerText.c_str(),
                  user.c_str(), drops.c_str());
    }

    // Whose end a new connection reaches, once, before anything is read or written: false, with
    // the line saying why, when it must not be used. Root is accepted always: its processes
    // can take any user's identity, and a vexad that opens its port as root before it becomes
    // its own user holds the connections not yet accepted as root.
    bool admitPeer(int fd, std::string& refusal) {
        bool loopback = true;
        mPeerUser.clear();
        if (!vexaobj::peerAddress(fd, mPeerText, loopback))
            mPeerText = endpoint();
        if (!loopback) {
            warnRemote(mPeerText);
            return true;
        }
        const bool named = mOpt.vexadUid >= 0;
        const vexaobj::PeerOwner owner = lookUpOwner(fd);
        if (owner.result == vexaobj::PeerOwner::Known) {
            mPeerUser = vexaobj::describeUser(owner.uid);
            mLog.debug("vexad at %s: its end belongs to %s", mPeerText.c_str(), mPeerUser.c_str());
            if (owner.uid == 0 || (named && owner.uid == mOpt.vexadUid))
                return true;
            if (!named) {
                mLog.warn(
                    "vexad at %s is not root's (%s) and vexad.user is not set: name vexad's "
                    "user there, so that a listener of any other user on the port is refused",
                    mPeerText.c_str(), mPeerUser.c_str());
                return true;
            }
            refusal = "vexad at " + mPeerText + " not used: its end belongs to another user (" +
                      mPeerUser + ") than vexad.user names (" +
                      vexaobj::describeUser(static_cast<uid_t>(mOpt.vexadUid)) +
                      "); connection closed unread";
            return false;
        }
        if (named) {
            refusal = "vexad at " + mPeerText + " not used: the user of its end is not known (" +
                      owner.why + "), and vexad.user asks for it; connection closed unread";
            return false;
        }
        mLog.warn("vexad at %s: the user of its end is not known (%s)", mPeerText.c_str(),
                  owner.why.c_str());
        return true;
    }

    // The owner of vexad's end, asked again while that end completes its handshake (a matter of
    // microseconds on the loopback).
    vexaobj::PeerOwner lookUpOwner(int fd) {
        vexaobj::PeerOwner owner = vexaobj::peerOwner(fd);
        for (int i = 0; i < kOwnerTries && owner.result == vexaobj::PeerOwner::NotYet && !mStopping;
             ++i) {
            sleepInterruptible(1);
            owner = vexaobj::peerOwner(fd);
        }
        if (owner.result == vexaobj::PeerOwner::NotYet)
            owner.why = "its end did not complete the connection";
        return owner;
    }

    // vexad on another host: no user to check there. Said once.
    void warnRemote(const std::string& where) {
        if (mRemoteWarned)
            return;
        mRemoteWarned = true;
        mLog.warn("vexad at %s is not on this host: the user of its end cannot be checked%s",
                  where.c_str(), mOpt.vexadUid >= 0 ? " (vexad.user is not applied)" : "");
    }

    // Sleeps `ms` unless stopped; sends in the meantime do not cut the wait short.
    void sleepInterruptible(int ms) {
        pollfd none{-1, 0, 0};
        std::string ignored;
        waitUntil(Clock::now() + std::chrono::milliseconds(ms), none, ignored);
    }

    // Waits for `p` (fd -1: none) until the deadline or the stop: true when `p` is ready,
    // otherwise false with the reason in `why`.
    bool waitUntil(Clock::time_point deadline, pollfd& p, std::string& why) {
        while (!mStopping) {
            const int left = msUntil(deadline);
            if (left <= 0) {
                why = "timed out";
                return false;
            }
            if (!mWaker.wait(p, left, why))
                return false;
            if (p.revents)
                return true;
        }
        why = "stopping";
        return false;
    }

    // One connection attempt to every address in turn; the socket or -1.
    int connectAny(const addrinfo* list, std::string& err) {
        int fd = -1;
        for (const addrinfo* a = list; a && fd < 0 && !mStopping; a = a->ai_next)
            fd = connectAddress(a, err);
        return fd;
    }

    int connectAddress(const addrinfo* a, std::string& err) {
        int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errnoText(errno);
            return -1;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            return fd;
        if (errno != EINPROGRESS) {
            err = errnoText(errno);
            ::close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        if (waitUntil(Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs), p, err)) {
            int soErr = 0;
            socklen_t len = sizeof soErr;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
            if (soErr == 0)
                return fd;
            err = errnoText(soErr);
        }
        ::close(fd);
        return -1;
    }

    void tuneSocket(int fd) {
        int on = 1;
        int idle = kKeepIdleS, intvl = kKeepIntervalS, cnt = kKeepCount;
        // Keep-alive finds a vexad host that vanished without closing the connection; no
        // delay on small writes keeps replies prompt. Failures here only cost those benefits.
        if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0 ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt) != 0) {
            mLog.debug("cannot enable TCP keep-alive: %s", errnoText(errno).c_str());
        }
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (mOpt.sendBufferBytes > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &mOpt.sendBufferBytes,
                         sizeof mOpt.sendBufferBytes);
    }

    // Writes what is queued until nothing is, a batch holds it back or the socket is full
    // (`full` set). The first write sets the latest time the connection is to live by. False
    // when the connection failed; `why` says how.
    bool writeQueued(int fd, bool lived, Clock::time_point& livedBy, bool& full, std::string& why) {
        for (;;) {
            const Outgoing::Written w = mOut.writeNext(fd, why);
            if (w.stalledDrops > 0) {
                mLog.error("%zu messages dropped: vexad did not read them in time", w.stalledDrops);
            }
            if (w.what == Outgoing::Written::Failed)
                return false;
            full = w.what == Outgoing::Written::Full;
            if (w.what != Outgoing::Written::Some)
                return true;
            if (w.lines > 0 && !lived) {
                livedBy =
                    std::min(livedBy, Clock::now() + std::chrono::milliseconds(mOpt.backoffMinMs));
            }
        }
    }

    // Serves one connection until it fails or the client stops; returns why it ended.
    // `onLived` runs once, when the connection has lived: vexad sent a line, or the connection
    // was still up one minimum back-off after a message was written to it, or it stayed up for
    // the back-off ceiling. (A written message alone proves nothing: vexad's host takes it
    // into its buffers even when vexad closes the connection unread at once.)
    template <typename OnLived>
    std::string runConnection(int fd, OnLived onLived) {
        vexaobj::LineFramer framer;
        std::vector<Line> lines;
        char buf[16384];
        bool lived = false;
        Clock::time_point livedBy = Clock::now() + std::chrono::milliseconds(mOpt.backoffMaxMs);
        auto markLived = [&] {
            if (!lived) {
                lived = true;
                onLived();
                mOut.connectionLived(fd);
            }
        };
        std::string why = "stopping";
        while (!mStopping) {
            bool full = false;
            if (!writeQueued(fd, lived, livedBy, full, why))
                break;
            if (!lived && Clock::now() >= livedBy)
                markLived();
            bool roomIn = mDispatch.hasRoom();
            short events = static_cast<short>((roomIn ? POLLIN : 0) | (full ? POLLOUT : 0));
            // With nothing to write and no room for input the socket is left out of the poll
            // altogether, so a hang-up cannot make it spin; the reader wakes us when it frees
            // room.
            pollfd p{events ? fd : -1, events, 0};
            if (!mWaker.wait(p, lived ? -1 : msUntil(livedBy), why))
                break;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                size_t received = 0;
                bool open = readAvailable(fd, framer, lines, buf, sizeof buf, received, why);
                if (received > 0)
                    markLived();
                if (!open)
                    break;
            }
        }
        mOut.connectionLost();
        return why;
    }

    // Reads what the socket holds and queues the complete lines for the reader thread;
    // `received` counts those with content. False when the connection ended; `why` says how.
    bool readAvailable(int fd, vexaobj::LineFramer& framer, std::vector<Line>& lines, char* buf,
                       size_t size, size_t& received, std::string& why) {
        ssize_t n;
        do
            n = ::recv(fd, buf, size, 0);
        while (n < 0 && errno == EINTR);
        bool open = true;
        if (n > 0) {
            // One buffer per wake-up: the poll comes back at once while more is waiting, and
            // the inbound limit is looked at in between.
            framer.feed(buf, static_cast<size_t>(n), lines);
        } else if (n == 0) {
            why = "closed by vexad";
            if (framer.midLine())
                why += " in the middle of a line, which is discarded";
            open = false;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            why = errnoText(errno);
            open = false;
        }
        for (const auto& l : lines)
            received += l.overlong || !l.text.empty();
        if (!lines.empty())
            mDispatch.push(lines);
        return open;
    }

    const cObjectClient::Options& mOpt;
    const cQlog& mLog;
    const Waker& mWaker;
    Dispatch& mDispatch;
    Outgoing& mOut;
    std::string mHost;  // set once by claimStart, before the io thread starts
    int mPort = 0;
    bool mRemoteWarned = false;  // by start(), then the io thread
    // io thread: the connection's peer address and user, for its announcement.
    std::string mPeerText;
    std::string mPeerUser;
    std::thread mThread;
    std::atomic<bool> mStopping{false};
    std::atomic<bool> mConnected{false};
};

// A sample event: an event whose objects are all analogue samples. The queue drops these first.
bool isSample(const cObjectList& message) {
    if (message.getMsgType() != cObjectList::MSG_EVENT || message.numObjects() == 0)
        return false;
    for (size_t i = 0; i < static_cast<size_t>(message.numObjects()); ++i) {
        if (message.at(i)->getType() != cObject::OBJ_ANALOG_SAMPLE)
            return false;
    }
    return true;
}

}  // namespace

struct cObjectClient::Impl {
    explicit Impl(const Options& o) : opt(o) {
        opt.backoffMinMs = std::max(opt.backoffMinMs, 1);
        opt.backoffMaxMs = std::max(opt.backoffMaxMs, opt.backoffMinMs);
        opt.queueLimit = std::max<size_t>(opt.queueLimit, 1);
        opt.repeatSummaryMs = std::max(opt.repeatSummaryMs, 1);
    }

    Options opt;
    cQlog log{"vexaobj"};
    Waker waker;
    Dispatch dispatch{log, waker};
    Outgoing out{opt, log, waker};
    Link link{opt, log, waker, dispatch, out};
};

cObjectClient::Batch::Batch(cObjectClient& client) : mClient(client) {
    mClient.d->out.beginBatch();
}

cObjectClient::Batch::~Batch() {
    mClient.d->out.endBatch();
}

cObjectClient::cObjectClient() : cObjectClient(Options()) {}

cObjectClient::cObjectClient(const Options& options) : d(new Impl(options)) {}

cObjectClient::~cObjectClient() {
    stop();
}

bool cObjectClient::start(const char* host, int port) {
    if (!d->link.claimStart(host, port))
        return false;
    std::string err;
    if (!d->waker.open(err)) {
        d->log.error("cannot start: eventfd: %s", err.c_str());
        return false;
    }
    Addresses first = resolve(host, port, err);
    if (!first) {
        d->log.error("cannot resolve vexad host \"%s\": %s; retrying in the background", host,
                     err.c_str());
    }
    const bool resolved = first != nullptr;
    d->link.start(std::move(first));
    d->dispatch.start();
    return resolved;
}

void cObjectClient::addListener(cObjectListener* listener) {
    d->dispatch.setListener(listener);
}

void cObjectClient::send(cObjectList* message) {
    if (!message)
        return;
    // Each sending thread encodes into a buffer of its own, which keeps its capacity.
    thread_local std::string line;
    line.clear();
    try {
        vexaobj::appendMessage(*message, line);
    } catch (const std::exception& e) {
        d->log.error("message type %u not sent: %s", static_cast<unsigned>(message->getMsgType()),
                     e.what());
        return;
    }
    line += '\n';
    if (line.size() > vexaobj::kMaxLineBytes) {
        d->log.error("message type %u with %d objects not sent: %zu bytes exceed the limit of %zu",
                     static_cast<unsigned>(message->getMsgType()), message->numObjects(),
                     line.size(), vexaobj::kMaxLineBytes);
    } else {
        d->out.enqueue(line, isSample(*message));
    }
    if (line.capacity() > kScratchKeep)
        std::string().swap(line);
}

bool cObjectClient::flush(std::chrono::milliseconds timeout) {
    return d->out.flush(timeout);
}

void cObjectClient::stop() {
    d->link.requestStop();
    d->dispatch.requestStop();
    d->link.join();
    d->dispatch.join();
}

bool cObjectClient::connected() const {
    return d->link.connected();
}

size_t cObjectClient::queued() const {
    return d->out.queued();
}

size_t cObjectClient::dropped() const {
    return d->out.dropped();
}
