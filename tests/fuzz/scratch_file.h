// The configuration fuzz targets' input file: made with mkstemp and unlinked
// at once, so that nothing is left in the file system however a run ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

// Returns a stream over a file that holds exactly data; the same stream on
// every call, for the parser rewinds it before it reads.
inline std::FILE *scratch_file_holding(const std::uint8_t *data, std::size_t size)
{
    static std::FILE *const file = [] {
        const char *dir = std::getenv("TMPDIR");
        std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/dovra-fuzz-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd < 0)
            return static_cast<std::FILE *>(nullptr);
        unlink(path.c_str());
        return fdopen(fd, "w+b");
    }();
    // A stream that was read from must be positioned before it is written.
    if (file == nullptr || ftruncate(fileno(file), 0) != 0 || std::fseek(file, 0, SEEK_SET) != 0 ||
        std::fwrite(data, 1, size, file) != size || std::fflush(file) != 0) {
        std::perror("scratch file");
        std::abort();
    }
    return file;
}
