// A fast echo backend for the benchmark: one epoll loop serving listeners on
// 127.0.0.2, 127.0.0.3, ... that share one port. Each connection echoes
// through a buffer of its own; while that buffer holds bytes the peer has not
// taken, the connection is not read (back-pressure), so memory stays bounded.
//
// A connection whose first read starts with RR_MAGIC is a request/response
// session instead: every further 4 bytes are a request, the size of the reply
// in network byte order, and the reply is that many bytes, byte k of it
// k % 251, written in one send() as far as the socket takes it, as a
// kept-alive HTTP or redis server writes its answer. The client sends one
// request at a time.
//
// Usage: bench_echo PORT COUNT [SECONDS]
// Runs until SIGTERM/SIGINT or SECONDS (default 1200) have passed.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t BUF_SIZE = 64 * 1024;
constexpr int MAX_LISTENERS = 10;
constexpr char RR_MAGIC[8] = {'R', 'R', 'v', '1', '\r', '\n', '\r', '\n'};
constexpr std::size_t REPLY_PERIOD = 251;

enum conn_mode { UNKNOWN, ECHO, REPLY };

struct conn {
    int fd;
    conn_mode mode;
    std::size_t head;
    std::size_t tail;
    bool reading;
    std::uint64_t reply_left;  // bytes of the current reply still to send
    std::uint64_t reply_pos;   // of those already sent
    unsigned char request[4];
    int request_have;
    char buf[BUF_SIZE];
};

// reply_bytes[j] = j % REPLY_PERIOD, long enough for one send from any phase.
char reply_bytes[BUF_SIZE + REPLY_PERIOD];

volatile std::sig_atomic_t stopping = 0;

void on_signal(int) { stopping = 1; }

int listen_on(int index, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(0x7f000002u + static_cast<unsigned>(index));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, 1024) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void update(int ep, conn *c)
{
    epoll_event ev{};
    ev.events = c->reading ? EPOLLIN : EPOLLOUT;
    ev.data.ptr = c;
    epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
}

void finish(conn *c)
{
    close(c->fd);  // also leaves the epoll set
    std::free(c);
}

// Sends what is pending; false when the connection is to be closed.
bool flush(conn *c)
{
    while (c->head < c->tail) {
        ssize_t n = send(c->fd, c->buf + c->head, c->tail - c->head, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        c->head += static_cast<std::size_t>(n);
    }
    c->head = c->tail = 0;
    return true;
}

// Takes request bytes; a complete request starts its reply.
void take_requests(conn *c, const char *p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        c->request[c->request_have++] = static_cast<unsigned char>(p[i]);
        if (c->request_have == 4) {
            c->reply_left += std::uint64_t{c->request[0]} << 24 | std::uint64_t{c->request[1]} << 16 |
                             std::uint64_t{c->request[2]} << 8 | c->request[3];
            c->request_have = 0;
        }
    }
}

// Sends replies and reads requests until the socket would block; false when
// the connection is to be closed.
bool pump_replies(conn *c)
{
    for (;;) {
        while (c->reply_left > 0) {
            std::size_t n = c->reply_left < BUF_SIZE ? static_cast<std::size_t>(c->reply_left) : BUF_SIZE;
            ssize_t k = send(c->fd, reply_bytes + c->reply_pos % REPLY_PERIOD, n, MSG_NOSIGNAL);
            if (k < 0)
                return errno == EAGAIN || errno == EINTR;
            c->reply_left -= static_cast<std::uint64_t>(k);
            c->reply_pos = c->reply_left == 0 ? 0 : c->reply_pos + static_cast<std::uint64_t>(k);
        }
        ssize_t n = recv(c->fd, c->buf, BUF_SIZE, 0);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        take_requests(c, c->buf, static_cast<std::size_t>(n));
    }
}

// Reads and echoes until the socket would block or the peer stops taking
// bytes; false when the connection is to be closed.
bool pump(conn *c)
{
    if (c->mode == REPLY)
        return pump_replies(c);
    for (;;) {
        if (!flush(c))
            return false;
        if (c->tail != 0)
            return true;  // the peer is slow: wait until it can take more
        ssize_t n = recv(c->fd, c->buf, BUF_SIZE, 0);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        // The client sends the magic and its first request in one piece.
        if (c->mode == UNKNOWN && n >= 8 && std::memcmp(c->buf, RR_MAGIC, 8) == 0) {
            c->mode = REPLY;
            take_requests(c, c->buf + 8, static_cast<std::size_t>(n) - 8);
            return pump_replies(c);
        }
        c->mode = ECHO;
        c->tail = static_cast<std::size_t>(n);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT COUNT [SECONDS]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::atoi(argv[2]);
    const long seconds = argc > 3 ? std::atol(argv[3]) : 1200;
    if (count < 1 || count > MAX_LISTENERS) {
        std::fprintf(stderr, "bench_echo: COUNT must be 1..%d\n", MAX_LISTENERS);
        return 2;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t j = 0; j < sizeof reply_bytes; ++j)
        reply_bytes[j] = static_cast<char>(j % REPLY_PERIOD);

    int ep = epoll_create1(EPOLL_CLOEXEC);
    int listeners[MAX_LISTENERS];
    for (int i = 0; i < count; ++i) {
        listeners[i] = listen_on(i, port);
        if (listeners[i] < 0) {
            std::fprintf(stderr, "bench_echo: cannot listen on 127.0.0.%d:%d: %s\n", 2 + i, port,
                         std::strerror(errno));
            return 1;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        ev.data.u64 = static_cast<std::uint64_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, listeners[i], &ev);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const std::time_t deadline = std::time(nullptr) + seconds;
    epoll_event events[256];
    while (!stopping && std::time(nullptr) < deadline) {
        int n = epoll_wait(ep, events, 256, 1000);
        for (int i = 0; i < n; ++i) {
            // Listeners carry their index (below MAX_LISTENERS), connections a pointer.
            if (events[i].data.u64 < MAX_LISTENERS) {
                int lfd = listeners[events[i].data.u64];
                for (;;) {
                    int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0)
                        break;
                    int on = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    auto *c = static_cast<conn *>(std::malloc(sizeof(conn)));
                    c->fd = fd;
                    c->mode = UNKNOWN;
                    c->head = c->tail = 0;
                    c->reading = true;
                    c->reply_left = c->reply_pos = 0;
                    c->request_have = 0;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.ptr = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
                }
                continue;
            }
            auto *c = static_cast<conn *>(events[i].data.ptr);
            if (!pump(c)) {
                finish(c);
                continue;
            }
            bool want_read = c->mode == REPLY ? c->reply_left == 0 : c->tail == 0;
            if (want_read != c->reading) {
                c->reading = want_read;
                update(ep, c);
            }
        }
    }
    return 0;
}
