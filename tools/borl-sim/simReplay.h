// The controller's side of a capture of the daemon, played back: each frame the daemon sends is
// answered with what the line brought after the same frame in the capture, at its captured delay,
// and a frame other than the captured one is said on a "replay diverged" line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "simLine.h"

namespace borlsim {

// Reads the capture from `files` (in any order, read as one in the order of their times; "-":
// standard input) into `out`, whose delays are `speed` times shorter (0: none). Returns 0, or the
// exit status after "borl-sim: FILE:LINE: what" on standard error: 65 for a malformed capture,
// 66 for a file that cannot be read. A file cut inside its last line is read up to there, with a
// warning.
int loadReplay(const std::vector<std::string>& files, unsigned long speed,
               std::unique_ptr<Answerer>& out);

}  // namespace borlsim
