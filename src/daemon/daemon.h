// Daemon control: the launcher's start-up, the accept loop, and what the
// daemon tells its operator (the workers themselves: daemon/workers.h).
#pragma once

#include <csignal>
#include <sys/socket.h>

#include "config/config.h"
#include "net/net.h"

// The launcher's whole start-up: it checks that the system allows the
// session sandbox, creates the status table, reads the configuration
// (load_config) and forks the daemon, detached in a session of its own.
// Returns, in the launcher, its exit status: 0 once the daemon listens or
// when the configuration is refused, 1 when the start failed. In the daemon
// it never returns. argv may carry the hand-over of a reload (reload.cpp).
[[nodiscard]] int run_launcher(int argc, char **argv);

// Reads CONFIG_PATH into daemon_config; on CONFIG_OK also marks the
// configured backends free in the status table and prints the settings
// summary and the start line, as the launcher shows them before it detaches.
[[nodiscard]] config_result load_config();

// The daemon's main loop: opens the listening socket, tells the launcher so
// by writing one byte on ready_fd, which it then closes, and accepts for ever.
// Ends the process with status 1 when it cannot listen or accept; ready_fd is
// then closed empty, which the launcher takes for a failed start.
[[noreturn]] void run_dispatcher(int ready_fd);

// ---- Health checks (health.cpp), with checkinterval; without it each
// returns at once ----

// In the daemon's loop: starts the checker process when none runs.
void keep_health_checker(int listen_fd);
// Before a reload's new image replaces this one, with SIGCHLD blocked: ends
// the checker and reaps it, since it would live on under the same pid with
// the old settings; the loop starts another if the image serves on.
void stop_health_checker();
// In reap_children: whether pid was the checker, which is then started
// again by the loop; the checker is no worker and is not counted.
bool health_checker_ended(pid_t pid);
// In the worker: choose_server(), and with health checks the connection to
// the backend chosen, in *backend_fd (-1 otherwise): a backend that refuses
// it is marked down at once and the next is chosen.
[[nodiscard]] int choose_connected_server(int *backend_fd);

// ---- The status report and the session log (operations.cpp) ----

// In the daemon, before its loop: notes the start, installs the handler of
// the status signals (SIGUSR1, and SIGINFO where there is one), and blocks
// them. *open_mask is then the signal mask
// to wait with: the one the daemon had, with the status signals unblocked.
void prepare_status_report(sigset_t *open_mask);
// In a worker, first thing after fork(): the status signals are ignored.
void ignore_status_signals();
// Writes the status report on standard output when a status signal has come
// since the last one, with one write() that waits a second at most.
void write_status_report_if_asked();

// In the daemon, for a client closed because maxclients workers are alive,
// or (without_record) because every worker record is in use: counts it, and
// with sessionlog on writes its refusal line, at most one of each kind a
// second (with how many it stands for).
void note_refused_at_maxclients(const sockaddr_storage &client, bool without_record = false);
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
// In a worker that found every server down, with errno as choose_server()
// left it: counts it, and writes "All the servers are down" as report() does
// and, with sessionlog on, its refusal line: at most once a second for all
// workers together, a line standing for the refusals held back since the one
// before saying how many ("All the servers are down and N more: REASON").
void note_no_backend();
// With sessionlog on, writes the line of the session relayed to server index,
// within the sandbox: no call but clock_gettime(), setitimer() and write().
void session_log_end(int index, const session_stats &stats);

// ---- Reload in place (reload.cpp) ----

// First thing in main: keeps SIGHUP blocked but in the accept loop's wait and
// notes the program's path. Returns false for an ordinary start. Given the
// hand-over of a reloading daemon it reads it and returns true; in the
// hand-over's check mode it ends the process, with status 0 when this program
// can take over with the file there now, else 1 and a line saying why.
[[nodiscard]] bool start_from_handover(int argc, char **argv);
// After the status table exists, when start_from_handover() returned true:
// reads the file, takes over the carried workers and goes on as the daemon.
// Returns at once otherwise.
void resume_after_reload();
// In the daemon, beside prepare_status_report(): SIGHUP asks for a reload,
// taken while the loop waits with *open_mask.
void prepare_reload(sigset_t *open_mask);
// The listening socket handed over by a reload, with this file's backlog; -1
// on an ordinary start.
[[nodiscard]] int inherited_listener();
// In the accept loop: when SIGHUP has come, reloads. Returns only when the
// running image serves on (a refused file, a program that cannot start),
// having written one line that says why.
void reload_if_asked(int listen_fd);

// ---- The front door (admission.cpp, client_origin.cpp) ----

// In the daemon, before any fork: whether client may be served, by the
// allow and deny lines and maxperclient. A refusal is counted and, with
// sessionlog on, logged. True at once when none of them is set.
[[nodiscard]] bool admission_admits(const sockaddr_storage &client);
// In the daemon, between reserving a worker record and forking: the worker
// of record serves client, for maxperclient to count.
void admission_hold(int record, const sockaddr_storage &client);
// Whether peer is a proxy that acceptproxy trusts to send a PROXY header.
[[nodiscard]] bool proxy_trusted(const sockaddr_storage &peer);
// In a worker whose client's PROXY header named another client: admits or
// refuses that client as the daemon would have, its own session counted.
[[nodiscard]] bool admission_readmits(const sockaddr_storage &client);

// What a worker sends its backend before the session's bytes.
struct origin_header {
    std::uint8_t bytes[PROXY_HEADER_MAX];
    std::size_t length;
};
// In the worker, before it chooses a backend: from a client that acceptproxy
// trusts, reads its PROXY header, which then names the client everywhere;
// with proxyprotocol, makes the header to send on. Returns false when the
// client must be closed, its refusal counted and logged. With neither
// keyword set it returns true at once, header empty.
[[nodiscard]] bool take_client_origin(int client_fd, origin_header &header);

// Counts a refusal of kind (REFUSED_BY_ADDRESS and after, backend.h) of
// client and, with sessionlog on, writes its line with why, at most one a
// second for each kind.
void note_refusal(int kind, const sockaddr_storage &client, const char *why);
// With sessionlog on: the session's client is client from now on.
void session_log_client(const sockaddr_storage &client);
