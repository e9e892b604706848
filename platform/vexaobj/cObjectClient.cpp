// The connection to vexad.
//
// Two threads, started by start():
//  - the io thread owns the socket: it connects (with back-off), writes the outgoing queue in
//    order, reads incoming bytes and cuts them into lines;
//  - the reader thread decodes the incoming lines and hands each message to the listener, one
//    at a time and with no lock of the client held, so the listener may call send().
// send() only encodes and queues; it never touches the socket, so a slow, stalled or absent
// vexad never holds up the daemon. The queue is bounded; when it is full the oldest message is
// dropped and counted.
#include "cObjectClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cObjectCodec.h"
#include "cObjectList.h"
#include "cObjectListener.h"
#include "cQlog.h"

namespace {

using Clock = std::chrono::steady_clock;

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

std::string errnoText(int err) {
    char buf[128];
    // GNU strerror_r returns the text, which may or may not live in buf.
    return std::string(strerror_r(err, buf, sizeof buf));
}

}  // namespace

struct cObjectClient::Impl {
    explicit Impl(const Options& o) : opt(o) {
        if (opt.backoffMinMs < 1)
            opt.backoffMinMs = 1;
        if (opt.backoffMaxMs < opt.backoffMinMs)
            opt.backoffMaxMs = opt.backoffMinMs;
        if (opt.queueLimit < 1)
            opt.queueLimit = 1;
    }

    Options opt;
    cQlog log{"vexaobj"};
    std::string host;
    int port = 0;
    std::thread io;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::atomic<bool> isConnected{false};

    // Outgoing side, guarded by outMu.
    mutable std::mutex outMu;
    std::deque<std::string> outQ;  // encoded lines with their "\n", oldest first
    size_t droppedTotal = 0;       // since start, for dropped()
    size_t droppedUnreported = 0;  // not yet named in a log line
    bool started = false;
    int wakeFd = -1;  // eventfd that wakes the io thread: new data, inbound room, stop

    // Incoming side, guarded by inMu.
    std::mutex inMu;
    std::condition_variable inCv;
    std::deque<vexaobj::LineFramer::Line> inQ;
    cObjectListener* listener = nullptr;

    // Rejected-line log limiter; reader thread only.
    Clock::time_point rejectWindow{};
    int rejectsInWindow = 0;
    size_t rejectsSuppressed = 0;

    static void wake(int fd) {
        if (fd >= 0) {
            uint64_t one = 1;
            ssize_t r = ::write(fd, &one, sizeof one);
            (void)r;  // a full counter already means "wake up"
        }
    }
    void drainWake() const {
        uint64_t v;
        ssize_t r = ::read(wakeFd, &v, sizeof v);
        (void)r;
    }

    // ---- io thread --------------------------------------------------------------------------

