// The daemon as an operator runs it: the command line, the stop and log-rotation signals, and a
// standard output that is full or gone.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "e2eRig.h"
#include "site.h"

using namespace std::chrono_literals;
using e2e::json;
using e2e::Rig;
using e2e::RigOptions;
using testsupport::Process;

namespace {

// The daemon of `rig` with its standard output sent to `path` (a FIFO the test holds).
std::unique_ptr<Process> daemonWritingTo(Rig& rig, const std::string& path) {
    std::vector<std::string> argv{"/bin/sh", "-c", "out=$1; shift; exec \"$@\" > \"$out\"", "sh",
                                  path};
    // The shell runs the daemon itself: through the emulator under a cross build.
    for (const std::string& a : testsupport::emulatedCommand(rig.daemonCommand()))
        argv.push_back(a);
    return std::make_unique<Process>(argv, rig.dir.path());
}

}  // namespace

// --help and --version print and exit without reading anything: with a configuration file that
// is a FIFO nobody writes, reading it would block for ever.
TEST(CommandLineE2E, HelpAndVersionTouchNothingAndABadOptionNamesItself) {
    testsupport::ScratchDir dir("cli");
    testsupport::makeDirs(dir / "etc/vexa");
    ASSERT_EQ(mkfifo((dir / "etc/vexa/borl1d.conf").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;  // in standard output, or null
        const char* err;  // in standard error, or null
    };
    const Case cases[] = {
        {{"--help"}, 0, "--check-config", nullptr},
        {{"-h"}, 0, "Usage: borl1d", nullptr},
        {{"--version"}, 0, "borl1d ", nullptr},
        {{"-V"}, 0, "borl1d ", nullptr},
        {{"--frobnicate"}, 64, nullptr, "unknown option --frobnicate"},
        {{"-x"}, 64, nullptr, "unknown option -x"},
        {{"--config"}, 64, nullptr, "--config needs a value"},
        {{"stray"}, 64, nullptr, "unexpected argument \"stray\""},
        {{"--timing", "pause=soon"}, 64, nullptr, "--timing: bad item \"pause=soon\""},
    };
    for (const Case& c : cases) {
        Process p(testsupport::daemonCommand(dir / "etc/vexa", c.args), dir.path());
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(p.wait(10s), c.status);
        if (c.out) {
            EXPECT_GE(p.out().waitForLine(c.out, 5s), 0) << p.out().text();
        }
        if (c.err) {
            EXPECT_GE(p.err().waitForLine(c.err, 5s), 0) << p.err().text();
        }
    }
}

// Every program we ship or keep in bench/ (the scripts found there, the benchmarks by their
// sources) answers --help with its usage and status 0 and does nothing else: it leaves its
// working and temporary directories empty. A program not built here (no libmodbus, a build
// without benchmarks) is left out.
TEST(CommandLineE2E, EveryProgramAnswersHelpWithItsUsageAlone) {
    namespace fs = std::filesystem;
    const std::string bin = BORL1D_BINARY_DIR, src = BORL1D_SOURCE_DIR;
    std::vector<std::vector<std::string>> programs{
        {"python3", bin + "/tools/borl-replay/borl-replay-live"},
        {bin + "/bench/modbus_slave"},
        {bin + "/bench/capture_night"}};
    for (const char* tool : {"borl1d", "borl-sim", "vexa-console", "borl-decode", "borl-replay"})
        programs.push_back({testsupport::builtBinary(tool)});
    for (const char* dir : {"bench", "tools/demo"}) {
        for (const fs::path& f : fs::directory_iterator(src + "/" + dir)) {
            if (f.extension() == ".py")
                programs.push_back({"python3", f.string()});
            if (f.extension() == ".cpp" && f.stem().string().rfind("bench_", 0) == 0)
                programs.push_back({bin + "/bench/" + f.stem().string()});
        }
    }
    testsupport::ScratchDir dir("help");
    setenv("TMPDIR", dir.path().c_str(), 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    std::vector<std::pair<std::string, std::unique_ptr<Process>>> started;  // all at once
    for (std::vector<std::string> argv : programs) {
        if (argv[0] != "python3" && !fs::exists(argv[0]))
            continue;
        argv.push_back("--help");
        started.emplace_back(argv[argv.size() - 2], std::make_unique<Process>(argv, dir.path()));
    }
    for (const auto& [program, p] : started) {
        SCOPED_TRACE(program);
        EXPECT_EQ(p->wait(20s), 0) << p->err().text();
        const std::vector<std::string> out = p->out().lines();
        EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](const std::string& l) {
            return l.compare(0, 6, "Usage:") == 0 || l.compare(0, 6, "usage:") == 0;
        })) << p->out().text();
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
    unsetenv("TMPDIR");
    unsetenv("PYTHONDONTWRITEBYTECODE");
}

