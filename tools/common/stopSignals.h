// How a tool is stopped from outside: SIGTERM and SIGINT are blocked and read from a signalfd
// that the tool's poll loop watches, so the tool leaves its loop, tidies up (a link removed, a
// line closed) and exits 0 instead of dying half way. SIGPIPE is ignored: a reader that went
// away shows up as EPIPE on the write that finds it gone.
#pragma once

namespace toolcommon {

class StopSignals {
public:
    // Sets everything up; call it before any thread is started, so that no thread takes the
    // signals in place of the descriptor.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop signal has arrived; -1 when the set-up failed (errno tells why).
    int fd() const { return mFd; }

private:
    int mFd = -1;
};

}  // namespace toolcommon
