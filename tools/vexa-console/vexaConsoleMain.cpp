// vexa-console: plays vexad towards the daemon, for tests and for people (usage in kUsage). It
// accepts one daemon connection at a time, a new one replacing the old. With --json, standard
// output carries exactly the received JSON lines; status lines go to standard error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cObjectCodec.h"
#include "cObjectList.h"
#include "commandLine.h"
#include "stopSignals.h"
#include "vexaConsole.h"

namespace {

// Bytes waiting for a daemon that does not read are capped; beyond it typed lines are dropped.
constexpr size_t kMaxPendingOut = 16u << 20;
// A typed line may be long (tests send over-long lines on purpose) but not without end.
constexpr size_t kMaxInputLine = 1u << 20;
// On quit or end of input, pending output gets this long to reach the daemon.
constexpr std::chrono::milliseconds kFlushOnExit{2000};

bool gJson = false;

void printOut(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printErr(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// Status lines: on standard output for people, on standard error with --json.
void status(const std::string& line) {
    gJson ? printErr(line) : printOut(line);
}

std::string peerName(const sockaddr_storage& ss) {
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&ss), sizeof ss, host, sizeof host, serv,
                    sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return std::string(host) + ":" + serv;
}

// Looks a numeric address (and port) up as the console binds it: 0, or getaddrinfo's error.
int lookUp(const char* host, const char* port, addrinfo** res) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    return getaddrinfo(host, port, &hints, res);
}

int listenOn(const std::string& bindAddr, int port, std::string& shown) {
    addrinfo* res = nullptr;
    int gai = lookUp(bindAddr.c_str(), std::to_string(port).c_str(), &res);
    if (gai != 0) {
        printErr("vexa-console: bad bind address " + bindAddr + ": " + gai_strerror(gai));
        return -1;
    }
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 4) != 0) {
        printErr("vexa-console: cannot listen on " + bindAddr + ":" + std::to_string(port) + ": " +
                 std::strerror(errno));
        if (fd >= 0)
            close(fd);
        freeaddrinfo(res);
        return -1;
    }
    freeaddrinfo(res);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    shown = peerName(ss);
    return fd;
}

class Console {
public:
    Console(int listenFd, int sigFd) : mListen(listenFd), mSig(sigFd) {}

    int run() {
        char buf[65536];
        while (!mQuit) {
            pollfd p[4] = {{mSig, POLLIN, 0},
                           {mListen, POLLIN, 0},
                           {mConn, static_cast<short>(POLLIN | (mOut.empty() ? 0 : POLLOUT)), 0},
                           {STDIN_FILENO, POLLIN, 0}};  // its end ends the loop
            if (poll(p, 4, -1) < 0) {
                if (errno == EINTR)
                    continue;
                printErr(std::string("vexa-console: poll: ") + std::strerror(errno));
                return 1;
            }
            if (p[0].revents)
                return 0;  // SIGTERM or SIGINT
            if (p[1].revents)
                acceptOne();
            if (mConn >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR)))
                readConn(buf, sizeof buf);
            if (mConn >= 0 && (p[2].revents & POLLOUT))
                flushSome();
            if (p[3].revents)
                readStdin(buf, sizeof buf);
        }
        flushBeforeExit();
        return 0;
    }

