// The far end's user of a loopback TCP connection, from the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG, inet_diag): one request naming the far end's socket by the connection's
// addresses and ports, one answer. Sockets that are not established carry no owner there (a
// connection still in its handshake and one in TIME_WAIT both report uid 0), so only an
// established far end counts.
#include "peerOwner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vexaobj {

namespace {

// The kernel answers while the request is being sent; this only bounds a kernel that does not.
constexpr int kAnswerTimeoutMs = 1000;

std::string errnoText(int err) {
    char buf[128];
    return std::string(strerror_r(err, buf, sizeof buf));
}

// One end of the connection as inet_diag names it: port and address, in network order.
void putEnd(const sockaddr_storage& a, __be16& port, __be32 (&address)[4]) {
    if (a.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(a);
        port = in.sin_port;
        address[0] = in.sin_addr.s_addr;
    } else {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
        port = in6.sin6_port;
        std::memcpy(address, &in6.sin6_addr, sizeof address);
    }
}

// The answer to one request: the far end's socket, or why there is none.
// `buf` is aligned for a netlink header (the caller's buffer says so).
PeerOwner readAnswer(const void* buf, ssize_t n) {
    PeerOwner owner;
    const auto* h = static_cast<const nlmsghdr*>(buf);
    if (n < 0 || !NLMSG_OK(h, static_cast<unsigned>(n))) {
        owner.why = "no answer from the kernel's socket diagnostics";
    } else if (h->nlmsg_type == NLMSG_ERROR) {
        const int err = -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        owner.why = err == ENOENT ? "no socket at the other end" : errnoText(err);
    } else if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
               h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        owner.why = "an answer of the kernel's socket diagnostics that is not a socket";
    } else {
        const auto* s = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        if (s->idiag_state == TCP_ESTABLISHED) {
            owner.result = PeerOwner::Known;
            owner.uid = s->idiag_uid;
        } else if (s->idiag_state == TCP_SYN_RECV) {
            owner.result = PeerOwner::NotYet;
        } else {
            owner.why = "the other end is closing (TCP state " +
                        std::to_string(static_cast<unsigned>(s->idiag_state)) + ")";
        }
    }
    return owner;
}

}  // namespace

bool isLoopback(const sockaddr* address) {
    // Copied out: a sockaddr need not be aligned as the family's own struct is.
    if (address->sa_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, address, sizeof in6);
        const in6_addr& a = in6.sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

bool peerAddress(int fd, std::string& text, bool& loopback) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return false;
    char host[INET6_ADDRSTRLEN] = "?";
    const bool v4 = peer.ss_family == AF_INET;
    const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
    ::inet_ntop(peer.ss_family, v4 ? static_cast<const void*>(&in.sin_addr) : &in6.sin6_addr, host,
                sizeof host);
    const unsigned port = ntohs(v4 ? in.sin_port : in6.sin6_port);
    text = (v4 ? std::string(host) : "[" + std::string(host) + "]") + ":" + std::to_string(port);
    loopback = isLoopback(reinterpret_cast<const sockaddr*>(&peer));
    return true;
}

PeerOwner peerOwner(int fd) {
    PeerOwner owner;
    sockaddr_storage local{}, peer{};
    socklen_t localLen = sizeof local, peerLen = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
        owner.why = errnoText(errno);
        return owner;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = static_cast<uint8_t>(peer.ss_family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0u;
    // The far end's socket: its own address is our peer's, its remote one ours.
    putEnd(peer, request.body.id.idiag_sport, request.body.id.idiag_src);
    putEnd(local, request.body.id.idiag_dport, request.body.id.idiag_dst);
    request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) {
        owner.why = "no socket diagnostics: " + errnoText(errno);
        return owner;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    alignas(nlmsghdr) char answer[8192];
    ssize_t n = -1;
    int err = 0;
    pollfd p{nl, POLLIN, 0};
    if (::sendto(nl, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof request)) {
        err = errno;
    } else if (const int ready = ::poll(&p, 1, kAnswerTimeoutMs); ready != 1) {
        err = ready == 0 ? ETIMEDOUT : errno;
    } else if ((n = ::recv(nl, answer, sizeof answer, MSG_DONTWAIT)) < 0) {
        err = errno;
    }
    ::close(nl);
    owner = readAnswer(answer, n);
    if (n < 0)
        owner.why += " (" + errnoText(err) + ")";
    return owner;
}

std::string describeUser(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found) == 0 && found)
        return "user " + std::string(found->pw_name) + ", uid " + std::to_string(uid);
    return "uid " + std::to_string(uid) + ", no user name";
}

}  // namespace vexaobj
