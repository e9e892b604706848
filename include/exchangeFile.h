// The exchange file: one text format for field captures of the serial line, their replay, their
// decoding, and the golden exchange tests (docs/capture.md). Line 1 is the version line,
// "borl-exchange 1 wall=<UTC time of t=0>"; then one record per line, "<µs> <kind> <fields>",
// timestamps monotonic from the capture's start; "#" lines and empty lines are comments.
//
// Pure: text in, records out and back; no descriptor, no logging, no daemon code, so that the
// daemon's capture, the tools and the fuzz target share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace exchangefile {

constexpr int kVersion = 1;
constexpr const char* kMagic = "borl-exchange";
constexpr size_t kMaxLine = 4096;   // longer lines are refused
constexpr size_t kMaxBytes = 1024;  // bytes of one tx or rx record
constexpr size_t kMaxText = 256;    // free text of one record (a lost port's reason, start fields)

enum class Kind {
    Start,         // start version=V port=P line=L serial=S   (the daemon's start, or a capture's)
    Tx,            // tx <hex>...   bytes written to the port
    Rx,            // rx <hex>...   bytes read from it, as each read returned them
    Open,          // open <port>   the port opened
    Lost,          // lost <reason> the port lost
    Reopen,        // reopen <port> the port open again
    SetRecorded,   // set-recorded <param> <value>   a set from vexad became the pending set
    SetConfirmed,  // set-confirmed <param> <value>
    SetGivenUp,    // set-given-up <param> <value>
    Online,        // online
    Offline,       // offline
};
constexpr size_t kKindCount = static_cast<size_t>(Kind::Offline) + 1;

struct Record {
    uint64_t t = 0;  // µs since the capture began
    Kind kind = Kind::Online;
    std::vector<uint8_t> bytes;  // tx, rx
    int param = 0;               // set-*
    int value = 0;               // set-*, 0..255
    std::string text;            // start: its fields; open, reopen: the port; lost: the reason
    size_t line = 0;             // line number in the file it was read from (0: not read)
};

const char* kindName(Kind kind);

// The version line for a capture whose t=0 is `wallUs` (µs since the epoch, UTC).
std::string header(uint64_t wallUs);
// One record as a line, without the newline. Text fields have their line breaks replaced.
std::string format(const Record& record);
// The same appended to `out`, with the newline, from the record's parts (the capture's writer,
// which keeps no Record).
void append(std::string& out, uint64_t t, Kind kind, const uint8_t* bytes, size_t n, int param,
            int value, const std::string& text);
// "version=1.1.0 port=/dev/ttyS2 ..." from pairs; blanks in values become "_".
std::string startFields(const std::vector<std::pair<std::string, std::string>>& fields);

// Parses one record line (not the version line, not a comment). False with `why` set.
bool parse(const std::string& line, Record& out, std::string& why);

struct File {
    uint64_t wallUs = 0;  // from the version line
    std::vector<Record> records;
};

// Reads a whole exchange file: the version line, then records with non-decreasing timestamps.
// False with `line` (1-based) and `why` set at the first problem.
bool read(std::istream& in, File& out, size_t& line, std::string& why);
// The same from memory (the fuzz target).
bool read(const std::string& text, File& out, size_t& line, std::string& why);

// Hex text of bytes, "41 49 4F".
std::string hex(const uint8_t* bytes, size_t n);

}  // namespace exchangefile
