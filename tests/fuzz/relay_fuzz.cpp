// Drives relay_streams between two loopback TCP connections, one for the
// client and one for the backend, with a script taken from the input: sends
// and receives of any size on the far ends, pauses, small socket buffers, and
// one end of the session: a close, a FIN followed by reading on, or a reset,
// by either side. Under the fuzzer the relay runs on a thread of its own,
// whose coverage the fuzzer sees; built with DOVRA_RELAY_REPLAY, this file is
// instead a program that replays the files it is given, each with the relay
// in a forked child that has entered the session sandbox first, as a worker
// does. Every byte must arrive once and in order. After the end the other
// side reads until the relay's FIN and, once what it sent has reached the
// relay, closes; the relay must then return at once, not after its linger
// bound, and when it ended on an orderly close everything the closing side
// had sent must have reached the other side. An input whose last byte is 'h'
// runs the relay with halfclose: the first FIN then ends its direction alone,
// the other side shuts its own sending side once that FIN has reached it, and
// a closer that reads on must get every byte the other side sent.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/platform.h"
#include "net/net.h"
#include "support/platform.h"

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const char *what)
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
    int size = static_cast<int>(code) * 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// One listener for each buffer size of the relay's end: an accepted socket
// takes its buffers from the listener, so its window matches them from the
// handshake on. A receive buffer shrunk after the handshake would drop
// segments inside the window it had already offered, and the sender's
// retransmission backoff would then look like a relay that lingers.
constexpr int BUFFER_CODES = 4;
int listeners[BUFFER_CODES] = {-1, -1, -1, -1};
sockaddr_in listen_addresses[BUFFER_CODES]{};

