// Files that last through a power cut: the directory side of it, shared by the log files and
// the exchange capture.
#pragma once

#include <string>

namespace qlog {

// The directory `file` lies in.
std::string dirOf(const std::string& file);

// Makes the entries of `dir` (a file created or renamed there) last through a power cut; the
// renames are atomic without it.
void syncDir(const std::string& dir);

}  // namespace qlog
