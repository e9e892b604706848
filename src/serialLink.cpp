// The serial exchange's shell (serialLink.h): the transmit thread and the receive loop around
// the exchange's rules, and what the daemon does with the rules' events.
#include "serialLink.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "cObjectClient.h"
#include "dornDecode.h"
#include "dornManager.h"
#include "monotonicClock.h"
#include "serviceNotify.h"
#include "southDevice.h"
#include "stdoutTrace.h"

namespace {

using monotonic::nowMs;
using proto::LinkEvent;
using Say = qlog::RepeatLimit::Say;

// Most bytes the terminal layer hands one read while VMIN asks for more.
constexpr int kLineChunk = 64;

// Errors after which the descriptor is of no further use: the port is closed and re-opened.
bool portLost(int err) {
    return err == EIO || err == EBADF || err == ENXIO || err == ENODEV || err == EPIPE;
}

// A wake-up counted on `fd` is taken: the loop is awake now.
void drainWakeUps(int fd) {
    uint64_t wakes;
    ssize_t r = read(fd, &wakes, sizeof wakes);
    (void)r;
}

void wakeUp(int fd) {
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t r = ::write(fd, &one, sizeof one);
        (void)r;  // a counter that is already set wakes the loop just as well
    }
}

}  // namespace

SerialLink::SerialLink(dornManager& manager)
    : cQlog("dornManager"),
      m(manager),
      mMachine(*this),
      mTimerFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SerialLink::~SerialLink() {
    for (int fd : {mTimerFd, wakeFd, stopFd}) {
        if (fd >= 0)
            close(fd);
    }
}

void SerialLink::setTiming(const ExchangeTiming& timing) {
    std::lock_guard<std::mutex> lock(mTxMutex);
    mMachine.setTiming(timing);
}

ExchangeTiming SerialLink::timing() const {
    std::lock_guard<std::mutex> lock(mTxMutex);
    return mMachine.timing();
}

LinkStats SerialLink::stats() const {
    std::lock_guard<std::mutex> lock(mTxMutex);
    return mMachine.stats();
}

proto::PendingSet SerialLink::pending() const {
    std::lock_guard<std::mutex> lock(mTxMutex);
    return mMachine.pending();
}

// Feeds the machine: `step` runs under the lock, with the capture's records of what it caused;
// the rest of what it caused (publishing, log lines, the status) is done once the lock is
// released, so that a slow log or a held publish never holds the other thread.
template <class Step>
void SerialLink::feed(Step step) {
    thread_local std::vector<Effect> effects;  // each thread's own, kept for its capacity
    {
        std::lock_guard<std::mutex> lock(mTxMutex);
        // One reading of the clock for the step: the rules take it in milliseconds, the
        // capture's records in microseconds, so that a replay of the capture gives the rules
        // the times they had.
        mStepUs = std::max(mStepUs, monotonic::nowUs());
        step(mMachine, monotonic::msOfUs(mStepUs));
        armTimer();
        mRxWanted.store(mMachine.bytesWanted(), std::memory_order_relaxed);
        effects.swap(mEffects);
    }
    for (const Effect& f : effects)
        perform(f);
    effects.clear();
}

// ---- The transmit thread --------------------------------------------------------------------

void* request(void* arg) {
    static_cast<SerialLink*>(arg)->transmitLoop();
    return nullptr;
}

TxFrame SerialLink::nextFrame(uint64_t* cycleEnd) {
    TxFrame frame;
    feed([&](proto::LinkMachine& machine, uint64_t now) {
        frame = machine.beginCycle(now);
        // Reserved with the cycle's choice of frame, before its first byte goes out: no set
        // recorded after the choice and no reply can come before it in the capture.
        mTxTicket = captureTxBegin(frame.bytes, frame.len, mStepUs);
        if (cycleEnd != nullptr)
            *cycleEnd = machine.cycleEnd();
    });
    return frame;
}

