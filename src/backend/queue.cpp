// Waiting for a free backend (share none): the worker sleeps without a
// timer of its own beyond its deadline, and is woken by a signal when its
// turn may have come.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/select.h>
#include <sys/types.h>

#include "backend/backend.h"
#include "common/signals.h"
#include "config/config.h"
#include "net/net.h"

namespace {

// While the first waiter finds a backend down, it looks again this often,
// since nothing signals a backend that comes back.
constexpr long long DOWN_RECHECK_MS = 1000;

void woken(int) {}

void sleep_until_woken(long long ms, const sigset_t &open_mask)
{
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    (void)pselect(0, nullptr, nullptr, nullptr, &span, &open_mask);
}

}  // namespace

int wait_for_free_server()
{
    // Blocked from the start, and let in only while the worker sleeps: a wake sent at any moment ends the next sleep at once.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, WAKE_SIGNAL);
    sigset_t open_mask;
    sigprocmask(SIG_BLOCK, &wake, &open_mask);
    sigdelset(&open_mask, WAKE_SIGNAL);
    install_handler(WAKE_SIGNAL, woken);
    // A worker whose chosen backend failed it comes back with its place.
    static std::int32_t ticket = 0;
    if (ticket == 0)
        ticket = queue_ticket();
    else
        rejoin_queue(ticket);

    const long long deadline = monotonic_ms() + daemon_config.queuetimeout * 1000LL;
    int result = QUEUE_TIMED_OUT;
    int saved = 0;
    for (;;) {
        bool some_down = false;
        if (first_in_queue()) {
            int usable = 0;
            result = take_free_server(usable);
            saved = errno;
            if (result >= 0)
                break;
            if (usable == 0)
                break;  // every backend down: nothing to wait for
            some_down = usable < daemon_config.server_count;
        }
        const long long left = deadline - monotonic_ms();
        if (left <= 0) {
            result = QUEUE_TIMED_OUT;
            break;
        }
        sleep_until_woken(some_down ? std::min(left, DOWN_RECHECK_MS) : left, open_mask);
    }
    leave_queue();
    // The next in line may find a backend free now, or be first now.
    const pid_t next = first_waiter();
    if (next > 0)
        kill(next, WAKE_SIGNAL);
    // A wake sent from here on finds the signal ignored, pending ones included.
    install_handler(WAKE_SIGNAL, SIG_IGN);
    sigprocmask(SIG_UNBLOCK, &wake, nullptr);
    errno = saved;
    return result;
}

void wake_first_waiter()
{
    if (daemon_config.share != SHARE_NONE)
        return;
    const int saved = errno;
    const pid_t first = first_waiter();
    if (first > 0)
        kill(first, WAKE_SIGNAL);
    errno = saved;
}
