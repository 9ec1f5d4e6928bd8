#include "common/report.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

void report(const char *message)
{
    if (errno > 0) {
        std::perror(message);
        return;
    }
    if (message != nullptr)
        std::printf("\n%s\n", message);
}

void open_standard_descriptors()
{
    const int saved = errno;
    // In order: each one opened takes the lowest free descriptor, itself.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            (void)open("/dev/null", O_RDWR);
    }
    errno = saved;
}
