// What differs between the systems dovra runs on, kept in one place so that
// the rest of the code is written once for all of them.
#pragma once

#include <array>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <sys/types.h>

// Flags for every recv() and send() of a relay. Neither call ever waits,
// whatever the socket's own file status flags say, so the relay needs no
// fcntl() and leaves them as they were. A send to a peer that has gone
// fails with EPIPE whatever the disposition of SIGPIPE. FreeBSD and Linux
// both have MSG_DONTWAIT and MSG_NOSIGNAL.
inline constexpr int RELAY_RECV_FLAGS = MSG_DONTWAIT;
inline constexpr int RELAY_SEND_FLAGS = MSG_DONTWAIT | MSG_NOSIGNAL;

// The signals that ask the daemon for its status report: SIGUSR1, and SIGINFO
// where the system has one (FreeBSD, whose terminals send it on Ctrl-T).
#ifdef SIGINFO
inline constexpr std::array STATUS_SIGNALS{SIGUSR1, SIGINFO};
#else
inline constexpr std::array STATUS_SIGNALS{SIGUSR1};
#endif

// Closes every descriptor above standard error, so that nothing a launcher
// leaked lives on in the daemon and in every worker it forks.
void close_inherited_descriptors();

// Keeps every other process of the same user from tracing this process or
// reading its memory (/proc/PID/mem, ptrace, core dumps), and every process it
// forks later, which inherits the setting. Errors are ignored, and errno is
// kept: no supported kernel refuses it.
void forbid_tracing();

// Confines this process for good to the session on client_fd and backend_fd:
// afterwards it can still receive, send, wait for, shut down and close them,
// write to standard output and error, read the clock and exit, and nothing
// else: no file, no new socket or other
// descriptor, no new process, no program, no signal to another process, no
// change to any descriptor's flags. A refused call fails with an error
// (the SANDBOX_ errno values below) rather than ending the process, so a
// worker still frees its backend and exits in order.
// Returns 1 once confined, 0 when this build has no sandbox (nothing
// changes), or -1 with errno set when the system refused it.
[[nodiscard]] int enter_session_sandbox(int client_fd, int backend_fd);

// Once, in the process that forks the workers: makes each worker's entry
// into its sandbox cheaper, and changes nothing else (Linux: a filter that
// lets every call through, which every later process inherits). Errors are
// ignored, and errno is kept.
void prepare_session_sandboxes();

// Enters the session sandbox in a child forked for it, on a socket pair of
// its own, and throws the child away: so that a system that refuses the
// sandbox (a kernel without seccomp filters, a container whose own filter
// forbids them) is found once, at start, rather than by every session.
// Returns 1 when the child was confined and both a path and a new socket
// were then refused there, 0 when this build has no sandbox, or -1 with
// errno set to the system's reason when it refused (ENOSYS when the child
// entered it but a call it must refuse was let through).
[[nodiscard]] int try_session_sandbox();

// What each refusal of the sandbox looks like. On Linux the filter refuses
// every call it does not let through with EPERM. On FreeBSD capability mode
// refuses a path, a program and a signal to another process with ECAPMODE,
// and a call on a descriptor that lacks its right (fcntl(F_SETFL) on any of
// them) with ENOTCAPABLE. It allows socket(), pipe() and fork() of
// themselves; the worker's resource limits, lowered for good, refuse them:
// a new descriptor with EMFILE, a new process with EAGAIN. Those limits do
// not bind root (SANDBOX_BINDS_ROOT false): root may raise them again, and
// forks past the process limit, so a daemon started as root has workers
// that a flaw could make open a socket or fork, their children still in
// capability mode (docs/freebsd.md).
#ifdef ECAPMODE
inline constexpr int SANDBOX_REFUSED = ECAPMODE;
inline constexpr int SANDBOX_NO_DESCRIPTOR = EMFILE;
inline constexpr int SANDBOX_NO_PROCESS = EAGAIN;
inline constexpr bool SANDBOX_BINDS_ROOT = false;
inline constexpr int SANDBOX_NO_RIGHT = ENOTCAPABLE;
#else
inline constexpr int SANDBOX_REFUSED = EPERM;
inline constexpr int SANDBOX_NO_DESCRIPTOR = EPERM;
inline constexpr int SANDBOX_NO_PROCESS = EPERM;
inline constexpr bool SANDBOX_BINDS_ROOT = true;
inline constexpr int SANDBOX_NO_RIGHT = EPERM;
#endif

// Runs the handler installed for signo on a stack of this process's own,
// which no child it forks inherits: a handler's frame, written below the
// main stack's, would otherwise be one more page copied after each fork. A
// child keeps the setting without the memory, so it must never take signo
// with that handler (the daemon's workers keep SIGCHLD blocked). Errors are
// ignored, and errno is kept: the handler then runs on the stack.
void handle_on_own_stack(int signo);

// Forks a worker: a child that runs one session and then ends with _exit(),
// of a process with one thread. As fork() returns.
[[nodiscard]] pid_t fork_worker();

// Connections waiting in the queue of the listening socket fd, accepted by
// the system but not yet by the daemon; -1 where the system does not tell.
[[nodiscard]] int listen_queue_length(int fd);

// Confines the health checker, a process that must open connections: it
// ends when its parent does, and (Linux) can afterwards make TCP/IP
// sockets, connect them, wait for them, read their error, close them, sleep,
// read the clock, write to standard output and error and exit, and nothing
// else; a refused call fails with EPERM. FreeBSD's capability mode refuses
// connect() to an address, so there the checker keeps the daemon's
// privileges and is only tied to its parent. Returns 1 once confined, 0 when
// this build or system confines nothing, -1 with errno set when refused.
[[nodiscard]] int enter_check_sandbox();
