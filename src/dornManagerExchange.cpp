// The serial exchange with the controller: the transmit thread that sends a poll or set frame
// once per cycle, the receive loop that gathers and decodes reply frames, the handshake between
// the two, and the write-back of set-points with its confirmation.
//
// Threads and guards:
//  - main thread: receive loop, decoding, the device's updater, set pick-up and confirmation,
//    opening and closing the serial port, the signals;
//  - transmit thread (`request`): frame building and `write`, the handshake wait;
//  - the messaging client's reader thread: vexad's messages (records sets in the device and
//    wakes the receive loop through link.wakeFd).
// The link's handshake (txHandshake.h) has its mTxMutex, the pending set (pendingSet.h) its
// mSetMutex, each beside the data it guards. fdMutex guards the descriptor against being
// closed while the transmit thread writes to it. The device's own mutex guards setValues/portNum.
// Order when nested: device mutex, then mSetMutex. The capture's hooks (exchangeCapture.h) test one
// atomic and, while a capture runs, take the capture's queue lock, innermost, never held across
// file I/O.
//
// Both threads sleep until something is due: the transmit thread in poll() on a timer set to
// the end of its cycle (the wait after a frame, moved by the answer to the pause after it, so
// that a cycle wakes it once), the receive loop in poll() on the port, its wake-up descriptor
// and the signals, with the time to its next due work as the timeout.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "cObjectClient.h"
#include "dornDecode.h"
#include "dornManager.h"
#include "exchangeCapture.h"
#include "monotonicClock.h"
#include "serviceNotify.h"
#include "southDevice.h"
#include "stdoutTrace.h"

namespace {

using monotonic::nowMs;

// A span in a log line, in seconds: whole from 10 s on or when whole ("10", "60"), else to the
// tenth ("0.4", "2.5"), so that the short spans of lab timings do not read as "0 s".
std::string seconds(uint64_t ms) {
    if (ms >= 10000 || ms % 1000 == 0)
        return std::to_string(ms / 1000);
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
}

constexpr uint64_t kNever = UINT64_MAX;
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

void wakeFd(int fd) {
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t r = ::write(fd, &one, sizeof one);
        (void)r;  // a counter that is already set wakes the loop just as well
    }
}

}  // namespace

SerialLink::SerialLink()
    : wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SerialLink::~SerialLink() {
    if (wakeFd >= 0)
        close(wakeFd);
    if (stopFd >= 0)
        close(stopFd);
}

// ---- Transmit thread ----------------------------------------------------------------------------

// Transmit thread. The manager travels as the thread argument (the descriptor itself can change
// when a lost port is re-opened).
void* request(void* arg) {
    static_cast<dornManager*>(arg)->transmitLoop();
    return nullptr;
}

bool dornManager::chooseFrame(TxFrame& frame) {
    const PendingSet::Snapshot pending = link.pending.take();
    if (!pending.changeVal_status)
        return false;
    static log4cpp::Category& log = cQlog::getLog("dornManager");
    memset(frame.bytes, 0, sizeof frame.bytes);
    frame.isSet = true;
    frame.port = pending.changePort;
    frame.value = pending.changeVal;
    log.debug("Port %d changeVal: 0x%02X\n", pending.changePort, pending.changeVal);
    frame.len = getBuffer(frame.bytes, pending.changeVal, pending.changePort);
    return true;
}

void dornManager::frameWritten(const TxFrame& frame, const TxOutcome& outcome) {
    static log4cpp::Category& log = cQlog::getLog("dornManager");
    exchangefile::Kind recorded = exchangefile::Kind::Abandoned;
    const char* why = nullptr;
    switch (outcome.result) {
        case TxOutcome::NoPort:
            return;
        case TxOutcome::Whole:
            log.debug("%d\n", static_cast<int>(outcome.sent));
            (frame.isSet ? link.stats.setFrames : link.stats.pollFrames)++;
            recorded = exchangefile::Kind::Tx;
            break;
        case TxOutcome::Abandoned:
            frameAbandoned(outcome.sent);
            break;
        case TxOutcome::Stopped:
            break;
        case TxOutcome::Failed:
            why = outcome.err != 0 ? strerror(outcome.err) : "the port was closed";
            if (outcome.err != 0)
                log.debug("Serial write() error: %s\n", why);
            recorded = exchangefile::Kind::WriteFailed;
            break;
    }
    captureTxEnd(outcome.ticket, outcome.sent, recorded, why);
}

