// Within the daemon: its workers, as the dispatcher forks, serves and reaps
// them; the status report reads their count, and the dispatcher's tests call
// these one by one.
#pragma once

#include <csignal>

// Live workers, in the daemon process only. Thread-local only for where it
// lies: beside errno, on the one page of its own that the daemon writes after
// every fork anyway, rather than on another it would copy again for it.
extern thread_local volatile std::sig_atomic_t child_count;

// The SIGCHLD handler: reaps every finished worker and counts it off.
void reap_children(int signo);

// The worker's whole life for one client: choose a backend, relay, exit 0.
[[noreturn]] void serve_client(int client_fd, int listen_fd);