void SerialLink::frameWritten(const TxOutcome& outcome) {
    // Whole: the tx record as it is; nothing written (the port was closed): no record at all;
    // otherwise the tx record of what reached the line and what became of the rest.
    exchangefile::Kind recorded = exchangefile::Kind::Abandoned;
    const char* why = nullptr;
    if (outcome.result == WriteResult::Whole || outcome.result == WriteResult::NoPort) {
        recorded = exchangefile::Kind::Tx;
    } else if (outcome.result == WriteResult::Failed) {
        why = outcome.err != 0 ? strerror(outcome.err) : "the port was closed";
        if (outcome.err != 0)
            debug("Serial write() error: %s\n", why);
        recorded = exchangefile::Kind::WriteFailed;
    }
    feed([&](proto::LinkMachine& machine, uint64_t now) {
        machine.frameWritten(now, outcome.result, outcome.sent);
        captureTxEnd(mTxTicket, outcome.sent, recorded, why, mStepUs);
        mTxTicket = capture::TxTicket{};
    });
}

void SerialLink::transmitLoop() {
    {
        // The poll frame is dumped once, as it is built once.
        std::lock_guard<std::mutex> lock(mTxMutex);
        TxFrame poll = mMachine.pollFrame();
        printBuffer(poll.bytes, poll.len);
    }
    bool flushFirst = false;  // a frame was left half written: the line is flushed before the next
    const unsigned rxHungMs = timing().rxHungMs;
    while (!stopping()) {
        uint64_t cycleEnd = 0;
        const TxFrame frame = nextFrame(&cycleEnd);
        frameWritten(writeFrame(frame, cycleEnd, flushFirst));
        // A hung receive loop gets the daemon restarted; a silent controller or a lost port
        // does not: the loop then waits in poll(), which counts as healthy.
        const uint64_t busySince = mRxBusySinceMs.load(std::memory_order_relaxed);
        if (busySince == 0 || nowMs() - busySince < rxHungMs)
            (watchdog != nullptr ? watchdog : serviceWatchdog)();
        wait_tx_ready();
    }
}

// The port is non-blocking: a line that stops taking bytes (flow control held, a wedged adapter,
// a pty nobody reads) makes the write wait in poll() for room, never in write() under the
// descriptor's lock, and only until the cycle's end or a stop. The lock is held for each
// write() alone, so that the receive loop can close the port at any time; the port's
// generation tells a re-opened line from the one the frame began on.
TxOutcome SerialLink::writeFrame(const TxFrame& frame, uint64_t deadlineMs, bool& flushFirst) {
    TxOutcome out;
    int fd = -1;
    unsigned generation = 0;
    // What is left of a frame that did not go out whole must never run into the next one.
    const auto ended = [&](WriteResult result, int err = 0) {
        out.result = result;
        out.err = err;
        flushFirst = result == WriteResult::Abandoned || (out.sent > 0 && out.sent < frame.len);
        return out;
    };
    for (bool first = true;; first = false) {
        ssize_t n;
        int err;
        {
            std::lock_guard<std::mutex> lock(m.fdMutex);
            if (first) {
                fd = m.serFd;
                generation = m.portGeneration;
                // While the port is closed nothing is written; the receive loop re-opens it.
                if (fd < 0)
                    return out;
                if (flushFirst) {
                    lineFlush(fd, TCOFLUSH);
                    flushFirst = false;
                }
            } else if (m.serFd != fd || m.portGeneration != generation) {
                return ended(WriteResult::Failed);  // the line went away under the frame
            }
            n = lineWrite(fd, frame.bytes + out.sent, frame.len - out.sent);
            err = errno;
        }
        if (n > 0) {
            out.sent += static_cast<size_t>(n);
            if (out.sent < frame.len)
                continue;
            return ended(WriteResult::Whole);
        }
        if (n < 0 && err != EAGAIN && err != EINTR)
            return ended(WriteResult::Failed, err);
        if (n == 0 && out.sent == 0)
            debug("No data written\n");
        // The line takes nothing now: wait for room until the cycle ends.
        const uint64_t now = nowMs();
        pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (now >= deadlineMs || poll(fds, 2, monotonic::msUntil(deadlineMs, now)) == 0)
            return ended(WriteResult::Abandoned);
        if (fds[1].revents & POLLIN)
            return ended(WriteResult::Stopped);  // the frame is of no further use
    }
}

