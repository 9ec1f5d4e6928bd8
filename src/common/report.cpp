#include "common/report.h"

#include <cerrno>
#include <cstdio>

void report(const char *message)
{
    if (errno > 0) {
        std::perror(message);
        return;
    }
    if (message != nullptr)
        std::printf("\n%s\n", message);
}
