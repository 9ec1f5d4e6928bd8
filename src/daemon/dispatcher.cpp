#include "daemon/daemon.h"
#include "daemon/workers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backend/backend.h"
#include "common/clock.h"
#include "common/platform.h"
#include "common/report.h"
#include "common/signals.h"
#include "config/config.h"
#include "net/net.h"

thread_local volatile std::sig_atomic_t child_count = 0;

namespace {

constexpr char CHILD_WARNING[] = "\nWARNING: SIGCHLD received when child_count < 1\n";

// Errors of one pending connection, not of the listening socket: Linux also
// hands the new connection's pending network errors to accept().
bool connection_error(int err)
{
    switch (err) {
    case EAGAIN:  // the client went away after the wait: nobody after all
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
#ifdef ENONET
    case ENONET:
#endif
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool out_of_resources(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Sleeps a full second even when SIGCHLD cuts the sleep short.
void pause_a_second()
{
    unsigned left = 1;
    while (left > 0)
        left = sleep(left);
}

// Forks a worker for the client when there is room for one: below
// maxclients and with a free worker record, which the worker takes with it
// and the daemon clears when it reaps the worker. SIGCHLD stays blocked
// until the new worker is counted and its record names it, so the handler
// can never reap a worker that has not been counted yet.
void admit(int client_fd, int listen_fd, const sockaddr_storage &client)
{
    if (!admission_admits(client))
        return;
    if (child_count >= daemon_config.maxclients) {
        note_refused_at_maxclients(client);
        return;
    }
    const int record = reserve_worker_record();
    if (record < 0) {
        note_refused_at_maxclients(client, true);
        return;
    }
    admission_hold(record, client);
    block_signal(SIGCHLD, SIG_BLOCK);
    errno = 0;
    pid_t pid = fork_worker();
    if (pid == 0) {
        // SIGCHLD stays blocked: a worker has no children.
        ignore_status_signals();
        session_log_begin(client);
        adopt_worker_record(record);
        serve_client(client_fd, listen_fd);
    }
    assign_worker_record(record, pid);
    if (pid > 0)
        child_count = child_count + 1;
    else
        report("Error forking");
    block_signal(SIGCHLD, SIG_UNBLOCK);
}

// Waits until a client is waiting on listen_fd, or a signal has come. The
// status signals are blocked but here, so one that comes at any moment is
// taken at once, even while the loop is busy elsewhere. Returns false when
// interrupted.
bool await_client(int listen_fd, const sigset_t &open_mask)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listen_fd, &readable);
    return pselect(listen_fd + 1, &readable, nullptr, nullptr, nullptr, &open_mask) >= 0 || errno != EINTR;
}

// With whenfull wait, while maxclients workers live: waits for a signal
// without looking at the listening socket, so that clients wait in its queue
// rather than being accepted and closed, and returns false. SIGCHLD is
// blocked from the count's test until the wait lets it in, so a worker that
// ends in between still ends the wait. Otherwise returns true at once.
bool await_room(const sigset_t &open_mask)
{
    if (!daemon_config.whenfull_wait || daemon_config.maxclients < 1)
        return true;
    block_signal(SIGCHLD, SIG_BLOCK);
    const bool full = child_count >= daemon_config.maxclients;
    if (full)
        (void)pselect(0, nullptr, nullptr, nullptr, nullptr, &open_mask);
    block_signal(SIGCHLD, SIG_UNBLOCK);
    return !full;
}

// Whether the session's own connection to its backend failed, as
// relay_session() tells it: -1 with nothing moved. A transfer that fails
// before a byte has moved does the same only on a reset (ECONNRESET, EPIPE);
// a keepalive that gave up on a peer fails with ETIMEDOUT too, but never that
// soon.
bool connect_failed(int result, const session_stats &stats, long long took_ms)
{
    if (result >= 0 || stats.end != END_ERROR || stats.from_client != 0 || stats.from_backend != 0)
        return false;
    if (stats.error <= 0 || stats.error == ECONNRESET || stats.error == EPIPE)
        return false;
    return stats.error != ETIMEDOUT || took_ms < daemon_config.connecttimeout * 1000 + 1000;
}

// A worker's end. Every line it wrote left with write(), so stdio holds
// nothing, and no exit handler is registered: exit() would only run the C
// library's own handlers and write their pages, each a copy after the fork.
[[noreturn]] void end_worker()
{
    _exit(0);
}

}  // namespace

void reap_children(int)
{
    const int saved = errno;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (health_checker_ended(pid))
            continue;
        // Whatever the worker still held, however it ended.
        release_worker(pid);
        if (child_count > 0) {
            child_count = child_count - 1;
        } else {
            // No stdio in a handler. The reaping succeeded, so no system error
            // belongs to this line: it takes report()'s standard output form.
            ssize_t ignored = write(STDOUT_FILENO, CHILD_WARNING, sizeof CHILD_WARNING - 1);
            (void)ignored;
        }
    }
    wake_first_waiter();
    errno = saved;
}

