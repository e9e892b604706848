// Files that last through a power cut: the directory side of it, shared by the log files and
// the exchange capture, and the log files' own syncing.
#pragma once

#include <cstdint>
#include <string>

namespace qlog {

// The directory `file` lies in.
std::string dirOf(const std::string& file);

// Makes the entries of `dir` (a file created or renamed there) last through a power cut; the
// renames are atomic without it.
void syncDir(const std::string& dir);

// Syncs the log files now and waits for it, a few seconds at most: at the process's exit, which
// calls it once a log file is configured.
void syncLogFilesNow();
// How many times a log file has been synced.
uint64_t logFileSyncs();

}  // namespace qlog
