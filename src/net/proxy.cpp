// The PROXY header: written for backends, read from trusted clients.
//
// The reader decides on bytes it holds in one fixed buffer and never on a
// length it has not checked against them. It takes only what a header is
// made of: a version 1 line "PROXY TCP4|TCP6 SRC DST SPORT DPORT\r\n" of at
// most 107 bytes (or "PROXY UNKNOWN...\r\n"), or a version 2 header of the
// PROXY command over TCP and IPv4 or IPv6, or of the LOCAL command; anything
// else refuses the client. Nothing is guessed: a client that is meant to
// send a header and sends something else is not served.
#include "net/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t V2_SIGNATURE[12] = {0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a};
constexpr std::size_t V2_FIXED = 16;
constexpr std::uint8_t V2_LOCAL = 0x20;
constexpr std::uint8_t V2_PROXY = 0x21;
constexpr std::uint8_t V2_TCP4 = 0x11;
constexpr std::uint8_t V2_TCP6 = 0x21;
constexpr std::size_t V2_TCP4_BLOCK = 12;
constexpr std::size_t V2_TCP6_BLOCK = 36;
constexpr char V1_PREFIX[] = "PROXY ";
constexpr std::size_t V1_PREFIX_LEN = sizeof V1_PREFIX - 1;

// ---- writing ----

// An address as the header carries it: IPv4-mapped IPv6 made IPv4.
struct plain_address {
    int family;  // AF_INET, AF_INET6, or 0 for another
    std::uint8_t bytes[16];
    std::uint16_t port;  // host order
};

plain_address plain(const sockaddr *sa)
{
    plain_address a{};
    if (sa->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(sa);
        a.family = AF_INET;
        std::memcpy(a.bytes, &v4->sin_addr, 4);
        a.port = ntohs(v4->sin_port);
    } else if (sa->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        a.port = ntohs(v6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            a.family = AF_INET;
            std::memcpy(a.bytes, &v6->sin6_addr.s6_addr[12], 4);
        } else {
            a.family = AF_INET6;
            std::memcpy(a.bytes, &v6->sin6_addr, 16);
        }
    }
    return a;
}

// Two addresses of one header share a family: an IPv4 one beside an IPv6
// one is written in its IPv4-mapped form.
void as_ipv6(plain_address &a)
{
    if (a.family != AF_INET)
        return;
    std::uint8_t v4[4];
    std::memcpy(v4, a.bytes, 4);
    std::memset(a.bytes, 0, 10);
    a.bytes[10] = a.bytes[11] = 0xff;
    std::memcpy(a.bytes + 12, v4, 4);
    a.family = AF_INET6;
}

std::size_t write_v1(const plain_address &s, const plain_address &d, std::uint8_t *buf, std::size_t size)
{
    char src[INET6_ADDRSTRLEN];
    char dst[INET6_ADDRSTRLEN];
    inet_ntop(s.family, s.bytes, src, sizeof src);
    inet_ntop(d.family, d.bytes, dst, sizeof dst);
    const int n = std::snprintf(reinterpret_cast<char *>(buf), size, "PROXY %s %s %s %u %u\r\n",
                                s.family == AF_INET ? "TCP4" : "TCP6", src, dst, unsigned{s.port}, unsigned{d.port});
    return n > 0 && static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : 0;
}

std::size_t write_v2(const plain_address &s, const plain_address &d, std::uint8_t *buf)
{
    const std::size_t address_size = s.family == AF_INET ? 4 : 16;
    const std::size_t block = s.family == AF_INET ? V2_TCP4_BLOCK : V2_TCP6_BLOCK;
    std::memcpy(buf, V2_SIGNATURE, sizeof V2_SIGNATURE);
    buf[12] = V2_PROXY;
    buf[13] = s.family == AF_INET ? V2_TCP4 : V2_TCP6;
    buf[14] = 0;
    buf[15] = static_cast<std::uint8_t>(block);
    std::uint8_t *p = buf + V2_FIXED;
    std::memcpy(p, s.bytes, address_size);
    std::memcpy(p + address_size, d.bytes, address_size);
    p += 2 * address_size;
    p[0] = static_cast<std::uint8_t>(s.port >> 8);
    p[1] = static_cast<std::uint8_t>(s.port);
    p[2] = static_cast<std::uint8_t>(d.port >> 8);
    p[3] = static_cast<std::uint8_t>(d.port);
    return V2_FIXED + block;
}

// ---- reading ----

void set_address(sockaddr_storage &ss, int family, const std::uint8_t *bytes, std::uint16_t port)
{
    std::memset(&ss, 0, sizeof ss);
    if (family == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
        v4->sin_family = AF_INET;
        std::memcpy(&v4->sin_addr, bytes, 4);
        v4->sin_port = htons(port);
    } else {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        v6->sin6_family = AF_INET6;
        std::memcpy(&v6->sin6_addr, bytes, 16);
        v6->sin6_port = htons(port);
    }
}

