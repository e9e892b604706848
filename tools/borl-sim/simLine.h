// The simulator's side of the pty: the line the daemon opens and its link, the gathering of the
// daemon's frames, the commands on standard input, the event lines on standard output, the
// replies' times and stamps. What answers a frame is an Answerer: the live controller
// (simController.h) or the controller's side of a capture (simReplay.h).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "simFrame.h"

namespace borlsim {

// The commands on standard input, one per line, so that a test can switch line faults on and
// off while it runs.
struct Command {
    enum class Op { None, Silent, Refuse, Deaf, BadSum, Stray, Noise, Delay, Poke, Hangup, Quit };
    Op op = Op::None;        // None: an empty or comment line, nothing to do
    bool on = false;         // silent, refuse, deaf
    unsigned long n = 0;     // badsum, stray: every Nth reply (0 off); delay: milliseconds
    double probability = 0;  // noise: per reply byte, 0..1
    size_t index = 0;        // poke: data block index 0..59
    uint8_t value = 0;       // poke: byte value
};

// Parses one line ("silent on", "badsum 3", "poke 46 30", ...). Surrounding blanks are ignored;
// a line starting with "#" is a comment. False with `error` set for anything malformed.
bool parseCommand(const std::string& line, Command& cmd, std::string& error);

// Longest delay a reply may be held back, in milliseconds.
constexpr unsigned long kMaxDelayMs = 600000;

using Clock = std::chrono::steady_clock;

// What goes to the line at its time: reply bytes, or (a replay) the port lost or back.
enum class LineChange { None, Down, Up };

struct Reply {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    std::vector<std::string> lines;  // event lines printed when the reply goes out
    LineChange change = LineChange::None;
    bool inTurn = false;  // behind every reply still waiting, even one due later
};

// What the line does for a frame: event lines said at once, and replies for their times.
struct Answer {
    std::vector<std::string> said;
    std::vector<Reply> replies;
};

// What answers the daemon's frames. It never touches the line: the line says and sends for it.
class Answerer {
public:
    virtual ~Answerer() = default;
    // The lines said once the line is up, after its first "pty:" line.
    virtual std::vector<std::string> begin() { return {}; }
    // A whole frame from the daemon, valid or not (`frame.request` says), arrived at `now`.
    virtual Answer answer(const GatherEvent& frame, Clock::time_point now) = 0;
    // A command for the controller; deaf, hangup and quit are the line's own.
    virtual void command(const Command&) {}
    // Asked while nothing waits to go out, until it gives its closing line: all is played.
    virtual std::optional<std::string> finished() { return std::nullopt; }
};

struct LineOptions {
    std::string link;  // a symlink kept pointing at the current slave; empty: none
    bool verbose = false;
    bool quiet = false;
    bool stamp = false;
    bool quitAtEndOfInput = false;  // the end of standard input ends the simulator
    bool quitWhenFinished = false;  // the answerer's closing line ends it
};

// Opens the line and serves it until "quit", the end the options ask for, or SIGTERM or SIGINT
// (`stopFd` readable). Returns the exit status: 0, or 1 when no line can be opened.
int serveLine(const LineOptions& o, int stopFd, Answerer& answerer);

// What a daemon frame asks for, as the "rx" lines say it: "poll", "set p=P v=V" or "bad REASON".
std::string requestText(const Request& rq);

}  // namespace borlsim