void dornManager::transmitLoop() {
    // The category's name is spelt so on purpose: the transmit wait has always logged under it,
    // and a site's logging set-up may name it.
    static log4cpp::Category& waitLog = cQlog::getLog("dornManger");

    // The poll frame is built once; a set frame is built afresh on every cycle that sends one.
    TxFrame pollFrame;
    TxFrame setFrame;
    memset(pollFrame.bytes, 0, sizeof pollFrame.bytes);
    pollFrame.len = getBuffer(pollFrame.bytes);
    bool flushFirst = false;  // a frame was left half written: the line is flushed before the next

    while (!link.stopRequested.load(std::memory_order_relaxed)) {
        const TxFrame* frame = chooseFrame(setFrame) ? &setFrame : &pollFrame;

        // An answer counts only when it comes after this frame went out: the cycle's wait
        // starts before the write.
        const uint64_t cycleEnd = monotonic::msOf(link.handshake.startCycle(link.timing.waitMs));

        const TxOutcome outcome = writeFrame(*frame, cycleEnd, flushFirst);
        frameWritten(*frame, outcome);
        // Whatever became of the frame on an open port, an unanswered cycle is a timeout.
        const bool written = outcome.result != TxOutcome::NoPort;
        link.stats.txCycles++;
        // A hung receive loop gets the daemon restarted; a silent controller or a lost port
        // does not: the loop then waits in poll(), which counts as healthy.
        const uint64_t busySince = link.rxBusySinceMs.load(std::memory_order_relaxed);
        if (busySince == 0 || nowMs() - busySince < link.timing.rxHungMs)
            (link.watchdog != nullptr ? link.watchdog : serviceWatchdog)();

        // The wait and, after an answer, the pause: nothing but a stop ends them early.
        if (wait_tx_ready(link.handshake, link.stopFd, link.stopRequested)) {
            lineTakesFramesAgain();
        } else if (written && !link.stopRequested.load(std::memory_order_relaxed)) {
            waitLog.debug("TX(write thread) timed out.\n");
            link.stats.timeouts++;
        }
    }
}

// The port is non-blocking: a line that stops taking bytes (flow control held, a wedged adapter,
// a pty nobody reads) makes the write wait in poll() for room, never in write() under the
// descriptor's lock, and only until the cycle's end or a stop. The lock is held for each
// write() alone, so that the receive loop can close the port at any time; the port's
// generation tells a re-opened line from the one the frame began on.
TxOutcome dornManager::writeFrame(const TxFrame& frame, uint64_t deadlineMs, bool& flushFirst) {
    static log4cpp::Category& log = cQlog::getLog("dornManager");
    TxOutcome out;
    int fd = -1;
    unsigned generation = 0;
    // What is left of a frame that did not go out whole must never run into the next one.
    const auto ended = [&](TxOutcome::Result result, int err = 0) {
        out.result = result;
        out.err = err;
        flushFirst = result == TxOutcome::Abandoned || (out.sent > 0 && out.sent < frame.len);
        return out;
    };
    for (bool first = true;; first = false) {
        ssize_t n;
        int err;
        {
            std::lock_guard<std::mutex> lock(fdMutex);
            if (first) {
                fd = serFd;
                generation = portGeneration;
                // While the port is closed nothing is written; the receive loop re-opens it.
                if (fd < 0)
                    return out;
                if (flushFirst) {
                    link.lineFlush(fd, TCOFLUSH);
                    flushFirst = false;
                }
                // Stamped before the first byte goes out: no reply is recorded before it.
                out.ticket = captureTxBegin(frame.bytes, frame.len);
            } else if (serFd != fd || portGeneration != generation) {
                return ended(TxOutcome::Failed);  // the line went away under the frame
            }
            n = link.lineWrite(fd, frame.bytes + out.sent, frame.len - out.sent);
            err = errno;
        }
        if (n > 0) {
            out.sent += static_cast<size_t>(n);
            if (out.sent < frame.len)
                continue;
            return ended(TxOutcome::Whole);
        }
        if (n < 0 && err != EAGAIN && err != EINTR)
            return ended(TxOutcome::Failed, err);
        if (n == 0 && out.sent == 0)
            log.debug("No data written\n");
        // The line takes nothing now: wait for room until the cycle ends.
        const uint64_t now = nowMs();
        pollfd fds[2] = {{fd, POLLOUT, 0}, {link.stopFd, POLLIN, 0}};
        if (now >= deadlineMs || poll(fds, 2, monotonic::msUntil(deadlineMs, now)) == 0)
            return ended(TxOutcome::Abandoned);
        if (fds[1].revents & POLLIN)
            return ended(TxOutcome::Stopped);  // the frame is of no further use
    }
}

