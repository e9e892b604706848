// borl-sim: plays the air-conditioning controller on a pseudo-terminal. It answers the daemon's
// poll and set frames with reply frames carrying a living data block, and misbehaves on demand
// (silence, refused sets, bad checksums, stray bytes, noise, delays, a line that goes away) so
// that the daemon's handling of a real, imperfect line can be tested end to end.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "commandLine.h"
#include "exchangeFile.h"
#include "simCommand.h"
#include "simController.h"
#include "simFrame.h"
#include "simGather.h"
#include "stopSignals.h"

namespace borlsim {
namespace {

using Clock = std::chrono::steady_clock;

// A frame start that stays incomplete this long is given up: the daemon writes whole frames.
constexpr auto kIdleFlush = std::chrono::milliseconds(500);
// Replies waiting for a reader; beyond this the line is considered stuck and replies are dropped.
constexpr size_t kMaxQueued = 64 * 1024;
constexpr uint8_t kStrayByte = 0x00;

struct Options {
    bool silent = false;
    bool refuse = false;
    bool applyLate = false;  // a set takes effect after the reply to its frame went out
    unsigned long badSumEvery = 0;
    unsigned long strayEvery = 0;
    double noise = 0.0;
    unsigned long delayMs = 0;
    std::optional<unsigned long> seed;  // none given: one from the time and the process
    std::string link;
    unsigned long hoursEvery = 10;
    bool verbose = false;
    bool quiet = false;
    bool exitOnEof = false;
    bool stamp = false;
    std::vector<std::string> replay;  // the files of a capture whose controller side is played
    unsigned long replaySpeed = 1;    // captured delays divided by this; 0: no delays
};

constexpr int kExitDataErr = 65;  // EX_DATAERR: the exchange file is not well formed

const char kUsage[] =
    "usage: borl-sim [options]\n"
    "       borl-sim --replay FILE... [--replay-speed N] [options]\n"
    "Plays the air-conditioning controller on a new pseudo-terminal.\n"
    "  --link PATH               keep a symlink PATH to the current pty\n"
    "  --silent                  answer nothing\n"
    "  --refuse-sets             answer sets with status 2, keep the old value\n"
    "  --apply-late              answer a set frame with the data as it was when the frame\n"
    "                            arrived, and apply the value after that reply\n"
    "  --bad-checksum-every N    every Nth reply with a wrong checksum (0 off)\n"
    "  --stray-byte-every N      a stray byte before every Nth reply (0 off)\n"
    "  --noise P                 corrupt each reply byte with probability P\n"
    "  --delay-ms N              hold each reply back N milliseconds\n"
    "  --hours-every N           one run hour per N answered frames (0 stops)\n"
    "  --seed N                  random seed, for repeatable runs\n"
    "  --verbose                 dump frames on standard error\n"
    "  --quiet                   print only the pty lines\n"
    "  --exit-on-eof             exit at the end of standard input (with --replay: at the\n"
    "                            end of the capture)\n"
    "  --replay FILE...          play the controller's side of a capture of borl1d (its\n"
    "                            files in any order, or - for standard input): each frame\n"
    "                            of the daemon is answered with what the controller sent\n"
    "                            after the same frame in the capture\n"
    "  --replay-speed N          the captured delays N times shorter (0: none)\n"
    "  --stamp                   print \"tx sent t=SECONDS\" (monotonic clock) once the\n"
    "                            last byte of each reply is written\n"
    "  -h, --help                print this help and exit\n"
    "  -V, --version             print the version and exit\n"
    "Commands on standard input: silent on|off, refuse on|off, deaf on|off, badsum N,\n"
    "stray N, noise P, delay MS, poke I V, hangup, quit.\n"
    "Exit status: 0 on quit, SIGTERM or SIGINT (with --replay and --exit-on-eof also at the\n"
    "end of the capture); 1 when no line can be opened; 64 for a bad option; 65 for a\n"
    "malformed capture; 66 for a capture file that cannot be read.\n";

// One option as the command line read it, and the options it goes into.
struct Given {
    const toolcommon::CommandLine& cli;
    const toolcommon::OptionDefinition& opt;
    const char* value;
    Options& o;

