#include "backend/backend.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "common/clock.h"
#include "config/config.h"
#include "net/net.h"

namespace {

using atomic32 = std::atomic<std::int32_t>;
using atomic64 = std::atomic<std::int64_t>;
// Shared between processes: only lock-free atomics work there.
static_assert(atomic32::is_always_lock_free && atomic64::is_always_lock_free);

struct backend_slot {
    atomic32 holder;      // record + 1 of the worker that took it as free; 0: none
    atomic32 down;        // 1 when the last connection attempt failed
    atomic32 reason;      // errno of the last failure
    atomic32 backoff_ms;  // 0 unless the backend timed out
    atomic64 retry_at_ms; // with back-off: no probe before this
    atomic64 served;
    atomic64 failures;         // probes
    atomic64 connects_failed;  // sessions' own connections, after their probe
    atomic64 last_failure_ms;
    atomic64 checked_ms;   // when the health checks last connected; 0: never
    atomic32 check_error;  // how that ended: 0 answered, -1 not an address, else errno
};

// One live worker: its pid (0: record unused, -1: reserved before the fork)
// and the backend it holds, plus one (0: none); while it waits for a free
// backend, its ticket, negated.
struct worker_record {
    atomic32 pid;
    atomic32 backend;
    atomic64 client;  // the client_key it serves
};


struct status_table {
    backend_slot backends[MAX_SERVERS];
    line_limit refusals[REFUSAL_LIMITS];
    atomic64 refused[REFUSAL_LIMITS];  // for the kinds that count_refusal() counts
    atomic64 no_backend;
    atomic32 records_used;  // no record at or above this index was ever reserved
    worker_record records[WORKER_RECORDS];
    atomic64 tickets;         // places given in the queue
    atomic64 queue_timeouts;  // clients closed after queuetimeout
};

// The one table of this process tree, in the shared segment.
status_table *table = nullptr;
// This worker's record, or -1. Thread-local only for where it lies: beside
// the C library's errno, on the one page of its own that every worker writes
// anyway, rather than on another that a worker would copy for it alone.
thread_local int own_record = -1;

// How many records may be in use. Bounded here, not trusted: any process of
// the tree can write the table.
std::int32_t records_in_use()
{
    return std::clamp(table->records_used.load(), 0, WORKER_RECORDS);
}

std::int32_t sessions_on(int i)
{
    const std::int32_t tag = i + 1;
    const std::int32_t used = records_in_use();
    std::int32_t n = 0;
    for (std::int32_t k = 0; k < used; ++k) {
        if (table->records[k].backend.load() == tag)
            ++n;
    }
    return n;
}

// Tickets run from 1 to TICKETS and then start again; of two live ones, the
// older is the one the other is less than half the range ahead of.
constexpr std::int64_t TICKETS = INT32_MAX - 1;

std::int32_t next_ticket()
{
    return static_cast<std::int32_t>(table->tickets.fetch_add(1) % TICKETS + 1);
}

bool older(std::int32_t a, std::int32_t b)
{
    const std::int64_t ahead = (std::int64_t{b} - a + TICKETS) % TICKETS;
    return ahead != 0 && ahead < TICKETS / 2;
}

// Clears record r's backend and any backend it took as free. Each is one
// atomic exchange or compare-and-swap, so the worker and the daemon may both
// do it, in any order and even at once: the session is uncounted once.
void release_record(int r)
{
    table->records[r].backend.exchange(0);
    for (backend_slot &b : table->backends) {
        std::int32_t mine = r + 1;
        b.holder.compare_exchange_strong(mine, 0);
    }
}

// Whether this client may probe backend i now. A backend in back-off is
// skipped until its time has come; then the one client that moves the time
// on probes it (retried), and the others go on skipping it meanwhile.
bool may_probe(int i, int connect_ms, bool &retried)
{
    backend_slot &b = table->backends[i];
    if (b.backoff_ms.load() == 0)
        return true;
    std::int64_t at = b.retry_at_ms.load();
    const long long now = monotonic_ms();
    if (now < at)
        return false;
    // Longer than the probe may take, so that a prober killed meanwhile
    // holds the others back only that long.
    const long long lease = (connect_ms > 0 ? connect_ms : MAX_CONNECT_TIMEOUT * 1000) + 1000;
    if (!b.retry_at_ms.compare_exchange_strong(at, now + lease))
        return false;
    retried = true;
    return true;
}

// Opens and at once closes a connection to server i: the backend sees a
// connection with no data. errno tells why a failed probe failed; an address
// text that is no address leaves it as it was.
bool probe(int i)
{
    int fd = connect_backend(daemon_config.servers[i], daemon_config.serverport,
                             daemon_config.connecttimeout * 1000);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// A failed connection's words within a line of the report: in lower case,
// and a timeout named as the connection's.
const char *reason_text(int err, char *buf, std::size_t size)
{
    std::snprintf(buf, size, "%s%s", err == ETIMEDOUT ? "connect " : "", connect_failure_text(err));
    if (buf[0] >= 'A' && buf[0] <= 'Z')
        buf[0] = static_cast<char>(buf[0] - 'A' + 'a');
    return buf;
}

long long seconds_up(long long ms)
{
    return (ms + 999) / 1000;
}

}  // namespace

int create_status_table()
{
    int id = shmget(IPC_PRIVATE, sizeof(status_table), IPC_CREAT | 0600);
    if (id < 0)
        return -1;
    void *mem = shmat(id, nullptr, 0);
    int saved = errno;
    // Marked for removal while attached: the attachment is inherited by every
    // process forked later, and the system frees the segment after the last
    // of them ends, however it ends.
    shmctl(id, IPC_RMID, nullptr);
    if (mem == reinterpret_cast<void *>(-1)) {
        errno = saved;
        return -1;
    }
    // Objects of their own in the segment, not raw bytes read as atomics.
    table = new (mem) status_table{};
    for (line_limit &r : table->refusals)
        reset_line_limit(r);
    own_record = -1;
    return 0;
}

void reset_backends(int count)
{
    for (int i = 0; i < count && i < MAX_SERVERS; ++i) {
        backend_slot &b = table->backends[i];
        b.holder.store(0);
        b.down.store(0);
        b.reason.store(0);
        b.backoff_ms.store(0);
        b.retry_at_ms.store(0);
        b.served.store(0);
        b.failures.store(0);
        b.connects_failed.store(0);
        b.last_failure_ms.store(0);
        b.checked_ms.store(0);
        b.check_error.store(0);
    }
}

int reserve_worker_record()
{
    for (int k = 0; k < WORKER_RECORDS; ++k) {
        std::int32_t unused = 0;
        if (!table->records[k].pid.compare_exchange_strong(unused, -1))
            continue;
        // Clients queue in the order the daemon accepts them, not in the
        // order their workers happen to run.
        table->records[k].backend.store(daemon_config.share == SHARE_NONE ? -next_ticket() : 0);
        table->records[k].client.store(0);
        std::int32_t used = table->records_used.load();
        while (used < k + 1 && !table->records_used.compare_exchange_weak(used, k + 1)) {
        }
        return k;
    }
    return -1;
}

void assign_worker_record(int record, pid_t pid)
{
    if (pid > 0) {
        table->records[record].pid.store(pid);
        return;
    }
    release_record(record);
    table->records[record].pid.store(0);
}

void adopt_worker_record(int record)
{
    own_record = record;
    // The same pid the daemon stores after the fork, here at once: a waiter
    // is woken by its pid, possibly before the daemon has run again.
    std::int32_t reserved = -1;
    table->records[record].pid.compare_exchange_strong(reserved, getpid());
}

void release_worker(pid_t pid)
{
    if (table == nullptr || pid <= 0)
        return;
    const std::int32_t used = records_in_use();
    for (std::int32_t k = 0; k < used; ++k) {
        if (table->records[k].pid.load() == pid) {
            release_record(k);
            table->records[k].pid.store(0);
            return;
        }
    }
}

int enter_worker(pid_t pid, int backend, client_key client)
{
    const int record = reserve_worker_record();
    if (record < 0)
        return -1;
    table->records[record].backend.store(backend >= 0 && backend < MAX_SERVERS ? backend + 1 : 0);
    table->records[record].client.store(static_cast<std::int64_t>(client));
    table->records[record].pid.store(pid);
    return record;
}

int worker_records_used()
{
    return records_in_use();
}

void worker_at(int k, pid_t *pid, int *backend, client_key *client)
{
    const std::int32_t p = table->records[k].pid.load();
    *pid = p > 0 ? p : 0;
    *backend = table->records[k].backend.load() - 1;
    *client = static_cast<client_key>(table->records[k].client.load());
}

bool claim_backend(int i, bool exclusive)
{
    if (own_record < 0)
        return false;
    backend_slot &b = table->backends[i];
    if (exclusive) {
        if (sessions_on(i) != 0)
            return false;
        std::int32_t none = 0;
        if (!b.holder.compare_exchange_strong(none, own_record + 1))
            return false;
        // A worker that found every backend busy may have joined this one
        // meanwhile: then it is no longer free.
        if (sessions_on(i) != 0) {
            std::int32_t mine = own_record + 1;
            b.holder.compare_exchange_strong(mine, 0);
            return false;
        }
    }
    table->records[own_record].backend.store(i + 1);
    b.served.fetch_add(1);
    return true;
}

void release_backend()
{
    if (own_record >= 0)
        release_record(own_record);
}

namespace {

void set_down(backend_slot &b, int err, long long now_ms, bool retried)
{
    b.reason.store(err);
    b.last_failure_ms.store(now_ms);
    if (err == ETIMEDOUT) {
        const std::int32_t was = b.backoff_ms.load();
        const std::int32_t next = was == 0 ? BACKOFF_FIRST_MS : retried ? std::min(was * 2, BACKOFF_MAX_MS) : was;
        // The time first: a client that sees the back-off sees its end too.
        b.retry_at_ms.store(now_ms + next);
        b.backoff_ms.store(next);
    } else {
        b.backoff_ms.store(0);
        b.retry_at_ms.store(0);
    }
    b.down.store(1);
}

}  // namespace

void mark_backend_down(int i, int err, long long now_ms, bool retried)
{
    backend_slot &b = table->backends[i];
    b.failures.fetch_add(1);
    set_down(b, err, now_ms, retried);
}

void session_connect_failed(int i, int err, long long now_ms, bool down_now)
{
    backend_slot &b = table->backends[i];
    b.served.fetch_sub(1);
    b.connects_failed.fetch_add(1);
    if (down_now || err == ETIMEDOUT) {
        set_down(b, err, now_ms, false);
        return;
    }
    b.last_failure_ms.store(now_ms);
}

void note_check(int i, long long now_ms, int err)
{
    backend_slot &b = table->backends[i];
    b.check_error.store(err);
    b.checked_ms.store(now_ms > 0 ? now_ms : 1);
}

void mark_backend_up(int i)
{
    backend_slot &b = table->backends[i];
    b.down.store(0);
    b.backoff_ms.store(0);
    b.retry_at_ms.store(0);
}

backend_view view_backend(int i)
{
    const backend_slot &b = table->backends[i];
    backend_view v{};
    v.sessions = sessions_on(i);
    v.held = v.sessions > 0 || b.holder.load() != 0;
    v.down = b.down.load() != 0;
    v.reason = b.reason.load();
    v.backoff_ms = b.backoff_ms.load();
    v.retry_at_ms = b.retry_at_ms.load();
    v.served = b.served.load();
    v.failures = b.failures.load();
    v.connects_failed = b.connects_failed.load();
    v.last_failure_ms = b.last_failure_ms.load();
    return v;
}

int take_free_server(int &usable)
{
    const int count = daemon_config.server_count;
    const int connect_ms = daemon_config.connecttimeout * 1000;
    const bool checked = daemon_config.checkinterval > 0;
    // The reason of the last backend that failed with one: a text that is no
    // address has none, and the reason before it must then stand.
    int last_reason = 0;
    usable = 0;
    for (int i = 0; i < count; ++i) {
        bool retried = false;
        // With health checks the table is trusted as it stands: no probe.
        if (checked ? table->backends[i].down.load() != 0 : !may_probe(i, connect_ms, retried)) {
            last_reason = table->backends[i].reason.load();
            continue;
        }
        if (!checked) {
            errno = 0;
            if (!probe(i)) {
                const int err = errno;
                if (err != 0)
                    last_reason = err;
                mark_backend_down(i, err, monotonic_ms(), retried);
                continue;
            }
            mark_backend_up(i);
        }
        ++usable;
        if (claim_backend(i, true))
            return i;
    }
    errno = last_reason;
    return -1;
}

int choose_server()
{
    if (daemon_config.share == SHARE_NONE)
        return wait_for_free_server();
    int usable = 0;
    const int free = take_free_server(usable);
    if (free >= 0)
        return free;
    const int last_reason = errno;
    // Every backend that is up is busy: join one.
    int chosen = -1;
    int fewest = 0;
    for (int i = 0; i < daemon_config.server_count; ++i) {
        if (table->backends[i].down.load() != 0)
            continue;
        if (daemon_config.share == SHARE_FIRST) {
            chosen = i;
            break;
        }
        const int sessions = sessions_on(i);
        if (chosen < 0 || sessions < fewest) {
            chosen = i;
            fewest = sessions;
        }
    }
    if (chosen >= 0 && claim_backend(chosen, false))
        return chosen;
    errno = last_reason;
    return -1;
}

std::int32_t queue_ticket()
{
    const std::int32_t value = own_record < 0 ? 0 : table->records[own_record].backend.load();
    return value < 0 ? -value : 0;
}

void rejoin_queue(std::int32_t ticket)
{
    if (own_record >= 0 && ticket > 0)
        table->records[own_record].backend.store(-ticket);
}

void leave_queue()
{
    if (own_record < 0)
        return;
    std::int32_t ticket = table->records[own_record].backend.load();
    if (ticket < 0)
        table->records[own_record].backend.compare_exchange_strong(ticket, 0);
}

namespace {

// The live record with the lowest ticket, or -1 when nobody waits.
int first_waiting_record()
{
    const std::int32_t used = records_in_use();
    int first = -1;
    std::int32_t oldest = 0;
    for (std::int32_t k = 0; k < used; ++k) {
        const std::int32_t ticket = -table->records[k].backend.load();
        if (ticket > 0 && table->records[k].pid.load() != 0 && (first < 0 || older(ticket, oldest))) {
            first = k;
            oldest = ticket;
        }
    }
    return first;
}

}  // namespace

bool first_in_queue()
{
    return own_record >= 0 && first_waiting_record() == own_record;
}

pid_t first_waiter()
{
    if (table == nullptr)
        return 0;
    const int k = first_waiting_record();
    const pid_t pid = k < 0 ? 0 : table->records[k].pid.load();
    return pid > 0 ? pid : 0;
}

int waiting_count()
{
    const std::int32_t used = records_in_use();
    int n = 0;
    for (std::int32_t k = 0; k < used; ++k) {
        if (table->records[k].backend.load() < 0 && table->records[k].pid.load() != 0)
            ++n;
    }
    return n;
}

void count_queue_timeout()
{
    table->queue_timeouts.fetch_add(1);
}

std::int64_t queue_timeout_count()
{
    return table->queue_timeouts.load();
}

void count_no_backend()
{
    table->no_backend.fetch_add(1);
}

std::int64_t no_backend_count()
{
    return table->no_backend.load();
}

std::int64_t served_count()
{
    std::int64_t sum = 0;
    for (const backend_slot &b : table->backends)
        sum += b.served.load();
    return sum;
}

void describe_backend(int i, long long now_ms, char *buf, std::size_t size)
{
    const backend_view v = view_backend(i);
    const char *state = v.down ? "down" : v.held ? "busy" : "free";
    char text[128];
    char tail[192] = "";
    if (v.down) {
        const char *why = reason_text(v.reason, text, sizeof text);
        if (v.backoff_ms > 0 && v.retry_at_ms > now_ms)
            std::snprintf(tail, sizeof tail, ", %s, skipped for %lld s more", why,
                          seconds_up(v.retry_at_ms - now_ms));
        else
            std::snprintf(tail, sizeof tail, ", %s", why);
    } else if (v.failures > 0 || v.connects_failed > 0) {
        char probes[48] = "";
        char connects[64] = "";
        if (v.failures > 0)
            std::snprintf(probes, sizeof probes, ", %lld %s failed", static_cast<long long>(v.failures),
                          v.failures == 1 ? "probe" : "probes");
        if (v.connects_failed > 0)
            std::snprintf(connects, sizeof connects, ", %lld %s to connect", static_cast<long long>(v.connects_failed),
                          v.connects_failed == 1 ? "session failed" : "sessions failed");
        std::snprintf(tail, sizeof tail, "%s%s, last failure %lld s ago", probes, connects,
                      (now_ms - v.last_failure_ms) / 1000);
    }
    const long long checked = table->backends[i].checked_ms.load();
    if (checked > 0) {
        // The health checks' last word, in place of the probes' back-off.
        const int err = table->backends[i].check_error.load();
        char check_text[128];
        const char *result = err == 0 ? "answered" : reason_text(err < 0 ? 0 : err, check_text, sizeof check_text);
        if (v.down)
            std::snprintf(tail, sizeof tail, ", %s", reason_text(v.reason, text, sizeof text));
        const std::size_t used = std::strlen(tail);
        std::snprintf(tail + used, sizeof tail - used, ", last check %lld s ago: %s", (now_ms - checked) / 1000,
                      result);
    }
    std::snprintf(buf, size, "server %d %s: %s, %d open, %lld served%s", i + 1, daemon_config.servers[i], state,
                  v.sessions, static_cast<long long>(v.served), tail);
}

line_limit &refusal_limit(int kind)
{
    return table->refusals[kind >= 0 && kind < REFUSAL_LIMITS ? kind : 0];
}

void count_refusal(int kind)
{
    if (kind >= 0 && kind < REFUSAL_LIMITS)
        table->refused[kind].fetch_add(1);
}

std::int64_t refusal_count(int kind)
{
    return kind >= 0 && kind < REFUSAL_LIMITS ? table->refused[kind].load() : 0;
}

void set_worker_client(int record, client_key key)
{
    if (record >= 0 && record < WORKER_RECORDS)
        table->records[record].client.store(static_cast<std::int64_t>(key));
}

void set_own_client(client_key key)
{
    set_worker_client(own_record, key);
}

int sessions_from(client_key key)
{
    const std::int32_t used = records_in_use();
    int n = 0;
    for (std::int32_t k = 0; k < used; ++k) {
        const worker_record &r = table->records[k];
        if (r.pid.load() != 0 && static_cast<client_key>(r.client.load()) == key)
            ++n;
    }
    return n;
}
