// Helpers shared by the tests: scratch directories inside the build tree, child processes with
// captured output, and waiting for an event with a deadline instead of sleeping.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A fresh, empty directory below <build>/testdata/<name>; removed again unless the test failed.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name);
    ~ScratchDir();
    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& rel) const { return mPath + "/" + rel; }

private:
    std::string mPath;
};

void writeFile(const std::string& path, const std::string& content);  // creates parent dirs
std::string readFile(const std::string& path);
void makeDirs(const std::string& path);

// Polls `cond` every few milliseconds until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Collects the lines of one file descriptor on a background thread.
class LineCollector {
public:
    explicit LineCollector(int fd);  // takes ownership of fd
    ~LineCollector();
    // Waits until a line containing `needle` has been seen (counting from line `from`);
    // returns its index or -1 at the deadline.
    int waitForLine(const std::string& needle,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10), size_t from = 0);
    // Waits until the stream is closed (the writer exited).
    bool waitForEof(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<std::string> lines() const;
    // When each line was read, on the steady clock: for intervals between events.
    std::vector<std::chrono::steady_clock::time_point> times() const;
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

// A child process with its standard input writable and its standard output and error collected.
class Process {
public:
    // argv[0] is the program path; `cwd` empty keeps the current directory.
    Process(const std::vector<std::string>& argv, const std::string& cwd = "");
    ~Process();  // kills the child if it still runs
    pid_t pid() const { return mPid; }
    void writeStdin(const std::string& text);
    void closeStdin();
    LineCollector& out() { return *mOut; }
    LineCollector& err() { return *mErr; }
    // Waits for the exit; returns the exit status, 128+signal, or -1 at the deadline.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void kill(int sig);
    bool running();

private:
    pid_t mPid = -1;
    int mStdin = -1;
    int mStatus = -1;
    bool mReaped = false;
    LineCollector* mOut = nullptr;
    LineCollector* mErr = nullptr;
};

// Path of a binary built by this project.
std::string builtBinary(const std::string& name);

// A free TCP port on 127.0.0.1 (bound and released; good enough for tests).
int freeTcpPort();

}  // namespace testsupport
