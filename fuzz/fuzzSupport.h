// The fuzz targets' side of the test toolkit (tests/support): the process's one manager, file
// writing, and checks that stop the fuzzer. Quiet logging (testsupport::discardLogs) and the
// private configuration root (testsupport::privateConfRoot) come from the toolkit itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "cObjectList.h"

class dornManager;

namespace fuzzsupport {

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