// A port of version 1: 1 to 5 decimal digits, no leading zero, at most
// 65535.
bool read_port(const char *text, std::size_t length, std::uint16_t &port)
{
    if (length == 0 || length > 5 || (length > 1 && text[0] == '0'))
        return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// Splits line (length bytes, without its CR LF) at single spaces into at
// most max fields. Returns the count, or -1 for an empty field or too many.
int split(const char *line, std::size_t length, const char *(&field)[6], std::size_t (&size)[6], int max)
{
    int count = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && line[i] != ' ')
            continue;
        if (i == start || count == max)
            return -1;
        field[count] = line + start;
        size[count] = i - start;
        ++count;
        start = i + 1;
    }
    return count;
}

// One address field of version 1, in family.
bool read_address(const char *text, std::size_t length, int family, std::uint8_t (&bytes)[16])
{
    char copy[INET6_ADDRSTRLEN];
    if (length >= sizeof copy)
        return false;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return inet_pton(family, copy, bytes) > 0;
}

long parse_v1(const char *line, std::size_t length, proxy_addresses &out, const char **why)
{
    const long total = static_cast<long>(length + 2);
    *why = "malformed PROXY v1 header";
    const char *field[6];
    std::size_t size[6];
    // "PROXY UNKNOWN" may be followed by anything up to the line's end.
    if (length >= V1_PREFIX_LEN + 7 && std::memcmp(line + V1_PREFIX_LEN, "UNKNOWN", 7) == 0 &&
        (length == V1_PREFIX_LEN + 7 || line[V1_PREFIX_LEN + 7] == ' ')) {
        out.local = true;
        return total;
    }
    if (split(line, length, field, size, 6) != 6)
        return -1;
    int family;
    if (size[1] == 4 && std::memcmp(field[1], "TCP4", 4) == 0)
        family = AF_INET;
    else if (size[1] == 4 && std::memcmp(field[1], "TCP6", 4) == 0)
        family = AF_INET6;
    else
        return -1;
    std::uint8_t src[16] = {};
    std::uint8_t dst[16] = {};
    std::uint16_t sport;
    std::uint16_t dport;
    if (!read_address(field[2], size[2], family, src) || !read_address(field[3], size[3], family, dst) ||
        !read_port(field[4], size[4], sport) || !read_port(field[5], size[5], dport))
        return -1;
    out.local = false;
    set_address(out.source, family, src, sport);
    set_address(out.destination, family, dst, dport);
    return total;
}

long scan_v1(const std::uint8_t *data, std::size_t size, proxy_addresses &out, const char **why)
{
    const std::size_t head = size < V1_PREFIX_LEN ? size : V1_PREFIX_LEN;
    if (std::memcmp(data, V1_PREFIX, head) != 0) {
        *why = "not a PROXY header";
        return -1;
    }
    // The CR of the longest line stands 2 bytes before its end.
    constexpr std::size_t LAST_CR = PROXY_V1_MAX - 2;
    const std::size_t limit = size < LAST_CR + 1 ? size : LAST_CR + 1;
    for (std::size_t i = 0; i < limit; ++i) {
        if (data[i] == '\n') {
            *why = "malformed PROXY v1 header";
            return -1;
        }
        if (data[i] != '\r')
            continue;
        if (i + 1 == size)
            return 0;
        if (data[i + 1] != '\n') {
            *why = "malformed PROXY v1 header";
            return -1;
        }
        return parse_v1(reinterpret_cast<const char *>(data), i, out, why);
    }
    if (size > LAST_CR) {
        *why = "PROXY v1 header longer than 107 bytes";
        return -1;
    }
    return 0;
}

long scan_v2(const std::uint8_t *data, std::size_t size, proxy_addresses &out, const char **why)
{
    const std::size_t head = size < sizeof V2_SIGNATURE ? size : sizeof V2_SIGNATURE;
    if (std::memcmp(data, V2_SIGNATURE, head) != 0) {
        *why = "not a PROXY header";
        return -1;
    }
    if (size < V2_FIXED)
        return 0;
    const std::uint8_t command = data[12];
    const std::uint8_t family = data[13];
    const std::size_t length = static_cast<std::size_t>(data[14]) << 8 | data[15];
    const long total = static_cast<long>(V2_FIXED + length);
    if (command == V2_LOCAL) {
        out.local = true;
        return total;
    }
    if (command != V2_PROXY) {
        *why = "PROXY v2 header of another version or command";
        return -1;
    }
    if (family != V2_TCP4 && family != V2_TCP6) {
        *why = "PROXY v2 header not of TCP over IPv4 or IPv6";
        return -1;
    }
    const std::size_t block = family == V2_TCP4 ? V2_TCP4_BLOCK : V2_TCP6_BLOCK;
    if (length < block) {
        *why = "PROXY v2 header too short for its addresses";
        return -1;
    }
    if (size < V2_FIXED + block)
        return 0;
    const int af = family == V2_TCP4 ? AF_INET : AF_INET6;
    const std::size_t address_size = family == V2_TCP4 ? 4 : 16;
    const std::uint8_t *p = data + V2_FIXED;
    const std::uint8_t *ports = p + 2 * address_size;
    out.local = false;
    set_address(out.source, af, p, static_cast<std::uint16_t>(ports[0] << 8 | ports[1]));
    set_address(out.destination, af, p + address_size, static_cast<std::uint16_t>(ports[2] << 8 | ports[3]));
    return total;
}

