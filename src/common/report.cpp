#include "common/report.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/signals.h"

namespace {

// A report: the message and the system's reason, within a status report's
// size.
constexpr std::size_t REPORT_LINE_SIZE = 1024;

bool bounded = false;

void interrupt_write(int) {}

// Each second until it is stopped, so that a signal that came just before
// the write began is followed by one that ends it. Both calls are allowed in
// the session sandbox.
void arm_write_timer(bool on)
{
    itimerval t{};
    if (on) {
        t.it_value.tv_sec = 1;
        t.it_interval.tv_sec = 1;
    }
    setitimer(ITIMER_REAL, &t, nullptr);
}

}  // namespace

void report(const char *message)
{
    const int saved = errno;
    char line[REPORT_LINE_SIZE];
    int n = 0;
    int fd = STDOUT_FILENO;
    if (saved > 0) {
        // perror()'s line, made here so that it is one write.
        const char *reason = std::strerror(saved);
        fd = STDERR_FILENO;
        if (message != nullptr && message[0] != '\0')
            n = std::snprintf(line, sizeof line, "%s: %s\n", message, reason);
        else
            n = std::snprintf(line, sizeof line, "%s\n", reason);
    } else if (message != nullptr) {
        n = std::snprintf(line, sizeof line, "\n%s\n", message);
    }
    if (n > 0)
        write_diagnostic(fd, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
    errno = saved;
}

void bound_diagnostic_writes()
{
    install_handler(SIGALRM, interrupt_write);
    bounded = true;
}

void write_diagnostic(int fd, const char *text, std::size_t length)
{
    const int saved = errno;
    if (bounded)
        arm_write_timer(true);
    std::fflush(stdout);
    ssize_t written = write(fd, text, length);
    (void)written;
    if (bounded)
        arm_write_timer(false);
    errno = saved;
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
