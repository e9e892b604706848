// borl-sim: plays the air-conditioning controller on a pseudo-terminal. It answers the daemon's
// poll and set frames with reply frames carrying a living data block, and misbehaves on demand
// (silence, refused sets, bad checksums, stray bytes, noise, delays, a line that goes away) so
// that the daemon's handling of a real, imperfect line can be tested end to end. With --replay
// it plays the controller's side of a capture instead.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commandLine.h"
#include "simController.h"
#include "simReplay.h"
#include "stopSignals.h"

namespace borlsim {
namespace {

struct Options {
    LineOptions line;
    LiveOptions live;
    std::optional<unsigned long> seed;  // none given: one from the time and the process
    bool exitOnEof = false;
    std::vector<std::string> replay;  // the files of a capture whose controller side is played
    unsigned long replaySpeed = 1;    // captured delays divided by this; 0: no delays
};

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
    {"silent", false, [](const Given& g) { g.o.live.silent = true; }},
    {"refuse-sets", false, [](const Given& g) { g.o.live.refuse = true; }},
    {"apply-late", false, [](const Given& g) { g.o.live.applyLate = true; }},
    {"bad-checksum-every", true, [](const Given& g) { g.o.live.badSumEvery = g.count(1000000UL); }},
    {"stray-byte-every", true, [](const Given& g) { g.o.live.strayEvery = g.count(1000000UL); }},
    {"noise", true, [](const Given& g) { g.o.live.noise = g.cli.probability(g.opt, g.value); }},
    {"delay-ms", true,
     [](const Given& g) { g.o.live.delayMs = g.count(kMaxDelayMs, "milliseconds"); }},
    {"seed", true, [](const Given& g) { g.o.seed = g.count(0xFFFFFFFFUL); }},
    {"link", true, [](const Given& g) { g.o.line.link = g.text("a path"); }},
    {"hours-every", true, [](const Given& g) { g.o.live.hoursEvery = g.count(1000000UL); }},
    {"verbose", false, [](const Given& g) { g.o.line.verbose = true; }},
    {"quiet", false, [](const Given& g) { g.o.line.quiet = true; }},
    {"exit-on-eof", false, [](const Given& g) { g.o.exitOnEof = true; }},
    {"stamp", false, [](const Given& g) { g.o.line.stamp = true; }},
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

}  // namespace
}  // namespace borlsim

int main(int argc, char** argv) {
    using namespace borlsim;
    Options o = parseOptions(argc, argv);
    if (!o.seed) {
        o.seed = static_cast<unsigned long>(std::time(nullptr)) ^
                 (static_cast<unsigned long>(getpid()) << 16);
    }
    std::unique_ptr<Answerer> answerer;
    if (o.replay.empty())
        answerer = liveController(o.live, static_cast<uint32_t>(*o.seed));
    else if (const int status = loadReplay(o.replay, o.replaySpeed, answerer))
        return status;
    // With --exit-on-eof the live controller ends with its input, a replay with the capture.
    o.line.quitAtEndOfInput = o.exitOnEof && o.replay.empty();
    o.line.quitWhenFinished = o.exitOnEof;
    toolcommon::StopSignals stop;
    if (stop.fd() < 0) {
        std::perror("borl-sim: signalfd");
        return 1;
    }
    return serveLine(o.line, stop.fd(), *answerer);
}
