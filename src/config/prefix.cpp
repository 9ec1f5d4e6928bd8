// Address prefixes of the allow, deny and acceptproxy lines: read once here
// for the daemon and the checker alike, and matched by the daemon.
#include "config/config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Clears the bits after the first bits of address (size bytes). Returns
// whether any was set.
bool clear_host_bits(std::uint8_t *address, int size, int bits)
{
    bool had = false;
    for (int i = 0; i < size; ++i) {
        const int keep = bits - i * 8;
        const std::uint8_t mask = keep >= 8 ? 0xff : keep <= 0 ? 0 : static_cast<std::uint8_t>(0xff << (8 - keep));
        had = had || (address[i] & ~mask) != 0;
        address[i] &= mask;
    }
    return had;
}

// The prefix length after the slash: 1 to 3 decimal digits, no sign, no
// leading zero, at most high. -1 for anything else.
int read_bits(const char *text, int high)
{
    const std::size_t n = std::strlen(text);
    if (n == 0 || n > 3 || (n > 1 && text[0] == '0'))
        return -1;
    int bits = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        bits = bits * 10 + (*p - '0');
    }
    return bits <= high ? bits : -1;
}

bool bits_equal(const std::uint8_t *a, const std::uint8_t *b, int bits)
{
    const int whole = bits / 8;
    if (std::memcmp(a, b, static_cast<std::size_t>(whole)) != 0)
        return false;
    const int rest = bits % 8;
    if (rest == 0)
        return true;
    const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool parse_prefix(const char *text, address_rule &rule, bool *host_bits)
{
    char address[INET6_ADDRSTRLEN];
    const char *slash = std::strchr(text, '/');
    const std::size_t length = slash != nullptr ? static_cast<std::size_t>(slash - text) : std::strlen(text);
    if (length == 0 || length >= sizeof address)
        return false;
    std::memcpy(address, text, length);
    address[length] = '\0';
    std::memset(rule.address, 0, sizeof rule.address);
    if (inet_pton(AF_INET, address, rule.address) > 0) {
        rule.v6 = false;
    } else if (inet_pton(AF_INET6, address, rule.address) > 0) {
        rule.v6 = true;
    } else {
        return false;
    }
    const int high = rule.v6 ? 128 : 32;
    const int bits = slash != nullptr ? read_bits(slash + 1, high) : high;
    if (bits < 0)
        return false;
    rule.prefix = static_cast<std::uint8_t>(bits);
    // An IPv4-mapped prefix of at least the mapped part is the IPv4 prefix
    // it stands for.
    if (rule.v6 && bits >= 96 && std::memcmp(rule.address, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) {
        std::memmove(rule.address, rule.address + 12, 4);
        std::memset(rule.address + 4, 0, 12);
        rule.v6 = false;
        rule.prefix = static_cast<std::uint8_t>(bits - 96);
    }
    const bool had = clear_host_bits(rule.address, rule.v6 ? 16 : 4, rule.prefix);
    if (host_bits != nullptr)
        *host_bits = had;
    return true;
}

bool prefix_matches(const address_rule &rule, bool v6, const std::uint8_t *address)
{
    return rule.v6 == v6 && bits_equal(rule.address, address, rule.prefix);
}

bool prefix_covers(const address_rule &outer, const address_rule &inner)
{
    return outer.v6 == inner.v6 && outer.prefix <= inner.prefix && bits_equal(outer.address, inner.address, outer.prefix);
}

void format_prefix(const address_rule &rule, char *buf, std::size_t size)
{
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(rule.v6 ? AF_INET6 : AF_INET, rule.address, text, sizeof text);
    std::snprintf(buf, size, "%s/%u", text, unsigned{rule.prefix});
}
