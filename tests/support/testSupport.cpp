#include "testSupport.h"

#include <elf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace testsupport {

ScratchDir::ScratchDir(const std::string& name) {
    mPath = std::string(BORL1D_BINARY_DIR) + "/testdata/" + name + "." + std::to_string(getpid());
    fs::remove_all(mPath);
    fs::create_directories(mPath);
}

ScratchDir::~ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    bool failed = info && info->result() && info->result()->Failed();
    if (!failed) {
        std::error_code ec;
        fs::remove_all(mPath, ec);
    }
}

void makeDirs(const std::string& path) {
    fs::create_directories(path);
}

void writeFile(const std::string& path, const std::string& content) {
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + path);
    f << content;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

LineCollector::LineCollector(int fd) : mFd(fd), mThread([this] { run(); }) {}

LineCollector::~LineCollector() {
    if (mThread.joinable())
        mThread.join();
    ::close(mFd);
}

void LineCollector::run() {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(mFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        partial.append(buf, static_cast<size_t>(n));
        const auto now = std::chrono::steady_clock::now();
        size_t pos;
        std::lock_guard<std::mutex> lock(mMutex);
        while ((pos = partial.find('\n')) != std::string::npos) {
            mLines.push_back(partial.substr(0, pos));
            mTimes.push_back(now);
            partial.erase(0, pos + 1);
        }
        mCond.notify_all();
    }
    std::lock_guard<std::mutex> lock(mMutex);
    if (!partial.empty()) {
        mLines.push_back(partial);
        mTimes.push_back(std::chrono::steady_clock::now());
    }
    mEof = true;
    mCond.notify_all();
}

int LineCollector::waitForLine(const std::string& needle, std::chrono::milliseconds timeout,
                               size_t from) {
    std::unique_lock<std::mutex> lock(mMutex);
    size_t checked = from;
    int found = -1;
    mCond.wait_for(lock, timeout, [&] {
        for (; checked < mLines.size(); ++checked) {
            if (mLines[checked].find(needle) != std::string::npos) {
                found = static_cast<int>(checked);
                return true;
            }
        }
        return mEof;
    });
    return found;
}

bool LineCollector::waitForCount(const std::string& needle, size_t n,
                                 std::chrono::milliseconds timeout, size_t from) {
    std::unique_lock<std::mutex> lock(mMutex);
    size_t checked = from;
    size_t found = 0;
    return mCond.wait_for(lock, timeout, [&] {
        for (; checked < mLines.size() && found < n; ++checked)
            found += mLines[checked].find(needle) != std::string::npos ? 1 : 0;
        return found >= n || mEof;
    }) && found >= n;
}

bool LineCollector::waitForMore(size_t have, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mMutex);
    mCond.wait_until(lock, deadline, [&] { return mLines.size() > have || mEof; });
    return mLines.size() > have;
}

bool LineCollector::waitUntil(const std::function<bool()>& cond,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t have = size();
        if (cond())
            return true;
        if (!waitForMore(have, deadline))
            return cond();
    }
}

bool LineCollector::waitForEof(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, timeout, [&] { return mEof; });
}

std::vector<std::string> LineCollector::lines() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines;
}

std::vector<std::string> LineCollector::linesFrom(size_t from) const {
    std::lock_guard<std::mutex> lock(mMutex);
    if (from >= mLines.size())
        return {};
    return std::vector<std::string>(mLines.begin() + static_cast<std::ptrdiff_t>(from),
                                    mLines.end());
}

std::vector<std::chrono::steady_clock::time_point> LineCollector::times() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTimes;
}

std::vector<std::chrono::steady_clock::time_point> LineCollector::timesOf(const std::string& needle,
                                                                          size_t from) const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::chrono::steady_clock::time_point> out;
    for (size_t i = from; i < mLines.size(); ++i) {
        if (mLines[i].find(needle) != std::string::npos)
            out.push_back(mTimes[i]);
    }
    return out;
}

size_t LineCollector::count(const std::string& needle, size_t from) const {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t n = 0;
    for (size_t i = from; i < mLines.size(); ++i)
        n += mLines[i].find(needle) != std::string::npos ? 1 : 0;
    return n;
}

size_t LineCollector::size() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLines.size();
}

std::string LineCollector::text() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::string all;
    for (const auto& l : mLines)
        all += l + "\n";
    return all;
}

