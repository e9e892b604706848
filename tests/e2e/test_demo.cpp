// scripts/demo against the built binaries: a quick plain run (the daemon on short timings) shows
// values and the confirmed set-point change and leaves no process behind; a signal ends a run at
// the production cadence early just as cleanly; bad options are refused before anything starts.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "points.h"
#include "testSupport.h"

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::ScratchDir;

namespace {

// The demo without its build step, on this build tree's binaries, in a scratch run directory.
std::vector<std::string> demoArgs(const ScratchDir& dir, std::vector<std::string> extra) {
    std::vector<std::string> argv{std::string(BORL1D_SOURCE_DIR) + "/scripts/demo",
                                  "--no-build",
                                  "--build-dir",
                                  BORL1D_BINARY_DIR,
                                  "--run-dir",
                                  dir.path(),
                                  "--plain"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

// Ends the script with SIGTERM (its cleanup then stops its children) should a test stop early;
// the Process destructor alone would SIGKILL the script and leave them running.
struct Stopper {
    Process& p;
    ~Stopper() {
        if (p.running()) {
            p.kill(SIGTERM);
            p.wait(30s);
        }
    }
};

// The pids the demo reports in its "demo: started NAME (pid N)" lines.
std::vector<std::pair<std::string, pid_t>> startedPids(Process& demo) {
    std::vector<std::pair<std::string, pid_t>> out;
    for (const auto& line : demo.out().lines()) {
        const std::string tag = "demo: started ";
        if (line.rfind(tag, 0) != 0)
            continue;
        const auto open = line.find(" (pid ");
        if (open == std::string::npos)
            continue;
        out.emplace_back(line.substr(tag.size(), open - tag.size()),
                         static_cast<pid_t>(std::stol(line.substr(open + 6))));
    }
    return out;
}

void expectAllStopped(Process& demo) {
    auto started = startedPids(demo);
    ASSERT_EQ(started.size(), 3u) << demo.out().text();
    EXPECT_EQ(started[0].first, "borl-sim");
    EXPECT_EQ(started[1].first, "vexa-console");
    EXPECT_EQ(started[2].first, "borl1d");
    for (const auto& [name, pid] : started) {
        errno = 0;
        EXPECT_EQ(::kill(pid, 0), -1) << name << " (pid " << pid << ") still runs";
        EXPECT_EQ(errno, ESRCH) << name;
    }
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(DemoE2E, PlainRunShowsValuesAndTheConfirmedSetPointAndStopsEverything) {
    ScratchDir dir("demo_plain");
    Process demo(demoArgs(dir, {"--quick"}), dir.path());
    Stopper stopper{demo};
    ASSERT_EQ(demo.wait(90s), 0) << demo.out().text() << demo.err().text();

    auto& out = demo.out();
    EXPECT_GE(out.waitForLine("device online", 0ms), 0);
    EXPECT_GE(out.waitForLine("set Fan Pull-in to 27 deg C: pending", 0ms), 0);
    int confirmed = out.waitForLine("Fan Pull-in = 27 deg C confirmed by the controller", 0ms);
    EXPECT_GT(confirmed, out.waitForLine(": pending", 0ms));
    const std::string flowed =
        "demo: values flowed from all " + std::to_string(points::kInputs) + " inputs";
    EXPECT_GE(out.waitForLine(flowed, 0ms), 0);
    // The blocks carry the labels and units of the point table and live values.
    EXPECT_GE(out.waitForLine("Average RH", 0ms), 0);
    EXPECT_GE(out.waitForLine("Aircon-1 power up delay", 0ms), 0);
    int fan = out.waitForLine("3 Fan Pull-in                      27 deg C", 0ms);
    EXPECT_GE(fan, 0) << out.text();
    EXPECT_GE(out.waitForLine("1 AC-1 Hours", 0ms), 0);

    // The daemon's log is where the demo says, and it recorded the write-back.
    const std::string log = dir / "borl1d.log";
    EXPECT_GE(out.waitForLine("demo: daemon log: " + log, 0ms), 0) << out.text();
    EXPECT_NE(testsupport::readFile(log).find("Set-point 3 = 27 confirmed by the controller"),
              std::string::npos);
    EXPECT_NE(testsupport::readFile(dir / "etc/vexa/borl1d.conf").find("vexad.host = 127.0.0.1"),
              std::string::npos);

    expectAllStopped(demo);
    EXPECT_FALSE(exists(dir / "ttyCTRL")) << "the simulator's link outlived it";
    EXPECT_FALSE(exists(dir / "console.in"));
}

TEST(DemoE2E, SignalEndsARunUntilCtrlCWithTheFinalStateAndStopsEverything) {
    ScratchDir dir("demo_signal");
    Process demo(demoArgs(dir, {"--forever"}), dir.path());
    Stopper stopper{demo};
    // The view runs once it shows the daemon's device: the daemon is still in its start delay.
    ASSERT_GE(demo.out().waitForLine("waiting for the controller", 30s), 0)
        << demo.out().text() << demo.err().text();
    demo.kill(SIGTERM);
    // The view ends and reports; the script stops its processes; a run cut short before the
    // set-point change counts as incomplete.
    int status = demo.wait(30s);
    EXPECT_EQ(status, 1) << demo.out().text();
    int verdict = demo.out().waitForLine("demo: incomplete: ", 0ms);
    ASSERT_GE(verdict, 0) << demo.out().text();
    EXPECT_NE(
        demo.out().lines()[static_cast<size_t>(verdict)].find("the set-point change was not made"),
        std::string::npos);
    EXPECT_GE(demo.out().waitForLine("---- ", 0ms), 0) << "the final block is printed";
    expectAllStopped(demo);
}

TEST(DemoE2E, ADaemonThatFailsAtStartUpEndsTheDemoAtOnceWithItsStatus) {
    // A build directory whose daemon stands in for one with a broken configuration.
    ScratchDir dir("demo_failing_daemon");
    for (const char* tool : {"borl-sim", "vexa-console", "borl-decode"}) {
        const std::string link = dir / (std::string("build/tools/") + tool + "/" + tool);
        testsupport::makeDirs(link.substr(0, link.rfind('/')));
        ASSERT_EQ(symlink(testsupport::builtBinary(tool).c_str(), link.c_str()), 0) << link;
    }
    const std::string daemon = dir / "build/borl1d";
    testsupport::writeFile(daemon, "#!/bin/sh\necho \"TERMINATE!!!\" >&2\nexit 255\n");
    ASSERT_EQ(chmod(daemon.c_str(), 0755), 0);

    std::vector<std::string> argv{std::string(BORL1D_SOURCE_DIR) + "/scripts/demo", "--no-build",
                                  "--build-dir", dir / "build", "--plain"};
    Process demo(argv, dir.path());
    Stopper stopper{demo};
    // Well before the 30 s of a normal run.
    EXPECT_EQ(demo.wait(20s), 3) << demo.out().text();
    EXPECT_GE(demo.out().waitForLine(
                  "demo: borl1d stopped by itself with status 255 (a configuration problem)", 0ms),
              0)
        << demo.out().text();
    EXPECT_GE(demo.out().waitForLine("demo: borl1d: TERMINATE!!!", 0ms), 0);
    expectAllStopped(demo);
}

TEST(DemoE2E, RefusesBadOptionsBeforeStartingAnything) {
    ScratchDir dir("demo_usage");
    std::list<Process> demos;  // all at once
    for (const auto& extra : std::vector<std::vector<std::string>>{
             {"--seconds", "0"}, {"--seconds", "ten"}, {"--seconds"}, {"--colour"}})
        demos.emplace_back(demoArgs(dir, extra), dir.path());
    for (Process& demo : demos) {
        EXPECT_EQ(demo.wait(30s), 2) << demo.err().text();
        EXPECT_EQ(demo.out().waitForLine("demo: started", 0ms), -1);
        EXPECT_FALSE(demo.err().text().empty()) << demo.out().text();
    }
    EXPECT_FALSE(exists(dir / "etc"));
}
