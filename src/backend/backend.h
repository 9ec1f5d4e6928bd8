// The backend pool: the status table shared by the daemon and its workers,
// and the choice of a backend for a new client.
//
// The table lives in one private System V segment that every process forked
// after create_status_table() shares. For each configured backend it keeps
// whether the backend is down and why, the back-off of a silent one, and
// counts for the status report; and it keeps one record per live worker,
// naming the backend that worker holds. How many sessions run on a backend
// is the number of records that name it, so a session is counted exactly as
// long as its record says so, whoever clears the record: the worker at the
// end of its session, or the daemon when it reaps the worker, however the
// worker ended. Every change is one atomic read-modify-write or store.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "common/line_limit.h"

// The most workers the table has records for: the daemon admits no more at
// once, whatever maxclients says.
inline constexpr int WORKER_RECORDS = 4096;

// A backend that let a connection attempt time out is skipped without a
// probe for this long, doubled each time it stays silent, up to the cap.
inline constexpr int BACKOFF_FIRST_MS = 5000;
inline constexpr int BACKOFF_MAX_MS = 60000;

// Creates and attaches the private segment (mode 0600) and zeroes it: every
// backend up and free, every record unused. The segment is already marked
// for removal, so the system frees it when the last process using it ends.
// Returns 0, or -1 with errno set.
[[nodiscard]] int create_status_table();

// Marks backends 0 .. count - 1 up, free and without back-off, and clears
// their counts: as a fresh configuration leaves them.
void reset_backends(int count);

// Worker records. The daemon reserves one before it forks a worker and
// gives it the worker's pid after the fork (a pid of 0 or below, from a
// failed fork, frees it again); the worker adopts it as its own. Returns the
// record, or -1 when every record is in use.
[[nodiscard]] int reserve_worker_record();
void assign_worker_record(int record, pid_t pid);
void adopt_worker_record(int record);

// The daemon, reaping pid: frees that worker's record and whatever backend
// it still held. Safe in a signal handler; a pid without a record (not a
// worker) changes nothing.
void release_worker(pid_t pid);

// A client as maxperclient counts its sessions: an IPv6 address by its first
// 64 bits, an IPv4 one as 0xffff << 32 | address, which as the first 64 bits
// of an IPv6 address lies in the reserved ::/8, where no client comes from.
using client_key = std::uint64_t;

// The daemon's records as one reload hands them to the next image. A worker
// carried over is entered with its pid, the backend it holds (-1: none) and
// the client it serves, so it counts, holds its backend, counts against
// maxperclient and is released when reaped, like one of this image's own.
// Returns the record, or -1 when every record is in use. worker_at(k, ...)
// gives record k's pid (0 when unused), backend (-1: none) and client, for k
// below worker_records_used().
[[nodiscard]] int enter_worker(pid_t pid, int backend, client_key client);
[[nodiscard]] int worker_records_used();
void worker_at(int k, pid_t *pid, int *backend, client_key *client);

// This process's record takes backend i. exclusive: only when no session
// runs on it and no other worker has taken it first (compare-and-swap), else
// false; otherwise it joins whatever runs there. Counts the session as served
// (session_connect_failed() takes that back).
[[nodiscard]] bool claim_backend(int i, bool exclusive);
// This process's record lets go of the backend it holds, if any.
void release_backend();

// A connection to backend i failed with err (0: the address is no IPv4 or
// IPv6 text) at now_ms. ETIMEDOUT starts or, when this was the one probe
// allowed after a back-off (retried), doubles the back-off; any other
// reason leaves the backend to be probed by every client.
void mark_backend_down(int i, int err, long long now_ms, bool retried = false);
// The session's own connection to backend i, which this worker claimed after
// its probe answered, failed with err at now_ms: the session is no longer
// counted as served, and is counted apart from the probes. A timeout
// (ETIMEDOUT) marks the backend down and starts its back-off as a probe's
// does; any other reason leaves its state as it is, unless down_now (the
// health checks' workers, which make no probe, mark it down at once).
void session_connect_failed(int i, int err, long long now_ms, bool down_now = false);
// Backend i answered: up, and without back-off.
void mark_backend_up(int i);
// The health checks connected to backend i at now_ms: err 0 when it
// answered, -1 when its text is no address, else the errno of the failure.
// The status report shows the last.
void note_check(int i, long long now_ms, int err);

// What the table says of backend i.
struct backend_view {
    int sessions;           // running on it
    bool held;              // taken by a worker as free, or sessions > 0
    bool down;
    int reason;             // errno of the last failure (0: not an address)
    int backoff_ms;         // 0 unless it timed out
    long long retry_at_ms;  // with back-off: no probe before this
    std::int64_t served;
    std::int64_t failures;         // probes that failed
    std::int64_t connects_failed;  // sessions whose own connection failed after their probe
    long long last_failure_ms;     // of either
};
[[nodiscard]] backend_view view_backend(int i);

