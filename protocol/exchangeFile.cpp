// The exchange file's reader and writer (docs/capture.md). Every input is treated as hostile:
// lengths are bounded, numbers are checked for range, and a problem is named with its line. The
// reader scans a buffer in place, so that a tool reads a capture at the speed of the disk.
#include "exchangeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>
#include <utility>

namespace exchangefile {

namespace {

using std::string_view;

constexpr size_t kBufferSize = 256 * 1024;
// A file that ends in a run of NUL bytes is what some file systems leave after a power cut:
// a tail of at most this many is taken as the cut, more as a file that is not text.
constexpr size_t kMaxNulTail = 1 << 20;
constexpr const char* kCutLine =
    "unfinished last line (the file was cut, as a power cut or a full disk leaves it): ignored";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// Next blank-separated word of `s` from `pos`; empty at the end.
string_view word(string_view s, size_t& pos) {
    while (pos < s.size() && isBlank(s[pos]))
        ++pos;
    const size_t begin = pos;
    while (pos < s.size() && !isBlank(s[pos]))
        ++pos;
    return s.substr(begin, pos - begin);
}

string_view rest(string_view s, size_t pos) {
    while (pos < s.size() && isBlank(s[pos]))
        ++pos;
    size_t end = s.size();
    while (end > pos && isBlank(s[end - 1]))
        --end;
    return s.substr(pos, end - pos);
}

// Decimal number, digits only, at most `max`.
bool number(string_view w, uint64_t max, uint64_t& out) {
    if (w.empty() || w.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : w) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (d > max || v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

constexpr int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string oneLine(string_view s) {
    std::string out(s.substr(0, kMaxText));
    std::replace_if(out.begin(), out.end(), isControl, ' ');
    return out;
}

std::string quoted(string_view s, size_t max) {
    return "\"" + oneLine(s.substr(0, max)) + "\"";
}

// " 41 49 4F": each byte after a blank, sized once and filled in place.
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

void appendNumber(std::string& s, uint64_t n) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    s.append(digits, static_cast<size_t>(end - digits));
}

bool parseWall(string_view text, uint64_t& out) {
    tm utc{};
    unsigned frac = 0;
    char z = 0;
    int consumed = 0;
    const std::string s(text);
    if (s.size() != 27 ||
        std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%6u%c%n", &utc.tm_year, &utc.tm_mon,
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

// What a record's fields parse into besides the Record: whether its bytes are the short form.
struct Parsed {
    bool same = false;  // "tx =" / "rx =": the bytes of the last record of the direction
};

// The fields of a record after its kind, from `pos`, into `r`: what is wrong with them, or "".
using Fields = std::string (*)(string_view line, size_t pos, int version, Record& r, Parsed& p);

// The value of each character as a hex digit, -1 for the others; made by the compiler.
struct HexTable {
    int8_t value[256] = {};
    constexpr HexTable() {
        for (int c = 0; c < 256; ++c)
            value[c] = static_cast<int8_t>(hexDigit(static_cast<char>(c)));
    }
};
constexpr HexTable kHex;

// tx, rx: one or more bytes, each two hex digits; in version 2 also "=". On the hot path of a
// tool that reads a capture of gigabytes: the bytes are gathered on the stack, then stored once.
std::string byteFields(string_view line, size_t pos, int version, Record& r, Parsed& p) {
    uint8_t bytes[kMaxBytes];
    size_t n = 0;
    const char* c = line.data() + pos;
    const char* const end = line.data() + line.size();
    for (;;) {
        while (c < end && isBlank(*c))
            ++c;
        if (c == end)
            break;
        const int hi = kHex.value[static_cast<unsigned char>(c[0])];
        const int lo = end - c >= 2 ? kHex.value[static_cast<unsigned char>(c[1])] : -1;
        if (hi < 0 || lo < 0 || (end - c > 2 && !isBlank(c[2]))) {
            size_t at = static_cast<size_t>(c - line.data());
            const string_view w = word(line, at);
            if (w == "=" && version >= 2 && n == 0 && rest(line, at).empty()) {
                r.bytes.clear();
                p.same = true;
                return "";
            }
            return "byte " + quoted(w, 16) + " is not two hex digits";
        }
        if (n >= kMaxBytes)
            return "record with more than " + std::to_string(kMaxBytes) + " bytes";
        bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
        c += 2;
    }
    r.bytes.assign(bytes, bytes + n);
    return n == 0 ? "record without bytes" : "";
}

// set-*: a parameter number 1..255 and a value 0..255, nothing else.
std::string setFields(string_view line, size_t pos, int, Record& r, Parsed&) {
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

std::string checkedText(string_view text, Record& r) {
    r.text.assign(text.data(), text.size());
    if (r.text.size() <= kMaxText && std::none_of(r.text.begin(), r.text.end(), isControl))
        return "";
    return "text longer than " + std::to_string(kMaxText) +
           " characters or with control characters";
}

// start, open, lost, reopen: the rest of the line as bounded, printable text.
std::string textFields(string_view line, size_t pos, int, Record& r, Parsed&) {
    return checkedText(rest(line, pos), r);
}

// abandoned: the bytes of the frame that had reached the line, nothing else.
std::string countFields(string_view line, size_t pos, int, Record& r, Parsed&) {
    uint64_t n = 0;
    if (!number(word(line, pos), kMaxBytes, n))
        return "needs the count of bytes that reached the line (0.." + std::to_string(kMaxBytes) +
               ")";
    if (!word(line, pos).empty())
        return "takes one number only";
    r.value = static_cast<int>(n);
    return "";
}

// write-failed: the count as above, then the reason.
std::string countTextFields(string_view line, size_t pos, int, Record& r, Parsed&) {
    uint64_t n = 0;
    if (!number(word(line, pos), kMaxBytes, n))
        return "needs the count of bytes that reached the line (0.." + std::to_string(kMaxBytes) +
               ")";
    r.value = static_cast<int>(n);
    return checkedText(rest(line, pos), r);
}

// online, offline: nothing after the kind.
std::string noFields(string_view line, size_t pos, int, Record&, Parsed&) {
    return rest(line, pos).empty() ? "" : "takes nothing after it";
}

struct KindName {
    Kind kind;
    const char* name;
    Fields fields;
    int version;  // the oldest format version that has it
};
// In the order of Kind: a kind's entry is at its value.
const KindName kKinds[] = {
    {Kind::Start, "start", textFields, 1},
    {Kind::Tx, "tx", byteFields, 1},
    {Kind::Rx, "rx", byteFields, 1},
    {Kind::Open, "open", textFields, 1},
    {Kind::Lost, "lost", textFields, 1},
    {Kind::Reopen, "reopen", textFields, 1},
    {Kind::SetRecorded, "set-recorded", setFields, 1},
    {Kind::SetConfirmed, "set-confirmed", setFields, 1},
    {Kind::SetGivenUp, "set-given-up", setFields, 1},
    {Kind::Online, "online", noFields, 1},
    {Kind::Offline, "offline", noFields, 1},
    {Kind::Abandoned, "abandoned", countFields, 2},
    {Kind::WriteFailed, "write-failed", countTextFields, 2},
};
static_assert(std::size(kKinds) == kKindCount, "every kind has its entry");

const KindName* kindNamed(string_view name, int version) {
    for (const KindName& k : kKinds) {
        if (name == k.name)
            return k.version <= version ? &k : nullptr;
    }
    return nullptr;
}

// One record line of `version` into `r` (the short form left to the caller, in `p`).
bool parseLine(string_view line, int version, Record& r, Parsed& p, std::string& why) {
    if (line.size() > kMaxLine) {
        why = "line longer than " + std::to_string(kMaxLine) + " characters";
        return false;
    }
    size_t pos = 0;
    const string_view t = word(line, pos);
    if (!number(t, UINT64_MAX / 2, r.t)) {
        why = "record does not start with a timestamp in microseconds: " + quoted(t, 32);
        return false;
    }
    const string_view kind = word(line, pos);
    const KindName* k = kindNamed(kind, version);
    if (k == nullptr) {
        why = "unknown record kind " + quoted(kind, 32) +
              (version < kVersion ? " in a file of version " + std::to_string(version) : "");
        return false;
    }
    r.kind = k->kind;
    r.param = r.value = 0;
    r.text.clear();
    const std::string problem = k->fields(line, pos, version, r, p);
    if (!problem.empty()) {
        why = std::string(kind) + " " + problem;
        return false;
    }
    return true;
}

bool isComment(string_view line) {
    const size_t first = line.find_first_not_of(" \t");
    return first == string_view::npos || line[first] == '#';
}

}  // namespace

Note note(string_view comment) {
    Note n;
    size_t pos = comment.find('#');
    if (pos == string_view::npos)
        return n;
    const string_view first = word(comment, ++pos);
    if (first == "continued:" || first == "continued") {
        n.what = Note::Continued;
        return n;
    }
    // "# N records dropped here: ...": N within what a file can hold, the words as written.
    uint64_t count = 0;
    if (number(first, UINT32_MAX, count) && word(comment, pos) == "records" &&
        word(comment, pos) == "dropped") {
        n.what = Note::Dropped;
        n.count = count;
        const size_t colon = comment.find(':', pos);
        if (colon != string_view::npos)
            n.why = std::string(rest(comment, colon + 1).substr(0, kMaxText));
    }
    return n;
}

const char* kindName(Kind kind) {
    return kKinds[static_cast<size_t>(kind)].name;
}

int kindVersion(Kind kind) {
    return kKinds[static_cast<size_t>(kind)].version;
}

std::string hex(const uint8_t* bytes, size_t n) {
    std::string s;
    appendHex(s, bytes, n);
    if (n)
        s.erase(0, 1);  // no blank before the first byte
    return s;
}

std::string wallText(uint64_t wallUs, int digits) {
    const time_t secs = static_cast<time_t>(wallUs / 1000000u);
    tm utc{};
    gmtime_r(&secs, &utc);
    char buf[64];
    const size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    if (digits == 3)
        std::snprintf(buf + n, sizeof buf - n, ".%03uZ",
                      static_cast<unsigned>(wallUs % 1000000u / 1000u));
    else
        std::snprintf(buf + n, sizeof buf - n, ".%06uZ", static_cast<unsigned>(wallUs % 1000000u));
    return buf;
}

std::string header(uint64_t wallUs, int version) {
    return std::string(kMagic) + " " + std::to_string(version) + " wall=" + wallText(wallUs);
}

void append(std::string& s, uint64_t t, Kind kind, const uint8_t* bytes, size_t n, int param,
            int value, const std::string& text) {
    appendNumber(s, t);
    s += ' ';
    // The fields written are the ones the kind's parser reads.
    const KindName& k = kKinds[static_cast<size_t>(kind)];
    s += k.name;
    if (k.fields == byteFields) {
        appendHex(s, bytes, std::min(n, kMaxBytes));
    } else if (k.fields == setFields) {
        s += ' ';
        appendNumber(s, static_cast<uint64_t>(param));
        s += ' ';
        appendNumber(s, static_cast<uint64_t>(value));
    } else if (k.fields == countFields || k.fields == countTextFields) {
        s += ' ';
        appendNumber(s, static_cast<uint64_t>(std::clamp(value, 0, static_cast<int>(kMaxBytes))));
    }
    if ((k.fields == textFields || k.fields == countTextFields) && !text.empty())
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

bool parse(const std::string& line, Record& out, std::string& why, int version) {
    Record r;
    Parsed p;
    if (!parseLine(line, version, r, p, why))
        return false;
    if (p.same) {
        why = std::string(kindName(r.kind)) + " = needs the record before it";
        return false;
    }
    out = std::move(r);
    return true;
}

// ---- Writer ----------------------------------------------------------------------------------

void Writer::restart() {
    mHave[0] = mHave[1] = false;
}

void Writer::append(std::string& out, uint64_t t, Kind kind, const uint8_t* bytes, size_t n,
                    int param, int value, const std::string& text) {
    if (kind != Kind::Tx && kind != Kind::Rx)
        return exchangefile::append(out, t, kind, bytes, n, param, value, text);
    n = std::min(n, kMaxBytes);
    const int d = kind == Kind::Tx ? 0 : 1;
    if (mHave[d] && mLast[d].size() == n && std::memcmp(mLast[d].data(), bytes, n) == 0) {
        appendNumber(out, t);
        out += kind == Kind::Tx ? " tx =\n" : " rx =\n";
        return;
    }
    mLast[d].assign(bytes, bytes + n);
    mHave[d] = true;
    exchangefile::append(out, t, kind, bytes, n, param, value, text);
}

// ---- Reader ----------------------------------------------------------------------------------

Reader::Reader(int fd) : mFd(fd), mBuffer(kBufferSize, '\0') {}

Reader::Reader(int fd, std::string_view read)
    : mFd(fd), mBuffer(std::max(kBufferSize, read.size()), '\0'), mEnd(read.size()) {
    std::copy(read.begin(), read.end(), mBuffer.begin());
}

Reader::Reader(std::string text) : mBuffer(std::move(text)), mEnd(mBuffer.size()), mEof(true) {}

// More of the file into the buffer after what is unread; false on a read error (mWhy set).
bool Reader::fill() {
    if (mPos > 0) {
        std::memmove(&mBuffer[0], mBuffer.data() + mPos, mEnd - mPos);
        mEnd -= mPos;
        mPos = 0;
    }
    while (!mEof && mEnd < mBuffer.size()) {
        const ssize_t n = ::read(mFd, &mBuffer[mEnd], mBuffer.size() - mEnd);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            mWhy = std::string("cannot read: ") + std::strerror(errno);
            mReadFailed = true;
            return false;
        }
        if (n == 0)
            mEof = true;
        mEnd += static_cast<size_t>(n);
        if (n > 0)
            break;
    }
    return true;
}

// A line without its end that holds a NUL: the file was cut (a NUL tail to the file's end, as a
// power cut can leave) or is not text. `begin`, `length`: the line up to where the buffer ends.
Reader::Line Reader::tail(const char* begin, size_t length) {
    const char* nul = static_cast<const char*>(std::memchr(begin, '\0', length));
    if (nul == nullptr) {
        mWhy = "line longer than " + std::to_string(kMaxLine) + " characters";
        return Line::Fault;
    }
    mPos += static_cast<size_t>(nul - begin);
    for (size_t scanned = 0;;) {
        for (; mPos < mEnd; ++mPos, ++scanned) {
            if (mBuffer[mPos] != '\0' || scanned > kMaxNulTail) {
                mWhy = "NUL byte in a line (not a text file)";
                return Line::Fault;
            }
        }
        if (mEof)
            return Line::Cut;
        if (!fill())
            return Line::Fault;
    }
}

Reader::Line Reader::nextLine(const char*& begin, size_t& length) {
    for (;;) {
        const char* base = mBuffer.data() + mPos;
        const size_t avail = mEnd - mPos;
        const size_t reach = std::min(avail, kMaxLine + 2);  // a "\r\n" after a full line
        const char* nl = static_cast<const char*>(std::memchr(base, '\n', reach));
        if (nl != nullptr) {
            begin = base;
            length = static_cast<size_t>(nl - base);
            mPos += length + 1;
            ++mLine;
            if (length > 0 && base[length - 1] == '\r')
                --length;
            if (std::memchr(begin, '\0', length) != nullptr) {
                mWhy = "NUL byte in a line (not a text file)";
                return Line::Fault;
            }
            if (length <= kMaxLine)
                return Line::Whole;
            mWhy = "line longer than " + std::to_string(kMaxLine) + " characters";
            return Line::Fault;
        }
        if (mEof && avail == 0)
            return Line::End;
        if (mEof || avail > kMaxLine + 1) {
            // No end of line in reach: the file's last line, cut, or a line too long.
            ++mLine;
            begin = base;
            length = std::min(avail, kMaxLine + 1);
            if (mEof && avail <= kMaxLine && std::memchr(base, '\0', avail) == nullptr) {
                mPos = mEnd;
                return Line::Cut;
            }
            return tail(base, avail);
        }
        if (!fill())
            return Line::Fault;
    }
}

Reader::Result Reader::fault(std::string why) {
    mWhy = std::move(why);
    return Fault;
}

// The version line: the magic, a version this reader knows and the wall time of t=0.
bool Reader::parseHeader(const char* p, size_t n) {
    const string_view line(p, n);
    size_t pos = 0;
    const string_view magic = word(line, pos);
    const string_view version = word(line, pos);
    const string_view wall = word(line, pos);
    if (magic != kMagic) {
        mWhy = std::string("not an exchange file: the first line must start \"") + kMagic + " " +
               std::to_string(kVersion) + "\"";
        return false;
    }
    uint64_t v = 0;
    if (!number(version, kVersion, v) || v < static_cast<uint64_t>(kOldestVersion)) {
        mWhy = "exchange file version " + quoted(version, 16) +
               " is not supported (this reader knows versions " + std::to_string(kOldestVersion) +
               " to " + std::to_string(kVersion) + ")";
        return false;
    }
    if (wall.compare(0, 5, "wall=") != 0 || !parseWall(wall.substr(5), mWallUs) ||
        !word(line, pos).empty()) {
        mWhy = "version line needs wall=YYYY-MM-DDTHH:MM:SS.UUUUUUZ and nothing after it";
        return false;
    }
    mVersion = static_cast<int>(v);
    return true;
}

void Reader::noted(string_view comment) {
    const Note n = note(comment);
    if (n.what == Note::Continued && !mAnyRecord)
        mContinued = true;
    if (n.what == Note::Dropped) {
        if (mDropped.count == 0) {
            mDropped.line = mLine;
            mDropped.why = n.why;
        }
        mDropped.count += n.count;
    }
}

Dropped Reader::takeDropped() {
    return std::exchange(mDropped, Dropped{});
}

Reader::Result Reader::next(Record& out) {
    for (;;) {
        const char* begin = nullptr;
        size_t length = 0;
        switch (nextLine(begin, length)) {
            case Line::Fault:
                return Fault;
            case Line::End:
                if (mVersion != 0)
                    return End;
                mLine = std::max<size_t>(mLine, 1);
                return fault("empty file: no version line");
            case Line::Cut:
                // A version line cut short is a cut only where what is there begins as one.
                if (mVersion == 0 &&
                    string_view(kMagic).substr(0, std::min(length, std::strlen(kMagic))) !=
                        string_view(begin, std::min(length, std::strlen(kMagic)))) {
                    return fault(std::string("not an exchange file: the first line must start \"") +
                                 kMagic + " " + std::to_string(kVersion) + "\"");
                }
                mWhy = kCutLine;
                return Cut;
            case Line::Whole:
                break;
        }
        if (mVersion == 0) {
            if (!parseHeader(begin, length))
                return Fault;
            continue;
        }
        const string_view line(begin, length);
        if (isComment(line)) {
            noted(line);
            continue;
        }
        mAnyRecord = true;
        Parsed p;
        if (!parseLine(line, mVersion, out, p, mWhy))
            return Fault;
        if (out.t < mLastT) {
            return fault("timestamp " + std::to_string(out.t) +
                         " is before the one of the record above (" + std::to_string(mLastT) + ")");
        }
        mLastT = out.t;
        out.line = mLine;
        if (out.kind == Kind::Tx || out.kind == Kind::Rx) {
            const int d = out.kind == Kind::Tx ? 0 : 1;
            if (p.same && !mHave[d])
                return fault(std::string(kindName(out.kind)) +
                             " = without a record of its direction above it in this file");
            if (p.same)
                out.bytes = mLast[d];
            else
                mLast[d] = out.bytes;
            mHave[d] = true;
        }
        return Got;
    }
}

// ---- Sequence --------------------------------------------------------------------------------

std::string shownName(const std::string& name) {
    return name == "-" ? "(standard input)" : name;
}

Sequence::Sequence(std::vector<std::string> names) : mNames(std::move(names)) {}

Sequence::~Sequence() {
    mReader.reset();
    if (mFd > 0)
        ::close(mFd);
}

Sequence::Result Sequence::unreadable(const std::string& name, int err) {
    mShown = shownName(name);
    mLine = 0;
    mWhy = std::string("cannot read: ") + std::strerror(err);
    return Unreadable;
}

namespace {

// Opens `name` for reading ("-": standard input); -1 with errno set, EISDIR for a directory.
int openInput(const std::string& name) {
    if (name == "-")
        return 0;
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

}  // namespace

// Several files: each one's first record read, the files put in the order of those times. Got
// when they are in order, else what is wrong (Fault or Unreadable) with file() and why() set.
Sequence::Result Sequence::order() {
    mOrdered = true;
    for (const std::string& name : mNames) {
        if (name == "-" && mNames.size() > 1) {
            mShown = shownName(name);
            mWhy = "standard input cannot be read together with files";
            return Fault;
        }
        Part part{name, 0};
        if (mNames.size() > 1) {
            const int fd = openInput(name);
            if (fd < 0)
                return unreadable(name, errno);
            Reader peek(fd);
            Record r;
            const Reader::Result got = peek.next(r);
            ::close(fd);
            if (got == Reader::Fault && peek.version() == 0) {
                mShown = name;
                mLine = peek.line();
                mWhy = peek.why();
                return peek.readFailed() ? Unreadable : Fault;
            }
            part.first = peek.wallUs() + (got == Reader::Got ? r.t : 0);
        }
        mParts.push_back(part);
    }
    std::stable_sort(mParts.begin(), mParts.end(),
                     [](const Part& a, const Part& b) { return a.first < b.first; });
    return Got;
}

bool Sequence::openNext() {
    mReader.reset();
    if (mFd > 0)
        ::close(mFd);
    mFd = -1;
    const Part& part = mParts[mNext++];
    mShown = shownName(part.name);
    mFd = openInput(part.name);
    if (mFd < 0)
        return false;
    mReader = std::make_unique<Reader>(mFd);
    mPendingNew = true;
    return true;
}

Sequence::Result Sequence::next(Record& out) {
    if (!mOrdered) {
        const Result ordered = order();
        if (ordered != Got)
            return ordered;
    }
    for (;;) {
        if (mReader == nullptr) {
            if (mNext == mParts.size())
                return End;
            if (!openNext())
                return unreadable(mParts[mNext - 1].name, errno);
        }
        const Reader::Result got = mReader->next(out);
        mLine = mReader->line();
        collectDropped();
        if (got == Reader::End || got == Reader::Cut) {
            mReader.reset();
            if (got == Reader::End)
                continue;
            mWhy = kCutLine;
            return Cut;
        }
        if (got == Reader::Fault) {
            mWhy = mReader->why();
            return mReader->readFailed() ? Unreadable : Fault;
        }
        const uint64_t wall = mReader->wallUs();
        if (!mStarted) {
            mStarted = true;
            mWallUs = wall;
            mContinues = mReader->continued();
        }
        if (wall + out.t < mWallUs + mLastT) {
            mWhy = "record at " + wallText(wall + out.t, 3) +
                   " is before the end of the file read before it: files of one capture overlap";
            return Fault;
        }
        out.t = wall + out.t - mWallUs;
        mLastT = out.t;
        mNewFile = mPendingNew;
        mPendingNew = false;
        return Got;
    }
}

void Sequence::collectDropped() {
    Dropped d = mReader->takeDropped();
    if (d.count == 0)
        return;
    if (mDropped.count == 0) {
        d.file = mShown;
        mDropped = std::move(d);
    } else {
        mDropped.count += d.count;
    }
}

Dropped Sequence::takeDropped() {
    return std::exchange(mDropped, Dropped{});
}

// ---- Whole files -----------------------------------------------------------------------------

bool read(const std::string& text, File& out, size_t& line, std::string& why) {
    File f;
    Reader reader(text);
    Record r;
    for (;;) {
        const Reader::Result got = reader.next(r);
        if (got == Reader::Got) {
            f.records.push_back(r);
            continue;
        }
        line = reader.line();
        if (got == Reader::Fault) {
            why = reader.why();
            return false;
        }
        if (got == Reader::Cut) {
            f.cutLine = reader.line();
            if (reader.version() == 0) {
                why = "the version line was cut";
                return false;
            }
        }
        break;
    }
    f.wallUs = reader.wallUs();
    f.version = reader.version();
    out = std::move(f);
    return true;
}

bool read(std::istream& in, File& out, size_t& line, std::string& why) {
    std::string text;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        text.append(chunk, static_cast<size_t>(in.gcount()));
    return read(text, out, line, why);
}

}  // namespace exchangefile
