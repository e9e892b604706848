// The serial exchange with the controller: the transmit thread that sends a poll or set frame
// once per cycle, the receive loop that gathers and decodes reply frames byte by byte, the
// handshake between the two, and the write-back of set-points with its confirmation.
//
// Threads and guards:
//  - main thread: receive loop, decoding, the device's updater, set pick-up and confirmation,
//    opening and closing the serial port;
//  - transmit thread (`request`): frame building and `write`, the handshake wait;
//  - the messaging client's reader thread: vexad's messages (records sets in the device).
// mTxMutex/mTxCond carry only the handshake. mSetMutex guards the pending set. gLinkMutex guards
// the descriptor against being closed while the transmit thread writes to it. The device's own
// mutex guards setValues/portNum. Order when nested: device mutex, then mSetMutex.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <iostream>

#include "dornDecode.h"
#include "dornManager.h"
#include "serviceNotify.h"
#include "southDevice.h"

uint8_t changeVal = 0;
int changePort = 0;
bool changeVal_status = false;
std::mutex mSetMutex;

ExchangeTiming exchangeTiming;
LinkStats linkStats;

namespace {

std::mutex gLinkMutex;                     // serFd against close during a write
const std::atomic<bool>* gStop = nullptr;  // ends both threads (in-process tests)

// Last time the receive loop went round (it does at least every idleTickMs, bytes or not). The
// transmit thread pings the service watchdog only while this is recent, so a hung receive loop
// gets the daemon restarted while a silent controller or a lost port does not.
std::atomic<uint64_t> gRxHeartbeatMs{0};
constexpr uint64_t kRxHungMs = 10000;

bool stopping() {
    return gStop != nullptr && gStop->load(std::memory_order_relaxed);
}

uint64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Sleeps up to `ms`, in short steps so that a stop request is seen promptly.
void pause(unsigned ms) {
    uint64_t end = nowMs() + ms;
    for (uint64_t now = nowMs(); now < end && !stopping(); now = nowMs()) {
        uint64_t step = end - now < 50 ? end - now : 50;
        usleep(static_cast<useconds_t>(step * 1000u));
    }
}

// Errors after which the descriptor is of no further use: the port is closed and re-opened.
bool portLost(int err) {
    return err == EIO || err == EBADF || err == ENXIO || err == ENODEV || err == EPIPE;
}

// The state of the pending set as one consistent snapshot.
struct PendingSet {
    bool status;
    int port;
    uint8_t value;
};

PendingSet pendingSet() {
    std::lock_guard<std::mutex> lock(mSetMutex);
    return PendingSet{changeVal_status, changePort, changeVal};
}

}  // namespace

void signal_tx() {
    pthread_mutex_lock(&mTxMutex);
    pthread_cond_signal(&mTxCond);
    pthread_mutex_unlock(&mTxMutex);
}

