// Log files written through to the disk in the background (see logFileSync.cpp).
#pragma once

namespace qlog {

// Takes the files of the file appenders attached now: from here on each reaches the disk at once
// after a line of ERROR or worse, and otherwise within a minute of a line written to it; a file
// just created is in its directory on the disk. Called with the logging set-up's lock held, after
// every set-up and re-open, each of which syncs the files at once.
void syncLogFiles();

}  // namespace qlog
