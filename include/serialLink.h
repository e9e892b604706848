// The serial exchange's shell: the transmit thread and the receive loop. They do the I/O on the
// serial port (write, read, open, close), read the clock, and feed the exchange's rules
// (linkMachine.h) under one lock; what the rules decide they carry out: the samples and status
// published to vexad, the log lines, the capture's records, the service manager's status.
//
// Threads and guards:
//  - transmit thread (`request`): asks the machine for the cycle's frame, writes it, reports the
//    outcome, and sleeps in poll() on a timer set to the cycle's end (moved by an answer);
//  - receive loop (the main thread, `run`): reads the port, feeds the bytes and the time, picks
//    up vexad's sets, opens a lost port again, handles the signals; it sleeps in poll() on the
//    port, its wake-up descriptor and the signals until the machine's next due work;
//  - the messaging client's reader thread records sets in the device and wakes the loop.
// mTxMutex guards the machine, the armed timer and the events in hand. Under it the machine runs
// and the capture's records of its events are made (the capture's queue lock innermost); what
// else the events ask (publishing to vexad, log lines) is done once it is released. The set
// pick-up takes the device's mMutex under it. The manager's fdMutex is taken alone, for each
// write and when the receive loop closes or adopts a port. No lock is held across a blocking
// call.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cQlog.h"
#include "exchangeCapture.h"
#include "linkMachine.h"

class dornManager;

using proto::ExchangeTiming;
using proto::LinkStats;
using proto::TxFrame;
using proto::WriteResult;

// What became of one frame's write: the machine, the log and the capture take it from here.
struct TxOutcome {
    WriteResult result = WriteResult::NoPort;
    size_t sent = 0;  // bytes of the frame that reached the line
    int err = 0;      // Failed: the write's errno (0: the port was closed)

    // A frame the line took whole, outside a capture (the harnesses' cycles).
    static TxOutcome whole(size_t sent) {
        TxOutcome o;
        o.result = WriteResult::Whole;
        o.sent = sent;
        return o;
    }
};

class SerialLink : public cQlog, private proto::LinkSink {
public:
    explicit SerialLink(dornManager& manager);
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // ---- Set before the exchange runs ----
    void setTiming(const ExchangeTiming& timing);
    ExchangeTiming timing() const;
    int signalFd = -1;             // signalfd of SIGTERM, SIGINT, SIGHUP, SIGUSR1; -1: not ours
    void (*watchdog)() = nullptr;  // the service watchdog ping; null: the service manager's
    // The line's write and output flush: write(2) and tcflush(3), unless a test puts its own.
    ssize_t (*lineWrite)(int fd, const void* bytes, size_t n) = ::write;
    int (*lineFlush)(int fd, int queue) = ::tcflush;
    // Sets a new port's status flags: fcntl(2) F_SETFL, unless a test puts its own.
    int (*lineSetFlags)(int fd, int flags) = [](int fd, int flags) {
        return fcntl(fd, F_SETFL, flags);
    };
    // The event and timer descriptors could be made: without them the threads could not wake
    // each other or stop.
    bool ready() const { return wakeFd >= 0 && stopFd >= 0 && mTimerFd >= 0; }

    // ---- The exchange ----
    // The transmit thread and the receive loop until a stop is requested. False (and logged)
    // when the transmit thread cannot be started.
    bool run();
    // Ends run from any thread (and from the signal path).
    void requestStop();
    bool stopping() const { return stopRequested.load(std::memory_order_relaxed); }

    // ---- Steps of the loops, which every harness (the golden exchanges, the fuzz targets, the
    // benchmarks) calls alike; each takes the lock ----
    // Bytes read from the line.
    void receiveBytes(const uint8_t* bytes, size_t n);
    // vexad's requested sets into the pending set.
    void pickUpSet();
    // The frame of a cycle that begins now, and (`cycleEnd`) when the cycle ends unanswered.
    TxFrame nextFrame(uint64_t* cycleEnd = nullptr);
    // What became of it: the machine, the log, the capture.
    void frameWritten(const TxOutcome& outcome);
    // Work due by time, the re-open of a closed port included; returns when it is due next.
    uint64_t housekeeping(uint64_t nowMs);
    // The port is lost (`err`, 0 for end of file): closed, and re-opened after the back-off.
    void closePort(int err);
    // Takes a newly opened port into use: non-blocking, so that neither thread ever waits in a
    // read or a write, and counted as a new line for the transmit thread. A port that cannot be
    // made non-blocking is closed and not taken: false, with errno.
    bool adoptPort(int fd);
    // Starts a capture whose start record also gives the rules' timing and, for a capture of a
    // `running` exchange, the state it begins from (linkMachine.h); false when one runs.
    bool startCapture(capture::Settings settings, bool running);
    // The whole run's counts in one line (also at the stop).
    void logStatistics();

