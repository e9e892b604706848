// borl-replay: a capture of borl1d's serial exchange replayed through the daemon's own exchange
// rules with the time read from the capture (replayCompare.h), or, with --live, run again
// against a daemon of its own on a pty (the rig's script beside this tool).
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commandLine.h"
#include "exchangeFile.h"
#include "replayCompare.h"

namespace {

constexpr int kExitDiverged = 1;
constexpr int kExitDataErr = 65;  // EX_DATAERR: a malformed capture
constexpr int kExitNoInput = 66;  // EX_NOINPUT: a capture that cannot be read
constexpr int kExitSoftware = 70;

const char* const kUsage =
    "Usage: borl-replay FILE...\n"
    "       borl-replay --live [--speed N] [--daemon PATH] [--keep] FILE...\n"
    "Replays a capture of borl1d's serial exchange (its files in any order; - reads standard\n"
    "input) through the daemon's own exchange rules, with the time read from the capture: the\n"
    "replies, the frames' outcomes, vexad's sets and the port's fate go in at their times, and\n"
    "the frames the rules send and the records they make (sets, online, offline, the port)\n"
    "are compared with the capture's, in time order. Each run of the daemon in the capture\n"
    "(each start after the first) is replayed on its own, by the timing its start record gives.\n"
    "The verdict is the last line: \"replay matched\", or \"replay diverged at <wall time>:\n"
    "<what>\" for the first difference.\n"
    "\n"
    "      --live            run a daemon of its own against the capture instead (borl-sim\n"
    "                        plays the controller's side on a pty, vexa-console plays vexad)\n"
    "      --speed N         with --live: the daemon's timings and the captured delays N\n"
    "                        times shorter (1..1000; the daemon refuses a scale its line\n"
    "                        cannot carry: above 28 at 9600 baud)\n"
    "      --daemon PATH     with --live: the borl1d to run\n"
    "      --keep            with --live: keep the scratch directory\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Exit status: 0 replay matched, 1 replay diverged (with --live also: the daemon sent fewer\n"
    "frames than the capture, or stopped), 64 bad usage, 65 malformed capture, 66 capture not\n"
    "readable, 70 a program could not be run (--live).\n";

enum { kLive = 256, kSpeed, kDaemon, kKeep };

// The rig's script that runs a daemon against the capture: beside this program in the build
// tree, in the package's data directory once installed.
std::string liveScript(const char* argv0) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
    dir = dir.substr(0, dir.rfind('/') + 1);
    for (const std::string& path :
         {dir + "borl-replay-live", dir + "../share/borl1d-tools/borl-replay-live"}) {
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return std::string();
}

struct Options {
    bool live = false;
    std::vector<std::string> liveArgs;  // passed on to the live run
    std::vector<std::string> files;
};

Options parse(const toolcommon::CommandLine& cli, int argc, char** argv) {
    Options o;
    const std::vector<toolcommon::OptionDefinition> defs = {{"live", false, kLive},
                                                            {"speed", true, kSpeed},
                                                            {"daemon", true, kDaemon},
                                                            {"keep", false, kKeep}};
    cli.parse(
        argc, argv, defs,
        [&](const toolcommon::OptionDefinition& d, const char* value) {
            if (d.key == kLive) {
                o.live = true;
                return;
            }
            if (d.key == kSpeed)
                cli.number(d, value, 1000, "a whole number");
            o.liveArgs.push_back(std::string("--") + d.name);
            if (value != nullptr)
                o.liveArgs.push_back(value);
        },
        &o.files);
    if (!o.live && !o.liveArgs.empty())
        cli.fail(o.liveArgs.front() + " goes with --live only");
    if (o.files.empty())
        cli.fail("no capture file named");
    return o;
}

[[noreturn]] void runLive(const Options& o, const char* argv0) {
    const std::string script = liveScript(argv0);
    if (script.empty()) {
        std::fprintf(stderr, "borl-replay: the live run's script borl-replay-live is missing\n");
        std::exit(kExitSoftware);
    }
    std::vector<std::string> args = {script};
    args.insert(args.end(), o.liveArgs.begin(), o.liveArgs.end());
    args.insert(args.end(), o.files.begin(), o.files.end());
    std::vector<char*> argvOut;
    for (std::string& a : args)
        argvOut.push_back(a.data());
    argvOut.push_back(nullptr);
    execv(script.c_str(), argvOut.data());
    std::fprintf(stderr, "borl-replay: cannot run %s: %s\n", script.c_str(), std::strerror(errno));
    std::exit(kExitSoftware);
}

void report(const Options& o, const replay::Comparison& c, uint64_t wallUs, uint64_t lastUs) {
    const proto::ExchangeTiming& t = c.timing();
    std::string files;
    for (const std::string& f : o.files)
        files += (files.empty() ? "" : ", ") + exchangefile::shownName(f);
    std::printf("capture: %s, %s to %s, %u run%s of the daemon\n", files.c_str(),
                exchangefile::wallText(wallUs, 3).c_str(),
                exchangefile::wallText(wallUs + lastUs, 3).c_str(), c.runs(),
                c.runs() == 1 ? "" : "s");
    std::printf("timing: %s%u (pause %u ms, wait %u ms, offline %u ms, re-open %u..%u ms)\n",
                t.timeScale == 1 ? "production, time scale " : "lab, time scale ", t.timeScale,
                t.pauseMs, t.waitMs, t.offlineMs, t.reopenMinMs, t.reopenMaxMs);
    const replay::Tally& a = c.captured();
    const replay::Tally& b = c.replayed();
    std::printf("%-24s%9s%9s\n", "", "capture", "replay");
    const struct {
        const char* label;
        uint64_t replay::Tally::*n;
    } rows[] = {{"frames", &replay::Tally::frames},
                {"controller online", &replay::Tally::online},
                {"controller offline", &replay::Tally::offline},
                {"sets recorded", &replay::Tally::setRecorded},
                {"sets confirmed", &replay::Tally::setConfirmed},
                {"sets given up", &replay::Tally::setGivenUp}};
    for (const auto& r : rows)
        std::printf("%-24s%9llu%9llu\n", r.label, static_cast<unsigned long long>(a.*r.n),
                    static_cast<unsigned long long>(b.*r.n));
}

}  // namespace

