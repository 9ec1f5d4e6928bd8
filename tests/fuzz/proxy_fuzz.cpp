// Feeds arbitrary bytes to the PROXY header scanner, as a trusted proxy's
// first bytes, and checks what any input must leave behind: a verdict that
// only grows firmer as more bytes come (a beginning that asks for more never
// contradicts the whole), a length within the version's bounds that a
// version 1 line holds in full, and addresses that the writer puts back into
// a header that reads the same again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/net.h"

namespace {

constexpr std::size_t PREFIXES_CHECKED = 160;

void fail(const char *what)
{
    std::fprintf(stderr, "proxy_fuzz: %s\n", what);
    std::abort();
}

long scan(const std::uint8_t *data, std::size_t size, proxy_addresses &out)
{
    const char *why = nullptr;
    const long n = scan_proxy_header(data, size, out, &why);
    if (n < -1)
        fail("result below -1");
    if (n == -1 && (why == nullptr || why[0] == '\0'))
        fail("a refusal without its reason");
    return n;
}

bool same_address(const sockaddr_storage &a, const sockaddr_storage &b)
{
    char x[ENDPOINT_TEXT_LEN];
    char y[ENDPOINT_TEXT_LEN];
    format_endpoint(reinterpret_cast<const sockaddr *>(&a), x, sizeof x);
    format_endpoint(reinterpret_cast<const sockaddr *>(&b), y, sizeof y);
    return std::strcmp(x, y) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    proxy_addresses whole{};
    const long verdict = scan(data, size, whole);
    if (verdict == 0 && size >= PROXY_V1_MAX)
        fail("still asking for more after 107 bytes");
    if (verdict > 0) {
        if (verdict > 16 + 65535)
            fail("a header longer than version 2 allows");
        if (data[0] == 'P' && (verdict > static_cast<long>(PROXY_V1_MAX) || verdict > static_cast<long>(size)))
            fail("a version 1 line longer than 107 bytes or than what was read");
    }
    for (std::size_t k = 0; k < size && k < PREFIXES_CHECKED; ++k) {
        proxy_addresses part{};
        const long early = scan(data, k, part);
        if (early != 0 && early != verdict)
            fail("a beginning decided otherwise than the whole");
    }
    if (verdict > 0 && !whole.local) {
        for (int version = 1; version <= 2; ++version) {
            std::uint8_t header[PROXY_HEADER_MAX];
            const std::size_t n = write_proxy_header(version, reinterpret_cast<const sockaddr *>(&whole.source),
                                                     reinterpret_cast<const sockaddr *>(&whole.destination), header,
                                                     sizeof header);
            proxy_addresses again{};
            if (n == 0 || scan(header, n, again) != static_cast<long>(n) || again.local ||
                !same_address(again.source, whole.source) || !same_address(again.destination, whole.destination))
                fail("a written header does not read back the same");
        }
    }
    return 0;
}