// A frame the line did not take by the cycle's end: counted, and reported once when the line
// stalls, then summarised once a period while it stays stalled.
void dornManager::frameAbandoned(size_t sent) {
    link.stats.abandonedFrames++;
    switch (stallLog.occurred(nowMs(), link.timing.repeatMs)) {
        case qlog::RepeatLimit::Say::First:
            warn(
                "Serial port %s does not take frames: a frame abandoned after %zu of %d bytes; "
                "polling goes on\n",
                serBusPort, sent, kFrameSize);
            break;
        case qlog::RepeatLimit::Say::Summary:
            warn("Serial port %s still does not take frames: %llu abandoned so far\n", serBusPort,
                 static_cast<unsigned long long>(stallLog.total()));
            break;
        case qlog::RepeatLimit::Say::Quiet:
            break;
    }
}

// The stall is over once a frame is answered: a frame that the line buffered after the flush
// made room proves nothing.
void dornManager::lineTakesFramesAgain() {
    if (const uint64_t abandoned = stallLog.ended())
        info("Serial port %s takes frames again after %llu abandoned\n", serBusPort,
             static_cast<unsigned long long>(abandoned));
}

// An invalid reply: the first of an episode is logged with its reason, the others once a
// period in a line that counts them; the per-reason counts are in the statistics line.
void dornManager::replyInvalid(uint64_t now, const char* reason) {
    switch (invalidLog.occurred(now, link.timing.repeatMs)) {
        case qlog::RepeatLimit::Say::First:
            error("Received frame invalid: %s\n", reason);
            break;
        case qlog::RepeatLimit::Say::Summary:
            error("Received frame invalid: %s; %llu invalid replies in the last %s s\n", reason,
                  static_cast<unsigned long long>(invalidLog.sinceLine()),
                  seconds(link.timing.repeatMs).c_str());
            break;
        case qlog::RepeatLimit::Say::Quiet:
            break;
    }
}

// The device goes offline: logged as it happens, but while the controller flaps (offline again
// within a period of the last such line) the spells are counted, in the next line, instead.
void dornManager::wentOffline(uint64_t now) {
    offlineLogged = false;
    switch (offlineLog.occurred(now, link.timing.repeatMs)) {
        case qlog::RepeatLimit::Say::First:
            logOffline(now, "");
            break;
        case qlog::RepeatLimit::Say::Summary:
            logOffline(now, "; offline " + std::to_string(offlineLog.sinceLine()) +
                                " times in the last " + seconds(link.timing.repeatMs) + " s");
            break;
        case qlog::RepeatLimit::Say::Quiet:
            break;
    }
}

void dornManager::logOffline(uint64_t now, const std::string& spells) {
    error("No valid reply from the controller for %s s: device offline%s\n",
          seconds(now - link.lastValidMs).c_str(), spells.c_str());
    offlineLogged = true;
}

// An episode of a repeating fault (`episode`) is over once it has not occurred for a whole
// period: said in one line with its counts, when it had more than its first occurrence. `state`
// is what holds now, `items` what was counted: "Replies valid again", "invalid replies".
void dornManager::endQuietEpisode(qlog::RepeatLimit& episode, uint64_t now, const char* state,
                                  const char* items) {
    if (!episode.idle(now, link.timing.repeatMs))
        return;
    const uint64_t unreported = episode.unreported();
    const uint64_t total = episode.ended();
    if (total > 1)
        info("%s for %s s: %llu %s in all, %llu of them not logged before\n", state,
             seconds(link.timing.repeatMs).c_str(), static_cast<unsigned long long>(total), items,
             static_cast<unsigned long long>(unreported));
}