    // Sleeps `ms` unless stopped; sends in the meantime do not cut the wait short.
    void sleepInterruptible(int ms) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!stopping) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return;
            pollfd p{wakeFd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count()) + 1) > 0)
                drainWake();
        }
    }

    // One connection attempt to every address the host resolves to; the socket or -1.
    int connectOnce(std::string& err) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        std::string service = std::to_string(port);
        int gai = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
        if (gai != 0) {
            err = std::string("cannot resolve host: ") + gai_strerror(gai);
            return -1;
        }
        int fd = -1;
        for (addrinfo* a = res; a && fd < 0 && !stopping; a = a->ai_next) {
            fd = connectAddress(a, err);
        }
        ::freeaddrinfo(res);
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
        auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        while (!stopping) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                err = "timed out";
                break;
            }
            pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
            int n = ::poll(p, 2, static_cast<int>(left.count()) + 1);
            if (n < 0 && errno != EINTR) {
                err = errnoText(errno);
                break;
            }
            if (p[1].revents)
                drainWake();
            if (p[0].revents) {
                int soErr = 0;
                socklen_t len = sizeof soErr;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
                if (soErr == 0)
                    return fd;
                err = errnoText(soErr);
                break;
            }
        }
        if (stopping)
            err = "stopping";
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
            log.debug("cannot enable TCP keep-alive: %s", errnoText(errno).c_str());
        }
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    void ioMain() {
        int backoff = opt.backoffMinMs;
        bool everConnected = false;
        bool failureLogged = false;
        while (!stopping) {
            std::string err;
            int fd = connectOnce(err);
            if (fd < 0) {
                if (stopping)
                    break;
                if (!failureLogged) {
                    log.error("cannot connect to vexad at %s:%d: %s; retrying in %d ms",
                              host.c_str(), port, err.c_str(), backoff);
                    failureLogged = true;
                } else {
                    log.debug("connection attempt to vexad at %s:%d failed: %s; next in %d ms",
                              host.c_str(), port, err.c_str(), backoff);
                }
                sleepInterruptible(backoff);
                backoff = std::min(backoff * 2, opt.backoffMaxMs);
                continue;
            }
            tuneSocket(fd);
            size_t dropped;
            {
                std::lock_guard<std::mutex> lk(outMu);
                dropped = droppedUnreported;
                droppedUnreported = 0;
            }
            if (dropped > 0) {
                log.info("%s to vexad at %s:%d; %zu messages dropped while disconnected",
                         everConnected ? "re-connected" : "connected", host.c_str(), port, dropped);
            } else {
                log.info("%s to vexad at %s:%d", everConnected ? "re-connected" : "connected",
                         host.c_str(), port);
            }
            everConnected = true;
            failureLogged = false;
            backoff = opt.backoffMinMs;
            isConnected = true;
            std::string reason = runConnection(fd);
            isConnected = false;
            ::close(fd);
            if (stopping)
                break;
            log.error("connection to vexad at %s:%d lost: %s", host.c_str(), port, reason.c_str());
            failureLogged = true;
            sleepInterruptible(backoff);
            backoff = std::min(backoff * 2, opt.backoffMaxMs);
        }
    }

    // Puts a message whose writing was cut off back at the head of the queue, to be sent
    // whole on the next connection.
    void requeue(std::string& line) {
        std::lock_guard<std::mutex> lk(outMu);
        outQ.push_front(std::move(line));
        while (outQ.size() > opt.queueLimit) {
            outQ.pop_front();
            ++droppedTotal;
            ++droppedUnreported;
        }
    }

    // Serves one connection until it fails or the client stops; returns why it ended.
    std::string runConnection(int fd) {
        vexaobj::LineFramer framer;
        std::vector<vexaobj::LineFramer::Line> lines;
        std::string cur;  // the message being written
        size_t curOff = 0;
        bool haveCur = false;
        char buf[16384];

        while (!stopping) {
            if (!haveCur) {
                size_t stalledDrops = 0;
                {
                    std::lock_guard<std::mutex> lk(outMu);
                    if (!outQ.empty()) {
                        cur.swap(outQ.front());
                        outQ.pop_front();
                        haveCur = true;
                        curOff = 0;
                    } else if (droppedUnreported > 0) {
                        stalledDrops = droppedUnreported;
                        droppedUnreported = 0;
                    }
                }
                if (stalledDrops > 0) {
                    log.error("%zu messages dropped: vexad did not read them in time",
                              stalledDrops);
                }
            }
            if (haveCur) {
                ssize_t w = ::send(fd, cur.data() + curOff, cur.size() - curOff, MSG_NOSIGNAL);
                if (w > 0) {
                    curOff += static_cast<size_t>(w);
                    if (curOff == cur.size()) {
                        haveCur = false;
                        cur.clear();
                    }
                    continue;
                }
                if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    std::string why = errnoText(errno);
                    requeue(cur);
                    return why;
                }
            }

            bool roomIn;
            {
                std::lock_guard<std::mutex> lk(inMu);
                roomIn = inQ.size() < kInboundLimit;
            }
            short events = static_cast<short>((roomIn ? POLLIN : 0) | (haveCur ? POLLOUT : 0));
            // With nothing to write and no room for input the socket is left out of the poll
            // altogether, so a hang-up cannot make it spin; the reader wakes us when it frees
            // room.
            pollfd p[2] = {{wakeFd, POLLIN, 0}, {events ? fd : -1, events, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) {
                std::string why = errnoText(errno);
                if (haveCur)
                    requeue(cur);
                return why;
            }
            if (p[0].revents)
                drainWake();
            if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                std::string why;
                if (!readAvailable(fd, framer, lines, buf, sizeof buf, why)) {
                    if (haveCur)
                        requeue(cur);
                    return why;
                }
            }
        }
        if (haveCur)
            requeue(cur);
        return "stopping";
    }

    // Reads what the socket holds and queues the complete lines for the reader thread.
    // False when the connection ended; `why` says how.
    bool readAvailable(int fd, vexaobj::LineFramer& framer,
                       std::vector<vexaobj::LineFramer::Line>& lines, char* buf, size_t size,
                       std::string& why) {
        bool open = true;
        for (;;) {
            ssize_t n = ::recv(fd, buf, size, 0);
            if (n > 0) {
                // One buffer per wake-up: the poll comes back at once while more is waiting,
                // and the inbound limit is looked at in between.
                framer.feed(buf, static_cast<size_t>(n), lines);
                break;
            }
            if (n == 0) {
                why = "closed by vexad";
                if (framer.midLine())
                    why += " in the middle of a line, which is discarded";
                open = false;
            } else if (errno == EINTR) {
                continue;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                why = errnoText(errno);
                open = false;
            }
            break;
        }
        if (!lines.empty()) {
            {
                std::lock_guard<std::mutex> lk(inMu);
                for (auto& l : lines)
                    inQ.push_back(std::move(l));
            }
            lines.clear();
            inCv.notify_one();
        }
        return open;
    }

    // ---- reader thread ----------------------------------------------------------------------

    void readerMain() {
        std::unique_lock<std::mutex> lk(inMu);
        while (!stopping) {
            if (inQ.empty()) {
                if (rejectsSuppressed > 0) {
                    auto windowEnd = rejectWindow + std::chrono::seconds(1);
                    inCv.wait_until(lk, windowEnd, [this] { return stopping || !inQ.empty(); });
                    if (Clock::now() >= windowEnd)
                        flushRejectSummary();
                } else {
                    inCv.wait(lk, [this] { return stopping || !inQ.empty(); });
                }
                continue;
            }
            vexaobj::LineFramer::Line line = std::move(inQ.front());
            inQ.pop_front();
            bool freedRoom = inQ.size() + 1 == kInboundLimit;
            cObjectListener* target = listener;
            lk.unlock();
            if (freedRoom)
                wake(wakeFd);
            handleLine(line, target);
            lk.lock();
        }
    }

    void handleLine(const vexaobj::LineFramer::Line& line, cObjectListener* target) {
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
            log.debug("message type %u with %d objects dropped: no listener",
                      static_cast<unsigned>(msg.getMsgType()), msg.numObjects());
        } else {
            try {
                target->handleObjectAction(&msg);
            } catch (const std::exception& e) {
                log.error("listener failed on message type %u: %s",
                          static_cast<unsigned>(msg.getMsgType()), e.what());
            } catch (...) {
                log.error("listener failed on message type %u",
                          static_cast<unsigned>(msg.getMsgType()));
            }
        }
        msg.deleteObjects();
    }

    void reject(const std::string& reason, const std::string& text) {
        auto now = Clock::now();
        if (now - rejectWindow >= std::chrono::seconds(1)) {
            flushRejectSummary();
            rejectWindow = now;
            rejectsInWindow = 0;
        }
        if (rejectsInWindow < kRejectLinesPerSecond) {
            ++rejectsInWindow;
            // The parser's reason may quote the offending token: keep it short and printable.
            log.error("rejected line from vexad: %s: %s",
                      vexaobj::printableExcerpt(reason, 160).c_str(),
                      vexaobj::printableExcerpt(text).c_str());
        } else {
            ++rejectsSuppressed;
        }
    }

    void flushRejectSummary() {
        if (rejectsSuppressed > 0) {
            log.error("%zu further lines rejected", rejectsSuppressed);
            rejectsSuppressed = 0;
        }
    }
};