    // ---- What the machine holds, read under the lock ----
    LinkStats stats() const;
    proto::PendingSet pending() const;
    // The rules' state as at start-up (the fuzz targets' and benchmarks' fresh runs).
    void resetState() {
        std::lock_guard<std::mutex> lock(mTxMutex);
        mMachine.reset();
    }
    // The machine itself, for tests that look at more of it.
    template <class F>
    auto inspect(F f) const {
        std::lock_guard<std::mutex> lock(mTxMutex);
        return f(mMachine);
    }

    // The transmit thread's body; `arg` is the SerialLink.
    friend void* request(void* arg);

private:
    // What an event asks of the shell, with a copy of what it points to.
    struct Effect {
        proto::LinkEvent e{proto::LinkEvent::Statistics};
        uint8_t data[kFrameSize];  // ReplyValid: the data block; SetFrameBuilt: the frame
        uint8_t len = 0;           // SetFrameBuilt: the frame's length
        uint8_t status = 0;        // ReplyValid: the reply's status byte
    };
    template <class Step>
    void feed(Step step);
    void onEvent(const proto::LinkEvent& e) override;
    void perform(const Effect& f);
    void onReply(const Effect& f);
    void onSet(const proto::LinkEvent& e);
    void onTransmit(const Effect& f);
    void onPort(const proto::LinkEvent& e);
    void logOffline(const proto::LinkEvent& e);
    void logStatistics(const LinkStats& s);
    void record(const proto::LinkEvent& e);

    void transmitLoop();
    TxOutcome writeFrame(const TxFrame& frame, uint64_t deadlineMs, bool& flushFirst);
    bool wait_tx_ready();
    void armTimer();
    void startReceiving();
    void receiveStep();
    void receiveFromPort();
    void waitUntil(uint64_t deadlineMs);
    void handleSignals();
    void tryReopen(uint64_t nowMs, bool firstOfEpisode);
    void gatherOnLine();
    void updateServiceStatus();
    void forgetSetWakeUp();

    dornManager& m;
    // Guards the machine and the sink's state below; see the file comment.
    mutable std::mutex mTxMutex;
    proto::LinkMachine mMachine;
    const int mTimerFd;            // timerfd: readable at the cycle's end; -1 when not made
    uint64_t mArmedEnd = 0;        // the cycle's end the timer is set to
    std::vector<Effect> mEffects;  // the events of the machine's call in hand, to be performed
    uint64_t mStepUs = 0;          // the clock's reading for the step in hand (monotonic µs)
    capture::TxTicket mTxTicket;   // the cycle's frame's tx record in a running capture
    int mReopenErr = 0;            // the last failed re-open's errno, for its summary line
    LinkStats mStatsDue;           // the counts when the statistics line came due (receive loop)
    std::string mLastSetText;      // the last set-point written, for the service status
    std::string mStatusText;       // the last STATUS= sent to the service manager

public:
    std::atomic<bool> stopRequested{false};  // ends both threads
    const int wakeFd;      // eventfd: wakes the receive loop (a set recorded, a stop)
    const int stopFd;      // eventfd: readable once a stop is requested (the transmit wait)
    pthread_t myThread{};  // the transmit thread

private:
    // When the receive loop left its wait, 0 while it waits: the transmit thread pings the
    // service watchdog only while the loop is waiting or busy for a short time.
    std::atomic<uint64_t> mRxBusySinceMs{0};
    // The bytes the frame being gathered lacks, as the last step left it: the size of the next
    // read and of the line's VMIN, without the lock.
    std::atomic<int> mRxWanted{kFrameSize};
    // Receive loop only.
    int mLineMin = 0;        // VMIN set on the tty; 0: not known, -1: no tty
    termios mLineTermios{};  // the tty's settings, read once per open
};

void* request(void* arg);