// ---- Set pick-up and confirmation
// ----------------------------------------------------------------

// Pick-up: moves a set requested by vexad into the pending set. The newest set (the entry of
// portNum) always goes first and replaces a pending one; a displaced set for another port goes
// back into setValues so it is written afterwards. Further entries (several ports, or every
// port at once) are taken one at a time, each only once the one before has ended.
// Only values the controller's byte can hold are written; nothing else is ever invented.
void dornManager::pickUpSet() {
    if (devA == nullptr)
        return;
    std::lock_guard<std::mutex> deviceLock(devA->mMutex);
    if (devA->setValues.empty())
        return;

    // Only this thread starts and ends the pending set: what it reads here stays true below.
    auto entry = devA->setValues.find(devA->portNum);
    if (entry == devA->setValues.end()) {
        if (link.pending.get().changeVal_status)
            return;  // the next waits until the pending set has ended
        entry = devA->setValues.begin();
    }
    const int port = entry->first;
    const float value = entry->second;
    devA->setValues.erase(entry);

    debug("Set Value: %f", static_cast<double>(value));
    if (!(value >= 0.0f && value < 256.0f)) {
        error("Set value %f for analogue output %d does not fit the controller's byte: dropped\n",
              static_cast<double>(value), port);
        return;
    }
    const uint8_t byte = static_cast<uint8_t>(static_cast<uint32_t>(value));
    const PendingSet::Snapshot displaced = link.pending.begin(port, byte);
    if (displaced.changeVal_status && displaced.changePort != port &&
        devA->setValues.find(displaced.changePort) == devA->setValues.end()) {
        devA->setValues.emplace(displaced.changePort, static_cast<float>(displaced.changeVal));
    }
    debug("changeVal: 0x%02X\n", byte);
    info("Writing set-point %d = %u to the controller\n", port, static_cast<unsigned>(byte));
    captureEvent(exchangefile::Kind::SetRecorded, port, byte);
    lastSetText = "set-point " + std::to_string(port) + " = " +
                  std::to_string(static_cast<unsigned>(byte)) + " being written";
}

// Confirmation after a valid reply: the pending set ends when the controller reports the value
// at data block index port - 1 in a reply that came after a set frame carrying that value (a
// reply to an earlier frame shows the controller as it was before). A controller that keeps
// answering without the value (it refuses or clamps it) has the set given up after a number of
// replies, so the sets queued behind it are written.
void dornManager::confirmSet(const uint8_t* data) {
    const PendingSet::Snapshot pending = link.pending.get();
    if (!pending.changeVal_status)
        return;
    stdoutLine("Change val status statement");
    if (pending.changePort < 1 || pending.changePort > kDataBlockSize)
        return;
    const int i = pending.changePort - 1;
    debug("decodebuff[%d] = 0x%02X\n", i, data[i]);

    const PendingSet::Outcome outcome = link.pending.confirm(pending, data[i]);
    if (outcome != PendingSet::Outcome::Confirmed && outcome != PendingSet::Outcome::GivenUp)
        return;
    const bool confirmed = outcome == PendingSet::Outcome::Confirmed;
    const unsigned value = static_cast<unsigned>(pending.changeVal);
    captureEvent(confirmed ? exchangefile::Kind::SetConfirmed : exchangefile::Kind::SetGivenUp,
                 pending.changePort, pending.changeVal);
    const std::string setText =
        "set-point " + std::to_string(pending.changePort) + " = " + std::to_string(value);
    if (confirmed) {
        stdoutLine("changeVal reset");
        info("Set-point %d = %u confirmed by the controller\n", pending.changePort, value);
        lastSetText = setText + " confirmed";
    } else {
        link.stats.givenUpSets++;
        error("Set-point %d = %u not confirmed after %d replies: given up\n", pending.changePort,
              value, PendingSet::kSetReplies);
        lastSetText = setText + " given up";
    }
}

