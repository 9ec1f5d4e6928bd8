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

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

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

// This process's record takes backend i. exclusive: only when no session
// runs on it and no other worker has taken it first (compare-and-swap), else
// false; otherwise it joins whatever runs there. Counts the session as served.
[[nodiscard]] bool claim_backend(int i, bool exclusive);
// This process's record lets go of the backend it holds, if any.
void release_backend();

// A connection to backend i failed with err (0: the address is no IPv4 or
// IPv6 text) at now_ms. ETIMEDOUT starts or, when this was the one probe
// allowed after a back-off (retried), doubles the back-off; any other
// reason leaves the backend to be probed by every client.
void mark_backend_down(int i, int err, long long now_ms, bool retried = false);
// Backend i answered: up, and without back-off.
void mark_backend_up(int i);

// What the table says of backend i.
struct backend_view {
    int sessions;           // running on it
    bool held;              // taken by a worker as free, or sessions > 0
    bool down;
    int reason;             // errno of the last failure (0: not an address)
    int backoff_ms;         // 0 unless it timed out
    long long retry_at_ms;  // with back-off: no probe before this
    std::int64_t served;
    std::int64_t failures;  // connection attempts that failed
    long long last_failure_ms;
};
[[nodiscard]] backend_view view_backend(int i);

// Probes the backends in configuration order and takes the first that
// answers and is free, else joins the first that is not down; returns its
// index, or -1. A backend in back-off is skipped without a probe, and once
// its back-off has passed only one client at a time probes it. errno then
// tells why the last failed backend failed, or is 0 when none had a reason.
[[nodiscard]] int choose_server();

// A worker found every server down.
void count_no_backend();
// Since start: workers that found every server down; sessions begun.
[[nodiscard]] std::int64_t no_backend_count();
[[nodiscard]] std::int64_t served_count();
// One line of the status report for server i, without a line feed, e.g.
// "server 1 10.0.0.1: busy, 1 open, 1200 served, 3 probes failed, last failure 12 s ago"
// "server 2 10.0.0.2: down, 0 open, 310 served, connect timed out, skipped for 20 s more"
// "server 3 10.0.0.3: free, 0 open, 10 served"; now_ms from monotonic_ms().
void describe_backend(int i, long long now_ms, char *buf, std::size_t size);
// A rate limiter shared by every process, one per kind (0: refused at
// maxclients, 1: every server down): counts one refusal at now_ms; returns 0
// when its log line must be held back, otherwise how many refusals the line
// stands for (this one and those held back since the last line). At most one
// line per kind per second.
[[nodiscard]] std::int64_t take_refusal_line(int kind, long long now_ms);

// ---- The front door's share of the table ----

// The refusals beyond the two above, by kind: a client refused by allow
// and deny, one over maxperclient, one without a valid PROXY header.
inline constexpr int REFUSED_BY_ADDRESS = 2;
inline constexpr int REFUSED_PER_CLIENT = 3;
inline constexpr int REFUSED_PROXY_HEADER = 4;
// Counts one refusal of kind (any of the kinds of take_refusal_line).
void count_refusal(int kind);
// Since start: refusals of kind that count_refusal() counted.
[[nodiscard]] std::int64_t refusal_count(int kind);

// A client as maxperclient counts its sessions: an IPv6 address by its first
// 64 bits, an IPv4 one as 0xffff << 32 | address, which as the first 64 bits
// of an IPv6 address lies in the reserved ::/8, where no client comes from.
using client_key = std::uint64_t;
// The daemon, between reserving record and forking its worker: the worker
// serves key.
void set_worker_client(int record, client_key key);
// A worker whose client's header named another client: its record serves
// key from now on.
void set_own_client(client_key key);
// Records, reserved or live, that serve key.
[[nodiscard]] int sessions_from(client_key key);