private:
    void acceptOne() {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd =
            accept4(mListen, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (mConn >= 0)
            dropConn("disconnected (replaced by a new connection)");
        mConn = fd;
        mFramer.reset();
        status("connected from " + peerName(ss));
    }

    void dropConn(const std::string& why) {
        close(mConn);
        mConn = -1;
        mOut.clear();
        status(why);
    }

    void readConn(char* buf, size_t size) {
        ssize_t n = read(mConn, buf, size);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            dropConn("disconnected");
            return;
        }
        std::vector<vexaobj::LineFramer::Line> lines;
        mFramer.feed(buf, static_cast<size_t>(n), lines);
        for (auto& l : lines)
            received(l);
    }

    void received(const vexaobj::LineFramer::Line& l) {
        if (l.overlong) {
            printErr("rejected: line longer than " + std::to_string(vexaobj::kMaxLineBytes) +
                     " bytes: " + vexaobj::printableExcerpt(l.text));
            return;
        }
        if (l.text.empty())
            return;
        cObjectList msg;
        std::string reason;
        if (!vexaobj::decodeMessage(l.text, msg, reason)) {
            printErr("rejected: " + reason + ": " + vexaobj::printableExcerpt(l.text));
            return;
        }
        printOut(gJson ? l.text : vexaconsole::describeMessage(msg));
        msg.deleteObjects();
    }

    void readStdin(char* buf, size_t size) {
        ssize_t n = read(0, buf, size);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            if (!mIn.empty())
                typed(mIn);
            mQuit = true;  // end of input
            return;
        }
        mIn.append(buf, static_cast<size_t>(n));
        size_t pos;
        while (!mQuit && (pos = mIn.find('\n')) != std::string::npos) {
            std::string line = mIn.substr(0, pos);
            mIn.erase(0, pos + 1);
            typed(line);
        }
        if (mIn.size() > kMaxInputLine) {
            printErr("vexa-console: input line longer than " + std::to_string(kMaxInputLine) +
                     " bytes ignored");
            mIn.clear();
        }
    }

    void typed(const std::string& line) {
        vexaconsole::Command c = vexaconsole::parseCommand(line);
        switch (c.kind) {
            case vexaconsole::Command::Empty:
                break;
            case vexaconsole::Command::Quit:
                mQuit = true;
                break;
            case vexaconsole::Command::Error:
                printErr(c.line);
                [[fallthrough]];
            case vexaconsole::Command::Help:
                std::fputs(vexaconsole::helpText(), stderr);
                break;
            case vexaconsole::Command::Send:
                if (mConn < 0) {
                    printErr("not connected: line not sent");
                } else if (mOut.size() + c.line.size() + 1 > kMaxPendingOut) {
                    printErr("daemon is not reading: line not sent");
                } else {
                    mOut += c.line;
                    mOut += '\n';
                    flushSome();
                }
                break;
        }
    }

    void flushSome() {
        while (mConn >= 0 && !mOut.empty()) {
            ssize_t w = send(mConn, mOut.data(), mOut.size(), MSG_NOSIGNAL);
            if (w > 0) {
                mOut.erase(0, static_cast<size_t>(w));
                continue;
            }
            if (w < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            dropConn("disconnected");
        }
    }

    void flushBeforeExit() {
        using namespace std::chrono;
        const auto deadline = steady_clock::now() + kFlushOnExit;
        while (mConn >= 0 && !mOut.empty()) {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{mConn, POLLOUT, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            flushSome();
        }
    }

    int mListen;
    int mSig;
    int mConn = -1;
    bool mQuit = false;
    vexaobj::LineFramer mFramer;
    std::string mOut;  // bytes waiting to go to the daemon
    std::string mIn;   // a typed line not yet ended
};

const char kUsage[] =
    "usage: vexa-console --port N [--bind ADDRESS] [--json]\n"
    "Plays vexad towards the daemon: listens, prints every message received and sends every\n"
    "line typed on standard input.\n"
    "  --port N          TCP port to listen on (0: any free port)\n"
    "  --bind ADDRESS    numeric address to listen on (default 127.0.0.1)\n"
    "  --json            print each received message as its JSON line\n"
    "  --user NAME       listen as this user (root only), as another user's process that\n"
    "                    took vexad's port would\n"
    "  -h, --help        print this help and exit\n"
    "  -V, --version     print the version and exit\n"
    "Exit status: 0 on quit, at the end of input, on SIGTERM or SIGINT; 1 when it cannot\n"
    "listen or become the user; 64 for a bad option.\n\n";

struct Options {
    std::string bindAddr = "127.0.0.1";
    int port = -1;
    std::string user;  // empty: listen as the caller
};

// Becomes user `name` before listening: the port and its connections are then that user's,
// whose uid borl1d's check of vexad's user sees.
bool becomeUser(const std::string& name) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || !found) {
        printErr("vexa-console: no user " + name);
        return false;
    }
    if (setgroups(0, nullptr) != 0 || setgid(found->pw_gid) != 0 || setuid(found->pw_uid) != 0) {
        printErr("vexa-console: cannot become user " + name + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// True when `text` is a numeric address listenOn can bind.
bool numericAddress(const char* text) {
    addrinfo* res = nullptr;
    if (lookUp(text, nullptr, &res) != 0)
        return false;
    freeaddrinfo(res);
    return true;
}

// Reads the options; a bad one ends the process with status 64 before anything is opened.
Options parseOptions(int argc, char** argv) {
    enum { kPort = 256, kBind, kJson, kUser };
    const toolcommon::CommandLine cli("vexa-console", BORL1D_VERSION,
                                      std::string(kUsage) + vexaconsole::helpText());
    Options o;
    cli.parse(argc, argv,
              {{"port", true, kPort},
               {"bind", true, kBind},
               {"json", false, kJson},
               {"user", true, kUser}},
              [&](const toolcommon::OptionDefinition& opt, const char* value) {
                  if (opt.key == kUser)
                      o.user = value;
                  else if (opt.key == kPort)
                      o.port = static_cast<int>(cli.number(opt, value, 65535, "a TCP port"));
                  else if (opt.key == kJson)
                      gJson = true;
                  else if (!numericAddress(value))
                      cli.refuse(opt, "a numeric IPv4 or IPv6 address", value);
                  else
                      o.bindAddr = value;
              });
    if (o.port < 0)
        cli.fail("--port is required (0 takes any free port)");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    toolcommon::StopSignals stop;
    if (stop.fd() < 0) {
        printErr(std::string("vexa-console: signalfd: ") + std::strerror(errno));
        return 1;
    }
    if (!o.user.empty() && !becomeUser(o.user))
        return 1;
    std::string shown;
    int listenFd = listenOn(o.bindAddr, o.port, shown);
    if (listenFd < 0)
        return 1;
    status("listening on " + shown);
    return Console(listenFd, stop.fd()).run();
}