// Sets the timer to the cycle's end when the machine moved it; mTxMutex held. Re-arming also
// clears an expiry of the old end that the transmit thread has not seen yet.
void SerialLink::armTimer() {
    const uint64_t end = mMachine.cycleEnd();
    if (end == mArmedEnd || mTimerFd < 0)
        return;
    mArmedEnd = end;
    itimerspec when{};
    // Absolute, so never zero: a zero would disarm the timer.
    when.it_value.tv_sec = static_cast<time_t>(end / 1000);
    when.it_value.tv_nsec = static_cast<long>(end % 1000) * 1000000L;
    timerfd_settime(mTimerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

// The transmit side, after a frame went out: sleeps until the cycle ends, which is the wait
// time after the frame when no answer comes, or the pause after the answer; or until a stop.
// True when the receive side answered within the wait time.
bool SerialLink::wait_tx_ready() {
    for (;;) {
        bool ended = false;
        bool answered = false;
        feed([&](proto::LinkMachine& machine, uint64_t now) {
            ended = stopping() || now >= machine.cycleEnd();
            if (ended && !stopping())
                answered = machine.endCycle(now);
        });
        if (ended)
            return answered;
        // The timer's expiry is not read: setting it for the next cycle clears it.
        pollfd fds[2] = {{mTimerFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        poll(fds, 2, -1);
    }
}

// ---- The receive loop -----------------------------------------------------------------------

void SerialLink::receiveBytes(const uint8_t* bytes, size_t n) {
    feed([&](proto::LinkMachine& machine, uint64_t now) { machine.bytesRead(now, bytes, n); });
}

void SerialLink::pickUpSet() {
    if (m.devA == nullptr)
        return;
    feed([&](proto::LinkMachine& machine, uint64_t now) {
        std::lock_guard<std::mutex> deviceLock(m.devA->mMutex);
        machine.pickUpSet(now, m.devA->setValues, m.devA->portNum);
    });
}

uint64_t SerialLink::housekeeping(uint64_t now) {
    bool reopen = false;
    bool firstOfEpisode = false;
    uint64_t next = 0;
    // At the time given (a test steps it), not the clock's.
    feed([&](proto::LinkMachine& machine, uint64_t) {
        next = machine.timeout(now);
        reopen = machine.reopenDue(now) && m.serFd < 0;
        firstOfEpisode = !machine.reopenFailing();
    });
    if (reopen) {
        tryReopen(now, firstOfEpisode);
        feed([&](proto::LinkMachine& machine, uint64_t) { next = machine.timeout(now); });
    }
    updateServiceStatus();
    return next;
}

// Lets the line discipline gather the rest of a frame before the loop wakes: with VTIME 0 and
// VMIN n, a tty reports itself readable only once n bytes are waiting, so a reply that a UART
// delivers in many small pieces wakes the loop once or twice instead of once per piece. The
// terminal layer hands a read at most 64 bytes while VMIN is above 64, so VMIN stays at 64 or
// the rest of the frame when less. Changed only when that number changes: never on a line
// whose replies arrive whole, twice per reply on a UART.
void SerialLink::gatherOnLine() {
    if (mLineMin < 0 || m.serFd < 0)
        return;
    const int want = std::min(mRxWanted.load(std::memory_order_relaxed), kLineChunk);
    if (want == mLineMin)
        return;
    if (mLineMin == 0 && tcgetattr(m.serFd, &mLineTermios) != 0) {
        mLineMin = -1;  // not a terminal (tests use socket pairs): reads take what is there
        return;
    }
    mLineTermios.c_cc[VMIN] = static_cast<cc_t>(want);
    mLineTermios.c_cc[VTIME] = 0;
    mLineMin = tcsetattr(m.serFd, TCSANOW, &mLineTermios) == 0 ? want : -1;
}

void SerialLink::receiveFromPort() {
    uint8_t buf[kFrameSize];
    // Up to the rest of the frame being gathered: a frame never ends in the middle of a read.
    const size_t want = static_cast<size_t>(mRxWanted.load(std::memory_order_relaxed));
    ssize_t n = read(m.serFd, buf, want);
    if (n < 0) {
        int err = errno;
        if (err == EINTR || err == EAGAIN)
            return;
        debug("read() Error: %s\n", strerror(err));
        if (portLost(err))
            closePort(err);
        return;
    }
    if (n == 0) {
        closePort(0);
        return;
    }
    feed([&](proto::LinkMachine& machine, uint64_t now) {
        captureBytes(exchangefile::Kind::Rx, buf, static_cast<size_t>(n), mStepUs);
        machine.bytesRead(now, buf, static_cast<size_t>(n));
    });
    gatherOnLine();
}

void SerialLink::closePort(int err) {
    feed([&](proto::LinkMachine& machine, uint64_t now) {
        machine.portLost(now, err ? strerror(err) : "end of file");
    });
    {
        std::lock_guard<std::mutex> lock(m.fdMutex);
        qserial::SerialConfig::closePort(m.serFd);  // gives up the exclusive hold as well
        m.serFd = -1;
    }
    mLineMin = 0;
}

void SerialLink::tryReopen(uint64_t now, bool firstOfEpisode) {
    // The first failure of an episode is SerialConfig's line with its reason; the others are
    // counted.
    int fd = m.mSerconf != nullptr ? m.mSerconf->connect(m.serBusPort, firstOfEpisode) : -1;
    int err = errno;
    if (fd >= 0 && !adoptPort(fd)) {
        err = errno;
        // Said at the first attempt of an episode, as a failed open is; the later ones are counted.
        if (firstOfEpisode)
            error("Serial port %s opened again but cannot be made non-blocking: %s\n", m.serBusPort,
                  strerror(err));
        fd = -1;  // a failed re-open: retried after the back-off
    }
    mReopenErr = err;
    feed([&](proto::LinkMachine& machine, uint64_t) {
        if (fd >= 0)
            machine.portReopened(now);
        else
            machine.reopenFailed(now);
    });
    if (fd >= 0) {
        mLineMin = 0;
        gatherOnLine();
    }
}

bool SerialLink::adoptPort(int fd) {
    // A blocking descriptor would let one write hold the transmit thread for as long as the
    // line stalls: such a port is not used at all.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || lineSetFlags(fd, flags | O_NONBLOCK) != 0) {
        const int err = errno;
        qserial::SerialConfig::closePort(fd);  // gives up the exclusive hold as well
        errno = err;
        return false;
    }
    std::lock_guard<std::mutex> lock(m.fdMutex);
    m.serFd = fd;
    m.portGeneration++;
    return true;
}

void SerialLink::logStatistics() {
    logStatistics(stats());
}

void SerialLink::logStatistics(const LinkStats& s) {
    auto n = [](uint64_t c) { return static_cast<unsigned long long>(c); };
    info(
        "Link statistics: poll frames %llu, set frames %llu, valid replies %llu, "
        "invalid replies (header %llu, terminator %llu, checksum %llu, closing byte "
        "%llu), rejected frame starts %llu, timeouts %llu, serial re-opens %llu, abandoned "
        "frames %llu\n",
        n(s.pollFrames), n(s.setFrames), n(s.validReplies), n(s.invalid[0]), n(s.invalid[1]),
        n(s.invalid[2]), n(s.invalid[3]), n(s.rejectedStarts), n(s.timeouts), n(s.reopens),
        n(s.abandonedFrames));
    if (uint64_t dropped = stdoutLinesDropped()) {
        warn("Standard output lines dropped so far: %llu\n",
             static_cast<unsigned long long>(dropped));
    }
}

void SerialLink::updateServiceStatus() {
    if (!serviceManaged())
        return;
    std::string text = "port ";
    text += m.serBusPort;
    text += m.serFd >= 0 ? " open" : " lost";
    std::string lastSet;
    {
        std::lock_guard<std::mutex> lock(mTxMutex);
        text += !mMachine.everOnline() ? ", controller not answering yet"
                : mMachine.offline()   ? ", controller offline"
                                       : ", controller online";
        lastSet = mLastSetText;
    }
    text += m.mObjectClient != nullptr && m.mObjectClient->connected() ? ", vexad connected"
                                                                       : ", vexad not connected";
    if (!lastSet.empty())
        text += ", last " + lastSet;
    if (text != mStatusText) {
        mStatusText = text;
        serviceStatus(text);
    }
}

void SerialLink::handleSignals() {
    signalfd_siginfo si;
    while (read(signalFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGHUP) {
            cQlog::reopen();
            info("SIGHUP: log files re-opened\n");
        } else if (si.ssi_signo == SIGUSR1) {
            m.toggleCapture();
        } else if (!stopping()) {
            info("Stopping on %s\n", si.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
            serviceStopping();
            requestStop();
        }
    }
}

// Waits for the start delay without reading the port (bytes that arrive meanwhile wait in it),
// but not past a stop or a signal.
void SerialLink::waitUntil(uint64_t deadlineMs) {
    for (uint64_t now = nowMs(); now < deadlineMs && !stopping(); now = nowMs()) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (poll(fds, 2, monotonic::msUntil(deadlineMs, now)) <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            drainWakeUps(wakeFd);  // a set: picked up once the loop runs
        if (fds[1].revents & POLLIN)
            handleSignals();
    }
}

void SerialLink::requestStop() {
    stopRequested.store(true);
    wakeUp(stopFd);  // never read: it stays readable for every later wait
    wakeUp(wakeFd);
}

bool SerialLink::run() {
    if (m.devA != nullptr) {
        // vexad's sets wake the loop at once: they are picked up without waiting for a byte.
        std::lock_guard<std::mutex> lock(m.devA->mMutex);
        const int fd = wakeFd;
        m.devA->setRecorded = [fd] { wakeUp(fd); };
    }
    if (!m.captureFile.empty())
        m.beginCapture(m.captureFile, false);  // before the first frame goes out
    mRxBusySinceMs.store(nowMs(), std::memory_order_relaxed);
    const int created = pthread_create(&myThread, nullptr, request, this);
    if (created != 0) {
        error("Cannot start the transmit thread: %s\n", strerror(created));
        forgetSetWakeUp();
        return false;
    }
    waitUntil(nowMs() + timing().startDelayMs);
    serviceReady();
    startReceiving();
    while (!stopping())
        receiveStep();
    pthread_join(myThread, nullptr);
    forgetSetWakeUp();
    return true;
}

// The receive loop's clocks start once the start delay is over.
void SerialLink::startReceiving() {
    feed([&](proto::LinkMachine& machine, uint64_t now) {
        machine.startReceiving(now, m.serFd >= 0);
    });
    mLineMin = 0;
    gatherOnLine();
}

// One turn of the receive loop: the work that is due, a set to pick up, then a wait for the
// line, a wake-up or a signal, no longer than until the next due work.
void SerialLink::receiveStep() {
    const uint64_t now = nowMs();
    const uint64_t next = housekeeping(now);
    pickUpSet();

    const int timeout = next == proto::kNever ? -1 : monotonic::msUntil(next, now);
    pollfd fds[3] = {{m.serFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    mRxBusySinceMs.store(0, std::memory_order_relaxed);
    const int ready = poll(fds, 3, timeout);
    mRxBusySinceMs.store(nowMs(), std::memory_order_relaxed);
    if (ready < 0) {
        const int err = errno;
        if (err == EINTR)
            return;
        // Never on to a blocking read: take the port down and let the back-off bring it back,
        // which also keeps a failing poll from spinning.
        error("poll() Error: %s\n", strerror(err));
        if (m.serFd >= 0)
            closePort(err);
        else
            waitUntil(nowMs() + timing().reopenMinMs);
        return;
    }
    if (ready == 0)
        return;  // due work runs at the top
    if (fds[2].revents & POLLIN)
        handleSignals();
    if (fds[1].revents & POLLIN)
        drainWakeUps(wakeFd);
    if (fds[0].revents & POLLNVAL)
        closePort(EBADF);
    else if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
        receiveFromPort();
}

bool SerialLink::startCapture(capture::Settings settings, bool running) {
    // Under the lock: no step of the exchange comes between the state the start record gives
    // and the capture's first record.
    std::lock_guard<std::mutex> lock(mTxMutex);
    const uint64_t now = monotonic::msOfUs(std::max(mStepUs, monotonic::nowUs()));
    proto::StartFields fields = proto::timingFields(mMachine.timing());
    const proto::ResumeState state = mMachine.resumeState(now);
    for (auto& f : proto::resumeFields(running ? &state : nullptr))
        fields.push_back(std::move(f));
    settings.startFields += " " + exchangefile::startFields(fields);
    // One write of the capture's file a poll cycle at most.
    settings.writeEvery = std::chrono::milliseconds(std::max(1u, mMachine.timing().pauseMs));
    return capture::start(settings);
}

void SerialLink::forgetSetWakeUp() {
    if (m.devA != nullptr) {
        std::lock_guard<std::mutex> lock(m.devA->mMutex);
        m.devA->setRecorded = nullptr;
    }
}

// ---- What the rules decided ------------------------------------------------------------------

namespace {

// A span in a log line, in seconds to the millisecond: "10", "0.167", "2.5" (the short spans of
// lab timings read as they are, not as "0 s" or a rounded limit).
std::string seconds(uint64_t ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        const std::string thousandths = std::to_string(1000 + ms % 1000);  // "1167": ".167"
        text += "." + thousandths.substr(1, thousandths.find_last_not_of('0'));
    }
    return text;
}

unsigned long long ull(uint64_t n) {
    return static_cast<unsigned long long>(n);
}

}  // namespace

// Under the lock: the capture's record where the event happens, before anything it causes; the
// rest once the lock is released (perform).
void SerialLink::onEvent(const LinkEvent& e) {
    record(e);
    mEffects.emplace_back();
    Effect& f = mEffects.back();
    f.e = e;
    if (e.type == LinkEvent::ReplyValid) {
        std::memcpy(f.data, e.block, kDataBlockSize);
        f.status = e.frame[proto::kStatusByte];
    } else if (e.type == LinkEvent::SetFrameBuilt) {
        std::memcpy(f.data, e.txFrame->bytes, e.txFrame->len);
        f.len = e.txFrame->len;
    } else if (e.type == LinkEvent::Statistics) {
        mStatsDue = mMachine.stats();
    }
    // What the event points to is the machine's, and goes on changing: the effect has its copy.
    f.e.frame = f.e.block = nullptr;
    f.e.txFrame = nullptr;
}

void SerialLink::perform(const Effect& f) {
    const LinkEvent& e = f.e;
    switch (e.type) {
        case LinkEvent::ReplyValid:
        case LinkEvent::ReplyInvalid:
        case LinkEvent::RepliesValidAgain:
        case LinkEvent::Online:
        case LinkEvent::OnlineSpellsEnded:
        case LinkEvent::Offline:
        case LinkEvent::OfflineLogged:
        case LinkEvent::Statistics:
            onReply(f);
            break;
        case LinkEvent::SetChecked:
        case LinkEvent::SetConfirmed:
        case LinkEvent::SetGivenUp:
        case LinkEvent::SetTaken:
        case LinkEvent::SetDropped:
        case LinkEvent::SetRecorded:
            onSet(e);
            break;
        case LinkEvent::SetFrameBuilt:
        case LinkEvent::FrameSent:
        case LinkEvent::FrameAbandoned:
        case LinkEvent::LineTakesFramesAgain:
        case LinkEvent::TimedOut:
            onTransmit(f);
            break;
        case LinkEvent::PortNotOpen:
        case LinkEvent::PortLost:
        case LinkEvent::PortReopened:
        case LinkEvent::ReopenFailing:
            onPort(e);
            break;
    }
}

// The capture's record of an event, while a capture runs. The port open again is named, as at
// the open: the writer opens the ring's next file with it.
void SerialLink::record(const LinkEvent& e) {
    proto::EventRecord r{exchangefile::Kind::Online};
    if (proto::recordOf(e, r))
        captureEvent(r.kind, r.param, r.value,
                     r.kind == exchangefile::Kind::Reopen ? m.serBusPort : r.text, mStepUs);
}

void SerialLink::onReply(const Effect& f) {
    const LinkEvent& e = f.e;
    switch (e.type) {
        case LinkEvent::ReplyValid: {
            dornDecode::reportValid(f.status);
            debug("updating vexa objects\n");
            // The reply's sample events and the status event leave in one write to vexad.
            std::optional<cObjectClient::Batch> batch;
            if (m.mObjectClient != nullptr)
                batch.emplace(*m.mObjectClient);
            m.devA->updater(m.mObjectClient, const_cast<uint8_t*>(f.data));
            m.devA->setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
            break;
        }
        case LinkEvent::ReplyInvalid:
            dornDecode::reportInvalid(e.fault);
            if (e.say == Say::First)
                error("Received frame invalid: %s\n", proto::faultText(e.fault));
            else if (e.say == Say::Summary)
                error("Received frame invalid: %s; %llu invalid replies in the last %s s\n",
                      proto::faultText(e.fault), ull(e.count),
                      seconds(mMachine.timing().repeatMs).c_str());
            break;
        case LinkEvent::RepliesValidAgain:
        case LinkEvent::OnlineSpellsEnded:
            info("%s for %s s: %llu %s in all, %llu of them not logged before\n",
                 e.type == LinkEvent::RepliesValidAgain ? "Replies valid again"
                                                        : "Controller online",
                 seconds(mMachine.timing().repeatMs).c_str(), ull(e.count),
                 e.type == LinkEvent::RepliesValidAgain ? "invalid replies" : "offline spells",
                 ull(e.unreported));
            break;
        case LinkEvent::Online:
            if (e.logged)
                info("Controller answers again: device online\n");
            break;
        case LinkEvent::Offline:
        case LinkEvent::OfflineLogged:
            logOffline(e);
            break;
        default:  // Statistics
            logStatistics(mStatsDue);
            break;
    }
}

// The device goes offline: logged as it happens, or with the count of spells while the
// controller flaps, or (a spell only counted) once it lasts; vexad hears it at once.
void SerialLink::logOffline(const LinkEvent& e) {
    if (e.type == LinkEvent::OfflineLogged || e.say != Say::Quiet) {
        const std::string spells = e.type == LinkEvent::Offline && e.say == Say::Summary
                                       ? "; offline " + std::to_string(e.count) +
                                             " times in the last " +
                                             seconds(mMachine.timing().repeatMs) + " s"
                                       : std::string();
        error("No valid reply from the controller for %s s: device offline%s\n",
              seconds(e.ms).c_str(), spells.c_str());
    }
    if (e.type == LinkEvent::Offline)
        m.devA->setOnlineStatus(cObject::OBJ_STATUS_ALARM_SET);
}

void SerialLink::onSet(const LinkEvent& e) {
    const std::string setText =
        "set-point " + std::to_string(e.port) + " = " + std::to_string(unsigned{e.value});
    switch (e.type) {
        case LinkEvent::SetChecked:
            stdoutLine("Change val status statement");
            if (e.index >= 0)
                debug("decodebuff[%d] = 0x%02X\n", e.index, e.value);
            break;
        case LinkEvent::SetConfirmed:
            stdoutLine("changeVal reset");
            info("Set-point %d = %u confirmed by the controller\n", e.port, unsigned{e.value});
            mLastSetText = setText + " confirmed";
            break;
        case LinkEvent::SetGivenUp:
            error("Set-point %d = %u not confirmed after %llu replies: given up\n", e.port,
                  unsigned{e.value}, ull(e.count));
            mLastSetText = setText + " given up";
            break;
        case LinkEvent::SetTaken:
            debug("Set Value: %f", static_cast<double>(e.requested));
            break;
        case LinkEvent::SetDropped:
            error(
                "Set value %f for analogue output %d does not fit the controller's byte: "
                "dropped\n",
                static_cast<double>(e.requested), e.port);
            break;
        default:  // SetRecorded
            debug("changeVal: 0x%02X\n", unsigned{e.value});
            info("Writing set-point %d = %u to the controller\n", e.port, unsigned{e.value});
            mLastSetText = setText + " being written";
            break;
    }
}

void SerialLink::onTransmit(const Effect& f) {
    const LinkEvent& e = f.e;
    // The category's name is spelt so on purpose: the transmit wait has always logged under it,
    // and a site's logging set-up may name it.
    static log4cpp::Category& waitLog = cQlog::getLog("dornManger");
    switch (e.type) {
        case LinkEvent::SetFrameBuilt:
            debug("Port %d changeVal: 0x%02X\n", e.port, unsigned{e.value});
            printBuffer(const_cast<uint8_t*>(f.data), f.len);
            break;
        case LinkEvent::FrameSent:
            debug("%d\n", static_cast<int>(e.count));
            break;
        case LinkEvent::FrameAbandoned:
            if (e.say == Say::First)
                warn(
                    "Serial port %s does not take frames: a frame abandoned after %llu of %d "
                    "bytes; polling goes on\n",
                    m.serBusPort, ull(e.count), kFrameSize);
            else if (e.say == Say::Summary)
                warn("Serial port %s still does not take frames: %llu abandoned so far\n",
                     m.serBusPort, ull(e.total));
            break;
        case LinkEvent::LineTakesFramesAgain:
            info("Serial port %s takes frames again after %llu abandoned\n", m.serBusPort,
                 ull(e.count));
            break;
        default:  // TimedOut
            waitLog.debug("TX(write thread) timed out.\n");
            break;
    }
}

void SerialLink::onPort(const LinkEvent& e) {
    switch (e.type) {
        case LinkEvent::PortNotOpen:
            error("Serial port %s could not be opened; retrying\n", m.serBusPort);
            break;
        case LinkEvent::PortLost:
            error("Serial port %s lost: %s\n", m.serBusPort, e.text);
            break;
        case LinkEvent::PortReopened:
            if (e.count != 0)
                info("Serial port %s open again after %llu failed attempts\n", m.serBusPort,
                     ull(e.count));
            else
                info("Serial port %s open again\n", m.serBusPort);
            break;
        default:  // ReopenFailing
            error(
                "Serial port %s still cannot be opened: %llu attempts failed so far (the last: "
                "%s)\n",
                m.serBusPort, ull(e.count), strerror(mReopenErr));
            break;
    }
}
