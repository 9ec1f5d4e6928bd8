// What the tests learn from the system about processes, sockets and shared
// memory, and the few process controls they need. Linux keeps most of it in
// /proc, FreeBSD hands it out through sysctl(3) and procctl(2); everything
// that differs between the two lives in platform.cpp alone.
#pragma once

#include <sys/types.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

namespace dovra_test {

// Makes this process the reaper of its orphaned descendants, so that a daemon
// that detaches from it becomes its child. Returns false when refused.
bool become_subreaper();

// What ps(1) shows of one process.
struct process_info {
    // 'R', 'S', 'D', 'T' or 'Z' as ps(1) prints them, or '?' when it is gone.
    char state = '?';
    pid_t ppid = -1;
    pid_t pgrp = -1;
    pid_t sid = -1;
    bool has_terminal = false;
    std::string comm;
    // User and system time used so far.
    std::chrono::microseconds cpu{0};
};
process_info process_of(pid_t pid);
// Every process of the system, zombies included.
std::vector<pid_t> all_processes();

// Sets both RLIMIT_NOFILE limits of another process. Returns false with errno
// set when that fails.
bool set_file_limit(pid_t pid, rlim_t soft, rlim_t hard);

// Connections that wait in a listening socket's queue, not accepted yet, or
// -1 with errno set.
int listen_queue_length(int fd);

// Bytes written to socket fd that the peer has not yet acknowledged: what a
// close would leave the kernel to send. -1 with errno set when unknown.
int unsent_bytes(int fd);

// The kernel's codes for these TCP states, as tcp_entry::state holds them.
extern const int TCP_STATE_LISTEN;
extern const int TCP_STATE_TIME_WAIT;

// For a forked child: moves it into an IPC namespace of its own in which no
// System V shared memory segment can be made. Returns "" when done, or why
// not: the system has no such namespace, this user may not make one, or the
// namespace's segment limit cannot be set (a read-only /proc/sys).
std::string isolate_from_shared_memory();

// For a forked child about to run a program: makes the system refuse it and
// the programs it runs a seccomp filter, with EINVAL, as a kernel without
// them does. Returns "" when done, or why not (FreeBSD has no way to forbid
// capability mode).
std::string refuse_system_call_filters();

// The ports the system hands out as local ports of connections that bind
// none (ephemeral ports), first and last.
struct port_range {
    int first = 0;
    int last = 0;
};
port_range ephemeral_ports();

}  // namespace dovra_test