    unsigned long count(unsigned long max, const char* what = "a number") const {
        return cli.number(opt, value, max, what);
    }
    // The value as it stands; it may not be empty.
    const char* text(const char* what) const {
        if (*value == '\0')
            cli.refuse(opt, what, value);
        return value;
    }
};

// The simulator's options, each with what it does, in the order an ambiguous prefix lists them;
// an option's key is kFirstKey plus its place here.
constexpr int kFirstKey = 256;
const struct {
    const char* name;
    bool takesValue;
    void (*take)(const Given& g);
} kOptions[] = {
    {"silent", false, [](const Given& g) { g.o.silent = true; }},
    {"refuse-sets", false, [](const Given& g) { g.o.refuse = true; }},
    {"apply-late", false, [](const Given& g) { g.o.applyLate = true; }},
    {"bad-checksum-every", true, [](const Given& g) { g.o.badSumEvery = g.count(1000000UL); }},
    {"stray-byte-every", true, [](const Given& g) { g.o.strayEvery = g.count(1000000UL); }},
    {"noise", true, [](const Given& g) { g.o.noise = g.cli.probability(g.opt, g.value); }},
    {"delay-ms", true, [](const Given& g) { g.o.delayMs = g.count(kMaxDelayMs, "milliseconds"); }},
    {"seed", true, [](const Given& g) { g.o.seed = g.count(0xFFFFFFFFUL); }},
    {"link", true, [](const Given& g) { g.o.link = g.text("a path"); }},
    {"hours-every", true, [](const Given& g) { g.o.hoursEvery = g.count(1000000UL); }},
    {"verbose", false, [](const Given& g) { g.o.verbose = true; }},
    {"quiet", false, [](const Given& g) { g.o.quiet = true; }},
    {"exit-on-eof", false, [](const Given& g) { g.o.exitOnEof = true; }},
    {"stamp", false, [](const Given& g) { g.o.stamp = true; }},
    {"replay", true, [](const Given& g) { g.o.replay.push_back(g.text("a file")); }},
    {"replay-speed", true, [](const Given& g) { g.o.replaySpeed = g.count(1000000UL); }},
};

// Reads the options; a bad one ends the process with status 64 before anything is opened.
Options parseOptions(int argc, char** argv) {
    const toolcommon::CommandLine cli("borl-sim", BORL1D_VERSION, kUsage);
    std::vector<toolcommon::OptionDefinition> definitions;
    for (const auto& option : kOptions)
        definitions.push_back(
            {option.name, option.takesValue, kFirstKey + static_cast<int>(definitions.size())});
    Options o;
    std::vector<std::string> files;  // the further files of --replay
    cli.parse(
        argc, argv, definitions,
        [&](const toolcommon::OptionDefinition& opt, const char* value) {
            kOptions[opt.key - kFirstKey].take(Given{cli, opt, value, o});
        },
        &files);
    if (!files.empty() && o.replay.empty())
        cli.fail("unexpected argument \"" + files[0] + "\"");
    for (const std::string& f : files) {
        if (f.empty())
            cli.fail("--replay takes files, not \"\"");
        o.replay.push_back(f);
    }
    if (o.replay.size() > 1 && std::find(o.replay.begin(), o.replay.end(), "-") != o.replay.end())
        cli.fail("--replay: - (standard input) is read alone, not with files");
    return o;
}

struct Pty {
    int master = -1;
    int slave = -1;  // held open so the line stays up between the daemon's opens
    std::string path;
};

bool setNonBlockCloexec(int fd) {
    const int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Opens a new pty pair with the line in raw mode (no echo, no character translation: frames
// are binary). Returns false with `error` set.
bool openPty(Pty& p, std::string& error) {
    Pty n;
    n.master = posix_openpt(O_RDWR | O_NOCTTY);
    const auto fail = [&](const std::string& step) {
        error = step + ": " + std::strerror(errno);
        if (n.master >= 0)
            close(n.master);
        return false;
    };
    if (n.master < 0)
        return fail("posix_openpt");
    char name[128];
    termios tio{};
    if (grantpt(n.master) != 0 || unlockpt(n.master) != 0 ||
        ptsname_r(n.master, name, sizeof name) != 0 || tcgetattr(n.master, &tio) != 0)
        return fail("pty set-up");
    cfmakeraw(&tio);
    if (tcsetattr(n.master, TCSANOW, &tio) != 0 || !setNonBlockCloexec(n.master))
        return fail("pty raw mode");
    n.path = name;
    n.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (n.slave < 0)
        return fail("open " + n.path);
    p = n;
    return true;
}

void closePty(Pty& p) {
    if (p.slave >= 0)
        close(p.slave);
    if (p.master >= 0)
        close(p.master);
    p = Pty{};
}

// What goes to the line at its time: reply bytes, or (a replay) the port lost or back.
enum class LineChange { None, Down, Up };

struct Reply {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    std::vector<std::string> lines;  // event lines printed when the reply goes out
    LineChange change = LineChange::None;
};

// The controller's side of a capture: for each frame the daemon wrote, what the line brought
// back after it until the next frame, with the delays after the frame.
// Bytes of a capture's record, shared by the records that repeat them (a steady line's polls and
// replies), so that a long capture takes little memory.
using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

struct ReplayStep {
    SharedBytes tx;  // the frame as captured; when `partial`, the bytes of it that reached the
                     // line before it was abandoned or its write failed
    bool partial = false;
    size_t line = 0;  // its line in the file (0: the bytes before the first frame)
    uint64_t t = 0;   // its time in the capture
    struct Chunk {
        uint64_t delayUs;
        SharedBytes bytes;
        size_t line;
    };
    std::vector<Chunk> chunks;
    std::vector<std::string> records;  // the daemon's records of the step: "line=L at=W kind ..."
    struct PortChange {
        uint64_t delayUs;
        LineChange change;  // lost: Down; reopen: Up
        size_t line;
    };
    std::vector<PortChange> port;
};

// A set-recorded record not yet placed: it is said with the step whose frame came before it,
// unless its set frame follows one frame later (below).
struct RecordedSet {
    int param;
    int value;
    size_t step;
    std::string text;
};

struct Replay {
    std::vector<ReplayStep> steps;  // steps[0]: what came before the first frame
    std::vector<RecordedSet> sets;
    SharedBytes last[2];  // the last tx and rx bytes
    uint64_t wallUs = 0;  // t = 0 of the capture
    uint64_t endUs = 0;   // t of its last record
    std::string start;    // the fields of its first start record
    size_t frames = 0;
};

constexpr int kExitUnreadable = 66;  // EX_NOINPUT: a file of the capture cannot be read

// The daemon's own records (sets and the controller's state), as the "replay record" lines
// name them; false for the others.
bool outcomeText(const exchangefile::Record& r, std::string& out) {
    using exchangefile::Kind;
    if (r.kind != Kind::SetRecorded && r.kind != Kind::SetConfirmed && r.kind != Kind::SetGivenUp &&
        r.kind != Kind::Online && r.kind != Kind::Offline)
        return false;
    out = exchangefile::kindName(r.kind);
    if (r.kind != Kind::Online && r.kind != Kind::Offline)
        out += " " + std::to_string(r.param) + " " + std::to_string(r.value);
    return true;
}

// Places the recorded sets once a new frame is read. The daemon chooses a cycle's frame before
// it writes and records it, so a set picked up in between is recorded before a poll that was
// already chosen, and its set frame follows one frame later: such a set is said with the step
// of that poll, so that the replayed daemon gets it in the cycle before its set frame.
void placeSets(Replay& replay, bool atEnd) {
    const size_t last = replay.steps.size() - 1;
    const ReplayStep& step = replay.steps[last];
    Request rq;
    if (!atEnd && step.tx->size() == kFrameSize)
        rq = parseRequest(step.tx->data());
    for (auto it = replay.sets.begin(); it != replay.sets.end();) {
        const bool itsFrame =
            rq.kind == RequestKind::Set && rq.param == it->param && rq.value == it->value;
        if (!atEnd && !itsFrame && last < it->step + 2) {
            ++it;
            continue;
        }
        const size_t to = itsFrame && last == it->step + 2 ? it->step + 1 : it->step;
        auto& records = replay.steps[to].records;  // a set goes first: vexad sent it at once
        records.insert(records.begin(), it->text);
        it = replay.sets.erase(it);
    }
}

// `bytes` shared with the last record of their direction when they are the same.
SharedBytes share(SharedBytes& last, const std::vector<uint8_t>& bytes) {
    if (last == nullptr || *last != bytes)
        last = std::make_shared<const std::vector<uint8_t>>(bytes);
    return last;
}

// One record into the steps: a tx begins a step; an abandoned or failed frame marks the step
// of the bytes that reached the line (n > 0) or is a step of its own (n = 0).
void addRecord(Replay& replay, const exchangefile::Record& r) {
    using exchangefile::Kind;
    auto& steps = replay.steps;
    const auto wall = [&](uint64_t t) { return exchangefile::wallText(replay.wallUs + t, 3); };
    replay.endUs = r.t;
    std::string text;
    if (r.kind == Kind::Tx || ((r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) &&
                               (r.value == 0 || steps.size() == 1))) {
        ReplayStep step;
        // An abandoned or failed frame of its own: none of its bytes reached the line.
        step.tx = r.kind == Kind::Tx ? share(replay.last[0], r.bytes)
                                     : std::make_shared<const std::vector<uint8_t>>();
        step.partial = r.kind != Kind::Tx;
        step.line = r.line;
        step.t = r.t;
        steps.push_back(std::move(step));
        ++replay.frames;
        placeSets(replay, false);
    } else if (r.kind == Kind::Abandoned || r.kind == Kind::WriteFailed) {
        ReplayStep& step = steps.back();
        step.partial = true;
        const size_t n = std::min(step.tx->size(), static_cast<size_t>(r.value));
        step.tx =
            std::make_shared<const std::vector<uint8_t>>(step.tx->begin(), step.tx->begin() + n);
    } else if (r.kind == Kind::Rx) {
        ReplayStep& step = steps.back();
        step.chunks.push_back(
            {steps.size() == 1 ? 0 : r.t - step.t, share(replay.last[1], r.bytes), r.line});
    } else if ((r.kind == Kind::Lost || r.kind == Kind::Reopen) && steps.size() > 1) {
        ReplayStep& step = steps.back();
        step.port.push_back(
            {r.t - step.t, r.kind == Kind::Lost ? LineChange::Down : LineChange::Up, r.line});
    } else if (r.kind == Kind::Start && replay.start.empty()) {
        replay.start = r.text;
    } else if (outcomeText(r, text)) {
        steps.back().records.push_back("line=" + std::to_string(r.line) + " at=" + wall(r.t) + " " +
                                       text);
    }
}

// Reads the capture, its files in time order; 0, or the exit status after "FILE:LINE: what".
// A file cut inside its last line is read up to there, with a warning.
int loadReplay(const std::vector<std::string>& files, Replay& replay) {
    exchangefile::Sequence capture(files);
    exchangefile::Record r;
    replay.steps.resize(1);
    for (;;) {
        const exchangefile::Sequence::Result got = capture.next(r);
        if (got == exchangefile::Sequence::Got) {
            replay.wallUs = capture.wallUs();
            addRecord(replay, r);
            continue;
        }
        if (got == exchangefile::Sequence::End) {
            placeSets(replay, true);
            return 0;
        }
        if (got == exchangefile::Sequence::Unreadable) {
            std::fprintf(stderr, "borl-sim: %s: %s\n", capture.file().c_str(),
                         capture.why().c_str());
            return kExitUnreadable;
        }
        std::fprintf(stderr, "borl-sim: %s%s:%zu: %s\n",
                     got == exchangefile::Sequence::Cut ? "warning: " : "", capture.file().c_str(),
                     capture.line(), capture.why().c_str());
        if (got == exchangefile::Sequence::Fault)
            return kExitDataErr;
    }
}

// What a daemon frame asks for, as the "rx" lines say it: "poll", "set p=P v=V" or "bad REASON".
std::string requestText(const Request& rq) {
    switch (rq.kind) {
        case RequestKind::Poll:
            return "poll";
        case RequestKind::Set:
            return "set p=" + std::to_string(rq.param) + " v=" + std::to_string(rq.value);
        case RequestKind::Bad:
            break;
    }
    return std::string("bad ") + rq.reason;
}

// A frame as the "replay diverged" line names it.
std::string describe(const uint8_t* frame, size_t n) {
    if (n != kFrameSize)
        return std::to_string(n) + " bytes";
    const Request rq = parseRequest(frame);
    if (rq.kind == RequestKind::Bad)
        return std::string("bad frame (") + rq.reason + ")";
    return requestText(rq);
}

class Simulator {
public:
    // `replay`: with --replay, the capture's steps.
    // `commands`: standard input carries commands (it does not when it carried the capture).
    Simulator(const Options& o, int stopFd, Replay replay, bool commands)
        : mOpt(o),
          mStopFd(stopFd),
          mModel(static_cast<uint32_t>(*o.seed), static_cast<unsigned>(o.hoursEvery)),
          mStdinOpen(commands),
          mReplay(std::move(replay)) {}

    int run();

private:
    void replayAnswer(const GatherEvent& e);
    void replayStart();
    void replayRecords(const ReplayStep& step);
    void replayProgress();
    __attribute__((format(printf, 2, 3))) void event(const char* fmt, ...);
    void dump(const char* direction, const uint8_t* data, size_t n) const;
    void ptyLine();
    bool relink();
    void removeLink();
    void hangup();
    void schedule(Reply r);
    void changeLine(LineChange change);
    void onMasterReadable();
    void onStdinReadable();
    void handleGatherEvents();
    void answer(const Request& rq);
    void sendDue(Clock::time_point now);
    void flushOut();
    void stampSent();
    void execute(const std::string& line);
    int pollTimeoutMs(Clock::time_point now) const;

    Options mOpt;
    int mStopFd;  // readable once SIGTERM or SIGINT arrived
    ControllerModel mModel;
    Pty mPty;
    RequestGatherer mGather;
    std::vector<GatherEvent> mEvents;
    Clock::time_point mLastRx{};
    std::deque<Reply> mPending;
    std::vector<uint8_t> mOut;
    unsigned mUnstamped = 0;  // replies in mOut whose last byte is not written yet (--stamp)
    unsigned long mBadSumCount = 0;
    unsigned long mStrayCount = 0;
    bool mStdinOpen = true;
    std::string mStdinLine;
    bool mDiscardingLongLine = false;
    bool mQuit = false;
    bool mDeaf = false;  // the line is not read (command "deaf on")
    Replay mReplay;
    size_t mReplayNext = 1;  // steps[0] holds what the capture has before its first frame
    bool mReplayDone = false;
};

void Simulator::event(const char* fmt, ...) {
    if (mOpt.quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// With --verbose: the bytes of a frame on standard error, "rx frame: 41 49 4F ...".
void Simulator::dump(const char* direction, const uint8_t* data, size_t n) const {
    if (!mOpt.verbose)
        return;
    std::string hex;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        hex += b;
    }
    std::fprintf(stderr, "%s frame: %s\n", direction, hex.c_str());
}

void Simulator::ptyLine() {
    std::printf("pty: %s\n", mPty.path.c_str());
    std::fflush(stdout);
}

// Points the link at the current line atomically: a symlink under a temporary name renamed over
// it, so a reader never finds the link missing or half made.
bool Simulator::relink() {
    if (mOpt.link.empty())
        return true;
    const std::string tmp = mOpt.link + ".tmp." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(mPty.path.c_str(), tmp.c_str()) != 0) {
        std::fprintf(stderr, "borl-sim: symlink %s: %s\n", tmp.c_str(), std::strerror(errno));
        return false;
    }
    if (rename(tmp.c_str(), mOpt.link.c_str()) != 0) {
        std::fprintf(stderr, "borl-sim: rename to %s: %s\n", mOpt.link.c_str(),
                     std::strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes the link on exit, but only while it still points at our line: another simulator may
// have taken the name over.
void Simulator::removeLink() {
    if (mOpt.link.empty())
        return;
    char target[256];
    const ssize_t n = readlink(mOpt.link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = '\0';
    if (mPty.path == target)
        unlink(mOpt.link.c_str());
}

// Drops the line: the new pty is opened before the old one is closed so that it gets a new
// name, and the daemon holding the old one sees its port go away.
void Simulator::hangup() {
    Pty fresh;
    std::string error;
    if (!openPty(fresh, error)) {
        std::fprintf(stderr, "borl-sim: hangup: %s; keeping the old line\n", error.c_str());
        return;
    }
    closePty(mPty);
    mPty = fresh;
    mGather = RequestGatherer{};
    mPending.clear();
    mOut.clear();
    mUnstamped = 0;
    relink();
    ptyLine();
}

void Simulator::onMasterReadable() {
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(mPty.master, buf, sizeof buf);
        if (n > 0) {
            mLastRx = Clock::now();
            mGather.feed(buf, static_cast<size_t>(n), mEvents);
            handleGatherEvents();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // With our own slave descriptor open the master cannot see a hang-up; if it fails all
        // the same, start over on a new line rather than spin on a dead one.
        std::fprintf(stderr, "borl-sim: pty read: %s; opening a new line\n",
                     n == 0 ? "end of file" : std::strerror(errno));
        hangup();
        return;
    }
}

void Simulator::handleGatherEvents() {
    for (const GatherEvent& e : mEvents) {
        switch (e.type) {
            case GatherEvent::Type::Garbage:
                event("rx bad garbage n=%zu", e.count);
                break;
            case GatherEvent::Type::Short:
                event("rx bad short n=%zu", e.count);
                break;
            case GatherEvent::Type::Complete:
                dump("rx", e.frame.data(), e.frame.size());
                event("rx %s", requestText(e.request).c_str());
                if (!mOpt.replay.empty())
                    replayAnswer(e);
                else
                    answer(e.request);
                break;
        }
    }
    mEvents.clear();
}

void Simulator::answer(const Request& rq) {
    if (rq.kind == RequestKind::Bad || mOpt.silent)
        return;  // a silent controller stores nothing and counts nothing

    uint8_t status = kStatusOk;
    const bool set = rq.kind == RequestKind::Set;
    if (set && mOpt.refuse) {
        status = kStatusRefused;
    } else if (set && !mOpt.applyLate) {
        mModel.applySet(rq.param, rq.value);
    }
    mModel.exchange();
    Frame frame = buildReply(mModel.block(), status);
    if (set && !mOpt.refuse && mOpt.applyLate)
        mModel.applySet(rq.param, rq.value);  // shows in the reply to the next frame

    Reply r;
    r.due = Clock::now() + std::chrono::milliseconds(mOpt.delayMs);
    if (mOpt.strayEvery != 0 && ++mStrayCount % mOpt.strayEvery == 0) {
        r.bytes.push_back(kStrayByte);
        r.lines.push_back("tx corrupt stray");
    }
    if (mOpt.badSumEvery != 0 && ++mBadSumCount % mOpt.badSumEvery == 0) {
        frame[kFrameSize - 2] = static_cast<uint8_t>(~frame[kFrameSize - 2]);
        r.lines.push_back("tx corrupt badsum");
    }
    if (mOpt.noise > 0.0) {
        unsigned hit = 0;
        for (uint8_t& b : frame) {
            const double u = static_cast<double>(mModel.rng()()) / 4294967296.0;
            if (u < mOpt.noise) {
                b = static_cast<uint8_t>(b ^ (1u + mModel.rng()() % 255u));
                ++hit;
            }
        }
        if (hit)
            r.lines.push_back("tx corrupt noise n=" + std::to_string(hit));
    }
    r.bytes.insert(r.bytes.end(), frame.begin(), frame.end());
    r.lines.push_back("tx reply status=" + std::to_string(status));
    mPending.push_back(std::move(r));
    sendDue(Clock::now());
}

// The capture as the replay begins: its time span, its frames and its first start record.
void Simulator::replayStart() {
    const auto wall = [&](uint64_t t) { return exchangefile::wallText(mReplay.wallUs + t, 3); };
    event("replay capture from=%s to=%s frames=%zu%s%s", wall(0).c_str(),
          wall(mReplay.endUs).c_str(), mReplay.frames, mReplay.start.empty() ? "" : " ",
          mReplay.start.c_str());
}

// The daemon's records of a step, said as its frame arrives: a set that vexad sent in this
// cycle of the capture ("replay record ... set-recorded P V"), and the outcomes to expect.
void Simulator::replayRecords(const ReplayStep& step) {
    for (const std::string& r : step.records)
        event("replay record %s", r.c_str());
}

// The next step of the capture answers the daemon's frame, whatever that frame is: a frame that
// differs from the captured one is said on a "replay diverged" line. The frame of a step that
// was abandoned or failed in the capture matches when it begins with the bytes that reached the
// line then: the replayed daemon writes whole frames to a line that takes them.
void Simulator::replayAnswer(const GatherEvent& e) {
    if (mReplayNext >= mReplay.steps.size())
        return;  // the capture is over: silence
    const size_t index = mReplayNext++;
    const ReplayStep& step = mReplay.steps[index];
    const std::string at = exchangefile::wallText(mReplay.wallUs + step.t, 3);
    event("replay step %zu line=%zu at=%s", index, step.line, at.c_str());
    if (index == 1)  // the records before the first frame: the daemon runs by now
        replayRecords(mReplay.steps[0]);
    replayRecords(step);
    const std::vector<uint8_t>& tx = *step.tx;
    const bool same = (step.partial ? tx.size() <= e.frame.size() : tx.size() == e.frame.size()) &&
                      std::equal(tx.begin(), tx.end(), e.frame.begin());
    if (!same) {
        const std::string captured =
            step.partial ? "a frame cut off after " + std::to_string(tx.size()) + " bytes"
                         : describe(tx.data(), tx.size());
        event("replay diverged at line %zu (%s): the daemon sent %s, the capture has %s", step.line,
              at.c_str(), describe(e.frame.data(), e.frame.size()).c_str(), captured.c_str());
    }
    const Clock::time_point now = Clock::now();
    std::vector<ReplayStep::Chunk> chunks = step.chunks;
    if (index == 1)  // what the line brought before the first frame goes after it
        chunks.insert(chunks.begin(), mReplay.steps[0].chunks.begin(),
                      mReplay.steps[0].chunks.end());
    for (const ReplayStep::Chunk& c : chunks) {
        const uint64_t us = mOpt.replaySpeed == 0 ? 0 : c.delayUs / mOpt.replaySpeed;
        const std::string said =
            "tx replay n=" + std::to_string(c.bytes->size()) + " line=" + std::to_string(c.line);
        schedule(Reply{now + std::chrono::microseconds(us), *c.bytes, {said}});
    }
    for (const ReplayStep::PortChange& c : step.port) {
        const uint64_t us = mOpt.replaySpeed == 0 ? 0 : c.delayUs / mOpt.replaySpeed;
        const std::string said = std::string(c.change == LineChange::Down ? "replay lost line="
                                                                          : "replay reopen line=") +
                                 std::to_string(c.line);
        schedule(Reply{now + std::chrono::microseconds(us), {}, {said}, c.change});
    }
    sendDue(now);
}

// A reply into the queue in time order, whatever the delays of steps that overlap.
void Simulator::schedule(Reply r) {
    auto pos = std::upper_bound(mPending.begin(), mPending.end(), r.due,
                                [](Clock::time_point t, const Reply& p) { return t < p.due; });
    mPending.insert(pos, std::move(r));
}

// The port of the capture lost: the line goes away and its link with it, so that the daemon's
// re-opens fail until the capture has the port back (Up): the link then names a new line.
void Simulator::changeLine(LineChange change) {
    if (change == LineChange::Up) {
        relink();
        ptyLine();
        return;
    }
    Pty fresh;
    std::string error;
    if (!openPty(fresh, error)) {
        std::fprintf(stderr, "borl-sim: replay of a lost port: %s; keeping the line\n",
                     error.c_str());
        return;
    }
    removeLink();
    closePty(mPty);
    mPty = fresh;
    mGather = RequestGatherer{};
    mOut.clear();
    mUnstamped = 0;
}

// Once the last step's bytes are on the line: "replay done", and the end with --exit-on-eof.
void Simulator::replayProgress() {
    if (mOpt.replay.empty() || mReplayDone || mReplayNext < mReplay.steps.size() ||
        !mPending.empty() || !mOut.empty())
        return;
    mReplayDone = true;
    event("replay done");
    if (mOpt.exitOnEof)
        mQuit = true;
}

void Simulator::sendDue(Clock::time_point now) {
    while (!mPending.empty() && mPending.front().due <= now) {
        Reply& r = mPending.front();
        if (r.change != LineChange::None) {
            const LineChange change = r.change;
            event("%s", r.lines[0].c_str());
            mPending.pop_front();
            changeLine(change);
            continue;
        }
        if (mOut.size() + r.bytes.size() > kMaxQueued) {
            std::fprintf(stderr, "borl-sim: nobody reads the line; reply dropped\n");
        } else {
            dump("tx", r.bytes.data(), r.bytes.size());
            mOut.insert(mOut.end(), r.bytes.begin(), r.bytes.end());
            for (const std::string& l : r.lines)
                event("%s", l.c_str());
            if (mOpt.stamp)
                ++mUnstamped;
        }
        mPending.pop_front();
    }
    flushOut();
}

void Simulator::flushOut() {
    while (!mOut.empty()) {
        const ssize_t n = write(mPty.master, mOut.data(), mOut.size());
        if (n > 0) {
            mOut.erase(mOut.begin(), mOut.begin() + n);
            if (mOut.empty())
                stampSent();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            std::fprintf(stderr, "borl-sim: pty write: %s\n", std::strerror(errno));
            mOut.clear();
            mUnstamped = 0;
        }
        return;  // the line is full: poll() says when it drains
    }
}

// With --stamp: the moment the last byte of each reply went into the line, on the monotonic
// clock that other processes of the machine read too, so a script can time what follows.
void Simulator::stampSent() {
    if (mUnstamped == 0)
        return;
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    for (; mUnstamped > 0; --mUnstamped)
        event("tx sent t=%ld.%09ld", static_cast<long>(ts.tv_sec), ts.tv_nsec);
}

void Simulator::onStdinReadable() {
    char buf[1024];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return;
        std::fprintf(stderr, "borl-sim: standard input: %s\n", std::strerror(errno));
    }
    if (n <= 0) {
        if (!mStdinLine.empty() && !mDiscardingLongLine)
            execute(mStdinLine);
        mStdinLine.clear();
        mStdinOpen = false;
        if (mOpt.exitOnEof && mOpt.replay.empty())
            mQuit = true;
        return;
    }
    for (ssize_t i = 0; i < n && !mQuit; ++i) {
        if (buf[i] == '\n') {
            if (!mDiscardingLongLine)
                execute(mStdinLine);
            mDiscardingLongLine = false;
            mStdinLine.clear();
        } else if (mStdinLine.size() < 256) {
            mStdinLine += buf[i];
        } else if (!mDiscardingLongLine) {
            event("error line too long");
            mDiscardingLongLine = true;
        }
    }
}

void Simulator::execute(const std::string& line) {
    Command c;
    std::string error;
    if (!parseCommand(line, c, error)) {
        event("error %s", error.c_str());
        return;
    }
    switch (c.op) {
        case Command::Op::None:
            return;
        case Command::Op::Silent:
            mOpt.silent = c.on;
            break;
        case Command::Op::Refuse:
            mOpt.refuse = c.on;
            break;
        case Command::Op::Deaf:
            mDeaf = c.on;
            break;
        case Command::Op::BadSum:
            mOpt.badSumEvery = c.n;
            mBadSumCount = 0;
            break;
        case Command::Op::Stray:
            mOpt.strayEvery = c.n;
            mStrayCount = 0;
            break;
        case Command::Op::Noise:
            mOpt.noise = c.probability;
            break;
        case Command::Op::Delay:
            mOpt.delayMs = c.n;
            break;
        case Command::Op::Poke:
            mModel.poke(c.index, c.value);
            break;
        case Command::Op::Hangup:
            hangup();  // the echo follows the new pty line
            break;
        case Command::Op::Quit:
            mQuit = true;
            break;
    }
    // Echo the command once it has taken effect, so a script can wait for it before it goes on.
    std::string echo;
    std::istringstream words(line);
    for (std::string w; words >> w;)
        echo += (echo.empty() ? "" : " ") + w;
    event("ok %s", echo.c_str());
}

int Simulator::pollTimeoutMs(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    if (!mPending.empty())
        next = mPending.front().due;
    if (mGather.holding())
        next = std::min(next, mLastRx + kIdleFlush);
    if (next == Clock::time_point::max())
        return -1;
    if (next <= now)
        return 0;
    // Round up so the wake-up never comes a hair early and loops on a zero timeout.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<long long>(ms, 60000));
}

int Simulator::run() {
    std::string error;
    if (!openPty(mPty, error)) {
        std::fprintf(stderr, "borl-sim: cannot open a pty: %s\n", error.c_str());
        return 1;
    }
    // The link is in place before the pty line appears, so a reader of the line may use it.
    if (!relink()) {
        closePty(mPty);
        return 1;
    }
    ptyLine();
    if (!mOpt.replay.empty())
        replayStart();

    while (!mQuit) {
        // A deaf controller leaves the line unread: what the daemon writes piles up until the
        // line takes no more, as behind a wedged adapter or held flow control.
        const auto line = static_cast<short>((mDeaf ? 0 : POLLIN) | (mOut.empty() ? 0 : POLLOUT));
        // A closed standard input is left out (a negative descriptor is not watched).
        pollfd fds[3] = {{mStopFd, POLLIN, 0},
                         {mPty.master, line, 0},
                         {mStdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        const int rc = poll(fds, 3, pollTimeoutMs(Clock::now()));
        if (rc < 0 && errno != EINTR) {
            std::fprintf(stderr, "borl-sim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (rc > 0) {
            if (fds[0].revents)
                break;  // SIGTERM or SIGINT
            if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
                onMasterReadable();
            if (fds[1].revents & POLLOUT)
                flushOut();
            if (fds[2].revents)
                onStdinReadable();
        }
        const auto now = Clock::now();
        sendDue(now);
        replayProgress();
        if (mGather.holding() && now - mLastRx >= kIdleFlush) {
            mGather.flush(mEvents);
            handleGatherEvents();
        }
    }
    flushOut();
    removeLink();
    closePty(mPty);
    return 0;
}

}  // namespace
}  // namespace borlsim

int main(int argc, char** argv) {
    using namespace borlsim;
    Options o = parseOptions(argc, argv);
    if (!o.seed) {
        o.seed = static_cast<unsigned long>(std::time(nullptr)) ^
                 (static_cast<unsigned long>(getpid()) << 16);
    }
    Replay replay;
    if (!o.replay.empty()) {
        if (const int status = loadReplay(o.replay, replay))
            return status;
    }
    const bool stdinRead = o.replay.size() == 1 && o.replay[0] == "-";
    toolcommon::StopSignals stop;
    if (stop.fd() < 0) {
        std::perror("borl-sim: signalfd");
        return 1;
    }
    return Simulator(o, stop.fd(), std::move(replay), !stdinRead).run();
}