int main(int argc, char** argv) {
    const toolcommon::CommandLine cli("borl-replay", BORL1D_VERSION, kUsage);
    const Options o = parse(cli, argc, argv);
    if (o.live)
        runLive(o, argv[0]);

    exchangefile::Sequence capture(o.files);
    replay::Comparison compare;
    exchangefile::Record r;
    uint64_t lastUs = 0;
    for (bool more = true; more;) {
        switch (capture.next(r)) {
            case exchangefile::Sequence::Got:
                if (exchangefile::Dropped d = capture.takeDropped(); d.count != 0) {
                    std::fprintf(stderr,
                                 "borl-replay: %llu records dropped by the capture at %s: the "
                                 "replay ends there\n",
                                 static_cast<unsigned long long>(d.count),
                                 exchangefile::wallText(capture.wallUs() + r.t, 3).c_str());
                    more = false;
                    break;
                }
                lastUs = r.t;
                more = compare.take(r, capture.fileContinues());
                break;
            case exchangefile::Sequence::Cut:
                std::fprintf(stderr, "borl-replay: %s:%zu: %s\n", capture.file().c_str(),
                             capture.line(), capture.why().c_str());
                break;
            case exchangefile::Sequence::End:
                more = false;
                break;
            case exchangefile::Sequence::Fault:
                std::fprintf(stderr, "borl-replay: %s:%zu: %s\n", capture.file().c_str(),
                             capture.line(), capture.why().c_str());
                return kExitDataErr;
            case exchangefile::Sequence::Unreadable:
                std::fprintf(stderr, "borl-replay: %s: %s\n", capture.file().c_str(),
                             capture.why().c_str());
                return kExitNoInput;
        }
    }
    compare.finish();
    report(o, compare, capture.wallUs(), lastUs);
    const replay::Verdict& v = compare.verdict();
    if (!v.matched) {
        std::printf("replay diverged at %s: %s\n",
                    exchangefile::wallText(capture.wallUs() + v.atUs, 3).c_str(), v.what.c_str());
        return kExitDiverged;
    }
    std::printf("replay matched\n");
    return 0;
}