// ---- Receive side
// ----------------------------------------------------------------------------------

void ReplyGatherer::restart() {
    memset(respbuff, 0, sizeof respbuff);
    idx = 0;
}

ReplyGatherer::Result ReplyGatherer::push(uint8_t byte) {
    respbuff[idx] = byte;
    // A frame start without the controller's header is dropped at its fifth byte.
    if (idx >= 4 && (respbuff[0] != head0 || respbuff[1] != head2 || respbuff[2] != head1)) {
        respbuff[0] = respbuff[1] = respbuff[2] = 0;
        idx = 0;
        return Rejected;
    }
    // Complete when the last position is filled, whatever that byte holds: a frame with a byte
    // lost or added on the line is then reported by the decoder, and the position never runs
    // past the buffer.
    if (idx < kFrameSize - 1) {
        idx++;
        return More;
    }
    return Complete;
}

bool dornManager::handleFrame(uint8_t* respbuff) {
    memset(decodebuff, 0, sizeof decodebuff);
    dornDecode decObj(0x41, 0x49, 0x4F);
    const bool valid = decObj.decoder(respbuff, decodebuff);
    if (valid) {
        debug("updating vexa objects\n");
        {
            // The reply's sample events and the status event leave in one write to vexad.
            std::optional<cObjectClient::Batch> batch;
            if (mObjectClient != nullptr)
                batch.emplace(*mObjectClient);
            devA->updater(mObjectClient, decodebuff);
            devA->setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
        }
        link.stats.validReplies++;
        link.lastValidMs = nowMs();
        // A valid reply ends an episode of invalid ones once none has come for a whole period.
        endQuietEpisode(invalidLog, link.lastValidMs, "Replies valid again", "invalid replies");
        if (!link.everOnline || link.offlineReported)
            captureEvent(exchangefile::Kind::Online);
        link.everOnline = true;
        if (link.offlineReported) {
            link.offlineReported = false;
            if (offlineLogged)
                info("Controller answers again: device online\n");
        }
        // A period online after the controller flapped: its offline spells are over.
        endQuietEpisode(offlineLog, link.lastValidMs, "Controller online", "offline spells");
        // Only a valid reply can confirm a set: an invalid one leaves zeros behind.
        confirmSet(decodebuff);
    } else {
        replyInvalid(nowMs(), decObj.errorStr);
        switch (decObj.failure) {
            case dornDecode::HeaderMismatch:
                link.stats.headerErrors++;
                break;
            case dornDecode::TerminatorMismatch:
                link.stats.terminatorErrors++;
                break;
            case dornDecode::ChecksumFail:
                link.stats.checksumErrors++;
                break;
            case dornDecode::ClosingByteMismatch:
            case dornDecode::NoFailure:
                link.stats.closingErrors++;
                break;
        }
    }
    return valid;
}

void dornManager::receiveBytes(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        switch (link.rx.push(bytes[i])) {
            case ReplyGatherer::More:
                break;
            case ReplyGatherer::Rejected:
                link.stats.rejectedStarts++;
                signal_tx(link.handshake, link.timing.pauseMs);
                break;
            case ReplyGatherer::Complete:
                handleFrame(link.rx.respbuff);
                signal_tx(link.handshake, link.timing.pauseMs);
                // Stale bytes of an invalid frame must never complete the next one.
                link.rx.restart();
                break;
        }
    }
}

// Lets the line discipline gather the rest of a frame before the loop wakes: with VTIME 0 and
// VMIN n, a tty reports itself readable only once n bytes are waiting, so a reply that a UART
// delivers in many small pieces wakes the loop once or twice instead of once per piece. The
// terminal layer hands a read at most 64 bytes while VMIN is above 64, so VMIN stays at 64 or
// the rest of the frame when less. Changed only when that number changes: never on a line
// whose replies arrive whole, twice per reply on a UART.
void dornManager::gatherOnLine() {
    if (link.lineMin < 0 || serFd < 0)
        return;
    const int want = std::min(kFrameSize - link.rx.idx, kLineChunk);
    if (want == link.lineMin)
        return;
    if (link.lineMin == 0 && tcgetattr(serFd, &link.lineTermios) != 0) {
        link.lineMin = -1;  // not a terminal (tests use socket pairs): reads take what is there
        return;
    }
    link.lineTermios.c_cc[VMIN] = static_cast<cc_t>(want);
    link.lineTermios.c_cc[VTIME] = 0;
    link.lineMin = tcsetattr(serFd, TCSANOW, &link.lineTermios) == 0 ? want : -1;
}

