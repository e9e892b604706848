// Readiness and liveness reports to the service manager through its notification socket.
// Built without libsystemd both calls do nothing. Built with it, each call is one getenv when
// the daemon does not run under a service manager (NOTIFY_SOCKET unset), so the watchdog ping
// costs next to nothing on a unit started by hand or by the tests.
#include "serviceNotify.h"

#ifdef BORL1D_SYSTEMD
#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace {

// Sends one state line; failures are not the daemon's concern (the service manager restarts it
// when the watchdog pings stop arriving, which is the point of the pings).
void notify(const char* state) {
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;
    // 0: keep NOTIFY_SOCKET, the watchdog pings need it for the life of the process.
    sd_notify(0, state);
}

}  // namespace

void serviceReady() {
    notify("READY=1");
}
void serviceWatchdog() {
    notify("WATCHDOG=1");
}

#else

void serviceReady() {}
void serviceWatchdog() {}

#endif
