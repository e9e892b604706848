// What the frames of an exchange file say, decoded with the daemon's own code: its frame
// gatherer (ReplyGatherer), its reply checks (dornDecode), its frame builders (getBuffer) and the
// device's point table (points::). Pure apart from that: records in, entries and a summary out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dornManager.h"
#include "exchangeFile.h"
#include "southDevice.h"

namespace borldecode {

struct Entry {
    uint64_t t = 0;    // µs since the capture began
    size_t line = 0;   // line of the record that completed the frame
    bool tx = false;   // direction: written by the daemon (tx) or read from the line (rx)
    std::string kind;  // "poll", "set", "reply", "garbage"
    bool valid = false;
    std::string reason;  // invalid: "header", "terminator", "checksum", "end", ...
    std::string why;     // invalid: the daemon's own text for it (dornDecode::errorStr)
    int param = 0;       // set
    int value = 0;       // set
    int status = -1;     // reply: byte 3
    size_t bytes = 0;    // bytes the entry covers
    bool hasValues = false;
    float setpoints[points::kSetpoints] = {};
    float inputs[points::kInputs] = {};
};

// Something other than a frame that the capture recorded (the port, sets, online status).
struct Event {
    uint64_t t = 0;
    exchangefile::Kind kind;
    int param = 0;
    int value = 0;
    std::string text;
};

struct Summary {
    uint64_t txFrames = 0, polls = 0, setFrames = 0, txOther = 0;
    uint64_t rxFrames = 0, valid = 0, rejectedStarts = 0;
    std::map<std::string, uint64_t> invalid;          // by reason
    uint64_t unanswered = 0;                          // tx frames with nothing back before the next
    uint64_t longestSilenceUs = 0;                    // longest time without a byte from the line
    uint64_t silenceFromUs = 0;                       // where it began
    uint64_t records[exchangefile::kKindCount] = {};  // by kind (the events': sets, port, ...)
    uint64_t of(exchangefile::Kind kind) const { return records[static_cast<size_t>(kind)]; }
    uint64_t durationUs = 0;
    std::string start;     // the start record's fields
    bool fromLog = false;  // read from a DEBUG log: the daemon's dumped frames only
};

class Decoder {
public:
    Decoder();
    // Feeds the records of one file, in order.
    void feed(const exchangefile::Record& r);
    // Ends the input: the summary's last silence is counted to the last record.
    void finish();

    std::vector<Entry> entries;
    std::vector<Event> events;
    Summary summary;

private:
    void txFrame(const exchangefile::Record& r);
    void rxBytes(const exchangefile::Record& r);
    void replyFrame(const exchangefile::Record& r);
    void heard(uint64_t t);

    ReplyGatherer mGather;
    uint8_t mPoll[kFrameSize] = {};
    bool mAnswered = true;  // the last tx frame had an answer (or there was none yet)
    uint64_t mLastHeard = 0;
    uint64_t mLastT = 0;
};

// A daemon log with DEBUG frame dumps ("DORNBuffer(128): " then one "0x.." per record) turned
// into tx records; false when the text holds none.
bool fromDebugLog(std::istream& in, exchangefile::File& out);

// Output.
std::string textEntry(const Entry& e);
std::string textEvent(const Event& e);
std::string textSummary(const Summary& s);
std::string jsonEntry(const Entry& e);
std::string jsonSummary(const Summary& s);
// The capture drawn: inputs and set-points over time, one panel per unit, invalid frames,
// silences and sets marked on the time axis.
std::string svg(const Decoder& d, const std::string& title);

}  // namespace borldecode
