// Logging for the benchmarks as in production: root priority INFO, and every line that passes is
// formatted and handed to an appender that writes nothing (the test toolkit's discarded logs),
// so the figures include the cost of the info lines but not of a terminal or a disk.
#pragma once

#include "logCapture.h"

namespace benchlogging {

// Once per process: later calls leave the set-up alone.
inline void productionLogging() {
    static const bool done = (testsupport::discardLogs(log4cpp::Priority::INFO), true);
    (void)done;
}

}  // namespace benchlogging
