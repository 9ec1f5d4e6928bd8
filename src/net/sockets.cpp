#include "net/net.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket address for an IPv4 or IPv6 literal at the low 16 bits of port.
struct endpoint {
    sockaddr_storage sa;
    socklen_t len;
};

// Fills e for text, an IPv4 dotted-decimal or IPv6 literal. Returns false,
// with errno untouched, for any other text: host names are not resolved.
bool parse_endpoint(const char *text, std::int32_t port, endpoint &e)
{
    std::memset(&e, 0, sizeof e);
    const auto net_port = htons(static_cast<std::uint16_t>(port));
    auto *v4 = reinterpret_cast<sockaddr_in *>(&e.sa);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&e.sa);
    if (inet_pton(AF_INET, text, &v4->sin_addr) > 0) {
        v4->sin_family = AF_INET;
        v4->sin_port = net_port;
        e.len = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) > 0) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = net_port;
        e.len = sizeof *v6;
        return true;
    }
    return false;
}

// Closes a socket whose set-up failed, keeping errno for the caller.
int fail_closing(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// Connects fd, a non-blocking socket, within timeout_ms. A backend that
// drops connection attempts fails with ETIMEDOUT at the deadline rather than
// at the system's own, a minute or more later.
bool connect_within(int fd, const endpoint &e, int timeout_ms)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&e.sa), e.len) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    const long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        const long long left = deadline - monotonic_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            break;
        if (n < 0 && errno != EINTR)
            return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0)
        return false;
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

}  // namespace

int open_listener(std::int32_t port, const char *address, int backlog)
{
    endpoint e;
    if (address == nullptr || address[0] == '\0') {
        parse_endpoint("0.0.0.0", port, e);
    } else if (!parse_endpoint(address, port, e)) {
        errno = EINVAL;
        return -1;
    }
    // Non-blocking: a client that goes away between the wait for it and
    // accept() must not leave accept() waiting for the next one.
    int fd = socket(e.sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // Lets a restarted daemon bind while connections of the previous one
    // linger in TIME_WAIT; a port with a live listener still fails.
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        return fail_closing(fd);
    // An IPv6 address takes IPv4 clients too (as IPv4-mapped addresses)
    // where it can, the any-address "::" above all: the systems differ in
    // their default, so it is set either way.
    int off = 0;
    if (e.sa.ss_family == AF_INET6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) < 0)
        return fail_closing(fd);
    if (bind(fd, reinterpret_cast<sockaddr *>(&e.sa), e.len) < 0)
        return fail_closing(fd);
    if (listen(fd, backlog) < 0)
        return fail_closing(fd);
    return fd;
}

int connect_backend(const char *address, std::int32_t port, int timeout_ms)
{
    endpoint e;
    if (!parse_endpoint(address, port, e))
        return -1;
    // With a time limit the socket is made non-blocking and stays so: a
    // probe closes it at once, and the relay asks every call not to wait.
    int fd = socket(e.sa.ss_family, SOCK_STREAM | (timeout_ms > 0 ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    if (timeout_ms > 0) {
        if (!connect_within(fd, e, timeout_ms))
            return fail_closing(fd);
    } else if (connect(fd, reinterpret_cast<sockaddr *>(&e.sa), e.len) < 0) {
        return fail_closing(fd);
    }
    return fd;
}

const char *connect_failure_text(int err)
{
    // connect_backend leaves errno alone when the text is no address at all.
    if (err == 0)
        return "not an IPv4 or IPv6 address";
    if (err == ETIMEDOUT)
        return "timed out";
    return std::strerror(err);
}

namespace {

// The length snprintf() wrote into size bytes, NUL excluded.
std::size_t written(int n, std::size_t size)
{
    return n < 0 || size == 0 ? 0 : std::min(static_cast<std::size_t>(n), size - 1);
}

}  // namespace

std::size_t format_endpoint(const sockaddr *address, char *buf, std::size_t size)
{
    char text[INET6_ADDRSTRLEN];
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return written(std::snprintf(buf, size, "%s:%u", text, unsigned{ntohs(v4->sin_port)}), size);
    }
    if (address->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
        const unsigned port = ntohs(v6->sin6_port);
        // An IPv4 client of a listener on an IPv6 address: shown as the
        // IPv4 address it is.
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
            return written(std::snprintf(buf, size, "%s:%u", text, port), size);
        }
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return written(std::snprintf(buf, size, "[%s]:%u", text, port), size);
    }
    return written(std::snprintf(buf, size, "?"), size);
}

std::size_t format_endpoint(const char *address, std::int32_t port, char *buf, std::size_t size)
{
    const unsigned low = static_cast<std::uint16_t>(port);
    if (std::strchr(address, ':') != nullptr)
        return written(std::snprintf(buf, size, "[%s]:%u", address, low), size);
    return written(std::snprintf(buf, size, "%s:%u", address, low), size);
}
