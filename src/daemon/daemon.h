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
// In a worker, first thing after fork(): notes the session's start and, with
// sessionlog on, its client, as accept() gave it.
void session_log_begin(const sockaddr_storage &client);
// In a worker that found every server down: counts it, and with sessionlog on
// writes its refusal line, at most one a second for all workers together.
void note_no_backend();
// With sessionlog on, writes the line of the session relayed to server index,
// within the sandbox: no call but clock_gettime() and write().
void session_log_end(int index, const session_stats &stats);

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
