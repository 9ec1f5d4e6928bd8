#include "net/net.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "common/platform.h"

namespace {

// At most this much a turn in one direction, so that a side that never
// pauses cannot starve the other.
constexpr std::size_t TURN_BYTES = 1024 * 1024;
constexpr int PIECES_PER_TURN = static_cast<int>(TURN_BYTES / RELAY_BUF_SIZE);
static_assert(PIECES_PER_TURN >= 1, "a turn moves one piece at least");

// One direction of a session. Bytes wait in buf[head, tail) until the
// receiving side takes them; nothing more is read from the sending side
// before all of them are sent, so no byte is dropped, reordered or repeated.
// ended and shut: the direction's FIN has come from its sender and has been
// passed on to its receiver; in the loop only with halfclose, otherwise at
// the end of the session.
struct flow {
    int from;
    int to;
    std::size_t head;
    std::size_t tail;
    bool ended;  // from has closed or failed
    bool shut;   // to has been sent its FIN
    std::uint64_t read;  // bytes taken from from
    std::uint64_t sent;  // bytes delivered to to
    char *buf;           // RELAY_BUF_SIZE bytes
};

// The buffers of the two directions: a process relays one session at a time
// (a worker one in its life). Not on the stack, where each of their pages
// would be written when the frame is made (the stack clash probes), nor
// thread-local, where they would push what else is there off the one page
// of its own that each process writes anyway: here a page is written only
// once bytes reach it, so an idle session owns one page of each, and the
// daemon, which never relays, none.
char upstream_buf[RELAY_BUF_SIZE];
char downstream_buf[RELAY_BUF_SIZE];

bool would_block(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK;
}

// Sends what is pending. Returns 1 to go on, or -1 when the send failed.
int drain(flow &f)
{
    while (f.head < f.tail) {
        ssize_t n = send(f.to, f.buf + f.head, f.tail - f.head, RELAY_SEND_FLAGS);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return would_block(errno) ? 1 : -1;
        }
        f.head += static_cast<std::size_t>(n);
        f.sent += static_cast<std::uint64_t>(n);
    }
    f.head = f.tail = 0;
    return 1;
}

// Serves one direction for one turn of the loop: a readable sender is read
// again, RELAY_BUF_SIZE bytes at most each time, and each piece is passed on
// before the next is read, until the sender has nothing more or the receiver
// is full.
// This saves a select() per piece under load; the pieces of one turn are
// bounded so that a side that never pauses cannot starve the other direction.
// Returns 1 to go on, 0 when the sending side has closed, or -1 when a
// transfer failed.
int serve(flow &f, const fd_set &readable, const fd_set &writable)
{
    if (f.tail != 0)
        return FD_ISSET(f.to, &writable) ? drain(f) : 1;
    if (!FD_ISSET(f.from, &readable))
        return 1;
    int result = 1;
    for (int piece = 0; piece < PIECES_PER_TURN; ++piece) {
        ssize_t n;
        do
            n = recv(f.from, f.buf, RELAY_BUF_SIZE, RELAY_RECV_FLAGS);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            result = n == 0 ? 0 : would_block(errno) ? 1 : -1;
            break;
        }
        f.tail = static_cast<std::size_t>(n);
        f.read += static_cast<std::uint64_t>(n);
        if (drain(f) < 0)
            return -1;
        // A short read emptied the socket: asking again would only cost a
        // recv() that would block.
        if (f.tail != 0 || static_cast<std::size_t>(n) < RELAY_BUF_SIZE)
            break;
    }
    return result;
}

// An empty direction waits for its sender to become readable (unless that
// has ended), a full one for its receiver to become writable.
void watch(const flow &f, fd_set &readable, fd_set &writable)
{
    if (f.tail != 0)
        FD_SET(f.to, &writable);
    else if (!f.ended)
        FD_SET(f.from, &readable);
}

// select() overwrites its sets, so they are built anew before each call.
void watch_both(const flow &up, const flow &down, fd_set &readable, fd_set &writable)
{
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    watch(up, readable, writable);
    watch(down, readable, writable);
}

// ---- the end of a session ----
//
// Closing a socket while input is still queued on it makes the kernel answer
// with a reset, and a reset throws away what was still on its way to the
// peer. So the end is orderly: what was read before the end is passed on,
// each side gets a FIN after its last byte, and what either side still sends
// is read and dropped until it closes too. A peer that neither reads nor
// closes is given up after RELAY_LINGER_MS.

