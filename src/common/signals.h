// Signal dispositions, set the same way by the daemon and the checker.
#pragma once

#include <csignal>

using signal_handler = void (*)(int);

// Installs handler for signo with an empty mask, and SA_RESTART for every
// signal but SIGALRM. Returns the previous handler, or SIG_ERR.
signal_handler install_handler(int signo, signal_handler handler);

// Blocks (SIG_BLOCK) or unblocks (SIG_UNBLOCK) signo alone in this process.
void block_signal(int signo, int how);

// Undoes what a starter may leave to its program: SIGCHLD ignored (its
// children would then be reaped by the system, and waitpid() would find
// none) and signals blocked. SIGCHLD takes its default disposition and the
// signal mask becomes keep_blocked.
void reset_inherited_signals(const sigset_t &keep_blocked);
