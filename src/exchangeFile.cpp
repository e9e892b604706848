// The exchange file's reader and writer (docs/capture.md). Every input is treated as hostile:
// lengths are bounded, numbers are checked for range, and a problem is named with its line.
#include "exchangeFile.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

namespace exchangefile {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Next blank-separated word of `s` from `pos`; empty at the end.
std::string word(const std::string& s, size_t& pos) {
    while (pos < s.size() && isBlank(s[pos]))
        ++pos;
    const size_t begin = pos;
    while (pos < s.size() && !isBlank(s[pos]))
        ++pos;
    return s.substr(begin, pos - begin);
}

std::string rest(const std::string& s, size_t pos) {
    while (pos < s.size() && isBlank(s[pos]))
        ++pos;
    size_t end = s.size();
    while (end > pos && isBlank(s[end - 1]))
        --end;
    return s.substr(pos, end - pos);
}

// Decimal number, digits only, at most `max`.
bool number(const std::string& w, uint64_t max, uint64_t& out) {
    if (w.empty() || w.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : w) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

std::string oneLine(const std::string& s) {
    std::string out = s.substr(0, kMaxText);
    std::replace_if(out.begin(), out.end(), isControl, ' ');
    return out;
}

// " 41 49 4F": each byte after a blank, sized once and filled in place (the capture's writer
// formats a frame a cycle).
void appendHex(std::string& s, const uint8_t* bytes, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    const size_t at = s.size();
    s.resize(at + 3 * n);
    char* p = &s[at];
    for (size_t i = 0; i < n; ++i) {
        *p++ = ' ';
        *p++ = kDigits[bytes[i] >> 4];
        *p++ = kDigits[bytes[i] & 15];
    }
}

// "2026-12-08T08:55:00.123456Z"
std::string wallText(uint64_t wallUs) {
    const time_t secs = static_cast<time_t>(wallUs / 1000000u);
    tm utc{};
    gmtime_r(&secs, &utc);
    char buf[64];
    const size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(buf + n, sizeof buf - n, ".%06uZ", static_cast<unsigned>(wallUs % 1000000u));
    return buf;
}

bool parseWall(const std::string& text, uint64_t& out) {
    tm utc{};
    unsigned frac = 0;
    char z = 0;
    int consumed = 0;
    if (text.size() != 27 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6u%c%n", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &frac, &z,
                    &consumed) != 8 ||
        consumed != 27 || z != 'Z' || utc.tm_year < 1970 || utc.tm_year > 9999 || utc.tm_mon < 1 ||
        utc.tm_mon > 12 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 ||
        utc.tm_min > 59 || utc.tm_sec > 60 || frac > 999999) {
        return false;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const time_t secs = timegm(&utc);
    if (secs < 0)
        return false;
    out = static_cast<uint64_t>(secs) * 1000000u + frac;
    return true;
}

// The fields of a record after its kind, from `pos`, into `r`: what is wrong with them, or "".
using Fields = std::string (*)(const std::string& line, size_t pos, Record& r);

// tx, rx: one or more bytes, each two hex digits.
std::string byteFields(const std::string& line, size_t pos, Record& r) {
    for (std::string w = word(line, pos); !w.empty(); w = word(line, pos)) {
        const int hi = w.size() == 2 ? hexDigit(w[0]) : -1;
        const int lo = w.size() == 2 ? hexDigit(w[1]) : -1;
        if (hi < 0 || lo < 0)
            return "byte \"" + oneLine(w).substr(0, 16) + "\" is not two hex digits";
        if (r.bytes.size() >= kMaxBytes)
            return "record with more than " + std::to_string(kMaxBytes) + " bytes";
        r.bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return r.bytes.empty() ? "record without bytes" : "";
}

// set-*: a parameter number 1..255 and a value 0..255, nothing else.
std::string setFields(const std::string& line, size_t pos, Record& r) {
    uint64_t p = 0;
    uint64_t v = 0;
    if (!number(word(line, pos), 255, p) || p < 1)
        return "needs a parameter number 1..255";
    if (!number(word(line, pos), 255, v))
        return "needs a value 0..255";
    if (!word(line, pos).empty())
        return "takes two numbers only";
    r.param = static_cast<int>(p);
    r.value = static_cast<int>(v);
    return "";
}

// start, open, lost, reopen: the rest of the line as bounded, printable text.
std::string textFields(const std::string& line, size_t pos, Record& r) {
    r.text = rest(line, pos);
    if (r.text.size() <= kMaxText && std::none_of(r.text.begin(), r.text.end(), isControl))
        return "";
    return "text longer than " + std::to_string(kMaxText) +
           " characters or with control characters";
}

// online, offline: nothing after the kind.
std::string noFields(const std::string& line, size_t pos, Record&) {
    return rest(line, pos).empty() ? "" : "takes nothing after it";
}

struct KindName {
    Kind kind;
    const char* name;
    Fields fields;
};
// In the order of Kind: a kind's entry is at its value.
const KindName kKinds[] = {
    {Kind::Start, "start", textFields},
    {Kind::Tx, "tx", byteFields},
    {Kind::Rx, "rx", byteFields},
    {Kind::Open, "open", textFields},
    {Kind::Lost, "lost", textFields},
    {Kind::Reopen, "reopen", textFields},
    {Kind::SetRecorded, "set-recorded", setFields},
    {Kind::SetConfirmed, "set-confirmed", setFields},
    {Kind::SetGivenUp, "set-given-up", setFields},
    {Kind::Online, "online", noFields},
    {Kind::Offline, "offline", noFields},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == kKindCount, "every kind has its entry");

const KindName* kindNamed(const std::string& name) {
    for (const KindName& k : kKinds) {
        if (name == k.name)
            return &k;
    }
    return nullptr;
}

enum class Next { Line, End, Fault };

// The next line of `in` without its "\n" or "\r\n", counted in `lineNo`; Fault with `why` set.
// getline on a bounded buffer: a hostile file of one endless line must not take the memory.
Next nextLine(std::istream& in, std::string& line, size_t& lineNo, std::string& why) {
    line.clear();
    char c;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() > kMaxLine) {
            lineNo++;
            why = "line longer than " + std::to_string(kMaxLine) + " characters";
            return Next::Fault;
        }
        line += c;
    }
    if (!any)
        return Next::End;
    ++lineNo;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.find('\0') == std::string::npos)
        return Next::Line;
    why = "NUL byte in a line (not a text file)";
    return Next::Fault;
}