// Waits until fd is readable or deadline_ms has come. Returns 1, 0 at the
// deadline, or -1 with errno set.
int wait_readable(int fd, long long deadline_ms)
{
    for (;;) {
        const long long left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return 0;
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return 1;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

// Receives up to size bytes from fd with flags once some have come, before
// the deadline. Returns their count, or -1 with *why set: the client closed,
// failed, or sent nothing in time.
ssize_t receive(int fd, std::uint8_t *buf, std::size_t size, int flags, long long deadline_ms, const char **why)
{
    for (;;) {
        const int ready = wait_readable(fd, deadline_ms);
        if (ready <= 0) {
            *why = ready == 0 ? "no whole PROXY header within connecttimeout" : "PROXY header unreadable";
            return -1;
        }
        const ssize_t n = recv(fd, buf, size, flags);
        if (n > 0)
            return n;
        if (n == 0) {
            *why = "client closed before the PROXY header's end";
            return -1;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            *why = "PROXY header unreadable";
            return -1;
        }
    }
}

// Takes exactly count bytes from fd into buf (or drops them, buf null)
// before the deadline. Returns 0, or -1 with *why set.
int take(int fd, std::uint8_t *buf, std::size_t count, long long deadline_ms, const char **why)
{
    std::uint8_t scratch[512];
    while (count > 0) {
        std::uint8_t *into = buf != nullptr ? buf : scratch;
        const std::size_t want = buf != nullptr || count < sizeof scratch ? count : sizeof scratch;
        const ssize_t n = receive(fd, into, want, 0, deadline_ms, why);
        if (n < 0)
            return -1;
        count -= static_cast<std::size_t>(n);
        if (buf != nullptr)
            buf += n;
    }
    return 0;
}

}  // namespace

std::size_t write_proxy_header(int version, const sockaddr *source, const sockaddr *destination, std::uint8_t *buf,
                               std::size_t size)
{
    plain_address s = plain(source);
    plain_address d = plain(destination);
    if (s.family == 0 || d.family == 0)
        return 0;
    if (s.family != d.family) {
        as_ipv6(s);
        as_ipv6(d);
    }
    if (size < PROXY_HEADER_MAX)
        return 0;
    if (version == 1)
        return write_v1(s, d, buf, size);
    if (version == 2)
        return write_v2(s, d, buf);
    return 0;
}

long scan_proxy_header(const std::uint8_t *data, std::size_t size, proxy_addresses &out, const char **why)
{
    if (size == 0)
        return 0;
    if (data[0] == V1_PREFIX[0])
        return scan_v1(data, size, out, why);
    if (data[0] == V2_SIGNATURE[0])
        return scan_v2(data, size, out, why);
    *why = "not a PROXY header";
    return -1;
}

// Each pass peeks at what has come and scans it from the header's start.
// While the scan wants more, every byte peeked belongs to the header (none
// ends it yet), so it is taken off the socket and the next peek sees only
// newer bytes: poll() then waits for those rather than returning at once
// for bytes already seen. Once the header's length is known, exactly the
// rest of it is taken, its version 2 TLVs dropped.
int read_proxy_header(int fd, int timeout_ms, proxy_addresses &out, const char **why)
{
    const long long deadline = monotonic_ms() + timeout_ms;
    std::uint8_t buf[PROXY_READ_MAX];
    std::size_t have = 0;
    for (;;) {
        const ssize_t n = receive(fd, buf + have, sizeof buf - have, MSG_PEEK, deadline, why);
        if (n < 0)
            return -1;
        const std::size_t seen = have + static_cast<std::size_t>(n);
        const long length = scan_proxy_header(buf, seen, out, why);
        if (length < 0)
            return -1;
        if (length > 0)
            return take(fd, nullptr, static_cast<std::size_t>(length) - have, deadline, why);
        if (take(fd, buf + have, static_cast<std::size_t>(n), deadline, why) < 0)
            return -1;
        have = seen;
    }
}
