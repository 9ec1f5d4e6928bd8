#include "common/platform.h"

#include <unistd.h>

// FreeBSD and glibc from 2.34 close them all in one call; elsewhere every
// descriptor the limit allows is tried.
#if defined(__FreeBSD__) || (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34)))
void close_inherited_descriptors()
{
    closefrom(STDERR_FILENO + 1);
}
#else
void close_inherited_descriptors()
{
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (int fd = STDERR_FILENO + 1; fd < limit; ++fd)
        close(fd);
}
#endif