namespace {

// The machine an ELF file is built for (e_machine, the same offset in both ELF classes); -1 for
// anything else (a script, a missing file).
int elfMachine(const std::string& path) {
    unsigned char h[EI_NIDENT + 4] = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = ::read(fd, h, sizeof h);
    ::close(fd);
    if (n != static_cast<ssize_t>(sizeof h) || memcmp(h, ELFMAG, SELFMAG) != 0)
        return -1;
    uint16_t m = 0;
    memcpy(&m, h + EI_NIDENT + 2, sizeof m);  // e_type, then e_machine; the file's byte order
    return h[EI_DATA] == ELFDATA2MSB ? static_cast<uint16_t>((m >> 8) | (m << 8)) : m;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

}  // namespace

std::vector<std::string> emulatorPrefix() {
    static const std::vector<std::string> prefix = [] {
        const char* env = getenv("BORL1D_TEST_EMULATOR");
#ifdef BORL1D_TEST_EMULATOR_DEFAULT
        return splitWords(env ? env : BORL1D_TEST_EMULATOR_DEFAULT);
#else
        return splitWords(env ? env : "");
#endif
    }();
    return prefix;
}

bool emulated() {
    return !emulatorPrefix().empty();
}

std::vector<std::string> emulatedCommand(const std::vector<std::string>& argv) {
    const auto prefix = emulatorPrefix();
    if (prefix.empty() || argv.empty())
        return argv;
    // Built for this test's own machine, which the build machine runs only through the
    // emulator (the test itself runs under it); scripts and the build machine's own programs
    // (sh, cmake, python3) start as they are.
    static const int self = elfMachine("/proc/self/exe");
    if (self < 0 || elfMachine(argv[0]) != self)
        return argv;
    std::vector<std::string> cmd = prefix;
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

Process::Process(const std::vector<std::string>& command, const std::string& cwd) {
    // Under an emulator (the cross build's tests) the child is the emulator running the program.
    const std::vector<std::string> argv = emulatedCommand(command);
    // A script the test starts (the demo's rig) starts this build's binaries the same way: the
    // emulator goes into its environment, made here since the child may only exec.
    std::vector<std::string> env;
    if (emulated()) {
        std::string words;
        for (const auto& w : emulatorPrefix())
            words += (words.empty() ? "" : " ") + w;
        env.push_back("BORL1D_TEST_EMULATOR=" + words);
        for (char** e = environ; *e != nullptr; ++e) {
            if (strncmp(*e, "BORL1D_TEST_EMULATOR=", 21) != 0)
                env.emplace_back(*e);
        }
    }
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    mPid = fork();
    if (mPid < 0)
        throw std::runtime_error("fork failed");
    if (mPid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);

        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        // The emulator is found on PATH; every other program is named by its path.
        if (env.empty())
            execvp(args[0], args.data());
        else
            execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
#ifdef SYS_pidfd_open
    mPidFd = static_cast<int>(syscall(SYS_pidfd_open, mPid, 0));
#endif
    mStdin = in[1];
    mOut = new LineCollector(out[0]);
    mErr = new LineCollector(err[0]);
}

Process::~Process() {
    if (running()) {
        kill(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeStdin();
    if (mPidFd >= 0)
        ::close(mPidFd);
    delete mOut;
    delete mErr;
}

void Process::writeStdin(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0 && mStdin >= 0) {
        ssize_t n = ::write(mStdin, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void Process::closeStdin() {
    if (mStdin >= 0)
        ::close(mStdin);
    mStdin = -1;
}

int Process::wait(std::chrono::milliseconds timeout) {
    if (mReaped)
        return mStatus;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mReaped = true;
            mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // What it wrote before the exit is collected too (a process that handed its
            // output to one still running gets a short grace only).
            const auto grace = std::chrono::milliseconds(2000);
            mOut->waitForEof(grace);
            mErr->waitForEof(grace);
            return mStatus;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        if (mPidFd >= 0) {
            // Readable once the child has exited.
            pollfd p{mPidFd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()) + 1);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

void Process::kill(int sig) {
    if (!mReaped && mPid > 0)
        ::kill(mPid, sig);
}

bool Process::running() {
    if (mReaped || mPid <= 0)
        return false;
    return wait(std::chrono::milliseconds(0)) == -1;
}

Pty::Pty() {
    char name[256];
    if (openpty(&mController, &mHeld, name, nullptr, nullptr) != 0) {
        mController = mHeld = -1;
        return;
    }
    // Not inherited by the processes a test starts: a copy of the controller's end in the
    // daemon would keep the line up after the test hung it up.
    fcntl(mController, F_SETFD, FD_CLOEXEC);
    fcntl(mHeld, F_SETFD, FD_CLOEXEC);
    mDevice = name;
}

Pty::~Pty() {
    hangUp();
}

bool Pty::linkAs(const std::string& path) {
    ::unlink(path.c_str());
    mLink = path;
    return ::symlink(mDevice.c_str(), path.c_str()) == 0;
}

void Pty::hangUp() {
    if (mController >= 0)
        ::close(mController);
    if (mHeld >= 0)
        ::close(mHeld);
    mController = mHeld = -1;
    if (!mLink.empty())
        ::unlink(mLink.c_str());
    mLink.clear();
}

bool Pty::write(const Bytes& bytes) const {
    return writeAll(mController, bytes.data(), bytes.size());
}

Bytes Pty::read(size_t n, std::chrono::milliseconds timeout) const {
    return readExactly(mController, n, timeout);
}

bool writeAll(int fd, const uint8_t* bytes, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, bytes, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

Bytes readExactly(int fd, size_t n, std::chrono::milliseconds timeout) {
    Bytes out;
    uint8_t buf[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            break;
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

std::string builtBinary(const std::string& name) {
    for (const char* sub : {"/", "/tools/", "/tools/borl-sim/", "/tools/vexa-console/",
                            "/tools/borl-decode/", "/tools/borl-replay/"}) {
        std::string p = std::string(BORL1D_BINARY_DIR) + sub + name;
        struct stat st;
        // A tool lives in a folder of its own name: the folder itself does not count.
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0)
            return p;
    }
    return std::string(BORL1D_BINARY_DIR) + "/" + name;
}

int freeTcpPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

}  // namespace testsupport