// Probes the backends in configuration order and takes the first that
// answers and is free, else joins the first that is not down (share least:
// the one with the fewest sessions, ties in file order; share none: waits
// for a free one instead, see wait_for_free_server); returns its index, or
// -1. A backend in back-off is skipped without a probe, and once its
// back-off has passed only one client at a time probes it. With health
// checks (checkinterval) nothing is probed: a backend the checks hold down
// is skipped. errno then tells why the last failed backend failed, or is 0
// when none had a reason.
[[nodiscard]] int choose_server();
// choose_server's first pass alone: the first free backend, taken, or -1;
// usable counts the backends found up on the way.
[[nodiscard]] int take_free_server(int &usable);

// ---- The queue of clients waiting for a free backend (share none) ----
//
// Each waiting worker's record holds a ticket, handed out in order of
// arrival when the daemon reserves the record; only the worker with the
// lowest ticket may take a backend. It sleeps until woken by a signal
// (WAKE_SIGNAL, which the daemon ignores, and every worker until it waits),
// sent when the one before it leaves the queue (by that worker) and
// whenever the daemon reaps a worker, which is when a backend comes free or
// a waiter has gone, however it ended.

// What choose_server returns for a client that waited queuetimeout seconds
// without a backend coming free.
inline constexpr int QUEUE_TIMED_OUT = -2;
inline constexpr int WAKE_SIGNAL = SIGUSR2;

// In the worker: waits its turn, then takes the first free backend; returns
// its index, -1 when every backend is down, or QUEUE_TIMED_OUT (queue.cpp).
[[nodiscard]] int wait_for_free_server();
// In the daemon, after reaping: wakes the first in the queue, if any (share
// none only). Safe in a signal handler.
void wake_first_waiter();

void leave_queue();
// This worker's ticket while it waits (0: none), and its return to the
// queue at that place, for a worker whose backend failed it.
[[nodiscard]] std::int32_t queue_ticket();
void rejoin_queue(std::int32_t ticket);
// Whether this worker holds the lowest ticket of the live workers that wait.
[[nodiscard]] bool first_in_queue();
// The pid of the worker first in the queue, or 0.
[[nodiscard]] pid_t first_waiter();
[[nodiscard]] int waiting_count();
void count_queue_timeout();
[[nodiscard]] std::int64_t queue_timeout_count();

// A worker found every server down.
void count_no_backend();
// Since start: workers that found every server down; sessions whose
// backend connection was made (or is being made).
[[nodiscard]] std::int64_t no_backend_count();
[[nodiscard]] std::int64_t served_count();
// One line of the status report for server i, without a line feed, e.g.
// "server 1 10.0.0.1: busy, 1 open, 1200 served, 3 probes failed, 1 session failed to connect, last failure 12 s ago"
// "server 2 10.0.0.2: down, 0 open, 310 served, connect timed out, skipped for 20 s more"
// "server 3 10.0.0.3: free, 0 open, 10 served"; now_ms from monotonic_ms().
void describe_backend(int i, long long now_ms, char *buf, std::size_t size);
// The kinds of refusal of a client.
inline constexpr int REFUSED_AT_MAXCLIENTS = 0;
inline constexpr int REFUSED_ALL_DOWN = 1;
inline constexpr int REFUSED_WITHOUT_RECORD = 2;  // every worker record in use
inline constexpr int REFUSED_QUEUE_TIMEOUT = 3;   // no server free within queuetimeout
inline constexpr int REFUSED_BY_ADDRESS = 4;      // allow and deny
inline constexpr int REFUSED_PER_CLIENT = 5;      // maxperclient
inline constexpr int REFUSED_PROXY_HEADER = 6;    // acceptproxy without a valid header
inline constexpr int REFUSAL_LIMITS = 7;
// The segment also holds, for every process to share, the limiters of the
// daemon's refusal lines, one per kind of refusal (any other kind is given
// the first).
[[nodiscard]] line_limit &refusal_limit(int kind);

// ---- The front door's share of the table ----

// Counts one refusal of kind (REFUSED_BY_ADDRESS and after; the others have
// counters of their own).
void count_refusal(int kind);
// Since start: refusals of kind that count_refusal() counted.
[[nodiscard]] std::int64_t refusal_count(int kind);

// The daemon, between reserving record and forking its worker: the worker
// serves key.
void set_worker_client(int record, client_key key);
// A worker whose client's header named another client: its record serves
// key from now on.
void set_own_client(client_key key);
// Records, reserved or live, that serve key.
[[nodiscard]] int sessions_from(client_key key);
