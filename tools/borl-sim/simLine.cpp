#include "simLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <sstream>

#include "commandLine.h"
#include "exchangeFile.h"

namespace borlsim {
namespace {

using toolcommon::parseProbability;
using toolcommon::parseUnsigned;

// A frame start that stays incomplete this long is given up: the daemon writes whole frames.
constexpr auto kIdleFlush = std::chrono::milliseconds(500);
// Replies waiting for a reader; beyond this the line is considered stuck and replies are dropped.
constexpr size_t kMaxQueued = 64 * 1024;

struct Pty {
    int master = -1;
    int slave = -1;  // held open so the line stays up between the daemon's opens
    std::string path;
};

// Opens a new pty pair with the line in raw mode (no echo, no character translation: frames
// are binary). Returns false with `error` set.
bool openPty(Pty& p, std::string& error) {
    Pty n;
    n.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
    if (tcsetattr(n.master, TCSANOW, &tio) != 0)
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

// The commands on standard input: a line in, a command or an error out.
using Words = std::vector<std::string>;

// `ok`, or false with `error` set to `why`.
bool check(bool ok, const std::string& why, std::string& error) {
    if (!ok)
        error = why;
    return ok;
}

// The arguments' parsers by the kind of command; false with `error` set.
bool onOff(const Words& w, Command& cmd, std::string& error) {
    cmd.on = w[1] == "on";
    return check(cmd.on || w[1] == "off", w[0] + " takes on or off", error);
}

bool count(const Words& w, Command& cmd, std::string& error) {
    return check(parseUnsigned(w[1], 1000000UL, cmd.n), w[0] + " takes a count, 0 for off", error);
}

bool delay(const Words& w, Command& cmd, std::string& error) {
    return check(parseUnsigned(w[1], kMaxDelayMs, cmd.n),
                 "delay takes milliseconds, 0.." + std::to_string(kMaxDelayMs), error);
}

bool probability(const Words& w, Command& cmd, std::string& error) {
    return check(parseProbability(w[1], cmd.probability), "noise takes a probability, 0..1", error);
}

bool poke(const Words& w, Command& cmd, std::string& error) {
    unsigned long index = 0, value = 0;
    const bool ok = parseUnsigned(w[1], kBlockSize - 1, index) && parseUnsigned(w[2], 255, value);
    cmd.index = index;
    cmd.value = static_cast<uint8_t>(value);
    return check(ok,
                 "poke takes an index 0.." + std::to_string(kBlockSize - 1) + " and a value 0..255",
                 error);
}

bool none(const Words&, Command&, std::string&) {
    return true;
}

// Every command: its name, what it does, how many arguments it takes and how they are read.
struct CommandForm {
    const char* name;
    Command::Op op;
    size_t args;
    bool (*parse)(const Words&, Command&, std::string&);
};

const CommandForm kForms[] = {
    {"silent", Command::Op::Silent, 1, onOff},     {"refuse", Command::Op::Refuse, 1, onOff},
    {"deaf", Command::Op::Deaf, 1, onOff},         {"badsum", Command::Op::BadSum, 1, count},
    {"stray", Command::Op::Stray, 1, count},       {"delay", Command::Op::Delay, 1, delay},
    {"noise", Command::Op::Noise, 1, probability}, {"poke", Command::Op::Poke, 2, poke},
    {"hangup", Command::Op::Hangup, 0, none},      {"quit", Command::Op::Quit, 0, none},
};

class Line {
public:
    Line(const LineOptions& o, int stopFd, Answerer& answerer)
        : mOpt(o), mStopFd(stopFd), mAnswerer(answerer) {}

    int run() {
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
        say("pty: " + mPty.path, true);
        for (const std::string& l : mAnswerer.begin())
            say(l);
        while (!mQuit) {
            // A deaf controller leaves the line unread: what the daemon writes piles up until the
            // line takes no more, as behind a wedged adapter or held flow control.
            const auto line =
                static_cast<short>((mDeaf ? 0 : POLLIN) | (mOut.empty() ? 0 : POLLOUT));
            // A closed standard input is left out (a negative descriptor is not watched).
            pollfd fds[3] = {{mStopFd, POLLIN, 0},
                             {mPty.master, line, 0},
                             {mStdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
            const int rc = poll(fds, 3, pollTimeoutMs(Clock::now()));
            if (rc < 0 && errno != EINTR) {
                std::fprintf(stderr, "borl-sim: poll: %s\n", std::strerror(errno));
                break;
            }
            if (fds[0].revents)
                break;  // SIGTERM or SIGINT
            if (fds[1].revents & (POLLIN | POLLERR | POLLHUP))
                onMasterReadable();
            if (fds[1].revents & POLLOUT)
                flushOut();
            if (fds[2].revents)
                onStdinReadable();
            const auto now = Clock::now();
            sendDue(now);
            finish();
            if (mGather.holding() && now - mLastRx >= kIdleFlush) {
                mGather.flush(mEvents);
                handleGatherEvents();
            }
        }
        flushOut();
        removeLink(mPty.path);
        closePty(mPty);
        return 0;
    }

private:
    int pollTimeoutMs(Clock::time_point now) const {
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

    // One event line on standard output, flushed at once: tests and scripts wait for it. Only
    // the "pty:" lines are printed with --quiet.
    void say(const std::string& line, bool always = false) {
        if (mOpt.quiet && !always)
            return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    // With --verbose: the bytes of a frame on standard error, "rx frame: 41 49 4F ...".
    void dump(const char* direction, const uint8_t* data, size_t n) const {
        if (mOpt.verbose)
            std::fprintf(stderr, "%s frame: %s\n", direction, exchangefile::hex(data, n).c_str());
    }

    // Points the link at the current line atomically: a symlink under a temporary name renamed
    // over it, so a reader never finds the link missing or half made.
    bool relink() {
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

    // Removes the link, but only while it still points at the line `path`: another simulator
    // may have taken the name over.
    void removeLink(const std::string& path) {
        std::error_code error;
        if (!mOpt.link.empty() && std::filesystem::read_symlink(mOpt.link, error) == path)
            unlink(mOpt.link.c_str());
    }

    // A new line in place of the current one, opened before the old one is closed so that it
    // gets a new name: the daemon holding the old one sees its port go away. Bytes not yet
    // written are dropped. False, the line kept, when no new one can be opened.
    bool replaceLine(const char* what, const char* kept) {
        Pty fresh;
        std::string error;
        if (!openPty(fresh, error)) {
            std::fprintf(stderr, "borl-sim: %s: %s; keeping the %s\n", what, error.c_str(), kept);
            return false;
        }
        closePty(mPty);
        mPty = fresh;
        mGather = RequestGatherer{};
        mOut.clear();
        mUnstamped = 0;
        return true;
    }

    // The command "hangup": a new line, its link and its "pty:" line; replies not yet sent are
    // dropped.
    void hangup() {
        if (!replaceLine("hangup", "old line"))
            return;
        mPending.clear();
        relink();
        say("pty: " + mPty.path, true);
    }

    // A captured port lost (Down): the line goes away and its link with it, so that the daemon's
    // re-opens fail until the port is back (Up): the link then names a new line.
    void changeLine(LineChange change) {
        if (change == LineChange::Up) {
            relink();
            say("pty: " + mPty.path, true);
            return;
        }
        const std::string old = mPty.path;
        if (replaceLine("replay of a lost port", "line"))
            removeLink(old);
    }

    void onMasterReadable() {
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
            // With our own slave descriptor open the master cannot see a hang-up; if it fails
            // all the same, start over on a new line rather than spin on a dead one.
            std::fprintf(stderr, "borl-sim: pty read: %s; opening a new line\n",
                         n == 0 ? "end of file" : std::strerror(errno));
            hangup();
            return;
        }
    }

    void handleGatherEvents() {
        for (const GatherEvent& e : mEvents) {
            if (e.type == GatherEvent::Type::Garbage) {
                say("rx bad garbage n=" + std::to_string(e.count));
            } else if (e.type == GatherEvent::Type::Short) {
                say("rx bad short n=" + std::to_string(e.count));
            } else {
                dump("rx", e.frame.data(), e.frame.size());
                say("rx " + requestText(e.request));
                play(mAnswerer.answer(e, Clock::now()));
            }
        }
        mEvents.clear();
    }

    // Says the answer's lines and queues its replies: one in turn behind all that waits, the
    // others in time order, whatever the delays of the replies to earlier frames.
    void play(const Answer& a) {
        if (a.said.empty() && a.replies.empty())
            return;  // the frame goes unanswered
        for (const std::string& l : a.said)
            say(l);
        for (const Reply& r : a.replies) {
            auto pos = r.inTurn ? mPending.end()
                                : std::upper_bound(mPending.begin(), mPending.end(), r.due,
                                                   [](Clock::time_point t, const Reply& p) {
                                                       return t < p.due;
                                                   });
            mPending.insert(pos, r);
        }
        sendDue(Clock::now());
    }

    void sendDue(Clock::time_point now) {
        while (!mPending.empty() && mPending.front().due <= now) {
            const Reply r = std::move(mPending.front());
            mPending.pop_front();
            if (r.change != LineChange::None) {
                say(r.lines[0]);
                changeLine(r.change);
            } else if (mOut.size() + r.bytes.size() > kMaxQueued) {
                std::fprintf(stderr, "borl-sim: nobody reads the line; reply dropped\n");
            } else {
                dump("tx", r.bytes.data(), r.bytes.size());
                mOut.insert(mOut.end(), r.bytes.begin(), r.bytes.end());
                for (const std::string& l : r.lines)
                    say(l);
                if (mOpt.stamp)
                    ++mUnstamped;
            }
        }
        flushOut();
    }

    void flushOut() {
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
    void stampSent() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        char line[48];
        std::snprintf(line, sizeof line, "tx sent t=%ld.%09ld", static_cast<long>(ts.tv_sec),
                      ts.tv_nsec);
        for (; mUnstamped > 0; --mUnstamped)
            say(line);
    }

    // Once everything is out: the answerer's closing line, and the end if the options say so.
    void finish() {
        if (mFinished || !mPending.empty() || !mOut.empty())
            return;
        const std::optional<std::string> closing = mAnswerer.finished();
        if (!closing)
            return;
        mFinished = true;
        say(*closing);
        if (mOpt.quitWhenFinished)
            mQuit = true;
    }

    void onStdinReadable() {
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
            if (mOpt.quitAtEndOfInput)
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
                say("error line too long");
                mDiscardingLongLine = true;
            }
        }
    }

    // Deaf, hangup and quit are the line's; the other commands go to the controller.
    void execute(const std::string& line) {
        Command c;
        std::string error;
        if (!parseCommand(line, c, error)) {
            say("error " + error);
            return;
        }
        if (c.op == Command::Op::None)
            return;
        if (c.op == Command::Op::Deaf)
            mDeaf = c.on;
        else if (c.op == Command::Op::Hangup)
            hangup();  // the echo follows the new pty line
        else if (c.op == Command::Op::Quit)
            mQuit = true;
        else
            mAnswerer.command(c);
        // Echo the command once it has taken effect, so a script can wait for it to go on.
        std::string echo;
        std::istringstream words(line);
        for (std::string w; words >> w;)
            echo += (echo.empty() ? "" : " ") + w;
        say("ok " + echo);
    }

    LineOptions mOpt;
    int mStopFd;  // readable once SIGTERM or SIGINT arrived
    Answerer& mAnswerer;
    Pty mPty;
    RequestGatherer mGather;
    std::vector<GatherEvent> mEvents;
    Clock::time_point mLastRx{};
    std::deque<Reply> mPending;  // in the order they go out
    std::vector<uint8_t> mOut;
    unsigned mUnstamped = 0;  // replies in mOut whose last byte is not written yet (--stamp)
    bool mStdinOpen = true;
    std::string mStdinLine;
    bool mDiscardingLongLine = false;
    bool mQuit = false;
    bool mDeaf = false;      // the line is not read (command "deaf on")
    bool mFinished = false;  // the answerer's closing line is said
};

}  // namespace

int serveLine(const LineOptions& o, int stopFd, Answerer& answerer) {
    return Line(o, stopFd, answerer).run();
}

bool parseCommand(const std::string& line, Command& cmd, std::string& error) {
    cmd = Command{};
    std::istringstream in(line);
    Words words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty() || words[0][0] == '#')
        return true;

    const std::string& name = words[0];
    for (const CommandForm& form : kForms) {
        if (name != form.name)
            continue;
        const std::string arity = name + " takes " + std::to_string(form.args) + " argument" +
                                  (form.args == 1 ? "" : "s");
        if (!check(words.size() - 1 == form.args, arity, error) || !form.parse(words, cmd, error))
            return false;
        cmd.op = form.op;
        return true;
    }
    error = "unknown command " + name;
    return false;
}

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

}  // namespace borlsim
