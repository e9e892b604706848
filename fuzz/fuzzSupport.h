// The fuzz targets' side of the test toolkit (tests/support): quiet logging, a private
// configuration root, and checks that stop the fuzzer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "cObjectList.h"

class dornManager;

namespace fuzzsupport {

// Every category logs into a discarding appender at DEBUG: the formatting runs as in a traced
// daemon, but nothing reaches a terminal or a file. libxml2's parser messages are dropped too.
void quietLogging();

// The daemon's configuration root of this process: a private directory below $TMPDIR holding
// an empty etc/vexa (its device directory included). Once per process; returns the directory.
const std::string& enterScratchRoot();

// The process's one manager, made once on the private root, which has no configuration file:
// the manager keeps its defaults and its start-up scans find nothing. Logging stays quiet.
dornManager* manager();

// Writes `size` bytes to `path`, replacing the file.
void writeBytes(const std::string& path, const uint8_t* data, size_t size);

// Stops the fuzzer with a message when a check fails: libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* what, const std::string& detail = std::string());
#define FUZZ_CHECK(cond, detail)                  \
    do {                                          \
        if (!(cond))                              \
            ::fuzzsupport::fail(#cond, (detail)); \
    } while (0)

// Encodes a message as the real client would before queueing it; a message that does not give
// one line of JSON stops the fuzzer.
void checkEncodes(cObjectList& message);

}  // namespace fuzzsupport
