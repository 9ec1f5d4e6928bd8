// Daemon control: the accept loop, the worker's sequence and child accounting.
#pragma once

#include <csignal>

// Live workers, in the daemon process only.
extern volatile std::sig_atomic_t child_count;

using signal_handler = void (*)(int);

// Installs handler for signo with an empty mask, and SA_RESTART for every
// signal but SIGALRM. Returns the previous handler, or SIG_ERR.
signal_handler install_handler(int signo, signal_handler handler);

// The SIGCHLD handler: reaps every finished worker and counts it off.
void reap_children(int signo);

// The worker's whole life for one client: choose a backend, relay, exit 0.
[[noreturn]] void serve_client(int client_fd, int listen_fd);

// The daemon's main loop: opens the listening socket, tells the launcher so
// by writing one byte on ready_fd, which it then closes, and accepts for ever.
// Ends the process with status 1 when it cannot listen or accept; ready_fd is
// then closed empty, which the launcher takes for a failed start.
[[noreturn]] void run_dispatcher(int ready_fd);
