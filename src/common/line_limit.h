// A limiter of log lines that every process sharing it obeys together: at
// most one line a second, each standing for the events held back since the
// line before.
#pragma once

#include <atomic>
#include <cstdint>

// Shared between processes (in shared memory): only lock-free atomics.
struct line_limit {
    std::atomic<std::int64_t> last_line_ms;
    std::atomic<std::int64_t> held;
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// As before any line.
void reset_line_limit(line_limit &limit);

// Counts one event at now_ms (from monotonic_ms()). Returns 0 when its line
// must be held back, otherwise how many events the line stands for: this one
// and those held back since the last line.
[[nodiscard]] std::int64_t take_line(line_limit &limit, long long now_ms);