TEST(SignalsE2E, TermAndIntStopInOrderWithStatusZero) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
        Rig rig(sig == SIGTERM ? "signal_term" : "signal_int");
        ASSERT_GE(rig.waitForMessage(e2e::isOnline), 0);
        rig.daemon->kill(sig);
        EXPECT_EQ(rig.daemon->wait(10s), 0);
        EXPECT_GE(rig.daemon->err().waitForLine(
                      sig == SIGTERM ? "Stopping on SIGTERM" : "Stopping on SIGINT", 0ms),
                  0);
        EXPECT_GE(rig.daemon->err().waitForLine("Stopped", 0ms), 0);
    }
}

// logrotate moves the file away and sends SIGHUP: the daemon goes on and writes a new file.
TEST(SignalsE2E, HangUpReopensTheLogFileAndTheDaemonGoesOn) {
    Rig rig("signal_hup", RigOptions{{}, {}, true, false});
    const std::string log = rig.dir / "borl1d.log";
    const std::string conf = rig.root() + "/borl1d.conf";
    std::string text = testsupport::readFile(conf);
    const std::string root = "log4cpp.rootCategory = DEBUG, err";
    ASSERT_NE(text.find(root), std::string::npos);
    text.replace(text.find(root), root.size(), "log4cpp.rootCategory = INFO, err, file");
    testsupport::writeFile(conf, text +
                                     "log4cpp.appender.file = FileAppender\n"
                                     "log4cpp.appender.file.fileName = " +
                                     log +
                                     "\n"
                                     "log4cpp.appender.file.layout = PatternLayout\n"
                                     "log4cpp.appender.file.layout.ConversionPattern = %m%n\n");
    rig.startDaemon();
    ASSERT_GE(rig.waitForMessage(e2e::isOnline), 0);
    ASSERT_TRUE(testsupport::waitFor(
        [&] { return testsupport::readFile(log).find("Frame valid") != std::string::npos; }));
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    rig.daemon->kill(SIGHUP);
    EXPECT_TRUE(testsupport::waitFor([&] {
        return testsupport::readFile(log).find("SIGHUP: log files re-opened") != std::string::npos;
    }));
    EXPECT_TRUE(testsupport::waitFor([&] {
        return testsupport::readFile(log).find("Frame valid") != std::string::npos;
    })) << "the exchange goes on into the new file";
    EXPECT_TRUE(rig.daemon->running());
}

// Standard output a pipe that nobody reads (full from the start) or whose reader has gone: the
// trace lines are dropped, the exchange goes on and the daemon lives.
TEST(StdoutE2E, AFullOrBrokenStandardOutputNeverStallsOrEndsTheDaemon) {
    // Side by side: each daemon against a FIFO of its own, filled before it starts.
    Rig full("stdout_full", RigOptions{{}, {}, true, false});
    Rig gone("stdout_gone", RigOptions{{}, {}, true, false});
    std::vector<int> ends;  // of each FIFO, the reader's and the filler's
    for (Rig* rig : {&full, &gone}) {
        const std::string fifo = rig->dir / "stdout";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ends.push_back(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ends.push_back(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(ends[ends.size() - 2] >= 0 && ends.back() >= 0);
        const std::string block(4096, 'x');
        while (write(ends.back(), block.data(), block.size()) > 0) {
        }
        rig->daemon = daemonWritingTo(*rig, fifo);
    }
    // Once the daemon logs, its standard output is open: the reader may go.
    ASSERT_GE(gone.daemon->err().waitForLine("loading"), 0);
    close(ends[2]);
    for (Rig* rig : {&full, &gone}) {
        SCOPED_TRACE(rig == &gone ? "reader gone" : "pipe full");
        // The capability lines go to standard output on the first five replies: samples flow
        // on past them.
        const int online = rig->waitForMessage(e2e::isOnline);
        ASSERT_GE(online, 0);
        ASSERT_TRUE(rig->waitForMessages(e2e::isLastSample, 6, 10s, static_cast<size_t>(online)));
        EXPECT_GE(rig->daemon->err().waitForLine("Standard output does not take", 0ms), 0);
        EXPECT_TRUE(rig->daemon->running());
    }
    for (size_t i : {0, 1, 3})
        close(ends[i]);
}