void dornManager::receiveFromPort() {
    static log4cpp::Category& log = cQlog::getLog("dornManager");
    uint8_t buf[kFrameSize];
    // Up to the rest of the frame being gathered: a frame never ends in the middle of a read.
    const size_t want = static_cast<size_t>(kFrameSize - link.rx.idx);
    ssize_t n = read(serFd, buf, want);
    if (n < 0) {
        int err = errno;
        if (err == EINTR || err == EAGAIN)
            return;
        log.debug("read() Error: %s\n", strerror(err));
        if (portLost(err))
            closePort(err);
        return;
    }
    if (n == 0) {
        closePort(0);
        return;
    }
    captureBytes(exchangefile::Kind::Rx, buf, static_cast<size_t>(n));
    receiveBytes(buf, static_cast<size_t>(n));
    gatherOnLine();
}

void dornManager::closePort(int err) {
    error("Serial port %s lost: %s\n", serBusPort, err ? strerror(err) : "end of file");
    captureEvent(exchangefile::Kind::Lost, 0, 0, err ? strerror(err) : "end of file");
    {
        std::lock_guard<std::mutex> lock(fdMutex);
        qserial::SerialConfig::closePort(serFd);  // gives up the exclusive hold as well
        serFd = -1;
    }
    link.rx.restart();
    link.lineMin = 0;
    // Every loss starts the back-off afresh: the first retry comes soon.
    link.reopenDelayMs = link.timing.reopenMinMs;
    link.nextReopenMs = nowMs() + link.reopenDelayMs;
}

void dornManager::tryReopen(uint64_t now) {
    // The first failure of an episode is SerialConfig's line with its reason; the others are
    // counted here.
    int fd = mSerconf != nullptr ? mSerconf->connect(serBusPort, !reopenLog.active()) : -1;
    int err = errno;
    if (fd >= 0 && !adoptPort(fd)) {
        err = errno;
        // Said at the first attempt of an episode, as a failed open is; the later ones are counted.
        if (!reopenLog.active())
            error("Serial port %s opened again but cannot be made non-blocking: %s\n", serBusPort,
                  strerror(err));
        fd = -1;  // a failed re-open: retried after the back-off
    }
    if (fd >= 0) {
        link.stats.reopens++;
        if (const uint64_t failed = reopenLog.ended())
            info("Serial port %s open again after %llu failed attempts\n", serBusPort,
                 static_cast<unsigned long long>(failed));
        else
            info("Serial port %s open again\n", serBusPort);
        captureEvent(exchangefile::Kind::Reopen, 0, 0, serBusPort);
        link.rx.restart();
        link.lineMin = 0;
        gatherOnLine();
    } else {
        reopenFailed(now, err);
        link.reopenDelayMs = std::min(link.reopenDelayMs * 2, link.timing.reopenMaxMs);
        link.nextReopenMs = now + link.reopenDelayMs;
    }
}

// A re-open attempt failed: once a period a line that counts the attempts of the episode.
void dornManager::reopenFailed(uint64_t now, int err) {
    if (reopenLog.occurred(now, link.timing.repeatMs) == qlog::RepeatLimit::Say::Summary)
        error(
            "Serial port %s still cannot be opened: %llu attempts failed so far (the last: "
            "%s)\n",
            serBusPort, static_cast<unsigned long long>(reopenLog.total()), strerror(err));
}

bool dornManager::adoptPort(int fd) {
    // A blocking descriptor would let one write hold the transmit thread for as long as the
    // line stalls: such a port is not used at all.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || link.lineSetFlags(fd, flags | O_NONBLOCK) != 0) {
        const int err = errno;
        qserial::SerialConfig::closePort(fd);  // gives up the exclusive hold as well
        errno = err;
        return false;
    }
    std::lock_guard<std::mutex> lock(fdMutex);
    serFd = fd;
    portGeneration++;
    return true;
}

