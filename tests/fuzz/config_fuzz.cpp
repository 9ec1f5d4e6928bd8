// Feeds arbitrary bytes to read_config as a real file and checks what any
// input must leave behind: a known result code and a server list that fits
// its slots, every address a NUL-terminated token of its own.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "config/config.h"

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "config_fuzz: %s\n", what);
    std::abort();
}

// An unnamed file, reopened by read_config through /proc: nothing is left in
// the file system however the run ends.
int scratch_file()
{
    const char *dir = std::getenv("TMPDIR");
    int fd = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        fd = memfd_create("config_fuzz", MFD_CLOEXEC);
    if (fd < 0)
        fail("no scratch file");
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const int fd = scratch_file();
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);

    if (ftruncate(fd, 0) != 0)
        fail("ftruncate");
    for (std::size_t done = 0; done < size;) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            fail("pwrite");
        done += static_cast<std::size_t>(n);
    }

    // Garbage in the record shows up if the parser trusts what it did not write.
    std::memset(&daemon_config, 0xa5, sizeof daemon_config);
    const int code = read_config(path.c_str());

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
