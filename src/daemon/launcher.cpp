// The launcher: the process started from the shell or by the service
// manager, up to the daemon's detaching.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include "backend/backend.h"
#include "common/platform.h"
#include "common/report.h"
#include "common/signals.h"
#include "config/config.h"
#include "daemon/daemon.h"

namespace {

// Forks with pending output flushed first, so that it is written once.
// Returns what fork() returned.
pid_t fork_flushed()
{
    std::fflush(stdout);
    errno = 0;
    return fork();
}

// The launcher's end of the start-up. It returns to its caller only when the
// process a service manager should adopt is the daemon itself: the session
// leader between them has been reaped, so the daemon's parent is already the
// manager (or init), and the daemon has said that it listens. The daemon
// writes one byte on the pipe once its listening socket is open; a daemon
// that cannot listen reports why and exits, which closes the pipe empty.
[[noreturn]] void await_daemon(pid_t leader, int ready_fd)
{
    while (waitpid(leader, nullptr, 0) < 0 && errno == EINTR) {
    }
    char byte = 0;
    ssize_t n;
    do
        n = read(ready_fd, &byte, 1);
    while (n < 0 && errno == EINTR);
    std::exit(n == 1 ? 0 : 1);
}

}  // namespace

config_result load_config()
{
    config_result code = read_config(CONFIG_PATH);
    if (code != CONFIG_OK)
        return code;

    reset_backends(daemon_config.server_count);
    print_config_summary();

    // The C library may leave errno set while it sets up a stream that is not
    // a terminal; that is no failure of starting, so it must not decide how
    // the start line is written.
    errno = 0;
    report("\n\nDaemon Started..\n");
    return CONFIG_OK;
}

int run_launcher(int argc, char **argv)
{
    // Standard output and error may be pipes whose reader goes away (a log
    // collector restarted): a report written then must be lost, not end the
    // daemon. The disposition is inherited by every process forked later.
    install_handler(SIGPIPE, SIG_IGN);
    // A reloaded image keeps the descriptors handed over; the image before it
    // closed every other one at its own start.
    const bool handed_over = start_from_handover(argc, argv);
    if (!handed_over)
        close_inherited_descriptors();
    forbid_tracing();
    // Once a daemon: the image before a reload made it ready already.
    if (!handed_over)
        prepare_session_sandboxes();
    // A system that refuses the session sandbox would fail every session.
    errno = 0;
    if (try_session_sandbox() < 0) {
        report("Error entering the session sandbox");
        return 1;
    }
    errno = 0;
    if (create_status_table() < 0) {
        report("Error creating status table");
        return 1;
    }
    resume_after_reload();
    config_result code = load_config();
    if (code != CONFIG_OK) {
        std::printf("\n Configuration error: %s \n", config_error_text[code]);
        return 0;
    }
    int ready[2];
    errno = 0;
    if (pipe(ready) < 0) {
        report("Error creating start-up pipe");
        return 1;
    }
    pid_t leader = fork_flushed();
    if (leader < 0) {
        report("Error forking");
        return 1;
    }
    if (leader > 0) {
        close(ready[1]);
        await_daemon(leader, ready[0]);
    }
    close(ready[0]);
    setsid();
    pid_t daemon = fork_flushed();
    if (daemon < 0) {
        report("Error forking");
        std::exit(1);
    }
    if (daemon > 0)
        std::exit(0);
    run_dispatcher(ready[1]);
}
