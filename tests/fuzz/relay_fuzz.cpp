// Drives relay_streams between two socketpairs, one for the client and one
// for the backend, with a script taken from the input: sends and receives of
// any size on the far ends, pauses, small socket buffers and a close, while
// the relay runs on a thread of its own. Every byte must arrive once and in
// order; when the relay ends on an orderly close, everything the closing side
// sent must have reached the other side.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/net.h"

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "relay_fuzz: %s\n", what);
    std::abort();
}

// The byte at position k of a direction's stream; no period, so a repeated
// or skipped chunk never matches by chance.
std::uint8_t stream_byte(int direction, std::uint64_t k)
{
    std::uint64_t z = k * 2 + static_cast<std::uint64_t>(direction) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::uint8_t>(z ^ (z >> 31));
}

// The far end of one side, as the client or the backend holds it.
struct peer {
    int fd = -1;
    int direction = 0;         // of the stream it sends
    std::uint64_t sent = 0;    // bytes it has sent
    std::uint64_t got = 0;     // bytes of the other stream it has received
    bool eof = false;
};

struct script {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;
    bool done() const { return pos >= size; }
    unsigned next() { return pos < size ? data[pos++] : 0; }
};

void send_some(peer &p, std::size_t n)
{
    std::uint8_t buf[16384];
    n = n < sizeof buf ? n : sizeof buf;
    for (std::size_t i = 0; i < n; ++i)
        buf[i] = stream_byte(p.direction, p.sent + i);
    ssize_t k = send(p.fd, buf, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (k > 0)
        p.sent += static_cast<std::uint64_t>(k);
}

// Reads what is there, up to n bytes, and checks it against the stream the
// other side sent.
void recv_some(peer &p, const peer &from, std::size_t n)
{
    std::uint8_t buf[16384];
    n = n < sizeof buf ? n : sizeof buf;
    ssize_t k = recv(p.fd, buf, n, MSG_DONTWAIT);
    if (k == 0 || (k < 0 && errno == ECONNRESET))
        p.eof = true;
    for (ssize_t i = 0; i < k; ++i) {
        if (buf[i] != stream_byte(from.direction, p.got + static_cast<std::uint64_t>(i)))
            fail("a byte arrived out of order, twice, or altered");
    }
    if (k > 0)
        p.got += static_cast<std::uint64_t>(k);
    if (p.got > from.sent)
        fail("more bytes arrived than were sent");
}

void small_buffers(int fd, unsigned code)
{
    if (code == 0)
        return;
    int size = static_cast<int>(code) * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

struct relay_thread {
    std::atomic<bool> done{false};
    int result = 1;
    int error = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // As in a worker: a send to a closed peer fails with EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    script in{data, size};
    int client_pair[2];
    int backend_pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client_pair) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, backend_pair) != 0)
        fail("socketpair");
    unsigned sizes = in.next();
    small_buffers(client_pair[1], sizes & 3);
    small_buffers(backend_pair[1], (sizes >> 2) & 3);
    small_buffers(client_pair[0], (sizes >> 4) & 3);
    small_buffers(backend_pair[0], (sizes >> 6) & 3);

    peer client{client_pair[0], 0};
    peer backend{backend_pair[0], 1};
    relay_thread relay;
    std::thread worker([&] {
        relay.result = relay_streams(client_pair[1], backend_pair[1]);
        relay.error = errno;
        relay.done = true;
    });

    // The script, up to its first close.
    peer *closer = nullptr;
    for (int ops = 0; ops < 256 && !in.done() && closer == nullptr; ++ops) {
        unsigned op = in.next();
        std::size_t n = 1 + ((in.next() << 8 | in.next()) % 20000);
        switch (op % 8) {
        case 0:
        case 1: send_some(client, n); break;
        case 2:
        case 3: send_some(backend, n); break;
        case 4: recv_some(client, backend, n); break;
        case 5: recv_some(backend, client, n); break;
        case 6:
            if (n % 2 == 0)
                sched_yield();
            else
                std::this_thread::sleep_for(std::chrono::microseconds(n % 200));
            break;
        default: closer = (n % 2 == 0) ? &client : &backend; break;
        }
        if (client.eof || backend.eof || relay.done)
            fail("the session ended while both sides were open");
    }
    if (closer == nullptr)
        closer = in.next() % 2 == 0 ? &client : &backend;
    peer &other = closer == &client ? backend : client;
    const peer &closer_ref = *closer;
    close(closer->fd);

    // The other side reads on until the relay ends and its end is closed.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool relay_closed = false;
    while (!other.eof) {
        if (std::chrono::steady_clock::now() > deadline)
            fail("the relay did not end after one side closed");
        if (relay.done && !relay_closed) {
            worker.join();
            close(client_pair[1]);
            close(backend_pair[1]);
            relay_closed = true;
        }
        pollfd p{other.fd, POLLIN, 0};
        poll(&p, 1, 5);
        recv_some(other, closer_ref, 65536);
    }
    if (!relay_closed)
        fail("the other side saw the end before the relay returned");
    close(other.fd);

    if (relay.result != 0 && relay.result != -1)
        fail("relay result neither 0 nor -1");
    if (relay.result == -1 && relay.error != ECONNRESET && relay.error != EPIPE)
        fail("relay failed with an unexpected errno");
    if (relay.result == 0 && other.got != closer_ref.sent)
        fail("an orderly close lost bytes the closing side had sent");
    return 0;
}
