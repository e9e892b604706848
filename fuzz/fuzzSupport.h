// Shared set-up of the libFuzzer targets: quiet logging, a scratch configuration root, and a
// client that keeps nothing but what the checks need.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cObjectClient.h"
#include "cObjectList.h"

namespace fuzzsupport {

// Every category logs into a discarding appender at DEBUG: the formatting runs as in a traced
// daemon, but nothing reaches a terminal or a file. libxml2's parser messages are dropped too.
void quietLogging();

// Creates a private directory below $TMPDIR, makes it the working directory (the daemon's test
// root "etc/vexa" is relative to it) and creates etc/vexa/borl1d/devices/ in it. Once per
// process; returns the directory.
const std::string& enterScratchRoot();

// Writes `size` bytes to `path`, replacing the file.
void writeBytes(const std::string& path, const uint8_t* data, size_t size);

// Stops the fuzzer with a message when a check fails: libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* what, const std::string& detail = std::string());
#define FUZZ_CHECK(cond, detail)                  \
    do {                                          \
        if (!(cond))                              \
            ::fuzzsupport::fail(#cond, (detail)); \
    } while (0)

// Encodes every message it is given (as the real client would before queueing it) and keeps
// the type and object count of each; it never connects.
class EncodingClient : public cObjectClient {
public:
    struct Sent {
        uint8_t type;
        int objects;
    };
    void send(cObjectList* message) override;
    std::vector<Sent> sent;
};

}  // namespace fuzzsupport
