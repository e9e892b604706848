// Readiness and liveness reports to the service manager. No-ops when the daemon is built
// without systemd support or not run under systemd.
#pragma once

void serviceReady();     // start-up is over, the exchange runs
void serviceWatchdog();  // one transmit cycle went by
