// Logging base: the standard-error fallback before and without a logging set-up, a file set-up
// taking over, cut messages, logging from several threads, and when a log file is synced.
#include "cQlog.h"
#include "fileSync.h"
#include "repeatLimit.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testSupport.h"

using testsupport::readFile;
using testsupport::ScratchDir;
using testsupport::writeFile;

namespace {

// Sends file descriptor 2 into a file while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : mPath(path) {
        fflush(stderr);
        mSaved = dup(STDERR_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    // Restores stderr and returns what was written meanwhile.
    std::string text() {
        restore();
        return readFile(mPath);
    }

private:
    void restore() {
        if (mSaved < 0)
            return;
        fflush(stderr);
        dup2(mSaved, STDERR_FILENO);
        close(mSaved);
        mSaved = -1;
    }
    std::string mPath;
    int mSaved = -1;
};

struct Parsed {
    std::string category, level, message;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// "2026-01-31 12:00:00.123 <category> <LEVEL>: <message>"
bool parseFallbackLine(const std::string& line, Parsed& out) {
    const char* shape = "dddd-dd-dd dd:dd:dd.ddd ";
    size_t n = strlen(shape);
    if (line.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return false;
    }
    size_t sp = line.find(' ', n);
    size_t colon = line.find(": ", n);
    if (sp == std::string::npos || colon == std::string::npos || colon < sp)
        return false;
    out.category = line.substr(n, sp - n);
    out.level = line.substr(sp + 1, colon - sp - 1);
    out.message = line.substr(colon + 2);
    return true;
}

std::vector<Parsed> parseFallback(const std::string& text) {
    std::vector<Parsed> out;
    for (const auto& line : splitLines(text)) {
        Parsed p;
        EXPECT_TRUE(parseFallbackLine(line, p)) << "unexpected line: " << line;
        out.push_back(p);
    }
    return out;
}

class Tester : public cQlog {
public:
    explicit Tester(const char* name) : cQlog(name) {}
};

}  // namespace

// Declared first: it needs a process in which init has not run yet.
TEST(cQlogFallback, BeforeInitInfoAndAboveGoToStderrWithoutBlankLines) {
    ScratchDir dir("qlog_before_init");
    Tester log("fallbackBefore");
    StderrCapture cap(dir / "stderr");
    log.debug("not shown %d\n", 1);
    log.info("Could not load config file: \"%s\" \n", "etc/vexa/borl1d.conf");
    log.warn("warned");
    log.error("Could not parse Xml file");
    cQlog::getLog("Main").error("TERMINATE!!!\n");

    std::string text = cap.text();
    auto lines = parseFallback(text);
    ASSERT_EQ(lines.size(), 4u) << text;
    EXPECT_EQ(lines[0].category, "fallbackBefore");
    EXPECT_EQ(lines[0].level, "INFO");
    EXPECT_EQ(lines[0].message, "Could not load config file: \"etc/vexa/borl1d.conf\" ");
    EXPECT_EQ(lines[1].level, "WARN");
    EXPECT_EQ(lines[2].level, "ERROR");
    EXPECT_EQ(lines[2].message, "Could not parse Xml file");
    EXPECT_EQ(lines[3].category, "Main");
    EXPECT_EQ(lines[3].message, "TERMINATE!!!");
    EXPECT_EQ(text.find("\n\n"), std::string::npos);
}

TEST(cQlogFallback, FileWithoutLogSetupKeepsStderr) {
    ScratchDir dir("qlog_no_keys");
    writeFile(dir / "borl1d.conf", "borl1d.device.name=Borl100\nvexad.south.port=50000\n");
    Tester log("fallbackNoKeys");
    StderrCapture cap(dir / "stderr");
    EXPECT_FALSE(cQlog::init((dir / "borl1d.conf").c_str()));
    log.info("still visible\n");
    log.debug("hidden");

    auto lines = parseFallback(cap.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].category, "qlog");  // the warning that logging is not configured
    EXPECT_EQ(lines[1].message, "still visible");
}