// Passes on what is pending for f.to, then sends f.to its FIN. A receiver
// that has gone loses what it did not take.
void deliver(flow &f)
{
    if (f.tail != 0 && drain(f) < 0)
        f.head = f.tail = 0;
    if (f.tail == 0 && !f.shut) {
        (void)shutdown(f.to, SHUT_WR);
        f.shut = true;
    }
}

// Reads and drops what f.from sends, into the direction's own buffer once it
// is empty, until f.from would block, closes or fails. Bounded per call, so
// that a sender that never pauses cannot keep the deadline from being seen.
void discard(flow &f)
{
    for (int piece = 0; piece < PIECES_PER_TURN && !f.ended && f.tail == 0; ++piece) {
        ssize_t n = recv(f.from, f.buf, RELAY_BUF_SIZE, RELAY_RECV_FLAGS);
        if (n < 0 && (errno == EINTR || would_block(errno)))
            return;
        if (n <= 0)
            f.ended = true;
    }
}

bool finished(const flow &f)
{
    return f.ended && f.shut;
}

// The time left to wait, as select() takes it.
timeval to_timeval(long long ms)
{
    return {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
}

// Returns once both sides have had their FIN and closed, or at the bound.
void end_session(flow &up, flow &down, int nfds)
{
    const long long deadline = monotonic_ms() + RELAY_LINGER_MS;
    for (;;) {
        deliver(up);
        deliver(down);
        discard(up);
        discard(down);
        if (finished(up) && finished(down))
            return;
        const long long left = deadline - monotonic_ms();
        if (left <= 0)
            return;
        fd_set readable;
        fd_set writable;
        watch_both(up, down, readable, writable);
        timeval wait = to_timeval(left);
        if (select(nfds, &readable, &writable, nullptr, &wait) < 0 && errno != EINTR)
            return;
    }
}

// Every byte read or delivered either way: unchanged over a turn, the
// session made no progress.
std::uint64_t moved(const flow &up, const flow &down)
{
    return up.read + up.sent + down.read + down.sent;
}

// The idle limit of a session: the last time a byte moved, and the bytes
// moved by then. With no limit the clock is never read.
struct idle_clock {
    int limit_ms;  // 0: no limit
    long long last_progress;
    std::uint64_t seen;
};

idle_clock start_idle_clock(int limit_ms)
{
    return {limit_ms, limit_ms > 0 ? monotonic_ms() : 0, 0};
}

// Milliseconds until the idle limit is reached, 0 once it has been, or -1
// when there is no limit.
long long idle_left(const idle_clock &idle)
{
    if (idle.limit_ms <= 0)
        return -1;
    const long long left = idle.last_progress + idle.limit_ms - monotonic_ms();
    return left > 0 ? left : 0;
}

void note_progress(idle_clock &idle, const flow &up, const flow &down)
{
    if (idle.limit_ms > 0 && moved(up, down) != idle.seen) {
        idle.seen = moved(up, down);
        idle.last_progress = monotonic_ms();
    }
}

// Waits until a side can be served, or wait_ms have passed (-1: no bound).
// Returns what select() returned.
int await_sides(const flow &up, const flow &down, int nfds, long long wait_ms, fd_set &readable, fd_set &writable)
{
    watch_both(up, down, readable, writable);
    if (wait_ms < 0)
        return select(nfds, &readable, &writable, nullptr, nullptr);
    timeval wait = to_timeval(wait_ms);
    return select(nfds, &readable, &writable, nullptr, &wait);
}

// Serves one direction for one turn. A FIN ends the session, or with
// halfclose only its own direction: the receiver is sent its FIN (every byte
// read before it has been passed on), the other direction goes on, and the
// session ends with the second FIN. Returns as serve() does.
int serve_side(flow &f, const flow &other, const fd_set &readable, const fd_set &writable, bool halfclose)
{
    const int result = serve(f, readable, writable);
    if (result != 0 || !halfclose)
        return result;
    f.ended = true;
    deliver(f);
    return other.ended ? 0 : 1;
}

// One turn over both directions, the client's first. Returns as serve_side()
// does, with end naming the side whose FIN or failure made it return.
int serve_turn(flow &up, flow &down, const fd_set &readable, const fd_set &writable, bool halfclose,
               session_end &end)
{
    end = END_CLIENT_CLOSED;
    const int result = serve_side(up, down, readable, writable, halfclose);
    if (result <= 0)
        return result;
    end = END_BACKEND_CLOSED;
    return serve_side(down, up, readable, writable, halfclose);
}

// Copies both ways until the session ends. Returns 0 with end set to how it
// ended, or -1 when select() or a transfer failed, with errno set by it.
int copy_both_ways(flow &up, flow &down, int nfds, const relay_options &options, session_end &end)
{
    idle_clock idle = start_idle_clock(options.idle_ms);
    for (;;) {
        const long long left = idle_left(idle);
        if (left == 0) {
            end = END_IDLE_TIMEOUT;
            return 0;
        }
        fd_set readable;
        fd_set writable;
        const int ready = await_sides(up, down, nfds, left, readable, writable);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (ready == 0)
            continue;  // the idle limit is looked at above
        const int result = serve_turn(up, down, readable, writable, options.halfclose, end);
        if (result <= 0)
            return result;
        note_progress(idle, up, down);
    }
}

// Whether both sockets fit in an fd_set. Their file status flags are left
// alone: every recv() and send() of the relay asks not to wait. Returns false
// with errno set when either cannot be used.
bool fit_in_fd_set(int client_fd, int backend_fd)
{
    if (client_fd < 0 || backend_fd < 0 || client_fd >= FD_SETSIZE || backend_fd >= FD_SETSIZE) {
        errno = EBADF;
        return false;
    }
    return true;
}

void fill_stats(session_stats *stats, const flow &up, const flow &down, int result, session_end end, int err)
{
    if (stats == nullptr)
        return;
    stats->from_client = up.sent;
    stats->from_backend = down.sent;
    stats->end = result < 0 ? END_ERROR : end;
    stats->error = result < 0 ? err : 0;
}

// A new connection's send buffer takes the few bytes of a PROXY header at
// once, before the session begins; the loop covers a system that takes them
// in parts, and a wait for room on a socket that does not block.
bool send_prefix(int fd, const std::uint8_t *prefix, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = send(fd, prefix, length, RELAY_SEND_FLAGS);
        if (n < 0 && (errno == EINTR || would_block(errno))) {
            pollfd room{fd, POLLOUT, 0};
            (void)poll(&room, 1, -1);
            continue;
        }
        if (n <= 0)
            return false;
        prefix += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Each piece leaves as soon as it is read. With Nagle's algorithm a reply a
// little over one piece would hold its last piece until the peer acknowledged
// the first, which a peer that delays its acknowledgements does only after
// tens of milliseconds. A socket that is not TCP has no such delay to remove.
void send_at_once(int fd)
{
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void set_keepalive(int fd)
{
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

}  // namespace

int relay_streams(int client_fd, int backend_fd, const relay_options &options, session_stats *stats)
{
    if (!fit_in_fd_set(client_fd, backend_fd))
        return -1;
    flow up{client_fd, backend_fd, 0, 0, false, false, 0, 0, upstream_buf};
    flow down{backend_fd, client_fd, 0, 0, false, false, 0, 0, downstream_buf};
    const int nfds = (client_fd > backend_fd ? client_fd : backend_fd) + 1;
    session_end end = END_ERROR;
    const int result = copy_both_ways(up, down, nfds, options, end);
    // The caller reports the call that ended the session, not the end's.
    const int saved = errno;
    end_session(up, down, nfds);
    errno = saved;
    fill_stats(stats, up, down, result, end, saved);
    return result;
}

int relay_session(int client_fd, const char *address, std::int32_t port, int connect_ms,
                  const relay_options &options, session_stats *stats)
{
    *stats = {0, 0, END_ERROR, 0};
    int backend_fd = connect_backend(address, port, connect_ms);
    if (backend_fd < 0) {
        stats->error = errno;
        return -1;
    }
    return relay_connected(client_fd, backend_fd, options, stats);
}

int relay_connected(int client_fd, int backend_fd, const relay_options &options, session_stats *stats)
{
    *stats = {0, 0, END_ERROR, 0};
    if (options.prefix_len > 0 && !send_prefix(backend_fd, options.prefix, options.prefix_len)) {
        stats->error = errno;
        return -1;
    }
    // With the system's keepalive timers, or the session's own: a peer that
    // has gone without a word (a host switched off, a client that left the
    // network) ends the session once its probes go unanswered, rather than
    // never.
    set_keepalive(client_fd);
    set_keepalive(backend_fd);
    set_keepalive_timers(client_fd, backend_fd, options.keepalive_s);
    send_at_once(client_fd);
    send_at_once(backend_fd);
    // Before the first byte of the client's is read: from here on, a worker
    // taken over through the relay can reach nothing but these two sockets.
    if (enter_session_sandbox(client_fd, backend_fd) < 0) {
        stats->error = errno;
        return -1;
    }
    return relay_streams(client_fd, backend_fd, options, stats);
}
