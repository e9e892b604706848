// Reports to the service manager (its NOTIFY_SOCKET protocol). Every call does nothing when the
// daemon does not run under a service manager.
#pragma once

#include <string>

bool serviceManaged();                        // a notification socket was given
void serviceReady();                          // start-up is over, the exchange runs
void serviceWatchdog();                       // one transmit cycle went by (rate-limited)
void serviceStatus(const std::string& text);  // what the daemon does, for `systemctl status`
void serviceStopping();                       // an ordered stop has begun