// A loopback TCP connection: far is the test's end, near the relay's. Both
// ends' buffers are set before the handshake, so the windows follow them.
bool tcp_pair(unsigned far_buffers, unsigned near_buffers, int &far, int &near)
{
    far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    small_buffers(far, far_buffers);
    const sockaddr_in &to = listen_addresses[near_buffers];
    if (far < 0 || connect(far, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
        return false;
    near = accept(listeners[near_buffers], nullptr, nullptr);
    return near >= 0;
}

// How the first side to end does it.
enum end_mode { END_CLOSE, END_FIN_THEN_READ, END_RESET };

// The relay, on a thread or in a child process.
struct relay_run {
    std::thread thread;
    pid_t pid = -1;
    std::atomic<bool> done{false};
    int result = 1;
    int error = 0;
    clock_type::time_point ended;
};

bool relay_in_sandbox = false;

// A child's exit status carries the relay's result: 0 for 0, an errno for
// -1, and these for what went wrong otherwise.
constexpr int EXIT_NO_SANDBOX = 250;
constexpr int EXIT_ODD_RESULT = 251;

// Starts the relay between the near ends. A child keeps those alone, as a
// worker does: a far end still open in it would never close.
void start_relay(relay_run &relay, const relay_options &options, int client_near, int backend_near, int client_far,
                 int backend_far)
{
    if (!relay_in_sandbox) {
        relay.thread = std::thread([&relay, options, client_near, backend_near] {
            relay.result = relay_streams(client_near, backend_near, options);
            relay.error = errno;
            relay.ended = clock_type::now();
            relay.done = true;
        });
        return;
    }
    relay.pid = fork();
    if (relay.pid < 0)
        fail("cannot fork");
    if (relay.pid > 0)
        return;
    close(client_far);
    close(backend_far);
    for (int fd : listeners)
        close(fd);
    if (enter_session_sandbox(client_near, backend_near) < 0)
        _exit(EXIT_NO_SANDBOX);
    const int result = relay_streams(client_near, backend_near, options);
    if (result == -1 && errno > 0 && errno < EXIT_NO_SANDBOX)
        _exit(errno);
    _exit(result == 0 ? 0 : EXIT_ODD_RESULT);
}

void ended(relay_run &relay, int status)
{
    relay.ended = clock_type::now();
    relay.done = true;
    if (!WIFEXITED(status))
        fail("the relay's process was killed by a signal");
    const int code = WEXITSTATUS(status);
    if (code == EXIT_NO_SANDBOX)
        fail("cannot enter the session sandbox");
    relay.result = code == 0 ? 0 : -1;
    relay.error = code == EXIT_ODD_RESULT ? 0 : code;
}

bool relay_done(relay_run &relay)
{
    int status = 0;
    if (!relay.done && relay.pid > 0 && waitpid(relay.pid, &status, WNOHANG) == relay.pid)
        ended(relay, status);
    return relay.done;
}

// Waits for the relay to return.
void join_relay(relay_run &relay)
{
    int status = 0;
    if (relay.pid < 0)
        relay.thread.join();
    else if (!relay.done && waitpid(relay.pid, &status, 0) == relay.pid)
        ended(relay, status);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // As in the daemon: a report to a closed pipe must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    for (int code = 0; code < BUFFER_CODES; ++code) {
        int &fd = listeners[code];
        sockaddr_in &sa = listen_addresses[code];
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        small_buffers(fd, static_cast<unsigned>(code));
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            fail("cannot listen on 127.0.0.1");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    script in{data, size};
    unsigned sizes = in.next();
    int client_far = -1, client_near = -1, backend_far = -1, backend_near = -1;
    if (!tcp_pair(sizes & 3, (sizes >> 4) & 3, client_far, client_near) ||
        !tcp_pair((sizes >> 2) & 3, (sizes >> 6) & 3, backend_far, backend_near))
        fail("cannot connect on loopback");

    peer client{client_far, 0};
    peer backend{backend_far, 1};
    relay_run relay;
    relay_options options;
    options.halfclose = size > 0 && data[size - 1] == 'h';
    start_relay(relay, options, client_near, backend_near, client_far, backend_far);

    // The script, up to its end of the session.
    peer *closer = nullptr;
    unsigned how = 0;
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
        default:
            closer = (n % 2 == 0) ? &client : &backend;
            how = static_cast<unsigned>(n / 2);
            break;
        }
        if (client.eof || backend.eof || relay_done(relay))
            fail("the session ended while both sides were open");
    }
    if (closer == nullptr) {
        how = in.next();
        closer = how % 2 == 0 ? &client : &backend;
        how /= 2;
    }
    const end_mode mode = static_cast<end_mode>(how % 3);
    peer &other = closer == &client ? backend : client;
    switch (mode) {
    case END_CLOSE: close(closer->fd); break;
    case END_FIN_THEN_READ: shutdown(closer->fd, SHUT_WR); break;
    case END_RESET: {
        linger hard{1, 0};
        setsockopt(closer->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close(closer->fd);
        break;
    }
    }
    const bool closer_reads = mode == END_FIN_THEN_READ;
    // The other side may go on sending for a while, and be slow to read on:
    // the relay's socket towards it then holds input, and what the relay
    // still has for it waits unsent.
    for (unsigned pieces = in.next() % 4; pieces > 0; --pieces)
        send_some(other, 4096);
    std::this_thread::sleep_for(std::chrono::microseconds(in.next() * 40));

    // The other side, and a closer that still reads, read until the relay's
    // FIN (or a reset), then close. The relay's ends are closed as soon as it
    // returns, as a worker does.
    auto deadline = clock_type::now() + std::chrono::seconds(20);
    bool near_closed = false;
    bool other_shut = false;
    auto close_near = [&] {
        join_relay(relay);
        close(client_near);
        close(backend_near);
        near_closed = true;
    };
    while (!other.eof || (closer_reads && !closer->eof)) {
        if (clock_type::now() > deadline)
            fail("no FIN came after the session ended");
        if (relay_done(relay) && !near_closed)
            close_near();
        pollfd p[2] = {{other.fd, POLLIN, 0}, {closer_reads ? closer->fd : -1, POLLIN, 0}};
        poll(p, 2, 5);
        if (!other.eof)
            recv_some(other, *closer, 65536);
        if (options.halfclose && other.eof && !other_shut) {
            shutdown(other.fd, SHUT_WR);
            other_shut = true;
        }
        if (closer_reads && !closer->eof)
            recv_some(*closer, other, 65536);
    }
    // What the other side sent must have reached the relay before it closes:
    // a close leaves the rest to the kernel, which sends it at the pace of
    // the relay's window, and only after it does the relay see the close. A
    // tiny window makes that pace slow (zero-window probes), and a relay
    // that gives up at its bound meanwhile is right to.
    while (dovra_test::unsent_bytes(other.fd) > 0 && !relay_done(relay)) {
        if (clock_type::now() > deadline)
            fail("what the other side sent never reached the relay");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(other.fd);
    if (closer_reads)
        close(closer->fd);
    const auto both_closed = clock_type::now();
    if (!near_closed)
        close_near();

    if (relay.ended - both_closed > std::chrono::milliseconds(RELAY_LINGER_MS * 3 / 4))
        fail("the relay waited for its bound although both sides had closed");
    if (relay.result != 0 && relay.result != -1)
        fail("relay result neither 0 nor -1");
    if (relay.result == -1 && relay.error != ECONNRESET && relay.error != EPIPE)
        fail("relay failed with an unexpected errno");
    if (mode == END_FIN_THEN_READ && relay.result != 0)
        fail("a FIN from a side that still reads did not end the session in order");
    if (relay.result == 0 && other.got != closer->sent)
        fail("an orderly close lost bytes the closing side had sent");
    if (options.halfclose && closer_reads && closer->got != other.sent)
        fail("with halfclose, bytes sent after the first FIN did not reach a closer that reads on");
    return 0;
}

#ifdef DOVRA_RELAY_REPLAY
#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Replays every file of the directories given, in name order.
int main(int argc, char **argv)
{
    relay_in_sandbox = true;
    LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::string> names;
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr)
            fail("cannot read a corpus directory");
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.push_back(std::string(argv[i]) + "/" + entry->d_name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::ifstream in(name, std::ios::binary);
            const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
            std::printf("replayed %s\n", name.c_str());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed, the relay in the session sandbox\n", replayed);
    return replayed > 0 ? 0 : 1;
}
#endif
