// The lookup of the far end's user against real listeners on the loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>

#include "peerOwner.h"
#include "testSupport.h"

namespace {

// A numeric address and port as a socket address.
socklen_t addressOf(const char* host, int port, sockaddr_storage& a) {
    a = {};
    auto& in = reinterpret_cast<sockaddr_in&>(a);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
    if (inet_pton(AF_INET, host, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<uint16_t>(port));
        return sizeof in;
    }
    inet_pton(AF_INET6, host, &in6.sin6_addr);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof in6;
}

// A socket of `host`'s family created as user `owner` (the file-system uid, which the socket
// takes, is this thread's alone); bound to `port` and listening when `port` >= 0.
int socketAs(const char* host, uid_t owner, int port = -1) {
    sockaddr_storage a;
    const socklen_t len = addressOf(host, port, a);
    const uid_t was = static_cast<uid_t>(setfsuid(owner));
    const int fd = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setfsuid(was);
    if (port >= 0 && (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(fd, 4) != 0))
        ADD_FAILURE() << "cannot listen on " << host << ": " << strerror(errno);
    return fd;
}

}  // namespace

// The far end is the listener's until accepted, over IPv4, IPv6 and an IPv6 socket reached over
// IPv4; a far end that has closed has no owner to tell (the kernel reports uid 0 for it).
TEST(PeerOwner, TellsTheUserOfTheFarEndOfALoopbackConnection) {
    if (testsupport::emulated())
        GTEST_SKIP() << "the emulator has no socket diagnostics (NETLINK_SOCK_DIAG)";
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
        if (c.owner != me && me != 0) {
            std::cout << "skipped without root: " << c.legend << "\n";
            continue;
        }
        const int listener = socketAs(c.listenAt, c.owner, 0);
        sockaddr_storage a;
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        const int port = ntohs(reinterpret_cast<sockaddr_in&>(a).sin_port);  // same place in v6
        const int client = socketAs(c.connectTo, me);
        len = addressOf(c.connectTo, port, a);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), len), 0) << strerror(errno);
        if (c.closed)
            close(accept(listener, nullptr, nullptr));

        const vexaobj::PeerOwner owner = vexaobj::peerOwner(client);
        EXPECT_EQ(owner.result, c.closed ? vexaobj::PeerOwner::Unknown : vexaobj::PeerOwner::Known)
            << owner.why;
        EXPECT_EQ(owner.uid, c.closed ? 0 : c.owner);
        std::string text;
        bool loopback = false;
        EXPECT_TRUE(vexaobj::peerAddress(client, text, loopback));
        EXPECT_TRUE(loopback);
        const std::string host = strchr(c.connectTo, ':') ? "[::1]" : c.connectTo;
        EXPECT_EQ(text, host + ":" + std::to_string(port));
        close(client);
        close(listener);
    }
}
