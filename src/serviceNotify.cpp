// Reports to the service manager through its notification socket (NOTIFY_SOCKET): one datagram
// per state line, the service manager's documented protocol. Not run under a service manager
// (NOTIFY_SOCKET unset) every call does nothing beyond a test of one flag.
#include "serviceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "monotonicClock.h"

namespace {

struct Notifier {
    std::mutex mutex;
    int fd = -1;
    sockaddr_un addr{};
    socklen_t addrLen = 0;
    uint64_t watchdogEveryMs = 0;  // half the service manager's watchdog time; 0: ping always
    uint64_t lastPingMs = 0;

    Notifier() {
        const char* path = std::getenv("NOTIFY_SOCKET");
        if (path == nullptr || path[0] == '\0')
            return;
        size_t len = std::strlen(path);
        if ((path[0] != '/' && path[0] != '@') || len >= sizeof addr.sun_path)
            return;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path, len);
        if (path[0] == '@')
            addr.sun_path[0] = '\0';  // an abstract socket: no file behind it
        addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // The service manager's watchdog time in microseconds; pinging at half of it is as safe
        // as pinging every cycle and costs a fraction of the system calls.
        if (const char* usec = std::getenv("WATCHDOG_USEC")) {
            unsigned long long us = std::strtoull(usec, nullptr, 10);
            watchdogEveryMs = us / 2000;
        }
    }

    void send(const std::string& state) {
        if (fd < 0)
            return;
        ssize_t r;
        do {
            r = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&addr), addrLen);
        } while (r < 0 && errno == EINTR);
        // A lost datagram is not the daemon's concern: a missing ping gets it restarted, which
        // is the point of the pings.
    }
};

Notifier& notifier() {
    static Notifier* n = new Notifier();  // never destroyed: the threads may still report
    return *n;
}

}  // namespace

bool serviceManaged() {
    return notifier().fd >= 0;
}

void serviceReady() {
    notifier().send("READY=1");
}

void serviceWatchdog() {
    Notifier& n = notifier();
    if (n.fd < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        uint64_t now = monotonic::nowMs();
        if (n.lastPingMs != 0 && now - n.lastPingMs < n.watchdogEveryMs)
            return;
        n.lastPingMs = now;
    }
    n.send("WATCHDOG=1");
}

void serviceStatus(const std::string& text) {
    notifier().send("STATUS=" + text);
}

void serviceStopping() {
    notifier().send("STOPPING=1");
}