TEST(cQlogFallback, MissingFileAndRootWithoutAppendersKeepStderr) {
    ScratchDir dir("qlog_no_appender");
    writeFile(dir / "noappender.conf", "log4cpp.rootCategory=DEBUG\n");
    Tester log("fallbackNoAppender");
    StderrCapture cap(dir / "stderr");
    EXPECT_FALSE(cQlog::init((dir / "missing.conf").c_str()));
    log.info("after missing file");
    EXPECT_FALSE(cQlog::init((dir / "noappender.conf").c_str()));
    log.info("after root without appender");
    log.debug("hidden");

    std::string text = cap.text();
    EXPECT_NE(text.find("INFO: after missing file"), std::string::npos) << text;
    EXPECT_NE(text.find("INFO: after root without appender"), std::string::npos) << text;
    EXPECT_EQ(text.find("hidden"), std::string::npos);
}

TEST(cQlogFile, ConfiguredFileAppenderTakesOverAndLongMessagesAreCut) {
    ScratchDir dir("qlog_file");
    std::string logFile = dir / "borl1d.log";
    writeFile(dir / "borl1d.conf",
              "borl1d.device.name=Borl100\n"
              "log4cpp.rootCategory=DEBUG, A1\n"
              "log4cpp.appender.A1=FileAppender\n"
              "log4cpp.appender.A1.fileName=" +
                  logFile +
                  "\n"
                  "log4cpp.appender.A1.layout=PatternLayout\n"
                  "log4cpp.appender.A1.layout.ConversionPattern=%c %p %m%n\n");
    Tester log("fileCat");
    StderrCapture cap(dir / "stderr");
    ASSERT_TRUE(cQlog::init((dir / "borl1d.conf").c_str()));
    log.debug("frame %d", 7);
    log.info("%s", std::string(5000, 'x').c_str());

    EXPECT_EQ(cap.text(), "");  // the fallback is gone once the file sets up logging
    auto lines = splitLines(readFile(logFile));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "fileCat DEBUG frame 7");
    EXPECT_EQ(lines[1], "fileCat INFO " + std::string(1023, 'x'));

    // A later file without a logging set-up leaves this one in place.
    writeFile(dir / "plain.conf", "vexad.host=localhost\n");
    StderrCapture cap2(dir / "stderr2");
    EXPECT_FALSE(cQlog::init((dir / "plain.conf").c_str()));
    log.info("still in the file");
    EXPECT_EQ(cap2.text(), "");
    EXPECT_EQ(splitLines(readFile(logFile)).back(), "fileCat INFO still in the file");
}

TEST(cQlogFile, ConcurrentLoggingKeepsEveryLineWhole) {
    ScratchDir dir("qlog_threads");
    std::string logFile = dir / "threads.log";
    writeFile(dir / "log.conf",
              "log4cpp.rootCategory=INFO, A1\n"
              "log4cpp.appender.A1=FileAppender\n"
              "log4cpp.appender.A1.fileName=" +
                  logFile +
                  "\n"
                  "log4cpp.appender.A1.layout=PatternLayout\n"
                  "log4cpp.appender.A1.layout.ConversionPattern=%m%n\n");
    ASSERT_TRUE(cQlog::init((dir / "log.conf").c_str()));

    const Tester shared("threads");  // one object used by every thread, as the daemon does
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&shared, t] {
            for (int i = 0; i < kLines; ++i)
                shared.info("thread %d line %d %s", t, i, "payload");
        });
    }
    for (auto& th : threads)
        th.join();

    auto lines = splitLines(readFile(logFile));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        int t = -1;
        int i = -1;
        char rest[16] = "";
        ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d %15s", &t, &i, rest), 3) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_STREQ(rest, "payload");
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);  // each thread's lines in its own order
    }
}