cObjectClient::cObjectClient() : cObjectClient(Options()) {}

cObjectClient::cObjectClient(const Options& options) : d(new Impl(options)) {}

cObjectClient::~cObjectClient() {
    stop();
    if (d->wakeFd >= 0)
        ::close(d->wakeFd);
}

bool cObjectClient::start(const char* host, int port) {
    {
        std::lock_guard<std::mutex> lk(d->outMu);
        if (d->started) {
            d->log.error("start called twice; the first call stands");
            return false;
        }
        if (!host || !*host || port <= 0 || port > 65535) {
            d->log.error("cannot start: vexad address \"%s\":%d is not valid", host ? host : "",
                         port);
            return false;
        }
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0) {
            d->log.error("cannot start: eventfd: %s", errnoText(errno).c_str());
            return false;
        }
        d->wakeFd = fd;
        d->host = host;
        d->port = port;
        d->started = true;
    }

    // Resolved here only to answer the caller; the io thread resolves again before every
    // connection attempt, so a name that comes to resolve later still gets connected.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int gai = ::getaddrinfo(host, service.c_str(), &hints, &res);
    if (gai == 0) {
        ::freeaddrinfo(res);
    } else {
        d->log.error("cannot resolve vexad host \"%s\": %s; retrying in the background", host,
                     gai_strerror(gai));
    }

    d->io = std::thread([this] { d->ioMain(); });
    d->reader = std::thread([this] { d->readerMain(); });
    return gai == 0;
}

