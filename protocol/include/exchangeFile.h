// The exchange file: one text format for field captures of the serial line, their replay, their
// decoding, and the golden exchange tests (docs/capture.md). Line 1 is the version line,
// "borl-exchange 2 wall=<UTC time of t=0>"; then one record per line, "<µs> <kind> <fields>",
// timestamps monotonic from the capture's start; "#" lines and empty lines are comments.
// Version 2 adds the short form of a repeated frame ("tx =", "rx =") and the abandoned and
// write-failed records; files of version 1 are read as they stand.
//
// Pure: text in, records out and back; no logging, no daemon code, so that the daemon's
// capture, the tools and the fuzz target share it. The reader streams: it holds one buffer and
// one record, whatever the size of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace exchangefile {

constexpr int kVersion = 2;        // the version the capture writes
constexpr int kOldestVersion = 1;  // the oldest version a reader takes
constexpr const char* kMagic = "borl-exchange";
constexpr size_t kMaxLine = 4096;   // longer lines are refused
constexpr size_t kMaxBytes = 1024;  // bytes of one tx or rx record
constexpr size_t kMaxText = 256;    // free text of one record (a lost port's reason, start fields)

enum class Kind {
    Start,         // start version=V port=P line=L serial=S   (the daemon's start, or a capture's)
    Tx,            // tx <hex>...   bytes written to the port ("tx =": the same as the last tx)
    Rx,            // rx <hex>...   bytes read from it, as each read returned them ("rx =" too)
    Open,          // open <port>   the port opened
    Lost,          // lost <reason> the port lost
    Reopen,        // reopen <port> the port open again
    SetRecorded,   // set-recorded <param> <value>   a set from vexad became the pending set
    SetConfirmed,  // set-confirmed <param> <value>
    SetGivenUp,    // set-given-up <param> <value>
    Online,        // online
    Offline,       // offline
    Abandoned,     // abandoned <n>   the line did not take the frame by the cycle's end: n bytes
                   //                 of it had reached the line (the tx record above, when n > 0)
    WriteFailed,   // write-failed <n> <reason>   the write of a frame failed after n bytes
};
constexpr size_t kKindCount = static_cast<size_t>(Kind::WriteFailed) + 1;

struct Record {
    uint64_t t = 0;  // µs since the capture began
    Kind kind = Kind::Online;
    std::vector<uint8_t> bytes;  // tx, rx (a short form read back whole)
    int param = 0;               // set-*
    int value = 0;               // set-*: 0..255; abandoned, write-failed: bytes on the line
    std::string text;            // start: its fields; open, reopen: the port; lost, write-failed:
                                 // the reason
    size_t line = 0;             // line number in the file it was read from (0: not read)
};

const char* kindName(Kind kind);
// The oldest format version that has `kind` (the abandoned and write-failed records are 2's).
int kindVersion(Kind kind);

// The version line for a capture whose t=0 is `wallUs` (µs since the epoch, UTC).
std::string header(uint64_t wallUs, int version = kVersion);
// One record as a line, whole, without the newline. Text fields have their line breaks replaced.
std::string format(const Record& record);
// The same appended to `out`, with the newline, from the record's parts.
void append(std::string& out, uint64_t t, Kind kind, const uint8_t* bytes, size_t n, int param,
            int value, const std::string& text);
// "version=1.1.0 port=/dev/ttyS2 ..." from pairs; blanks in values become "_".
std::string startFields(const std::vector<std::pair<std::string, std::string>>& fields);
// "2026-12-08T08:55:00.123Z" (digits: 3 for milliseconds, 6 for microseconds).
std::string wallText(uint64_t wallUs, int digits = 6);

// The capture's writer: formats the records of one file of version 2, a tx or rx whose bytes
// are those of the last record of its direction written short ("tx ="), which takes a capture of
// a steady line from about 800 to about 20 bytes a cycle.
class Writer {
public:
    // A new file begins: its first tx and rx are written whole, so that it reads alone.
    void restart();
    void append(std::string& out, uint64_t t, Kind kind, const uint8_t* bytes, size_t n, int param,
                int value, const std::string& text);

private:
    std::vector<uint8_t> mLast[2];  // tx, rx
    bool mHave[2] = {false, false};
};

// What the capture's writer says in a comment: that the file continues an older one of its ring
// ("# continued: ..." at its top), or that records were dropped where the comment stands ("# N
// records dropped here: ..."). Other comments say nothing to a reader.
struct Note {
    enum What { None, Continued, Dropped } what = None;
    uint64_t count = 0;  // Dropped: the records
    std::string why;     // Dropped: the words after "here:" (why they were dropped)
};
Note note(std::string_view comment);

// Records dropped by the writer, from the comments that say so: how many, and the file, the line
// and the words of the first such comment.
struct Dropped {
    uint64_t count = 0;
    std::string file;
    size_t line = 0;
    std::string why;
};

// Parses one record line of version `version` (not the version line, not a comment), whole
// forms only. False with `why` set.
bool parse(const std::string& line, Record& out, std::string& why, int version = kVersion);