void dornManager::logStatistics() {
    const LinkStats& s = link.stats;
    auto n = [](const std::atomic<uint64_t>& c) {
        return static_cast<unsigned long long>(c.load());
    };
    info(
        "Link statistics: poll frames %llu, set frames %llu, valid replies %llu, "
        "invalid replies (header %llu, terminator %llu, checksum %llu, closing byte "
        "%llu), rejected frame starts %llu, timeouts %llu, serial re-opens %llu, abandoned "
        "frames %llu\n",
        n(s.pollFrames), n(s.setFrames), n(s.validReplies), n(s.headerErrors),
        n(s.terminatorErrors), n(s.checksumErrors), n(s.closingErrors), n(s.rejectedStarts),
        n(s.timeouts), n(s.reopens), n(s.abandonedFrames));
    if (uint64_t dropped = stdoutLinesDropped()) {
        warn("Standard output lines dropped so far: %llu\n",
             static_cast<unsigned long long>(dropped));
    }
}

uint64_t dornManager::housekeeping(uint64_t now) {
    uint64_t next = kNever;
    if (link.everOnline && !link.offlineReported) {
        const uint64_t due = link.lastValidMs + link.timing.offlineMs;
        if (now >= due) {
            link.offlineReported = true;
            wentOffline(now);
            captureEvent(exchangefile::Kind::Offline);
            devA->setOnlineStatus(cObject::OBJ_STATUS_ALARM_SET);
        } else {
            next = std::min(next, due);
        }
    }
    if (link.offlineReported && !offlineLogged) {
        // A spell counted only, while the controller flapped, is logged once it lasts.
        const uint64_t due = link.lastValidMs + link.timing.offlineMs + link.timing.repeatMs;
        if (now >= due)
            logOffline(now, "");
        else
            next = std::min(next, due);
    }
    if (now >= link.nextStatsMs) {
        link.nextStatsMs = now + link.timing.statsIntervalMs;
        logStatistics();
    }
    next = std::min(next, link.nextStatsMs);
    if (serFd < 0) {
        if (now >= link.nextReopenMs)
            tryReopen(now);
        if (serFd < 0)
            next = std::min(next, link.nextReopenMs);
    }
    updateServiceStatus();
    return next;
}

void dornManager::updateServiceStatus() {
    if (!serviceManaged())
        return;
    std::string text = "port ";
    text += serBusPort;
    text += serFd >= 0 ? " open" : " lost";
    text += !link.everOnline       ? ", controller not answering yet"
            : link.offlineReported ? ", controller offline"
                                   : ", controller online";
    text += mObjectClient != nullptr && mObjectClient->connected() ? ", vexad connected"
                                                                   : ", vexad not connected";
    if (!lastSetText.empty())
        text += ", last " + lastSetText;
    if (text != statusText) {
        statusText = text;
        serviceStatus(text);
    }
}

