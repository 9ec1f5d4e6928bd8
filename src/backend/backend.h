// The backend pool: the status table shared by all workers, and the choice of
// a backend for a new client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

enum server_state : std::int32_t {
    STATUS_FREE = 0,
    STATUS_BUSY = 1,
    STATUS_DOWN = 2,
};

// One slot per configured backend, in a System V segment that every process
// forked after create_status_table() shares. Slots are only ever loaded and
// stored whole, never read-modify-written: the table is a hint, not a lock.
using status_slot = std::atomic<std::int32_t>;
static_assert(status_slot::is_always_lock_free);
static_assert(sizeof(status_slot) == sizeof(std::int32_t));

extern status_slot *server_status;

// Creates and attaches a private 40-byte segment and points server_status at
// it; the segment is already marked for removal, so the system frees it when
// the last process using it ends. Returns 0, or -1 with errno set.
[[nodiscard]] int create_status_table();

[[nodiscard]] inline std::int32_t status_of(int index)
{
    return server_status[index].load(std::memory_order_relaxed);
}

inline void set_status(int index, std::int32_t state)
{
    server_status[index].store(state, std::memory_order_relaxed);
}

// Probes the backends in configuration order and returns the index of the
// first that answers and is free, else of the first that is not down, else
// -1. errno then tells why the last probe that had a system reason failed,
// or is 0 when none had.
[[nodiscard]] int choose_server();

// What the status report and the session log know of the pool.

// Counts a client for which every server was down (called by its worker).
void count_no_backend();
// Clients for which every server was down, since start.
[[nodiscard]] std::int64_t no_backend_count();
// Sessions begun since start, on every backend.
[[nodiscard]] std::int64_t served_count();
// One line of the status report for server i, without a line feed, such as
// "server 3 10.0.0.3: free, 0 open, 10 served"; exactly one of the words
// free, busy and down. now_ms is CLOCK_MONOTONIC in milliseconds.
void describe_backend(int i, long long now_ms, char *buf, std::size_t size);

// A rate limiter shared by every process, one per kind (0: refused at
// maxclients, 1: every server down): counts one refusal at now_ms and returns
// 0 when its log line must be held back, otherwise how many refusals the line
// stands for (this one and those held back since the last line). At most one
// line per kind a second.
[[nodiscard]] std::int64_t take_refusal_line(int kind, long long now_ms);
