// Wire codec: one message as one JSON line (without the line end). Shared by the client and
// by the console peer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class cObjectList;

namespace vexaobj {

// Longest accepted line, newline included.
constexpr size_t kMaxLineBytes = 65536;

// The message with every field of each object's type.
std::string encodeMessage(cObjectList& message);
// The same, appended to `out`.
void appendMessage(cObjectList& message, std::string& out);

// One value as the wire writes it, appended to `out`: a float (shortest text that reads back,
// "null" when not finite), text as a JSON string.
void appendWireFloat(float value, std::string& out);
void appendWireText(const char* text, std::string& out);

// Decodes one line into `out` (which must be empty), creating the objects with new; the caller
// deletes them with deleteObjects(). On a rejected line returns false, leaves `out` empty and
// puts the reason into `reason`.
bool decodeMessage(const std::string& line, cObjectList& out, std::string& reason);

// The first `limit` bytes of a line for a log line: printable ASCII as it is, every other byte
// as \xNN, and "..." when the line was cut.
std::string printableExcerpt(const std::string& line, size_t limit = 200);

// Cuts a TCP byte stream into lines. A trailing "\r" is removed. A line longer than
// kMaxLineBytes (newline included) is reported once, as soon as it crosses the limit, with
// its first bytes, and the rest of it is skipped up to its newline.
class LineFramer {
public:
    struct Line {
        std::string text;       // the line without its end, or the start of an over-long one
        bool overlong = false;  // true: the line was discarded for its length
    };

    // Appends `n` bytes; every line completed by them is appended to `out`.
    void feed(const char* data, size_t n, std::vector<Line>& out);
    // Forgets a partial line (a new connection starts a new stream).
    void reset();
    // True while a line has been started and not ended.
    bool midLine() const { return !mPartial.empty() || mDiscarding; }

private:
    std::string mPartial;
    bool mDiscarding = false;
};

}  // namespace vexaobj
