// The real daemon under a stand-in for the service manager's notification socket. It must report
// READY=1 only once start-up has succeeded, and then ping WATCHDOG=1 on every transmit cycle,
// also while the controller is silent or the serial port is gone: the service manager is to
// restart a hung exchange, not a daemon waiting for its controller.
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "site.h"
#include "testSupport.h"

using testsupport::Process;
using testsupport::ScratchDir;
using namespace std::chrono_literals;

namespace {

// The service manager's end: an abstract datagram socket, as systemd's NOTIFY_SOCKET.
class NotifySocket {
public:
    NotifySocket() {
        static int count = 0;
        mName = "borl1d-notify-" + std::to_string(getpid()) + "-" + std::to_string(++count);
        mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        // Abstract name: a leading zero byte, no file in the build tree, no path length limit.
        memcpy(addr.sun_path + 1, mName.data(), mName.size());
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + mName.size());
        bound = mFd >= 0 && bind(mFd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    }
    ~NotifySocket() {
        if (mFd >= 0)
            close(mFd);
    }
    std::string address() const { return "@" + mName; }

    // The next state line, or "" when none arrives within `timeout`.
    std::string receive(std::chrono::milliseconds timeout) {
        pollfd pfd{mFd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
            return "";
        char buf[512];
        ssize_t n = recv(mFd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

    // Waits for `state`; collects every line received meanwhile.
    bool waitFor(const std::string& state, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            std::string got = receive(left);
            if (got.empty())
                continue;
            received.push_back(got);
            if (got.find(state) != std::string::npos)
                return true;
        }
    }

    bool bound = false;
    std::vector<std::string> received;

private:
    std::string mName;
    int mFd = -1;
};

class ServiceNotify : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sock.bound); }
    void TearDown() override {
        if (!daemon)
            return;
        // Killed: a stop would wait for vexad, which never comes here, to take its messages.
        daemon->kill(SIGKILL);
        daemon->wait(5s);
        if (HasFailure())
            std::cerr << "---- daemon log ----\n" << daemon->err().text() << "\n";
    }

    // Starts the daemon on short timings with NOTIFY_SOCKET pointing at `sock`, on the root in
    // `dir`, with a wait of 100 ms: on a silent line a cycle, and so a ping, every 100 ms.
    void startDaemon() {
        setenv("NOTIFY_SOCKET", sock.address().c_str(), 1);
        daemon = std::make_unique<Process>(
            testsupport::daemonCommand(
                dir / "etc/vexa", {"--timing", testsupport::kQuickTiming, "--timing", "wait=100"}),
            dir.path());
        unsetenv("NOTIFY_SOCKET");
    }
    // A site whose controller is `pty` (through the link `line`), where nothing ever answers,
    // with vexad at a port nobody listens on; the daemon started on it and ready.
    void startOnSilentLine() {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(pty.linkAs(line));
        testsupport::Site site;
        site.port = line;
        testsupport::writeSite(dir / "etc/vexa", site);
        startDaemon();
        ASSERT_TRUE(sock.waitFor("READY=1", 15s));
    }

    ScratchDir dir{"notify"};
    const std::string line = dir / "ttyCTRL";
    testsupport::Pty pty;
    NotifySocket sock;
    std::unique_ptr<Process> daemon;
};

}  // namespace

TEST_F(ServiceNotify, ReadyThenWatchdogPingsWhileTheControllerIsSilent) {
    startOnSilentLine();
    // The transmit cycle goes on after every wait without an answer; each cycle pings.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sock.waitFor("WATCHDOG=1", 10s)) << "ping " << i;
    EXPECT_TRUE(daemon->running());
}

TEST_F(ServiceNotify, WatchdogPingsGoOnAfterTheSerialPortIsLost) {
    startOnSilentLine();

    // Hanging up the pty removes the daemon's device: reads fail and re-opening fails too.
    pty.hangUp();
    ASSERT_GE(daemon->err().waitForLine("lost", 10s), 0) << daemon->err().text();
    size_t from = sock.received.size();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sock.waitFor("WATCHDOG=1", 10s)) << "ping " << i;
    EXPECT_GT(sock.received.size(), from);
    EXPECT_TRUE(daemon->running());
}

// `systemctl status` shows what the daemon is doing; a stop is announced before the exit.
TEST_F(ServiceNotify, StatusFollowsThePortAndAStopIsAnnounced) {
    startOnSilentLine();
    ASSERT_TRUE(sock.waitFor(
        "STATUS=port " + line + " open, controller not answering yet, vexad not connected", 10s));
    pty.hangUp();
    ASSERT_TRUE(sock.waitFor("STATUS=port " + line + " lost", 10s));
    daemon->kill(SIGTERM);
    EXPECT_TRUE(sock.waitFor("STOPPING=1", 10s));
    EXPECT_EQ(daemon->wait(10s), 0);
    daemon.reset();
}

TEST_F(ServiceNotify, FailedStartUpNeverReportsReady) {
    // No configuration file: start-up ends with exit status 255.
    startDaemon();
    ASSERT_EQ(daemon->wait(15s), 255) << daemon->err().text();
    // Everything the daemon sent is queued on the socket by now.
    while (true) {
        std::string got = sock.receive(0ms);
        if (got.empty())
            break;
        EXPECT_EQ(got.find("READY=1"), std::string::npos) << got;
    }
    daemon.reset();
}
