// dovra-demo: small backends that `./build.sh run` starts where the
// configuration names loopback servers and nothing listens, so that a new
// user sees bytes forwarded and which backend served them. Not installed.
//
// Usage: dovra-demo PORT ADDRESS...
// Listens on every ADDRESS at PORT, then detaches: it returns 0 once every
// listener is open, or 1 with the reason on standard error when one cannot
// be opened. The detached process serves until it is killed.
//
// Each connection is one session of the backend whose address it reached:
// - one that closes before sending anything is one of dovra's probes, and is
//   neither answered nor counted;
// - one that starts with an HTTP request line (curl, wget, fetch) gets one
//   short HTTP/1.0 reply naming the backend, and is closed;
// - any other, once it has sent something or stayed silent for a moment
//   (nc), is greeted with the backend's name and then gets every line back
//   with that name in front, until it closes.
// The greeting and the reply tell how many sessions that backend has had and
// how many are open there now, so that first-free order and sharing show.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>

namespace {

constexpr int MAX_BACKENDS = 10;
// Sessions served at once over all backends; more are closed at once, so
// that a loop of clients cannot make the demo exhaust threads or memory.
constexpr int MAX_OPEN = 64;
// How long a new connection may stay silent before it is taken for an
// interactive one and greeted: long enough for an HTTP client's request to
// come through dovra, short enough to feel immediate at a terminal.
constexpr int SILENCE_MS = 300;
constexpr std::size_t MAX_REQUEST = 8192;

struct backend {
    int listener = -1;
    std::string name;  // "127.0.0.2:8000"
    std::atomic<int> sessions{0};
    std::atomic<int> open{0};
};

backend backends[MAX_BACKENDS];
int backend_count = 0;
std::atomic<int> open_total{0};

struct session {
    int fd;
    backend *b;
};

bool send_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Waits up to ms for fd to be readable, then reads what is there. Returns the
// count read, 0 at the peer's close, -1 on a failure, or -2 when ms passed.
ssize_t read_within(int fd, char *buf, std::size_t size, int ms)
{
    pollfd p{fd, POLLIN, 0};
    int ready;
    do
        ready = poll(&p, 1, ms);
    while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return -2;
    if (ready < 0)
        return -1;
    ssize_t n;
    do
        n = recv(fd, buf, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

// An HTTP request starts with a method in capitals, a blank and a path.
bool http_request(const std::string &head)
{
    std::size_t i = 0;
    while (i < head.size() && head[i] >= 'A' && head[i] <= 'Z')
        ++i;
    return i > 0 && i + 1 < head.size() && head[i] == ' ' && head[i + 1] == '/';
}

std::string served_line(backend &b)
{
    const int n = ++b.sessions;
    return "Served by demo backend " + b.name + ": session " + std::to_string(n) + " there, " +
           std::to_string(b.open.load()) + " open there now.\n";
}

void answer_http(int fd, backend &b, std::string request)
{
    char buf[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.find("\n\n") == std::string::npos &&
           request.size() < MAX_REQUEST) {
        const ssize_t n = read_within(fd, buf, sizeof buf, 2000);
        if (n <= 0)
            break;
        request.append(buf, static_cast<std::size_t>(n));
    }
    const std::string body = served_line(b);
    send_all(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\n\r\n" + body);
    // A FIN after the reply, and the rest of the request read before the
    // close, so that nothing unread turns the close into a reset that could
    // overtake the reply.
    shutdown(fd, SHUT_WR);
    while (read_within(fd, buf, sizeof buf, 1000) > 0) {
    }
}

void echo_lines(int fd, backend &b, const char *first, std::size_t first_size)
{
    send_all(fd, served_line(b) + "Type a line and it comes back from there; Ctrl-C ends the session.\n");
    const std::string prefix = b.name + ": ";
    bool line_start = true;
    char buf[4096];
    std::size_t n = first_size;
    std::memcpy(buf, first, n);
    for (;;) {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) {
            if (line_start)
                out += prefix;
            out += buf[i];
            line_start = buf[i] == '\n';
        }
        if (!send_all(fd, out))
            return;
        const ssize_t got = read_within(fd, buf, sizeof buf, -1);
        if (got <= 0)
            return;
        n = static_cast<std::size_t>(got);
    }
}

void *serve(void *arg)
{
    const session s = *static_cast<session *>(arg);
    delete static_cast<session *>(arg);
    char buf[1024];
    const ssize_t n = read_within(s.fd, buf, sizeof buf, SILENCE_MS);
    if (n == -2 || n > 0) {
        ++s.b->open;
        const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (http_request(std::string(buf, got)))
            answer_http(s.fd, *s.b, std::string(buf, got));
        else
            echo_lines(s.fd, *s.b, buf, got);
        --s.b->open;
    }
    close(s.fd);
    --open_total;
    return nullptr;
}

void start_session(int fd, backend &b)
{
    if (++open_total > MAX_OPEN) {
        --open_total;
        close(fd);
        return;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    auto *s = new session{fd, &b};
    if (pthread_create(&thread, &attr, serve, s) != 0) {
        delete s;
        close(fd);
        --open_total;
    }
    pthread_attr_destroy(&attr);
}

[[noreturn]] void accept_loop()
{
    pollfd fds[MAX_BACKENDS];
    for (;;) {
        for (int i = 0; i < backend_count; ++i)
            fds[i] = pollfd{backends[i].listener, POLLIN, 0};
        if (poll(fds, static_cast<nfds_t>(backend_count), -1) < 0)
            continue;
        for (int i = 0; i < backend_count; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const int fd = accept(backends[i].listener, nullptr, nullptr);
            if (fd >= 0)
                start_session(fd, backends[i]);
            else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                sleep(1);
        }
    }
}

// Returns a listening socket on address:port, or -1 with errno set.
int open_listener(const char *address, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(fd, 16) < 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The launcher returns once the listeners exist; the child, in a session of
// its own and with nothing of the terminal, serves on.
void detach()
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("dovra-demo: fork");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);
    setsid();
    if (chdir("/") < 0)
        _exit(1);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc - 2 > MAX_BACKENDS || std::atoi(argv[1]) <= 0 || std::atoi(argv[1]) > 65535) {
        std::fprintf(stderr, "usage: dovra-demo PORT ADDRESS... (at most %d addresses)\n", MAX_BACKENDS);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    for (int i = 2; i < argc; ++i) {
        backend &b = backends[backend_count++];
        b.name = std::string(argv[i]) + ":" + argv[1];
        b.listener = open_listener(argv[i], port);
        if (b.listener < 0) {
            std::fprintf(stderr, "dovra-demo: cannot listen on %s: %s\n", b.name.c_str(), std::strerror(errno));
            return 1;
        }
    }
    // A session whose client has gone must end in its own thread, not end
    // the process.
    std::signal(SIGPIPE, SIG_IGN);
    detach();
    accept_loop();
}
