// borl-decode: prints what the frames of a capture (one exchange file or several of one capture,
// docs/capture.md), or of a daemon log with DEBUG frame dumps, say, decoded with the daemon's own
// frame checks and point table. It streams: the input is read a buffer at a time, whatever its
// size, and the picture (--svg) is reduced while it is read.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "exchangeDecode.h"

namespace {

constexpr int kExitUsage = 64;    // EX_USAGE
constexpr int kExitData = 65;     // EX_DATAERR: the file is not a well-formed exchange file
constexpr int kExitNoInput = 66;  // EX_NOINPUT
constexpr int kExitCantCreate = 73;
constexpr int kExitIo = 74;  // EX_IOERR: standard output could not be written

const char kUsage[] =
    "Usage: borl-decode [--json] [--svg OUT.svg] [FILE...|-]\n"
    "       borl-decode --points [--json]\n"
    "Prints one entry per frame and per event of a capture of borl1d (docs/capture.md), at its\n"
    "wall-clock time (UTC), then a summary with the daemon's link statistics (timeouts and\n"
    "abandoned frames included). Several FILEs are the files of one capture (a ring of files,\n"
    "in any order): they are read as one. Also reads a daemon log with DEBUG frame dumps.\n"
    "Standard input without FILE or with \"-\".\n"
    "\n"
    "      --json        one JSON object per line per frame and per event, then\n"
    "                    {\"summary\": {...}}\n"
    "      --svg OUT     also draw the capture into OUT (an SVG picture of the night)\n"
    "      --points      list the device's points instead, one line each: kind (setpoint or\n"
    "                    input), port id, label, unit (- for none), data block index and\n"
    "                    encoding (u8, s8: one byte, unsigned or signed; u16: two, high\n"
    "                    byte first); with --json one JSON object per line\n"
    "  -h, --help        show this help and exit\n"
    "  -V, --version     show the version and exit\n"
    "\n"
    "The summary says what the capture does not hold: the files gone from its ring before the\n"
    "first one given (\"the capture continues a file that is gone\"), and the records the\n"
    "daemon's capture dropped, with their count, place and reason. It lists\n"
    "every set, from its first set frame to the reply that ended it. A capture across a\n"
    "restart of the daemon shows each restart, and gives each run's statistics beside the\n"
    "total; the time between two runs is not counted as a silence of the line.\n"
    "A file that ends inside its last line (a power cut, or a full disk) decodes up to its\n"
    "last whole line, with a warning.\n"
    "Exit status: 0 when decoded, 64 on a bad command line, 65 when a file is not a\n"
    "well-formed exchange file (file, line and what is wrong on standard error), 66 when a\n"
    "file cannot be read (missing, a directory), 73 when OUT cannot be written, 74 when\n"
    "standard output cannot be written.\n";

[[noreturn]] void badUsage(const std::string& what) {
    std::fprintf(stderr, "borl-decode: %s\nTry 'borl-decode --help' for more information.\n",
                 what.c_str());
    std::exit(kExitUsage);
}

struct Options {
    bool json = false;
    bool points = false;
    std::string svgOut;
    std::vector<std::string> names;  // the files, "-" for standard input
};

// Reads the command line; --help and --version end the process with 0, a bad one with 64.
Options parseOptions(int argc, char** argv) {
    enum { kJson = 256, kSvg, kPoints };
    static const option kOptions[] = {
        {"json", no_argument, nullptr, kJson},     {"points", no_argument, nullptr, kPoints},
        {"svg", required_argument, nullptr, kSvg}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},    {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1) {
        switch (c) {
            case kJson:
                o.json = true;
                break;
            case kPoints:
                o.points = true;
                break;
            case kSvg:
                if (*optarg == '\0')
                    badUsage("--svg takes a file name, not \"\"");
                o.svgOut = optarg;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            case 'V':
                std::printf("borl-decode %s\n", BORL1D_VERSION);
                std::exit(0);
            case ':':
                badUsage(std::string("option ") + argv[optind - 1] + " needs a value");
            default:
                if (optopt != 0)
                    badUsage(std::string("unknown option -") + static_cast<char>(optopt));
                badUsage(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    for (int i = optind; i < argc; ++i)
        o.names.emplace_back(argv[i]);
    if (o.points && (!o.names.empty() || !o.svgOut.empty()))
        badUsage("--points reads no capture and draws nothing");
    if (o.names.empty())
        o.names.emplace_back("-");
    for (const std::string& n : o.names)
        if (n == "-" && o.names.size() > 1)
            badUsage("standard input (\"-\") cannot be read together with files");
    return o;
}

int fail(int status, const std::string& where, const std::string& why) {
    std::fprintf(stderr, "borl-decode: %s: %s\n", where.c_str(), why.c_str());
    return status;
}

// The input's first bytes, which tell an exchange file from a daemon log. -1 when it cannot be
// opened or read (errno set); a directory is EISDIR.
int openPeek(const std::string& name, std::string& head) {
    const int fd = name == "-" ? 0 : ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd > 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    char b[65536];
    while (fd >= 0 && head.size() < std::strlen(exchangefile::kMagic)) {
        const ssize_t n = ::read(fd, b, sizeof b);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            if (fd > 0)
                ::close(fd);
            errno = err;
            return -1;
        }
        if (n == 0)
            break;
        head.append(b, static_cast<size_t>(n));
    }
    return fd;
}

// The lines of a daemon log from `fd`, after `head` already read; a NUL byte makes it a file
// that is not text, refused at once.
class LogLines {
public:
    LogLines(int fd, std::string head) : mFd(fd), mBuf(std::move(head)) {
        check(mBuf.data(), mBuf.size());
    }
    bool next(std::string& line);
    std::string fault;        // why reading stopped early ("" at the end)
    bool readFailed = false;  // the fault is a read error, not the text
    size_t line = 0;

private:
    void check(const char* p, size_t n) {
        if (std::memchr(p, '\0', n) != nullptr)
            fault = "NUL byte: a binary file, neither an exchange file nor a daemon log";
    }
    int mFd;
    std::string mBuf;
    size_t mPos = 0;
    bool mEof = false;
};

bool LogLines::next(std::string& out) {
    for (;;) {
        if (!fault.empty())
            return false;
        const size_t nl = mBuf.find('\n', mPos);
        if (nl != std::string::npos || (mEof && mPos < mBuf.size())) {
            const size_t end = nl == std::string::npos ? mBuf.size() : nl;
            // Longer lines are cut to one character more than a record may have: skipped.
            out.assign(mBuf, mPos, std::min(end - mPos, exchangefile::kMaxLine + 1));
            mPos = end + 1;
            ++line;
            return true;
        }
        if (mEof)
            return false;
        mBuf.erase(0, mPos);
        mPos = 0;
        char b[65536];
        const ssize_t n = ::read(mFd, b, sizeof b);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fault = std::string("cannot read: ") + std::strerror(errno);
            readFailed = true;
            return false;
        }
        mEof = n == 0;
        check(b, static_cast<size_t>(n));
        if (!fault.empty())
            return false;
        mBuf.append(b, static_cast<size_t>(n));
        if (mBuf.size() > (1u << 20) && mBuf.find('\n') == std::string::npos)
            mBuf.erase(exchangefile::kMaxLine + 1);  // an endless line: only its start is kept
    }
}

}  // namespace

namespace {

using exchangefile::Sequence;

// The records of the input: several files through a Sequence, standard input through a Reader
// that starts with the bytes read to tell what it is.
class Source {
public:
    Source(const std::vector<std::string>& names, int stdinFd, const std::string& head)
        : mSequence(stdinFd < 0 ? new Sequence(names) : nullptr),
          mReader(stdinFd < 0 ? nullptr : new exchangefile::Reader(stdinFd, head)) {}
    Sequence::Result next(exchangefile::Record& r);
    const std::string& file() const { return mSequence ? mSequence->file() : mStdin; }
    size_t line() const { return mSequence ? mSequence->line() : mReader->line(); }
    const std::string& why() const { return mSequence ? mSequence->why() : mReader->why(); }
    bool newFile() const { return mSequence && mSequence->newFile(); }
    uint64_t wallUs() const { return mSequence ? mSequence->wallUs() : mReader->wallUs(); }
    bool continues() const { return mSequence ? mSequence->continues() : mReader->continued(); }
    // The file of the record read last continues an older one of its ring.
    bool fileContinues() const {
        return mSequence ? mSequence->fileContinues() : mReader->continued();
    }
    exchangefile::Dropped takeDropped() {
        if (mSequence)
            return mSequence->takeDropped();
        exchangefile::Dropped d = mReader->takeDropped();
        d.file = mStdin;
        return d;
    }

private:
    std::unique_ptr<Sequence> mSequence;
    std::unique_ptr<exchangefile::Reader> mReader;
    const std::string mStdin = exchangefile::shownName("-");
};

Sequence::Result Source::next(exchangefile::Record& r) {
    if (mSequence)
        return mSequence->next(r);
    switch (mReader->next(r)) {
        case exchangefile::Reader::Got:
            return Sequence::Got;
        case exchangefile::Reader::End:
            return Sequence::End;
        case exchangefile::Reader::Cut:
            return Sequence::Cut;
        case exchangefile::Reader::Fault:
            break;
    }
    return mReader->readFailed() ? Sequence::Unreadable : Sequence::Fault;
}

// The records the capture's writer noted as dropped before the record read last, or at the end.
void droppedBefore(Source& in, borldecode::Decoder& d) {
    const exchangefile::Dropped dropped = in.takeDropped();
    if (dropped.count != 0)
        d.dropped(dropped);
}

// Feeds `d` the records of the exchange files; the exit status.
int decodeExchange(Source& in, borldecode::Decoder& d, borldecode::Printer& out, bool several) {
    exchangefile::Record r;
    bool first = true;
    for (;;) {
        switch (in.next(r)) {
            case Sequence::Got:
                if (first) {
                    first = false;
                    out.setWall(in.wallUs());
                    d.summary.wallUs = in.wallUs();
                    d.summary.continues = in.continues();
                }
                droppedBefore(in, d);
                if (several && in.newFile())
                    d.file(r.t, in.file());
                d.feed(r, in.fileContinues());
                break;
            case Sequence::End:
                droppedBefore(in, d);
                return 0;
            case Sequence::Cut:
                // What a power cut or a full disk leaves: the unfinished line is lost, the rest
                // decodes.
                std::fprintf(stderr, "borl-decode: %s:%zu: %s\n", in.file().c_str(), in.line(),
                             in.why().c_str());
                break;
            case Sequence::Fault:
                return fail(kExitData, in.file() + ":" + std::to_string(in.line()), in.why());
            case Sequence::Unreadable:
                return fail(kExitNoInput, in.file(), in.why());
        }
    }
}

// Feeds `d` the frames a daemon log dumped; the exit status.
int decodeLog(int fd, std::string head, const std::string& shown, borldecode::Decoder& d,
              borldecode::Printer& out) {
    LogLines lines(fd, std::move(head));
    std::vector<exchangefile::Record> records;
    uint64_t wallUs = 0;
    const bool any = borldecode::fromDebugLog(
        [&lines](std::string& line) { return lines.next(line); }, records, wallUs);
    if (!lines.fault.empty()) {
        const bool unreadable = lines.readFailed;
        return fail(unreadable ? kExitNoInput : kExitData,
                    shown + (unreadable ? "" : ":" + std::to_string(lines.line + 1)), lines.fault);
    }
    if (!any) {
        return fail(kExitData, shown + ":1",
                    std::string("not an exchange file: the first line must start \"") +
                        exchangefile::kMagic + " " + std::to_string(exchangefile::kVersion) +
                        "\" (nor a daemon log with DEBUG frame dumps)");
    }
    d.summary.fromLog = true;
    d.summary.wallUs = wallUs;
    out.setWall(wallUs);
    for (const exchangefile::Record& r : records)
        d.feed(r);
    return 0;
}

// Decodes the input into `d`; the exit status.
int decode(const Options& o, borldecode::Decoder& d, borldecode::Printer& out) {
    const std::string& name = o.names.front();
    if (o.names.size() > 1) {
        Source in(o.names, -1, "");
        return decodeExchange(in, d, out, true);
    }
    std::string head;
    const int fd = openPeek(name, head);
    const std::string shown = exchangefile::shownName(name);
    if (fd < 0)
        return fail(kExitNoInput, shown, std::string("cannot read: ") + std::strerror(errno));
    const size_t magic = std::strlen(exchangefile::kMagic);
    int status = 0;
    if (head.compare(0, magic, exchangefile::kMagic, 0, std::min(magic, head.size())) == 0 &&
        !head.empty()) {
        if (fd > 0)
            ::close(fd);
        Source in(o.names, fd == 0 ? 0 : -1, head);
        status = decodeExchange(in, d, out, false);
    } else {
        status = decodeLog(fd, std::move(head), shown, d, out);
        if (fd > 0)
            ::close(fd);
    }
    return status;
}

// The point table (points.h), one line per point, for scripts and tools that are not C++: the
// count and order of the points are read here, not written down again.
int listPoints(bool json) {
    size_t width = 0;
    for (const points::Point& p : points::kInputTable)
        width = std::max(width, std::strlen(p.label));
    for (const points::Point& p : points::kSetpointTable)
        width = std::max(width, std::strlen(p.label));
    auto list = [&](const char* kind, const points::Point& p) {
        const char* encoding = points::encodingName(p.encoding);
        if (json)
            std::printf(
                "{\"kind\":\"%s\",\"id\":%u,\"label\":\"%s\",\"unit\":\"%s\","
                "\"index\":%d,\"encoding\":\"%s\"}\n",
                kind, p.id, p.label, p.unit, p.index, encoding);
        else
            std::printf("%-8s %2u  %-*s  %-5s  %2d  %s\n", kind, p.id, static_cast<int>(width),
                        p.label, *p.unit ? p.unit : "-", p.index, encoding);
    };
    for (const points::Point& p : points::kSetpointTable)
        list("setpoint", p);
    for (const points::Point& p : points::kInputTable)
        list("input", p);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(kExitIo, "standard output",
                    std::string("cannot write: ") + std::strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    if (o.points)
        return listPoints(o.json);
    // The picture's file is made before the input is read: a path that cannot be written is
    // told at once, not after an hour of decoding.
    std::FILE* svg = nullptr;
    if (!o.svgOut.empty() && (svg = std::fopen(o.svgOut.c_str(), "w")) == nullptr)
        return fail(kExitCantCreate, o.svgOut,
                    std::string("cannot write: ") + std::strerror(errno));
    borldecode::Decoder d;
    borldecode::Printer out(stdout, o.json);
    borldecode::Night night;
    d.add(out);
    if (svg != nullptr)
        d.add(night);
    const int status = decode(o, d, out);
    if (status != 0) {
        if (svg != nullptr) {
            std::fclose(svg);
            std::remove(o.svgOut.c_str());
        }
        return status;
    }
    d.finish();
    if (!out.finish(d.summary))
        return fail(kExitIo, "standard output",
                    std::string("cannot write: ") + std::strerror(errno));
    if (svg != nullptr) {
        const std::string picture = night.svg(d.summary);
        if (std::fwrite(picture.data(), 1, picture.size(), svg) != picture.size() ||
            std::fclose(svg) != 0) {
            return fail(kExitCantCreate, o.svgOut,
                        std::string("cannot write: ") + std::strerror(errno));
        }
    }
    return 0;
}