void dornManager::handleSignals() {
    signalfd_siginfo si;
    while (read(link.signalFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGHUP) {
            cQlog::reopen();
            info("SIGHUP: log files re-opened\n");
        } else if (si.ssi_signo == SIGUSR1) {
            toggleCapture();
        } else if (!link.stopRequested.load()) {
            info("Stopping on %s\n", si.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
            serviceStopping();
            requestStop();
        }
    }
}

// Waits for the start delay without reading the port (bytes that arrive meanwhile wait in it),
// but not past a stop or a signal.
void dornManager::waitUntil(uint64_t deadlineMs) {
    for (uint64_t now = nowMs(); now < deadlineMs && !link.stopRequested.load(); now = nowMs()) {
        pollfd fds[2] = {{link.wakeFd, POLLIN, 0}, {link.signalFd, POLLIN, 0}};
        if (poll(fds, 2, monotonic::msUntil(deadlineMs, now)) <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            drainWakeUps(link.wakeFd);  // a set: picked up once the loop runs
        if (fds[1].revents & POLLIN)
            handleSignals();
    }
}

void dornManager::requestStop() {
    link.stopRequested.store(true);
    wakeFd(link.stopFd);  // never read: it stays readable for every later wait
    wakeFd(link.wakeFd);
}

bool dornManager::runExchange() {
    if (devA != nullptr) {
        // vexad's sets wake the loop at once: they are picked up without waiting for a byte.
        std::lock_guard<std::mutex> lock(devA->mMutex);
        const int fd = link.wakeFd;
        devA->setRecorded = [fd] { wakeFd(fd); };
    }
    if (!captureFile.empty())
        beginCapture(captureFile);  // before the first frame goes out
    link.rxBusySinceMs.store(nowMs(), std::memory_order_relaxed);
    const int created = pthread_create(&link.myThread, nullptr, request, this);
    if (created != 0) {
        error("Cannot start the transmit thread: %s\n", strerror(created));
        forgetSetWakeUp();
        return false;
    }
    waitUntil(nowMs() + link.timing.startDelayMs);
    serviceReady();
    startReceiving();
    while (!link.stopRequested.load(std::memory_order_relaxed))
        receiveStep();
    pthread_join(link.myThread, nullptr);
    forgetSetWakeUp();
    return true;
}

// The receive loop's clocks start once the start delay is over.
void dornManager::startReceiving() {
    const uint64_t started = nowMs();
    link.lastValidMs = started;
    link.nextStatsMs = started + link.timing.statsIntervalMs;
    link.reopenDelayMs = link.timing.reopenMinMs;
    link.lineMin = 0;
    if (serFd < 0) {
        error("Serial port %s could not be opened; retrying\n", serBusPort);
        link.nextReopenMs = started + link.reopenDelayMs;
    }
    gatherOnLine();
}

// One turn of the receive loop: the work that is due, a set to pick up, then a wait for the
// line, a wake-up or a signal, no longer than until the next due work.
void dornManager::receiveStep() {
    const uint64_t now = nowMs();
    const uint64_t next = housekeeping(now);
    pickUpSet();

    const int timeout = next == kNever ? -1 : monotonic::msUntil(next, now);
    pollfd fds[3] = {{serFd, POLLIN, 0}, {link.wakeFd, POLLIN, 0}, {link.signalFd, POLLIN, 0}};
    link.rxBusySinceMs.store(0, std::memory_order_relaxed);
    const int ready = poll(fds, 3, timeout);
    link.rxBusySinceMs.store(nowMs(), std::memory_order_relaxed);
    if (ready < 0) {
        const int err = errno;
        if (err == EINTR)
            return;
        // Never on to a blocking read: take the port down and let the back-off bring it back,
        // which also keeps a failing poll from spinning.
        error("poll() Error: %s\n", strerror(err));
        if (serFd >= 0)
            closePort(err);
        else
            waitUntil(nowMs() + link.timing.reopenMinMs);
        return;
    }
    if (ready == 0)
        return;  // due work runs at the top
    if (fds[2].revents & POLLIN)
        handleSignals();
    if (fds[1].revents & POLLIN)
        drainWakeUps(link.wakeFd);
    if (fds[0].revents & POLLNVAL)
        closePort(EBADF);
    else if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
        receiveFromPort();
}

void dornManager::forgetSetWakeUp() {
    if (devA != nullptr) {
        std::lock_guard<std::mutex> lock(devA->mMutex);
        devA->setRecorded = nullptr;
    }
}

int dornManager::start() {
    const bool ran = runExchange();
    capture::shutdown();  // a running capture's file complete before the process ends
    if (!ran)
        return -1;
    logStatistics();  // the whole run's counts, comparable with a capture's decoding
    // An ordered stop: the port closed, and what is still queued for vexad gets a moment to
    // go out.
    if (serFd >= 0) {
        std::lock_guard<std::mutex> lock(fdMutex);
        qserial::SerialConfig::closePort(serFd);
        serFd = -1;
    }
    if (mObjectClient != nullptr) {
        mObjectClient->flush(std::chrono::milliseconds(1000));
        mObjectClient->stop();
    }
    info("Stopped\n");
    return 0;
}
