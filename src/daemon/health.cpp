// Health checks (checkinterval): one process of the daemon's connects to
// every backend once an interval, with no data, as a probe does, and holds
// the status table's view of which are up; workers then probe nothing and
// connect once, to the first free backend the checks hold up.
//
// The checker is no worker: it has no record and is not counted in
// child_count. The daemon starts it, and starts it again when it has ended.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "backend/backend.h"
#include "common/platform.h"
#include "common/report.h"
#include "common/signals.h"
#include "config/config.h"
#include "daemon/daemon.h"
#include "net/net.h"

namespace {

// A backend is marked down after this many failed checks in a row, and up
// again after this many answered ones.
constexpr int FALL = 3;
constexpr int RISE = 2;

// The checker's pid while it runs, 0 when it must be started.
volatile std::sig_atomic_t checker = 0;
bool started_once = false;

void sleep_ms(long long ms)
{
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&span, &span) < 0 && errno == EINTR) {
    }
}

// Runs in the checker: one connection to backend i, and the backend's state
// moved on when the streak calls for it. streak counts answered checks in a
// row (positive) or failed ones (negative); was_down is the state the last
// check left, so that a backend a worker marked down starts its rise afresh.
void check_backend(int i, int &streak, bool &was_down)
{
    const int connect_ms = std::min(daemon_config.connecttimeout, daemon_config.checkinterval) * 1000;
    errno = 0;
    const int fd = connect_backend(daemon_config.servers[i], daemon_config.serverport, connect_ms);
    const int err = fd < 0 ? (errno != 0 ? errno : -1) : 0;
    if (fd >= 0)
        close(fd);
    const long long now = monotonic_ms();
    note_check(i, now, err);
    const bool down = view_backend(i).down;
    if (down && !was_down)
        streak = 0;
    if (err == 0) {
        streak = streak > 0 ? streak + 1 : 1;
        if (down && streak >= RISE)
            mark_backend_up(i);
    } else {
        streak = streak < 0 ? streak - 1 : -1;
        if (!down && streak <= -FALL)
            mark_backend_down(i, err < 0 ? 0 : err, now);
    }
    was_down = view_backend(i).down;
}

[[noreturn]] void run_checker(bool restarted)
{
    const pid_t daemon = getppid();
    ignore_status_signals();
    install_handler(SIGCHLD, SIG_DFL);
    // Started again after an end: not at once, so that a checker that
    // cannot live costs a fork a second at most.
    if (restarted)
        sleep_ms(1000);
    errno = 0;
    if (enter_check_sandbox() < 0) {
        report("Error confining the health checker");
        std::exit(1);
    }
    if (getppid() != daemon)
        std::exit(0);
    int streak[MAX_SERVERS] = {};
    bool was_down[MAX_SERVERS] = {};
    const long long interval_ms = daemon_config.checkinterval * 1000LL;
    long long round = monotonic_ms();
    for (;;) {
        for (int i = 0; i < daemon_config.server_count && i < MAX_SERVERS; ++i)
            check_backend(i, streak[i], was_down[i]);
        round += interval_ms;
        const long long now = monotonic_ms();
        if (round < now)
            round = now;
        sleep_ms(round - now);
        if (getppid() != daemon)
            std::exit(0);
    }
}

}  // namespace

void keep_health_checker(int listen_fd)
{
    if (daemon_config.checkinterval <= 0 || checker != 0)
        return;
    // SIGCHLD waits until the pid is noted, so that a checker that ends at
    // once is known for what it is, and never counted off as a worker.
    block_signal(SIGCHLD, SIG_BLOCK);
    std::fflush(stdout);
    errno = 0;
    const pid_t pid = fork();
    if (pid == 0) {
        block_signal(SIGCHLD, SIG_UNBLOCK);
        close(listen_fd);
        run_checker(started_once);
    }
    if (pid > 0) {
        checker = pid;
        started_once = true;
    } else {
        report("Error forking");
    }
    block_signal(SIGCHLD, SIG_UNBLOCK);
}

void stop_health_checker()
{
    if (checker == 0)
        return;
    kill(checker, SIGKILL);
    while (waitpid(checker, nullptr, 0) < 0 && errno == EINTR) {
    }
    checker = 0;
}

bool health_checker_ended(pid_t pid)
{
    if (pid <= 0 || pid != checker)
        return false;
    checker = 0;
    return true;
}

int choose_connected_server(int *backend_fd)
{
    *backend_fd = -1;
    if (daemon_config.checkinterval <= 0)
        return choose_server();
    // Each failure marks a backend down, so the choice moves on; bounded all
    // the same, since the checks may mark one up again meanwhile.
    int index = -1;
    for (int attempt = 0; attempt <= daemon_config.server_count; ++attempt) {
        index = choose_server();
        if (index < 0)
            return index;
        errno = 0;
        const int fd = connect_backend(daemon_config.servers[index], daemon_config.serverport,
                                       daemon_config.connecttimeout * 1000);
        if (fd >= 0) {
            *backend_fd = fd;
            return index;
        }
        session_connect_failed(index, errno, monotonic_ms(), true);
        release_backend();
    }
    return -1;
}
