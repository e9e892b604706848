// A site's configuration root as the daemon reads it, written for one test, and the daemon
// started on it. The tests' daemons read no other root: the binary is always given --conf-dir,
// the in-process managers are pointed at a scratch root first (inProcess.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct Site {
    std::string port;          // borl1d.device.port: the controller's line
    int vexadPort = 0;         // vexad.south.port; 0: a free port that nobody listens on
    uint32_t serial = 4711;    // <serial> of the device description
    bool logToStderr = false;  // every category, down to DEBUG, time-stamped on standard error
    std::string extra;         // further lines of borl1d.conf
};

// The text of borl1d.conf for `site`.
std::string siteConf(const Site& site);
// Writes the configuration root `root` (the daemon's --conf-dir): borl1d.conf, serialconf.xml
// naming the controller at the fifth port of its bus (the scan then succeeds and keeps the
// configured port) and borl1d/devices/borl100.xml.
void writeSite(const std::string& root, const Site& site);
// The serial-port assignment file writeSite writes.
extern const char* const kSerialconfFifthPort;

// Short timings for a daemon under test (--timing): no start delay, a cycle every 50 ms while
// replies flow, 300 ms for a reply, offline after 600 ms of silence, re-opening after 100 ms
// doubling up to 400 ms, vexad again after 100 ms (production: 1, 1, 2, 10, 1 to 30, 1 s).
extern const char* const kQuickTiming;

// A hostile XML file: one 30,000-character entity referenced 10,000 times in <root><element>,
// 60 KB that would expand to 300 MB.
std::string xmlEntityFlood(const std::string& root, const std::string& element);

// What --check-config answers for a site that is right in everything but perhaps its serial
// port: 0 when `port` exists on this machine, 1 (a problem to fix) when it does not.
int checkStatusFor(const std::string& port);

// The command line of the daemon built here, on the configuration root `root`, with `args`.
std::vector<std::string> daemonCommand(const std::string& root,
                                       const std::vector<std::string>& args = {});

}  // namespace testsupport