// Reads one exchange file record by record, in constant memory.
class Reader {
public:
    explicit Reader(int fd);                // reads `fd` to its end; does not close it
    Reader(int fd, std::string_view read);  // the same after `read`, what was read of it before
    explicit Reader(std::string text);      // reads the text
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    enum Result {
        Got,    // `out` holds the next record
        End,    // the file ended after a whole line
        Cut,    // the file ended inside its last line (what a power cut or a full disk leaves):
                // the line is ignored; line() names it, why() says so
        Fault,  // line() and why() say what is wrong; a read error's why starts "cannot read"
    };
    Result next(Record& out);

    uint64_t wallUs() const { return mWallUs; }  // from the version line, once read
    int version() const { return mVersion; }     // 0 until the version line is read
    size_t line() const { return mLine; }
    const std::string& why() const { return mWhy; }
    bool readFailed() const { return mReadFailed; }  // the Fault is a read error, not the text
    // The writer's notes in the comments read so far: the file continues an older one of its
    // ring (a "# continued" comment above its first record), and the records dropped since the
    // last call (count 0: none), with the line of the comment that says so.
    bool continued() const { return mContinued; }
    Dropped takeDropped();

private:
    enum class Line { Whole, Cut, Fault, End };
    Line nextLine(const char*& begin, size_t& length);
    Line tail(const char* begin, size_t length);
    bool fill();
    bool parseHeader(const char* p, size_t n);
    Result fault(std::string why);
    void noted(std::string_view comment);

    int mFd = -1;
    std::string mBuffer;
    size_t mPos = 0;    // next unread character in mBuffer
    size_t mEnd = 0;    // characters held in mBuffer
    bool mEof = false;  // the source has no more
    bool mReadFailed = false;
    std::string mWhy;
    size_t mLine = 0;
    int mVersion = 0;
    uint64_t mWallUs = 0;
    uint64_t mLastT = 0;
    std::vector<uint8_t> mLast[2];  // the last tx and rx bytes, for the short form
    bool mHave[2] = {false, false};
    bool mAnyRecord = false;
    bool mContinued = false;
    Dropped mDropped;  // by the comments since the last takeDropped
};

// Several files of one capture (a ring of files, oldest first or in any order) read as one.
// They are put in time order by their first record; each file's times are carried over to the
// first file's t = 0. "-" is standard input, alone.
class Sequence {
public:
    explicit Sequence(std::vector<std::string> names);
    ~Sequence();
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;

    enum Result {
        Got,         // `out` holds the next record
        End,         // all files read
        Cut,         // a file ended in an unfinished line, ignored: file(), line(), why() say
                     // which; reading goes on with the next file
        Fault,       // malformed (exit status 65): file(), line() and why()
        Unreadable,  // a file cannot be read (exit status 66): file() and why()
    };
    Result next(Record& out);

    uint64_t wallUs() const { return mWallUs; }  // t = 0 of the first file
    const std::string& file() const { return mShown; }
    size_t line() const { return mLine; }
    const std::string& why() const { return mWhy; }
    bool newFile() const { return mNewFile; }  // the record just read is its file's first
    // The first file read continues an older one that is not among them (Reader::continued).
    bool continues() const { return mContinues; }
    // The file of the record just read continues an older one of its ring: its start record
    // begins no new run of the daemon.
    bool fileContinues() const { return mReader != nullptr && mReader->continued(); }
    // Records dropped by the writer before the record just read, or at the end of the files
    // (count 0: none).
    Dropped takeDropped();

private:
    Result order();
    bool openNext();
    void collectDropped();
    Result unreadable(const std::string& name, int err);

    struct Part {
        std::string name;
        uint64_t first = 0;  // wall time of its first record (µs since the epoch)
    };
    std::vector<std::string> mNames;
    std::vector<Part> mParts;
    size_t mNext = 0;
    bool mOrdered = false;
    int mFd = -1;
    std::unique_ptr<Reader> mReader;
    std::string mShown;
    size_t mLine = 0;
    std::string mWhy;
    uint64_t mWallUs = 0;
    uint64_t mLastT = 0;
    bool mNewFile = false;
    bool mPendingNew = false;  // the next record is the first of a file just opened
    bool mStarted = false;
    bool mContinues = false;
    Dropped mDropped;  // by comments not yet taken
};

// The name a tool shows for `name`: "(standard input)" for "-".
std::string shownName(const std::string& name);

struct File {
    uint64_t wallUs = 0;  // from the version line
    int version = 0;
    std::vector<Record> records;
    size_t cutLine = 0;  // non-zero: an unfinished last line was ignored there
};

// Reads a whole exchange file into memory (golden tests, the fuzz target). A cut last line is
// not a fault (cutLine names it). False with `line` (1-based) and `why` set at the first problem.
bool read(std::istream& in, File& out, size_t& line, std::string& why);
bool read(const std::string& text, File& out, size_t& line, std::string& why);

// Hex text of bytes, "41 49 4F".
std::string hex(const uint8_t* bytes, size_t n);

}  // namespace exchangefile