// The version line: the magic, a version this reader knows and the wall time of t=0.
bool parseHeader(const std::string& line, uint64_t& wallUs, std::string& why) {
    size_t pos = 0;
    const std::string magic = word(line, pos);
    const std::string version = word(line, pos);
    const std::string wall = word(line, pos);
    if (magic != kMagic) {
        why = std::string("not an exchange file: the first line must start \"") + kMagic + " " +
              std::to_string(kVersion) + "\"";
        return false;
    }
    if (version != std::to_string(kVersion)) {
        why = "exchange file version \"" + oneLine(version).substr(0, 16) +
              "\" is not supported (this reader knows version " + std::to_string(kVersion) + ")";
        return false;
    }
    if (wall.compare(0, 5, "wall=") != 0 || !parseWall(wall.substr(5), wallUs) ||
        !word(line, pos).empty()) {
        why = "version line needs wall=YYYY-MM-DDTHH:MM:SS.UUUUUUZ and nothing after it";
        return false;
    }
    return true;
}

// A line after the version line: a comment or blank line, or a record no earlier than the last.
bool addRecord(const std::string& line, size_t lineNo, File& f, std::string& why) {
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#')
        return true;
    Record r;
    if (!parse(line, r, why))
        return false;
    const uint64_t last = f.records.empty() ? 0 : f.records.back().t;
    if (r.t < last) {
        why = "timestamp " + std::to_string(r.t) + " is before the one of the record above (" +
              std::to_string(last) + ")";
        return false;
    }
    r.line = lineNo;
    f.records.push_back(std::move(r));
    return true;
}

}  // namespace

