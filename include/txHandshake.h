// The transmit handshake: the transmit thread's wait for an answer to the frame it sent, and the
// receive loop's signal that one came. mTxMutex guards the cycle's state below and nothing else;
// the cycle's end is also the deadline of a timer, so that the transmit thread sleeps in poll()
// until it is due instead of waking on a tick.
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>

struct TxHandshake {
    TxHandshake();  // creates the timer
    ~TxHandshake();
    TxHandshake(const TxHandshake&) = delete;
    TxHandshake& operator=(const TxHandshake&) = delete;

    // A frame is about to go out: the cycle ends `waitMs` from now unless an answer comes.
    // Returns that end.
    timespec startCycle(unsigned waitMs);

    pthread_mutex_t mTxMutex = PTHREAD_MUTEX_INITIALIZER;
    bool awaiting = false;  // a frame went out and no answer came yet
    bool answered = false;  // an answer came since the last frame
    timespec txDeadline{};  // when the cycle ends (monotonic), which txTimerFd is set to
    const int txTimerFd;    // timerfd: readable at the end of the cycle; -1 when not made
};

// The transmit side, after a frame went out: waits until the cycle ends, which is the wait
// time after the frame when no answer comes, or the pause after the answer; or until `stopFd`
// becomes readable and `stop` is set. True when the receive side answered within the wait time.
bool wait_tx_ready(TxHandshake& handshake, int stopFd, const std::atomic<bool>& stop);
// The receive side: an answer (a reply or a rejected frame start) arrived. The first one after
// a frame, while the wait time has not run out, moves the cycle's end to `pauseMs` from now;
// the transmit thread is not woken for it. A later one changes nothing.
void signal_tx(TxHandshake& handshake, unsigned pauseMs);