bool wait_tx_ready() {
    pthread_mutex_lock(&mTxMutex);
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += exchangeTiming.waitMs / 1000;
    deadline.tv_nsec += static_cast<long>(exchangeTiming.waitMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    int rc = pthread_cond_timedwait(&mTxCond, &mTxMutex, &deadline);
    pthread_mutex_unlock(&mTxMutex);
    return rc == 0;
}

// Transmit thread. The manager travels as the thread argument (the descriptor itself can change
// when a lost port is re-opened). One frame per cycle: the set frame while a set is pending,
// otherwise the poll frame; then the handshake wait, and a one-second pause after an answer.
void* request(void* arg) {
    dornManager* manager = static_cast<dornManager*>(arg);
    log4cpp::Category& log = cQlog::getLog("dornManager");
    log4cpp::Category& waitLog = cQlog::getLog("dornManger");

    uint8_t buffer[kFrameSize];
    memset(buffer, 0, sizeof buffer);
    const uint8_t len = getBuffer(buffer);
    uint8_t setBuffer[kFrameSize];

    while (!stopping()) {
        const PendingSet pending = pendingSet();
        const uint8_t* frame = buffer;
        uint8_t frameLen = len;
        if (pending.status) {
            memset(setBuffer, 0, sizeof setBuffer);
            log.debug("Port %d changeVal: 0x%02X\n", pending.port, pending.value);
            frameLen = getBuffer(setBuffer, pending.value, pending.port);
            frame = setBuffer;
        }

        bool written = false;
        {
            std::lock_guard<std::mutex> lock(gLinkMutex);
            // While the port is closed nothing is written; the receive loop re-opens it.
            if (manager->serFd >= 0) {
                ssize_t write_len = write(manager->serFd, frame, frameLen);
                int err = errno;
                written = true;
                if (write_len == 0) {
                    log.debug("No data written\n");
                } else if (write_len < 0) {
                    log.debug("Serial write() error: %s\n", strerror(err));
                } else {
                    log.debug("%d\n", static_cast<int>(write_len));
                    (pending.status ? linkStats.setFrames : linkStats.pollFrames)++;
                }
            }
        }
        linkStats.txCycles++;
        if (nowMs() - gRxHeartbeatMs.load(std::memory_order_relaxed) < kRxHungMs)
            serviceWatchdog();

        if (wait_tx_ready()) {
            pause(exchangeTiming.pauseMs);
        } else if (written) {
            waitLog.debug("TX(write thread) timed out.\n");
            linkStats.timeouts++;
        }
    }
    return nullptr;
}

// Pick-up: moves a set requested by vexad into the pending set. The newest set (the entry of
// portNum) always goes first and replaces a pending one; a displaced set for another port goes
// back into setValues so it is written afterwards. Further entries (several ports, or every
// port at once) are taken one at a time, each only once the one before has been confirmed.
// Only values the controller's byte can hold are written; nothing else is ever invented.
void dornManager::pickUpSet() {
    if (devA == nullptr)
        return;
    std::lock_guard<std::mutex> deviceLock(devA->mMutex);
    if (devA->setValues.empty())
        return;

    std::lock_guard<std::mutex> setLock(mSetMutex);
    auto entry = devA->setValues.find(devA->portNum);
    if (entry == devA->setValues.end()) {
        if (changeVal_status)
            return;  // the next waits until the pending set is confirmed
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
    if (changeVal_status && changePort != port &&
        devA->setValues.find(changePort) == devA->setValues.end()) {
        devA->setValues.emplace(changePort, static_cast<float>(changeVal));
    }
    changePort = port;
    changeVal = static_cast<uint8_t>(static_cast<uint32_t>(value));
    debug("changeVal: 0x%02X\n", changeVal);
    changeVal_status = true;
    info("Writing set-point %d = %u to the controller\n", changePort,
         static_cast<unsigned>(changeVal));
}

// Confirmation after a valid reply: the pending set ends when the controller reports the value
// at data block index port - 1.
void dornManager::confirmSet(const uint8_t* data) {
    const PendingSet pending = pendingSet();
    if (!pending.status)
        return;
    std::cout << "Change val status statement" << std::endl;
    if (pending.port < 1 || pending.port > kFrameSize)
        return;
    const int i = pending.port - 1;
    debug("decodebuff[%d] = 0x%02X\n", i, data[i]);
    if (data[i] != pending.value)
        return;

    std::cout << "changeVal reset" << std::endl;
    {
        std::lock_guard<std::mutex> lock(mSetMutex);
        changeVal_status = false;
        changeVal = 0;
        changePort = 0;
    }
    info("Set-point %d = %u confirmed by the controller\n", pending.port,
         static_cast<unsigned>(pending.value));
}

void FrameGatherer::restart() {
    memset(respbuff, 0, sizeof respbuff);
    idx = 0;
}

FrameGatherer::Result FrameGatherer::push(uint8_t byte) {
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

namespace {

void countInvalid(const char* reason) {
    if (reason == nullptr)
        return;
    if (strstr(reason, "Header")) {
        linkStats.headerErrors++;
    } else if (strstr(reason, "Terminator")) {
        linkStats.terminatorErrors++;
    } else if (strstr(reason, "Checksum")) {
        linkStats.checksumErrors++;
    } else {
        linkStats.closingErrors++;
    }
}

}  // namespace

bool dornManager::handleFrame(uint8_t* respbuff) {
    memset(decodebuff, 0, sizeof decodebuff);
    dornDecode* decObj = new dornDecode(0x41, 0x49, 0x4F);
    const bool valid = decObj->decoder(respbuff, decodebuff);
    if (valid) {
        debug("updating vexa objects\n");
        devA->updater(mObjectClient, decodebuff);
        devA->setOnlineStatus(cObject::OBJ_STATUS_ALARM_CLEAR);
        linkStats.validReplies++;
        lastValidMs = nowMs();
        everOnline = true;
        if (offlineReported) {
            offlineReported = false;
            info("Controller answers again: device online\n");
        }
        // Only a valid reply can confirm a set: an invalid one leaves zeros behind.
        confirmSet(decodebuff);
    } else {
        error("Received frame invalid: %s\n", decObj->errorStr);
        countInvalid(decObj->errorStr);
    }
    delete decObj;
    return valid;
}

void dornManager::runExchange(const std::atomic<bool>& stop) {
    gStop = &stop;
    log4cpp::Category& log = cQlog::getLog("dornManager");

    FrameGatherer rx;
    uint8_t rec_byte[kFrameSize];
    memset(rec_byte, 0, sizeof rec_byte);
    unsigned reopenDelayMs = exchangeTiming.reopenMinMs;  // current re-open back-off
    uint64_t nextReopenMs = 0;                            // when to try the port again

    gRxHeartbeatMs.store(nowMs(), std::memory_order_relaxed);
    pthread_create(&myThread, nullptr, request, this);
    pause(exchangeTiming.startDelayMs);
    serviceReady();

    const uint64_t started = nowMs();
    lastValidMs = started;
    uint64_t nextStatsMs = started + exchangeTiming.statsIntervalMs;
    if (serFd < 0) {
        error("Serial port %s could not be opened; retrying\n", serBusPort);
        nextReopenMs = started + reopenDelayMs;
    }

    auto closePort = [&](int err) {
        error("Serial port %s lost: %s\n", serBusPort, err ? strerror(err) : "end of file");
        {
            std::lock_guard<std::mutex> lock(gLinkMutex);
            close(serFd);
            serFd = -1;
        }
        rx.restart();
        reopenDelayMs = exchangeTiming.reopenMinMs;
        nextReopenMs = nowMs() + reopenDelayMs;
    };

    // Work that does not wait for a byte: offline detection, statistics, re-opening the port.
    auto housekeeping = [&]() {
        const uint64_t now = nowMs();
        if (everOnline && !offlineReported && now - lastValidMs >= exchangeTiming.offlineMs) {
            error("No valid reply from the controller for %u s: device offline\n",
                  static_cast<unsigned>((now - lastValidMs) / 1000));
            offlineReported = true;
            devA->setOnlineStatus(cObject::OBJ_STATUS_ALARM_SET);
        }
        if (now >= nextStatsMs) {
            nextStatsMs = now + exchangeTiming.statsIntervalMs;
            info(
                "Link statistics: poll frames %llu, set frames %llu, valid replies %llu, "
                "invalid replies (header %llu, terminator %llu, checksum %llu, closing byte "
                "%llu), rejected frame starts %llu, timeouts %llu, serial re-opens %llu\n",
                static_cast<unsigned long long>(linkStats.pollFrames.load()),
                static_cast<unsigned long long>(linkStats.setFrames.load()),
                static_cast<unsigned long long>(linkStats.validReplies.load()),
                static_cast<unsigned long long>(linkStats.headerErrors.load()),
                static_cast<unsigned long long>(linkStats.terminatorErrors.load()),
                static_cast<unsigned long long>(linkStats.checksumErrors.load()),
                static_cast<unsigned long long>(linkStats.closingErrors.load()),
                static_cast<unsigned long long>(linkStats.rejectedStarts.load()),
                static_cast<unsigned long long>(linkStats.timeouts.load()),
                static_cast<unsigned long long>(linkStats.reopens.load()));
        }
        if (serFd < 0 && now >= nextReopenMs) {
            int fd = mSerconf != nullptr ? mSerconf->connect(serBusPort) : -1;
            if (fd >= 0) {
                {
                    std::lock_guard<std::mutex> lock(gLinkMutex);
                    serFd = fd;
                }
                linkStats.reopens++;
                info("Serial port %s open again\n", serBusPort);
                rx.restart();
            } else {
                reopenDelayMs = std::min(reopenDelayMs * 2, exchangeTiming.reopenMaxMs);
                nextReopenMs = now + reopenDelayMs;
            }
        }
    };

    while (!stop.load(std::memory_order_relaxed)) {
        gRxHeartbeatMs.store(nowMs(), std::memory_order_relaxed);
        pickUpSet();

        if (serFd < 0) {
            housekeeping();
            pause(exchangeTiming.idleTickMs);
            continue;
        }

        // Wait for a byte, but not for ever: silence must still be noticed.
        pollfd pfd{serFd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(exchangeTiming.idleTickMs)) == 0) {
            housekeeping();
            continue;
        }

        ssize_t rxLen = read(serFd, rec_byte, 1);
        if (rxLen < 0) {
            int err = errno;
            log.debug("read() Error: %s\n", strerror(err));
            if (portLost(err)) {
                closePort(err);
            } else {
                usleep(10);
            }
            continue;
        }
        if (rxLen == 0) {
            closePort(0);
            continue;
        }

        switch (rx.push(rec_byte[0])) {
            case FrameGatherer::More:
                break;
            case FrameGatherer::Rejected:
                linkStats.rejectedStarts++;
                signal_tx();
                break;
            case FrameGatherer::Complete:
                handleFrame(rx.respbuff);
                signal_tx();
                // Stale bytes of an invalid frame must never complete the next one.
                rx.restart();
                housekeeping();
                break;
        }
    }

    pthread_join(myThread, nullptr);
    gStop = nullptr;
}

int dornManager::start() {
    static const std::atomic<bool> never{false};
    runExchange(never);
    return 1;
}
