// Who is at the other end of a TCP connection on this host: the user owning the far end's
// socket, as the kernel's socket diagnostics report it (what `ss -e` prints as "uid:"). Any
// local process may listen on an unprivileged port while its rightful owner is away; the far
// end's user tells the rightful one from another.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <string>

namespace vexaobj {

// True for an address of this host's loopback: 127.0.0.0/8, ::1, or 127.x.y.z mapped into IPv6.
bool isLoopback(const sockaddr* address);

// The address of the other end of connected socket `fd` as numbers ("127.0.0.1:50000",
// "[::1]:50000"), and whether it is on the loopback; false when the socket has no peer.
bool peerAddress(int fd, std::string& text, bool& loopback);

struct PeerOwner {
    enum Result {
        Known,    // `uid` owns the far end
        NotYet,   // the far end is still completing the handshake: ask again shortly
        Unknown,  // the kernel cannot tell (`why`)
    };
    Result result = Unknown;
    uid_t uid = 0;
    std::string why;
};

// For a TCP socket `fd` connected to an address of this host: the user of the socket at the
// other end, found by the connection's addresses and ports. That socket belongs to the user
// whose process accepted it, or, before it is accepted, to the listening socket's owner. A far
// end that is not an established socket (it is closing, or gone) has no owner to tell: Unknown.
PeerOwner peerOwner(int fd);

// "user vexa, uid 999"; "uid 1234, no user name" when the system has no name for it.
std::string describeUser(uid_t uid);

}  // namespace vexaobj