void cObjectClient::addListener(cObjectListener* listener) {
    std::lock_guard<std::mutex> lk(d->inMu);
    d->listener = listener;
}

void cObjectClient::send(cObjectList* message) {
    if (!message)
        return;
    std::string line;
    try {
        line = vexaobj::encodeMessage(*message);
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
        return;
    }
    int signalFd = -1;
    bool firstStalledDrop = false;
    {
        std::lock_guard<std::mutex> lk(d->outMu);
        d->outQ.push_back(std::move(line));
        if (d->outQ.size() > d->opt.queueLimit) {
            d->outQ.pop_front();
            ++d->droppedTotal;
            firstStalledDrop = ++d->droppedUnreported == 1 && d->isConnected;
        }
        // The io thread only waits for a signal when it found the queue empty.
        if (d->outQ.size() == 1)
            signalFd = d->wakeFd;
    }
    if (firstStalledDrop) {
        d->log.error("send queue full (%zu messages): vexad is not reading, oldest dropped",
                     d->opt.queueLimit);
    }
    Impl::wake(signalFd);
}

void cObjectClient::stop() {
    d->stopping = true;
    {
        std::lock_guard<std::mutex> lk(d->outMu);
        Impl::wake(d->wakeFd);
    }
    { std::lock_guard<std::mutex> lk(d->inMu); }
    d->inCv.notify_all();
    auto self = std::this_thread::get_id();
    if (d->io.joinable() && d->io.get_id() != self)
        d->io.join();
    if (d->reader.joinable() && d->reader.get_id() != self)
        d->reader.join();
}

bool cObjectClient::flush(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (queued() == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return queued() == 0;
}

bool cObjectClient::connected() const {
    return d->isConnected;
}

size_t cObjectClient::queued() const {
    std::lock_guard<std::mutex> lk(d->outMu);
    return d->outQ.size();
}

size_t cObjectClient::dropped() const {
    std::lock_guard<std::mutex> lk(d->outMu);
    return d->droppedTotal;
}
