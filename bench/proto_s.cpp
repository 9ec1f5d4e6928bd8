// A benchmark peer: dovra's design at its barest, to measure dovra against.
// One process accepts; each client gets a forked worker that probes the
// backends in order, takes the first one that answers and is free (else the
// first that is not down), and relays with one 4096-byte buffer and select().
// The backends' states (0 free, 1 busy, 2 down) are one int each in a
// System V segment that every worker shares. Nothing more: no configuration
// file, no logging, no limits on a session, no sandbox, no socket options
// (but SO_REUSEADDR on the listener, so that runs can follow one another).
// What dovra costs beyond this is the price of what it guarantees.
//
// Usage: bench_proto_s PORT SERVERPORT MAXCLIENTS SERVER...
// SERVER: an IPv4 address in dotted form. Listens on 127.0.0.1:PORT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum { FREE = 0, BUSY = 1, DOWN = 2 };

// Workers alive. Lock-free, so the handler's decrement and the accept
// loop's increment cannot lose one another.
std::atomic<int> children{0};
volatile int *status;  // per backend, in the shared segment
sockaddr_in *servers;
int nservers;

void on_child(int)
{
    const int saved = errno;
    int st;
    while (waitpid(-1, &st, WNOHANG) > 0)
        --children;
    errno = saved;
}

// A blocking connection to backend i, or -1.
int connect_to(int i)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&servers[i]), sizeof servers[i]) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The first backend that answers a probe and is free; else the first that
// is not down; else -1.
int choose()
{
    for (int i = 0; i < nservers; ++i) {
        int fd = connect_to(i);
        if (fd < 0) {
            status[i] = DOWN;
            continue;
        }
        close(fd);
        if (status[i] == DOWN)
            status[i] = FREE;
        if (status[i] == FREE)
            return i;
    }
    for (int i = 0; i < nservers; ++i)
        if (status[i] != DOWN)
            return i;
    return -1;
}

// One read from `from`, sent whole to `to`; 0 when the session is over.
// MSG_NOSIGNAL: a side gone mid-send ends the session, not the worker by
// SIGPIPE, which would leave its backend marked busy.
int pass(int from, int to, char *buf)
{
    ssize_t n = recv(from, buf, 4096, 0);
    if (n <= 0)
        return 0;
    for (ssize_t off = 0; off < n;) {
        ssize_t k = send(to, buf + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return 0;
        off += k;
    }
    return 1;
}

[[noreturn]] void worker(int client)
{
    int i = choose();
    if (i < 0) {
        close(client);
        exit(0);
    }
    status[i] = BUSY;
    int server = connect_to(i);
    if (server >= 0) {
        char buf[4096];
        for (;;) {
            fd_set r;
            FD_ZERO(&r);
            FD_SET(client, &r);
            FD_SET(server, &r);
            if (select((client > server ? client : server) + 1, &r, nullptr, nullptr, nullptr) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (FD_ISSET(client, &r) && !pass(client, server, buf))
                break;
            if (FD_ISSET(server, &r) && !pass(server, client, buf))
                break;
        }
        close(server);
    }
    close(client);
    status[i] = server >= 0 ? FREE : DOWN;
    exit(0);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: bench_proto_s PORT SERVERPORT MAXCLIENTS SERVER...\n");
        return 2;
    }
    const int maxclients = atoi(argv[3]);
    nservers = argc - 4;
    servers = static_cast<sockaddr_in *>(calloc(static_cast<size_t>(nservers), sizeof(sockaddr_in)));
    for (int i = 0; i < nservers; ++i) {
        servers[i].sin_family = AF_INET;
        servers[i].sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
        if (inet_pton(AF_INET, argv[4 + i], &servers[i].sin_addr) != 1) {
            fprintf(stderr, "bench_proto_s: %s is not an IPv4 address\n", argv[4 + i]);
            return 2;
        }
    }

    // Removed as soon as it is attached, so it ends with the last process
    // that holds it and can never be left behind.
    const int shm = shmget(IPC_PRIVATE, static_cast<size_t>(nservers) * sizeof(int), IPC_CREAT | 0600);
    void *seg = shmat(shm, nullptr, 0);
    shmctl(shm, IPC_RMID, nullptr);
    if (seg == reinterpret_cast<void *>(-1)) {
        perror("bench_proto_s: shared memory");
        return 1;
    }
    status = static_cast<volatile int *>(seg);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_child;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &sa, nullptr);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        listen(listener, 10) < 0) {
        perror("bench_proto_s: listen");
        return 1;
    }

    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;  // EINTR (a worker ended), or a client gone before it was taken
        if (children < maxclients) {
            pid_t pid = fork();
            if (pid == 0) {
                close(listener);
                worker(client);
            }
            if (pid > 0)
                ++children;
        }
        close(client);
    }
}
