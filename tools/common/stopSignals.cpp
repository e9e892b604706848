#include "stopSignals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace toolcommon {

StopSignals::StopSignals() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) == 0)
        mFd = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
}

StopSignals::~StopSignals() {
    if (mFd >= 0)
        close(mFd);
}

}  // namespace toolcommon