void serve_client(int client_fd, int listen_fd)
{
    close(listen_fd);

    origin_header origin;
    if (!take_client_origin(client_fd, origin)) {
        close(client_fd);
        end_worker();
    }
    int backend_fd = -1;
    int index = choose_connected_server(&backend_fd);
    if (index == QUEUE_TIMED_OUT) {
        note_queue_timeout();
        close(client_fd);
        end_worker();
    }
    if (index == -1) {
        note_no_backend();
        close(client_fd);
        end_worker();
    }
    errno = 0;
    session_stats stats;
    const int connect_ms = daemon_config.connecttimeout * 1000;
    const long long began = monotonic_ms();
    const relay_options options{daemon_config.idletimeout * 1000, daemon_config.halfclose, daemon_config.keepalive,
                                origin.bytes, origin.length};
    int result = backend_fd >= 0 ? relay_connected(client_fd, backend_fd, options, &stats)
                                 : relay_session(client_fd, daemon_config.servers[index], daemon_config.serverport,
                                                 connect_ms, options, &stats);
    // A backend that answered the probe and then let the session's own
    // connection time out is as silent as one whose probe did.
    if (connect_failed(result, stats, monotonic_ms() - began))
        session_connect_failed(index, stats.error, monotonic_ms());
    if (result < 0)
        report("Failed attempting to redirect data");
    close(client_fd);
    release_backend();
    session_log_end(index, stats);
    end_worker();
}

void run_dispatcher(int ready_fd)
{
    install_handler(SIGCHLD, reap_children);
    handle_on_own_stack(SIGCHLD);
    bound_diagnostic_writes();
    // Inherited by every worker: a wake for a waiter that is not waiting yet,
    // or no longer, changes nothing.
    install_handler(WAKE_SIGNAL, SIG_IGN);
    sigset_t open_mask;
    prepare_status_report(&open_mask);
    prepare_reload(&open_mask);
    errno = 0;
    int listen_fd = inherited_listener();
    if (listen_fd < 0)
        listen_fd = open_listener(daemon_config.localport, daemon_config.localaddress, daemon_config.backlog);
    if (listen_fd < 0) {
        report("Error creating listenning socket");
        std::exit(1);
    }
    // A launcher that is gone already (killed) cannot be told: nothing to do.
    const char ready = 1;
    ssize_t told = write(ready_fd, &ready, 1);
    (void)told;
    close(ready_fd);
    watch_listen_queue(listen_fd);
    // The settings printed at start leave stdio's buffer here, or each worker
    // would write them again. From here on every line leaves with write(),
    // so a fork finds nothing pending and need not flush (which would write
    // a page of stdio's each time, copied again after every fork).
    std::fflush(stdout);
    for (;;) {
        keep_health_checker(listen_fd);
        write_status_report_if_asked();
        reload_if_asked(listen_fd);
        if (!await_room(open_mask) || !await_client(listen_fd, open_mask))
            continue;
        errno = 0;
        sockaddr_storage client{};
        socklen_t client_len = sizeof client;
        // accept4() without flags: the client's socket blocks, where FreeBSD's
        // accept() would give it the listener's O_NONBLOCK.
        int client_fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&client), &client_len, 0);
        if (client_fd < 0) {
            const int err = errno;
            if (connection_error(err))
                continue;
            report("Error accepting connections");
            if (!out_of_resources(err))
                std::exit(1);
            pause_a_second();
            continue;
        }
        admit(client_fd, listen_fd, client);
        close(client_fd);
    }
}
