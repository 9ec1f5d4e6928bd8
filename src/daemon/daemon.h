// Daemon control: the launcher's start-up, the accept loop, the worker's
// sequence and child accounting.
#pragma once

#include <csignal>

#include "config/config.h"

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
