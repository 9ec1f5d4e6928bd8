// Feeds arbitrary bytes to the parser as a real file and checks what any
// input must leave behind: a known result code and a server list that fits
// its slots, every address a NUL-terminated token of its own.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "scratch_file.h"

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "config_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::FILE *file = scratch_file_holding(data, size);

    // Garbage in the record shows up if the parser trusts what it did not write.
    std::memset(&daemon_config, 0xa5, sizeof daemon_config);
    const int code = parse_config(file);

    if (code < CONFIG_OK || code >= static_cast<int>(config_error_text.size()))
        fail("result code out of range");
    if (size == 0 && code != CONFIG_OPEN_FAILED)
        fail("an empty file must read as one that cannot be opened");
    const int count = daemon_config.server_count;
    if (count < 0 || count > MAX_SERVERS)
        fail("server_count out of range");
    if (code == CONFIG_OK && count == 0)
        fail("CONFIG_OK without a server");
    for (int i = 0; i < count; ++i) {
        const char *addr = daemon_config.servers[i];
        if (std::memchr(addr, '\0', SERVER_ADDR_LEN) == nullptr)
            fail("server address not NUL-terminated within its slot");
        for (const char *p = addr; *p != '\0'; ++p) {
            if (std::isspace(static_cast<unsigned char>(*p)))
                fail("white space inside a server address");
        }
    }
    return 0;
}