const char* kindName(Kind kind) {
    return kKinds[static_cast<size_t>(kind)].name;
}

std::string hex(const uint8_t* bytes, size_t n) {
    std::string s;
    appendHex(s, bytes, n);
    if (n)
        s.erase(0, 1);  // no blank before the first byte
    return s;
}

std::string header(uint64_t wallUs) {
    return std::string(kMagic) + " " + std::to_string(kVersion) + " wall=" + wallText(wallUs);
}

void append(std::string& s, uint64_t t, Kind kind, const uint8_t* bytes, size_t n, int param,
            int value, const std::string& text) {
    char number[24];
    char* end = std::to_chars(number, number + sizeof number - 1, t).ptr;
    *end++ = ' ';
    s.append(number, static_cast<size_t>(end - number));
    // The fields written are the ones the kind's parser reads.
    const KindName& k = kKinds[static_cast<size_t>(kind)];
    s += k.name;
    if (k.fields == byteFields)
        appendHex(s, bytes, std::min(n, kMaxBytes));
    else if (k.fields == setFields)
        s += ' ' + std::to_string(param) + ' ' + std::to_string(value);
    else if (k.fields == textFields && !text.empty())
        s += ' ' + oneLine(text);
    s += '\n';
}

std::string format(const Record& r) {
    std::string s;
    append(s, r.t, r.kind, r.bytes.data(), r.bytes.size(), r.param, r.value, r.text);
    s.pop_back();
    return s;
}

std::string startFields(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string s;
    for (const auto& f : fields) {
        std::string v = oneLine(f.second);
        std::replace_if(v.begin(), v.end(), isBlank, '_');
        if (!s.empty())
            s += ' ';
        s += f.first + '=' + (v.empty() ? "-" : v);
    }
    return s;
}

bool parse(const std::string& line, Record& out, std::string& why) {
    Record r;
    if (line.size() > kMaxLine) {
        why = "line longer than " + std::to_string(kMaxLine) + " characters";
        return false;
    }
    size_t pos = 0;
    const std::string t = word(line, pos);
    if (!number(t, UINT64_MAX / 2, r.t)) {
        why = "record does not start with a timestamp in microseconds: \"" +
              oneLine(t).substr(0, 32) + "\"";
        return false;
    }
    const std::string kind = word(line, pos);
    const KindName* k = kindNamed(kind);
    if (k == nullptr) {
        why = "unknown record kind \"" + oneLine(kind).substr(0, 32) + "\"";
        return false;
    }
    r.kind = k->kind;
    const std::string problem = k->fields(line, pos, r);
    if (!problem.empty()) {
        why = kind + " " + problem;
        return false;
    }
    out = std::move(r);
    return true;
}

bool read(std::istream& in, File& out, size_t& lineNo, std::string& why) {
    File f;
    lineNo = 0;
    std::string line;
    bool haveHeader = false;
    for (Next next; (next = nextLine(in, line, lineNo, why)) != Next::End;) {
        if (next == Next::Fault)
            return false;
        if (!(haveHeader ? addRecord(line, lineNo, f, why) : parseHeader(line, f.wallUs, why)))
            return false;
        haveHeader = true;
    }
    if (!haveHeader) {
        lineNo = lineNo == 0 ? 1 : lineNo;
        why = "empty file: no version line";
        return false;
    }
    out = std::move(f);
    return true;
}

bool read(const std::string& text, File& out, size_t& line, std::string& why) {
    std::istringstream in(text);
    return read(in, out, line, why);
}

}  // namespace exchangefile
