// The lookup of the far end's user against real listeners on the loopback.
#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "peerOwner.h"
#include "testSupport.h"

namespace {

// A socket made as user `owner` (a new socket takes the file-system uid, which is this
// thread's alone), listening at `host` on any free port, or connected to `host`:`port`.
int socketAs(uid_t owner, const char* host, int port = -1) {
    const addrinfo hints{AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    addrinfo* a = nullptr;
    if (getaddrinfo(host, std::to_string(std::max(port, 0)).c_str(), &hints, &a) != 0)
        return -1;
    const uid_t was = static_cast<uid_t>(setfsuid(owner));
    const int fd = socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setfsuid(was);
    const bool ok = port < 0 ? bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 4) == 0
                             : connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    freeaddrinfo(a);
    EXPECT_TRUE(ok) << host << ": " << strerror(errno);
    return fd;
}

int portOf(int fd) {
    sockaddr_in6 a{};  // sin_port of an IPv4 address lies at the same place
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin6_port);
}

}  // namespace

// The far end is the listener's until accepted, over IPv4, IPv6 and an IPv6 socket reached over
// IPv4; a far end that has closed has no owner to tell (the kernel reports uid 0 for it).
TEST(PeerOwner, TellsTheUserOfTheFarEndOfALoopbackConnection) {
    if (geteuid() != 0 || testsupport::emulated())
        GTEST_SKIP() << "needs root, for a listener of user nobody, and socket diagnostics (none "
                        "under the emulator)";
    const uid_t me = geteuid();
    const struct {
        const char* legend;
        const char* listenAt;
        const char* connectTo;
        uid_t owner;  // of the listener
        bool closed;  // the listener accepts the connection and closes it
    } cases[] = {
        {"IPv4", "127.0.0.1", "127.0.0.1", me, false},
        {"IPv6", "::1", "::1", me, false},
        {"IPv6 socket reached over IPv4", "::ffff:127.0.0.1", "127.0.0.1", me, false},
        {"another user's listener", "127.0.0.1", "127.0.0.1", 65534, false},
        {"far end closed", "127.0.0.1", "127.0.0.1", me, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const int listener = socketAs(c.owner, c.listenAt);
        const int client = socketAs(me, c.connectTo, portOf(listener));
        if (c.closed)
            close(accept(listener, nullptr, nullptr));
        const vexaobj::PeerOwner owner = vexaobj::peerOwner(client);
        EXPECT_EQ(owner.result, c.closed ? vexaobj::PeerOwner::Unknown : vexaobj::PeerOwner::Known)
            << owner.why;
        EXPECT_EQ(owner.uid, c.closed ? 0 : c.owner);
        close(client);
        close(listener);
    }
}
