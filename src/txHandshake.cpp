#include "txHandshake.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "monotonicClock.h"

namespace {

// Sets the end of the cycle `ms` from now; mTxMutex held. Re-arming the timer also clears an
// expiry of the old deadline that the transmit thread has not seen yet.
void endCycleIn(TxHandshake& hs, unsigned ms) {
    hs.txDeadline = monotonic::deadlineIn(ms);
    itimerspec when{};
    when.it_value = hs.txDeadline;  // absolute, so never zero: a zero would disarm the timer
    timerfd_settime(hs.txTimerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

}  // namespace

TxHandshake::TxHandshake()
    : txTimerFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}

TxHandshake::~TxHandshake() {
    if (txTimerFd >= 0)
        close(txTimerFd);
}

timespec TxHandshake::startCycle(unsigned waitMs) {
    pthread_mutex_lock(&mTxMutex);
    answered = false;
    awaiting = true;
    endCycleIn(*this, waitMs);
    const timespec end = txDeadline;
    pthread_mutex_unlock(&mTxMutex);
    return end;
}

void signal_tx(TxHandshake& hs, unsigned pauseMs) {
    pthread_mutex_lock(&hs.mTxMutex);
    // Only the first answer to a frame counts, and only within the wait time: one that comes
    // later (the timer expired, the transmit thread has not yet seen it) leaves the cycle a
    // timeout. Answers in the pause change nothing.
    if (hs.awaiting && !monotonic::reached(hs.txDeadline)) {
        hs.awaiting = false;
        hs.answered = true;
        endCycleIn(hs, pauseMs);
    }
    pthread_mutex_unlock(&hs.mTxMutex);
}

bool wait_tx_ready(TxHandshake& hs, int stopFd, const std::atomic<bool>& stop) {
    pthread_mutex_lock(&hs.mTxMutex);
    // The deadline is looked at under the mutex, where the answer moves it; an answer moves it
    // only before it has passed, so an answer after the wait time never starts a pause.
    while (!stop.load(std::memory_order_relaxed) && !monotonic::reached(hs.txDeadline)) {
        pthread_mutex_unlock(&hs.mTxMutex);
        pollfd fds[2] = {{hs.txTimerFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        poll(fds, 2, -1);
        pthread_mutex_lock(&hs.mTxMutex);
    }
    hs.awaiting = false;
    const bool answered = hs.answered;
    pthread_mutex_unlock(&hs.mTxMutex);
    return answered;
}
