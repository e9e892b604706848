// Helpers shared by the tests: scratch directories inside the build tree, child processes with
// captured output, pseudo-terminals, and waiting for an event with a deadline instead of
// sleeping.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A fresh, empty directory below <build>/testdata/<name>; removed again unless the test failed.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& rel) const { return mPath + "/" + rel; }

private:
    std::string mPath;
};

void writeFile(const std::string& path, const std::string& content);  // creates parent dirs
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);

// For conditions no event announces (a counter of another thread, a file's content): checks
// `cond` every few milliseconds until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Collects the lines of one file descriptor on a background thread; every wait below wakes up
// when a line arrives, none of them polls.
class LineCollector {
public:
    explicit LineCollector(int fd);  // takes ownership of fd
    ~LineCollector();
    // Waits until a line containing `needle` has been seen (counting from line `from`);
    // returns its index or -1 at the deadline.
    int waitForLine(const std::string& needle,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10), size_t from = 0);
    // Waits until `n` lines from line `from` on contain `needle`.
    bool waitForCount(const std::string& needle, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      size_t from = 0);
    // Waits until more than `have` lines were read; false at the deadline or at the end of the
    // stream.
    bool waitForMore(size_t have, std::chrono::steady_clock::time_point deadline);
    // Evaluates `cond` (which may read this collector) now and after every new line until it
    // holds; false at the deadline or once the stream ended without it holding.
    bool waitUntil(const std::function<bool()>& cond,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the stream is closed (the writer exited).
    bool waitForEof(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<std::string> lines() const;
    std::vector<std::string> linesFrom(size_t from) const;  // lines from index `from` on
    // When each line was read, on the steady clock: for intervals between events.
    std::vector<std::chrono::steady_clock::time_point> times() const;
    // When the lines from `from` on that contain `needle` were read.
    std::vector<std::chrono::steady_clock::time_point> timesOf(const std::string& needle,
                                                               size_t from = 0) const;
    // Lines from `from` on that contain `needle`.
    size_t count(const std::string& needle, size_t from = 0) const;
    size_t size() const;
    std::string text() const;  // all lines joined with '\n'

private:
    void run();
    int mFd;
    mutable std::mutex mMutex;
    std::condition_variable mCond;
    std::vector<std::string> mLines;
    std::vector<std::chrono::steady_clock::time_point> mTimes;
    bool mEof = false;
    std::thread mThread;
};

// The emulator that runs this build's binaries on the build machine (the cross build's tests
// under qemu-arm): the words of $BORL1D_TEST_EMULATOR, else CMake's CROSSCOMPILING_EMULATOR;
// empty for a native build. Process starts every program built for the test's own machine
// through it, as ctest starts the test binaries.
std::vector<std::string> emulatorPrefix();
bool emulated();
// `argv` as Process starts it: with the emulator in front of a binary of this build's machine.
std::vector<std::string> emulatedCommand(const std::vector<std::string>& argv);

// A child process with its standard input writable and its standard output and error collected.
class Process {
public:
    // argv[0] is the program path; `cwd` empty keeps the current directory.
    Process(const std::vector<std::string>& argv, const std::string& cwd = "");
    ~Process();  // kills the child if it still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t pid() const { return mPid; }
    void writeStdin(const std::string& text);
    void closeStdin();
    LineCollector& out() { return *mOut; }
    LineCollector& err() { return *mErr; }
    // Waits for the exit and for the output written before it; returns the exit status,
    // 128+signal, or -1 at the deadline.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void kill(int sig);
    bool running();

private:
    pid_t mPid = -1;
    int mPidFd = -1;  // readable once the child exited; -1 where the kernel has none
    int mStdin = -1;
    int mStatus = -1;
    bool mReaped = false;
    LineCollector* mOut = nullptr;
    LineCollector* mErr = nullptr;
};

// A pseudo-terminal from openpty(3): the test holds the controller's end, the daemon (or the
// code under test) opens it through a link of the test (linkAs). The device's own name is
// reused by the next pty once this one is gone, and a daemon that retries it would take another
// test's line: configure the link. The test keeps the device open as well (never reading it):
// reads of the controller's end then wait for the daemon's bytes instead of failing while
// nobody else has the device open. It takes no lock on it, so the port has no owner yet.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    bool ok() const { return mController >= 0; }
    int controller() const { return mController; }
    const std::string& device() const { return mDevice; }
    // Points the symbolic link `path` at the device, replacing what was there.
    bool linkAs(const std::string& path);
    // Closes the controller's end and removes the link: the device goes away, its reads fail
    // and it cannot be opened again. Also by the destructor.
    void hangUp();
    // Writes everything; false when the line took less.
    bool write(const Bytes& bytes) const;
    // Reads exactly `n` bytes; fewer when `timeout` passes without a byte.
    Bytes read(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(3)) const;

private:
    int mController = -1;
    int mHeld = -1;  // the test's own descriptor of the device
    std::string mDevice;
    std::string mLink;
};

// Writes all of `bytes` to `fd`; false when it took less.
bool writeAll(int fd, const uint8_t* bytes, size_t n);
// Reads exactly `n` bytes from `fd`; fewer when `timeout` passes without a byte.
Bytes readExactly(int fd, size_t n, std::chrono::milliseconds timeout);

// Path of a binary built by this project.
std::string builtBinary(const std::string& name);

// A free TCP port on 127.0.0.1 (bound and released; good enough for tests).
int freeTcpPort();

}  // namespace testsupport
