#include "net/net.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace {

constexpr int PIECES_PER_TURN = 64;

// One direction of a session. Bytes wait in buf[head, tail) until the
// receiving side takes them; nothing more is read from the sending side
// before all of them are sent, so no byte is dropped, reordered or repeated.
struct flow {
    int from;
    int to;
    std::size_t head;
    std::size_t tail;
    char buf[RELAY_BUF_SIZE];
};

bool would_block(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK;
}

bool set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Sends what is pending. Returns 1 to go on, or -1 when the send failed.
int drain(flow &f)
{
    while (f.head < f.tail) {
        ssize_t n = send(f.to, f.buf + f.head, f.tail - f.head, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return would_block(errno) ? 1 : -1;
        }
        f.head += static_cast<std::size_t>(n);
    }
    f.head = f.tail = 0;
    return 1;
}

// Serves one direction for one turn of the loop: a readable sender is read
// again, 4096 bytes at most each time, and each piece is passed on before the
// next is read, until the sender has nothing more or the receiver is full.
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
    for (int piece = 0; piece < PIECES_PER_TURN; ++piece) {
        ssize_t n;
        do
            n = recv(f.from, f.buf, sizeof f.buf, 0);
        while (n < 0 && errno == EINTR);
        if (n == 0)
            return 0;
        if (n < 0)
            return would_block(errno) ? 1 : -1;
        f.tail = static_cast<std::size_t>(n);
        if (drain(f) < 0)
            return -1;
        // A short read emptied the socket: asking again would only cost a
        // recv() that would block.
        if (f.tail != 0 || static_cast<std::size_t>(n) < sizeof f.buf)
            return 1;
    }
    return 1;
}

// An empty direction waits for its sender to become readable, a full one for
// its receiver to become writable.
void watch(const flow &f, fd_set &readable, fd_set &writable)
{
    if (f.tail == 0)
        FD_SET(f.from, &readable);
    else
        FD_SET(f.to, &writable);
}

}  // namespace

int relay_streams(int client_fd, int backend_fd)
{
    if (client_fd < 0 || backend_fd < 0 || client_fd >= FD_SETSIZE || backend_fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    if (!set_nonblocking(client_fd) || !set_nonblocking(backend_fd))
        return -1;

    flow up{client_fd, backend_fd, 0, 0, {}};
    flow down{backend_fd, client_fd, 0, 0, {}};
    const int nfds = (client_fd > backend_fd ? client_fd : backend_fd) + 1;

    for (;;) {
        // select() overwrites its sets, so they are built anew each turn.
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        watch(up, readable, writable);
        watch(down, readable, writable);
        if (select(nfds, &readable, &writable, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        int result = serve(up, readable, writable);  // the client's side first
        if (result <= 0)
            return result;
        result = serve(down, readable, writable);
        if (result <= 0)
            return result;
    }
}

int relay_session(int client_fd, const char *address, std::int32_t port)
{
    int backend_fd = connect_backend(address, port);
    if (backend_fd < 0)
        return -1;
    return relay_streams(client_fd, backend_fd);
}
