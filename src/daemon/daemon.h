// Daemon control: the launcher's start-up, the accept loop, the worker's
// sequence and child accounting.
#pragma once

#include <csignal>
#include <sys/socket.h>

#include "config/config.h"
#include "net/net.h"

// Live workers, in the daemon process only.
extern volatile std::sig_atomic_t child_count;

// Reads CONFIG_PATH into daemon_config; on CONFIG_OK also marks the
// configured backends free in the status table and prints the settings
// summary and the start line, as the launcher shows them before it detaches.
[[nodiscard]] config_result load_config();

// The SIGCHLD handler: reaps every finished worker and counts it off.
void reap_children(int signo);

// The worker's whole life for one client: choose a backend, relay, exit 0.
[[noreturn]] void serve_client(int client_fd, int listen_fd);

// The daemon's main loop: opens the listening socket, tells the launcher so
// by writing one byte on ready_fd, which it then closes, and accepts for ever.
// Ends the process with status 1 when it cannot listen or accept; ready_fd is
// then closed empty, which the launcher takes for a failed start.
[[noreturn]] void run_dispatcher(int ready_fd);

// ---- Health checks (health.cpp), with checkinterval; without it each
// returns at once ----

// In the daemon's loop: starts the checker process when none runs.
void keep_health_checker(int listen_fd);
// In reap_children: whether pid was the checker, which is then started
// again by the loop; the checker is no worker and is not counted.
bool health_checker_ended(pid_t pid);
// In the worker: choose_server(), and with health checks the connection to
// the backend chosen, in *backend_fd (-1 otherwise): a backend that refuses
// it is marked down at once and the next is chosen.
[[nodiscard]] int choose_connected_server(int *backend_fd);

// ---- The status report and the session log (operations.cpp) ----

// In the daemon, before its loop: notes the start, installs the handler of
// the status signals (SIGUSR1, and SIGINFO where there is one) and of
// SIGALRM, and blocks the status signals. *open_mask is then the signal mask
// to wait with: the one the daemon had, with the status signals unblocked.
void prepare_status_report(sigset_t *open_mask);
// In a worker, first thing after fork(): the status signals are ignored.
void ignore_status_signals();
// Writes the status report on standard output when a status signal has come
// since the last one, with one write() that waits a second at most.
void write_status_report_if_asked();

// In the daemon, for a client closed because maxclients workers are alive:
// counts it, and with sessionlog on writes its refusal line, at most one a
// second (with how many it stands for).
void note_refused_at_maxclients(const sockaddr_storage &client);
// In the daemon, once it listens: the socket whose queue the status report
// counts (whenfull wait).
void watch_listen_queue(int listen_fd);
// In a worker that waited queuetimeout seconds for a free server (share
// none): counts it, and with sessionlog on writes its refusal line, at most
// one a second for all workers together.
void note_queue_timeout();
// In a worker, first thing after fork(): notes the session's start and, with
// sessionlog on, its client, as accept() gave it.
void session_log_begin(const sockaddr_storage &client);
// In a worker that found every server down: counts it, and with sessionlog on
// writes its refusal line, at most one a second for all workers together.
void note_no_backend();
// With sessionlog on, writes the line of the session relayed to server index,
// within the sandbox: no call but clock_gettime() and write().
void session_log_end(int index, const session_stats &stats);
