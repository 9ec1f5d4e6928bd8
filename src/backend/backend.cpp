#include "backend/backend.h"

#include <cerrno>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "config/config.h"
#include "net/net.h"

status_slot *server_status = nullptr;

namespace {

// STAND-IN (issue 26, replaced by the rebuilt table at merge): the counters
// of the block at the end of this file follow the ten slots.
struct pool_counters;
void place_counters(void *after_slots);
void count_served(int i);
extern const std::size_t POOL_COUNTERS_SIZE;

const std::size_t STATUS_TABLE_SIZE = MAX_SERVERS * sizeof(status_slot) + POOL_COUNTERS_SIZE;

// Opens and at once closes a connection to server i: the backend sees a
// connection with no data. errno tells why a failed probe failed; an address
// text that is not IPv4 leaves it as it was.
bool probe(int i)
{
    int fd = connect_backend(daemon_config.servers[i], daemon_config.serverport,
                             daemon_config.connecttimeout * 1000);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

}  // namespace

int create_status_table()
{
    int id = shmget(IPC_PRIVATE, STATUS_TABLE_SIZE, IPC_CREAT | 0600);
    if (id < 0)
        return -1;
    void *table = shmat(id, nullptr, 0);
    int saved = errno;
    // Marked for removal while attached: the attachment is inherited by every
    // process forked later, and the system frees the segment after the last
    // of them ends, however it ends.
    shmctl(id, IPC_RMID, nullptr);
    if (table == reinterpret_cast<void *>(-1)) {
        errno = saved;
        return -1;
    }
    // The slots are objects of their own in the segment, not raw bytes
    // read as atomics; the system has zeroed it, which is STATUS_FREE.
    status_slot *slots = static_cast<status_slot *>(table);
    for (int i = 0; i < MAX_SERVERS; ++i)
        new (&slots[i]) status_slot(STATUS_FREE);
    place_counters(slots + MAX_SERVERS);
    server_status = slots;
    return 0;
}

int choose_server()
{
    const int count = daemon_config.server_count;
    // Once for the whole walk, not per probe: a server whose text is not IPv4
    // fails without a reason of its own, and the reason an earlier probe left
    // must then stand for the caller's report.
    errno = 0;
    for (int i = 0; i < count; ++i) {
        if (!probe(i)) {
            set_status(i, STATUS_DOWN);
            continue;
        }
        if (status_of(i) == STATUS_DOWN)
            set_status(i, STATUS_FREE);
        // Read again: another worker may have freed it meanwhile.
        if (status_of(i) == STATUS_FREE) {
            count_served(i);
            return i;
        }
    }
    for (int i = 0; i < count; ++i) {
        if (status_of(i) != STATUS_DOWN) {
            count_served(i);
            return i;
        }
    }
    return -1;
}

// ---- STAND-IN (issue 26) ------------------------------------------------
// Simple versions of the counters and the report line that the status
// report and the session log need, until the rebuilt status table provides
// its own: the lead replaces this block, and the few lines above that name
// it, at merge. The counters live after the ten slots in the same segment.

namespace {

using counter = std::atomic<std::int64_t>;
static_assert(counter::is_always_lock_free);

struct pool_counters {
    counter served_total;
    counter no_backend;
    std::array<counter, MAX_SERVERS> served;
    std::array<counter, 2> refusal_line_ms;  // when the last line of each kind was let through
    std::array<counter, 2> refusals_held;    // refusals since then
};

pool_counters *counters = nullptr;

const std::size_t POOL_COUNTERS_SIZE = sizeof(pool_counters);

void place_counters(void *after_slots)
{
    counters = new (after_slots) pool_counters{};
}

void count_served(int i)
{
    counters->served_total.fetch_add(1, std::memory_order_relaxed);
    counters->served[i].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void count_no_backend()
{
    counters->no_backend.fetch_add(1, std::memory_order_relaxed);
}

std::int64_t no_backend_count()
{
    return counters->no_backend.load(std::memory_order_relaxed);
}

std::int64_t served_count()
{
    return counters->served_total.load(std::memory_order_relaxed);
}

void describe_backend(int i, long long, char *buf, std::size_t size)
{
    static constexpr const char *words[] = {"free", "busy", "down"};
    const std::int32_t state = status_of(i);
    std::snprintf(buf, size, "server %d %s: %s, %" PRId64 " served", i + 1, daemon_config.servers[i],
                  state >= 0 && state <= STATUS_DOWN ? words[state] : "down",
                  counters->served[i].load(std::memory_order_relaxed));
}

std::int64_t take_refusal_line(int kind, long long now_ms)
{
    counters->refusals_held[kind].fetch_add(1, std::memory_order_relaxed);
    std::int64_t last = counters->refusal_line_ms[kind].load(std::memory_order_relaxed);
    // 0: no line yet. Of the refusals that find a second gone, one wins.
    if (last != 0 && now_ms - last < 1000)
        return 0;
    if (!counters->refusal_line_ms[kind].compare_exchange_strong(last, now_ms > 0 ? now_ms : 1))
        return 0;
    return counters->refusals_held[kind].exchange(0, std::memory_order_relaxed);
}
// ---- END OF STAND-IN (issue 26) -----------------------------------------
