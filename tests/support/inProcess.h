// The daemon's code in this process: its configuration root and its process-wide exchange
// state, for in-process tests, fuzz targets and benchmarks.
#pragma once

#include <string>

class dornManager;

namespace testsupport {

// Points this process's daemon paths (what --conf-dir sets) at `root`. Call before creating a
// dornManager: the paths built into the library are the production ones.
void useConfRoot(const std::string& root);
// For fuzz targets and benchmarks, which have no scratch directory of a test: a private
// directory below $TMPDIR with an empty configuration root <dir>/etc/vexa (its device
// directory included), made the daemon's root once per process and removed at its normal exit.
// Returns <dir>.
const std::string& privateConfRoot();

// The exchange's state as at start-up: the capability to be published again (process-wide);
// with `manager`, no set pending in its link either.
void resetExchangeState(dornManager* manager = nullptr);

}  // namespace testsupport