// A log file is synced once a line of ERROR or worse is in it (however it was logged, and after a
// rotation renamed it), at a re-open and at the stop; INFO lines wait for the minute's sync. Each
// line is in the files once.
TEST(cQlogFile, SyncedAfterAnErrorAReopenAndTheStopButNotForInfoLines) {
    ScratchDir dir("qlog_sync");
    const std::string logFile = dir / "sync.log";
    // An appender name of its own: log4cpp re-opens appenders by name, and forgets a name when an
    // earlier appender of that name is deleted.
    writeFile(dir / "log.conf",
              "log4cpp.rootCategory=INFO, Sync\nlog4cpp.appender.Sync=FileAppender\n"
              "log4cpp.appender.Sync.layout=PatternLayout\n"
              "log4cpp.appender.Sync.layout.ConversionPattern=%m%n\n"
              "log4cpp.appender.Sync.fileName=" +
                  logFile);
    ASSERT_TRUE(cQlog::init((dir / "log.conf").c_str()));
    qlog::syncLogFilesNow();  // the set-up's own sync is done
    const Tester log("sync");
    struct Step {
        const char* legend;
        std::function<void()> act;
        bool synced;
    };
    const Step steps[] = {
        {"INFO lines", [&] { log.info("line 1"), log.info("line 2"); }, false},
        {"an ERROR line", [&] { log.error("line 3"); }, true},
        {"a CRIT line of a category", [&] { cQlog::getLog("sync").crit("line 4"); }, true},
        {"a rotation, then an ERROR line",
         [&] { rename(logFile.c_str(), (logFile + ".1").c_str()), log.error("line 5"); }, true},
        {"a re-open", [&] { log.info("line 6"), cQlog::reopen(); }, true},
        {"the stop", [&] { log.info("line 7"), qlog::syncLogFilesNow(); }, true},
    };
    for (const Step& s : steps) {
        const uint64_t before = qlog::logFileSyncs();
        s.act();
        const auto synced = [&] { return qlog::logFileSyncs() > before; };
        EXPECT_EQ(testsupport::waitFor(synced, std::chrono::milliseconds(s.synced ? 10000 : 1100)),
                  s.synced)
            << s.legend;
    }
    EXPECT_EQ(readFile(logFile + ".1") + readFile(logFile),
              "line 1\nline 2\nline 3\nline 4\nline 5\nline 6\nline 7\n");
}

// The rule of a repeating fault's lines on an injected clock: the first occurrence at once, then
// one summary a period counting those since the last line, and the end with the episode's total.
TEST(RepeatLimit, FirstThenOneSummaryAPeriodWithTheCountThenTheEnd) {
    using Say = qlog::RepeatLimit::Say;
    struct Step {
        uint64_t ms;
        char what;       // 'o' an occurrence, 'e' the end
        Say say;         // for 'o'
        uint64_t count;  // 'o' Summary: sinceLine(); 'e': the total ended
    };
    const Step steps[] = {
        {0, 'e', Say::Quiet, 0},        {1000, 'o', Say::First, 0},    {2000, 'o', Say::Quiet, 0},
        {60999, 'o', Say::Quiet, 0},    {61000, 'o', Say::Summary, 3}, {62000, 'o', Say::Quiet, 0},
        {121000, 'o', Say::Summary, 2}, {125000, 'e', Say::Quiet, 6},  {126000, 'o', Say::First, 0},
        {127000, 'e', Say::Quiet, 1},
    };
    qlog::RepeatLimit limit;
    for (const Step& s : steps) {
        SCOPED_TRACE("at " + std::to_string(s.ms) + " ms");
        if (s.what == 'e') {
            EXPECT_EQ(limit.ended(), s.count);
            EXPECT_FALSE(limit.active());
            continue;
        }
        const Say say = limit.occurred(s.ms, 60000);
        EXPECT_EQ(say, s.say);
        if (say == Say::Summary) {
            EXPECT_EQ(limit.sinceLine(), s.count);
        }
    }
    // Idle once a whole period passed without an occurrence; the unreported ones are counted.
    limit.occurred(0, 60000);
    limit.occurred(10, 60000);
    EXPECT_FALSE(limit.idle(60009, 60000));
    EXPECT_TRUE(limit.idle(60010, 60000));
    EXPECT_EQ(limit.unreported(), 1u);
    // Period 0 logs every occurrence.
    EXPECT_EQ(limit.occurred(20, 0), Say::Summary);
}
