// The benchmark's load generator. Every mode checks what comes back and
// prints one line of "key=value" fields; a run with errors says so and exits 1.
//
//   bench_load bulk HOST PORT SECONDS [PID]
//       one session; sends a known byte stream while reading its echo, both
//       at once; every byte is compared. Prints MiB/s of echoed bytes, and
//       with PID the CPU time PID's process tree spent per GiB echoed.
//   bench_load conn HOST PORT CONCURRENCY SECONDS MAXCONN [PID]
//       connect, 64-byte echo, close, from CONCURRENCY threads, until SECONDS
//       or MAXCONN connections; conn/s, p50/p99 latency. With PID, also the
//       CPU time (user+system, reaped children included) that PID's process
//       tree spent per connection.
//   bench_load ping HOST PORT COUNT SECONDS
//       64-byte round trips over one session; p50/p99.
//   bench_load rr HOST PORT SIZE COUNT SECONDS
//       request/response over one kept-alive session with bench_echo's reply
//       protocol: a 4-byte request, a SIZE-byte reply (every byte checked),
//       the next request once the whole reply is in, until COUNT or SECONDS;
//       requests/s, p50/p99 of a round trip.
//   bench_load idle HOST PORT SESSIONS PID
//       opens SESSIONS sessions (each checked with one echo) and reports the
//       growth of PSS and private memory of PID's process tree per session.
//   bench_load fork COUNT
//       COUNT times: fork a child that exits at once, and wait for it;
//       p50/p99 of one fork+exit+wait. Nothing else of the benchmark costs
//       the system so much per connection, so this says how busy the
//       machine is for the process-per-client forwarders.
//   bench_load daemon DIR BINARY
//       runs BINARY, a launcher that detaches a daemon, in DIR as a child
//       subreaper, writes the daemon's pid to DIR/daemon.pid, and on SIGTERM
//       or SIGINT (or after 20 minutes) ends the daemon and every worker left
//       by pid and reaps them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

sockaddr_in target;

int connect_target()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Bounds connect, send and recv alike.
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof target) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) {
            if (k < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

// Reads exactly n bytes (each recv bounded by the socket's time-out).
bool recv_all(int fd, char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t k = recv(fd, p, n, 0);
        if (k <= 0) {
            if (k < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

// The byte stream of a session: a fixed pseudo-random block repeated. Its
// length is prime to 4096 so that no two chunks of the relay look alike.
constexpr std::size_t PATTERN = (1u << 20) + 7;
std::vector<char> pattern;

void make_pattern()
{
    pattern.resize(2 * PATTERN);
    std::uint64_t x = 0x9e3779b97f4a7c15ull;
    for (std::size_t i = 0; i < PATTERN; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        pattern[i] = static_cast<char>(x >> 24);
    }
    std::copy(pattern.begin(), pattern.begin() + PATTERN, pattern.begin() + PATTERN);
}

double percentile(std::vector<double> &v, double p)
{
    if (v.empty())
        return 0;
    std::size_t k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

// ---- process tree of a forwarder, from /proc ----

// The fields of /proc/<pid>/stat after the command name, or an empty string.
std::string stat_fields(int pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return {};
    char buf[1024];
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char *close_paren = std::strrchr(buf, ')');
    return close_paren == nullptr ? std::string() : std::string(close_paren + 1);
}

// Every process's pid, state, parent, process group and session.
struct proc_entry {
    int pid;
    char state;
    int ppid;
    int pgrp;
    int sid;
};

std::vector<proc_entry> processes()
{
    std::vector<proc_entry> all;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return all;
    while (dirent *e = readdir(d)) {
        proc_entry p{std::atoi(e->d_name), 0, 0, 0, 0};
        if (p.pid > 0 && std::sscanf(stat_fields(p.pid).c_str(), " %c %d %d %d", &p.state, &p.ppid, &p.pgrp, &p.sid) == 4)
            all.push_back(p);
    }
    closedir(d);
    return all;
}

std::vector<int> tree_of(int root)
{
    const std::vector<proc_entry> all = processes();
    std::vector<int> tree{root};
    for (std::size_t i = 0; i < tree.size(); ++i)
        for (const proc_entry &p : all)
            if (p.ppid == tree[i])
                tree.push_back(p.pid);
    return tree;
}

// utime+stime+cutime+cstime of the tree, in seconds.
double tree_cpu(int root)
{
    double ticks = 0;
    for (int pid : tree_of(root)) {
        // Fields after the command: state(3) ... utime(14) stime(15) cutime(16) cstime(17).
        unsigned long long v[4] = {};
        char state;
        if (std::sscanf(stat_fields(pid).c_str(), " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %llu %llu",
                        &state, &v[0], &v[1], &v[2], &v[3]) == 5)
            ticks += static_cast<double>(v[0] + v[1] + v[2] + v[3]);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct memory {
    double pss_kib = 0;
    double private_kib = 0;
    int processes = 0;
};

memory tree_memory(int root)
{
    memory m;
    for (int pid : tree_of(root)) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/smaps_rollup", pid);
        FILE *f = std::fopen(path, "r");
        if (f == nullptr)
            continue;
        ++m.processes;
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            double kib;
            if (std::sscanf(line, "Pss: %lf kB", &kib) == 1)
                m.pss_kib += kib;
            else if (std::sscanf(line, "Private_Clean: %lf kB", &kib) == 1 ||
                     std::sscanf(line, "Private_Dirty: %lf kB", &kib) == 1)
                m.private_kib += kib;
        }
        std::fclose(f);
    }
    return m;
}

// ---- modes ----

int run_bulk(double seconds, int pid)
{
    const double cpu0 = pid > 0 ? tree_cpu(pid) : 0;
    int fd = connect_target();
    if (fd < 0) {
        std::printf("error=connect\n");
        return 1;
    }
    // The byte stream is checked as it comes back; the sender stays at most
    // a few MiB ahead so that the measure is the relay, not queued buffers.
    constexpr std::size_t CHUNK = 64 * 1024;
    constexpr std::uint64_t MAX_AHEAD = 4u << 20;
    std::vector<char> in(CHUNK);
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    bool done_sending = false;
    bool ok = true;
    const auto t0 = clock_type::now();
    double elapsed = 0;
    while (ok) {
        elapsed = seconds_since(t0);
        // No half-close at the end: a relay may end the whole session on
        // it, so the last echoed bytes are awaited by count instead.
        if (elapsed >= seconds)
            done_sending = true;
        if (done_sending && received == sent)
            break;
        if (elapsed > seconds + 10) {
            ok = false;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (!done_sending && sent - received < MAX_AHEAD)
            p.events |= POLLOUT;
        if (poll(&p, 1, 1000) < 0)
            continue;
        if (p.revents & POLLOUT) {
            std::size_t off = sent % PATTERN;
            ssize_t n = send(fd, pattern.data() + off, CHUNK, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<std::uint64_t>(n);
            else if (n < 0 && errno != EAGAIN)
                ok = false;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(fd, in.data(), CHUNK, MSG_DONTWAIT);
            if (n > 0) {
                if (std::memcmp(in.data(), pattern.data() + received % PATTERN, static_cast<std::size_t>(n)) != 0)
                    ok = false;
                received += static_cast<std::uint64_t>(n);
                if (received > sent)
                    ok = false;
            } else if (n == 0 || errno != EAGAIN) {
                ok = done_sending && received == sent;
                break;
            }
        }
    }
    elapsed = seconds_since(t0);
    close(fd);
    if (!ok) {
        std::printf("error=bulk sent=%llu received=%llu\n", static_cast<unsigned long long>(sent),
                    static_cast<unsigned long long>(received));
        return 1;
    }
    std::printf("mibps=%.1f bytes=%llu", static_cast<double>(received) / elapsed / (1 << 20),
                static_cast<unsigned long long>(received));
    if (pid > 0) {
        usleep(100000);  // the worker's exit, for forwarders that fork
        std::printf(" cpu_ms_per_gib=%.0f", (tree_cpu(pid) - cpu0) * 1e3 / (static_cast<double>(received) / (1 << 30)));
    }
    std::printf("\n");
    return 0;
}

// One connection: connect, 64-byte echo, close. Its latency in µs, or -1.
double one_connection(unsigned salt)
{
    const auto t0 = clock_type::now();
    int fd = connect_target();
    if (fd < 0)
        return -1;
    const char *msg = pattern.data() + (salt * 977u) % PATTERN;
    char back[64];
    bool ok = send_all(fd, msg, 64) && recv_all(fd, back, 64) && std::memcmp(back, msg, 64) == 0;
    close(fd);
    return ok ? seconds_since(t0) * 1e6 : -1;
}

int run_conn(int concurrency, double seconds, long max_conn, int pid)
{
    std::atomic<long> issued{0};
    std::atomic<long> errors{0};
    std::vector<std::vector<double>> lat(static_cast<std::size_t>(concurrency));
    const double cpu0 = pid > 0 ? tree_cpu(pid) : 0;
    const auto t0 = clock_type::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < concurrency; ++t) {
        threads.emplace_back([&, t] {
            auto &mine = lat[static_cast<std::size_t>(t)];
            mine.reserve(static_cast<std::size_t>(max_conn / concurrency + 1));
            for (;;) {
                long k = issued.fetch_add(1);
                if (k >= max_conn || seconds_since(t0) >= seconds)
                    break;
                double us = one_connection(static_cast<unsigned>(k));
                if (us < 0)
                    errors.fetch_add(1);
                else
                    mine.push_back(us);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    const double elapsed = seconds_since(t0);
    std::vector<double> all;
    for (auto &v : lat)
        all.insert(all.end(), v.begin(), v.end());
    const double done = static_cast<double>(all.size());
    std::printf("cps=%.0f p50_us=%.0f p99_us=%.0f conns=%zu errors=%ld", done / elapsed,
                percentile(all, 0.50), percentile(all, 0.99), all.size(), errors.load());
    if (pid > 0) {
        // Workers end after their client has gone: let the forwarder reap them.
        std::size_t settled = tree_of(pid).size();
        for (int i = 0; i < 100; ++i) {
            usleep(20000);
            std::size_t now = tree_of(pid).size();
            if (now == settled && i >= 5)
                break;
            settled = now;
        }
        const double cpu = tree_cpu(pid) - cpu0;
        std::printf(" cpu_us_per_conn=%.1f", done > 0 ? cpu * 1e6 / done : 0);
    }
    std::printf("\n");
    return errors.load() == 0 && !all.empty() ? 0 : 1;
}

int run_ping(long count, double seconds)
{
    int fd = connect_target();
    if (fd < 0) {
        std::printf("error=connect\n");
        return 1;
    }
    std::vector<double> rtt;
    rtt.reserve(static_cast<std::size_t>(count));
    char back[64];
    bool ok = true;
    const auto t0 = clock_type::now();
    for (long i = 0; i < count && seconds_since(t0) < seconds; ++i) {
        const char *msg = pattern.data() + (static_cast<std::size_t>(i) * 131u) % PATTERN;
        const auto s = clock_type::now();
        if (!send_all(fd, msg, 64) || !recv_all(fd, back, 64) || std::memcmp(back, msg, 64) != 0) {
            ok = false;
            break;
        }
        rtt.push_back(seconds_since(s) * 1e6);
    }
    close(fd);
    if (!ok) {
        std::printf("error=ping after=%zu\n", rtt.size());
        return 1;
    }
    const std::size_t n = rtt.size();
    std::printf("p50_us=%.1f p99_us=%.1f pings=%zu\n", percentile(rtt, 0.50), percentile(rtt, 0.99), n);
    return 0;
}

int run_rr(std::uint32_t size, long count, double seconds)
{
    int fd = connect_target();
    if (fd < 0) {
        std::printf("error=connect\n");
        return 1;
    }
    // bench_echo's magic, sent with the first request in one piece.
    char request[12] = {'R', 'R', 'v', '1', '\r', '\n', '\r', '\n'};
    for (int i = 0; i < 4; ++i)
        request[8 + i] = static_cast<char>(size >> (24 - 8 * i));
    std::vector<char> expected(size);
    for (std::uint32_t k = 0; k < size; ++k)
        expected[k] = static_cast<char>(k % 251);
    std::vector<char> reply(size);
    std::vector<double> rtt;
    rtt.reserve(static_cast<std::size_t>(count));
    bool ok = true;
    const auto t0 = clock_type::now();
    for (long i = 0; i < count && seconds_since(t0) < seconds; ++i) {
        const auto s = clock_type::now();
        const char *req = i == 0 ? request : request + 8;
        if (!send_all(fd, req, i == 0 ? 12 : 4) || !recv_all(fd, reply.data(), size) ||
            std::memcmp(reply.data(), expected.data(), size) != 0) {
            ok = false;
            break;
        }
        rtt.push_back(seconds_since(s) * 1e6);
    }
    const double elapsed = seconds_since(t0);
    close(fd);
    if (!ok) {
        std::printf("error=rr after=%zu\n", rtt.size());
        return 1;
    }
    const std::size_t n = rtt.size();
    std::printf("rps=%.0f p50_us=%.1f p99_us=%.1f requests=%zu\n", static_cast<double>(n) / elapsed,
                percentile(rtt, 0.50), percentile(rtt, 0.99), n);
    return 0;
}

int run_idle(int sessions, int pid)
{
    const memory before = tree_memory(pid);
    std::vector<int> fds;
    bool ok = true;
    for (int i = 0; i < sessions && ok; ++i) {
        int fd = connect_target();
        if (fd < 0) {
            ok = false;
            break;
        }
        fds.push_back(fd);
        const char *msg = pattern.data() + static_cast<std::size_t>(i) * 64;
        char back[64];
        ok = send_all(fd, msg, 64) && recv_all(fd, back, 64) && std::memcmp(back, msg, 64) == 0;
    }
    usleep(200000);
    const memory after = tree_memory(pid);
    for (int fd : fds)
        close(fd);
    if (!ok) {
        std::printf("error=idle opened=%zu\n", fds.size());
        return 1;
    }
    std::printf("pss_kib_per_session=%.1f private_kib_per_session=%.1f processes=%d pss_kib_base=%.0f\n",
                (after.pss_kib - before.pss_kib) / sessions,
                (after.private_kib - before.private_kib) / sessions, after.processes, before.pss_kib);
    return 0;
}

// Live (not zombie) children of this process; with detached_only, only
// those in a session that is neither this process's nor their own: the
// daemon, not the launcher's middle process before or after its setsid().
std::vector<int> children_of_self(bool detached_only = false)
{
    std::vector<int> kids;
    for (const proc_entry &p : processes()) {
        if (p.ppid == getpid() && p.state != 'Z' && (!detached_only || (p.sid != p.pid && p.sid != getsid(0))))
            kids.push_back(p.pid);
    }
    return kids;
}

int run_daemon(const char *dir, const char *binary)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t launcher = fork();
    if (launcher == 0) {
        sigprocmask(SIG_UNBLOCK, &stop, nullptr);
        if (chdir(dir) == 0)
            execl(binary, binary, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(launcher, &status, 0);
    int daemon_pid = -1;
    for (int i = 0; i < 250 && daemon_pid < 0; ++i) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        auto kids = children_of_self(true);
        if (!kids.empty())
            daemon_pid = kids.front();
        else
            usleep(20000);
    }
    if (daemon_pid < 0) {
        std::fprintf(stderr, "bench_load: %s left no daemon\n", binary);
        return 1;
    }
    const std::string pid_file = std::string(dir) + "/daemon.pid";
    if (FILE *f = std::fopen(pid_file.c_str(), "w")) {
        std::fprintf(f, "%d\n", daemon_pid);
        std::fclose(f);
    }
    timespec life{1200, 0};
    sigtimedwait(&stop, nullptr, &life);
    kill(daemon_pid, SIGTERM);
    // The daemon's workers come to this process when the daemon ends.
    for (int i = 0; i < 250; ++i) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        auto kids = children_of_self();
        if (kids.empty())
            return 0;
        if (i == 100)
            for (int pid : kids)
                kill(pid, SIGKILL);
        usleep(20000);
    }
    return 1;
}

int run_fork(long count)
{
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    long errors = 0;
    for (long i = 0; i < count; ++i) {
        const auto t0 = clock_type::now();
        const pid_t pid = fork();
        if (pid == 0)
            _exit(0);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            ++errors;
            continue;
        }
        us.push_back(seconds_since(t0) * 1e6);
    }
    std::printf("p50_us=%.0f p99_us=%.0f forks=%zu errors=%ld\n", percentile(us, 0.50), percentile(us, 0.99),
                us.size(), errors);
    return errors == 0 && !us.empty() ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_load bulk HOST PORT SECONDS [PID]\n"
                 "       bench_load conn HOST PORT CONCURRENCY SECONDS MAXCONN [PID]\n"
                 "       bench_load ping HOST PORT COUNT SECONDS\n"
                 "       bench_load rr HOST PORT SIZE COUNT SECONDS\n"
                 "       bench_load idle HOST PORT SESSIONS PID\n"
                 "       bench_load fork COUNT\n"
                 "       bench_load daemon DIR BINARY\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "daemon")
        return run_daemon(argv[2], argv[3]);
    if (argc == 3 && std::string(argv[1]) == "fork")
        return run_fork(std::atol(argv[2]));
    if (argc < 5)
        return usage();
    const std::string mode = argv[1];
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[3])));
    if (inet_pton(AF_INET, argv[2], &target.sin_addr) != 1)
        return usage();
    make_pattern();
    if (mode == "bulk")
        return run_bulk(std::atof(argv[4]), argc > 5 ? std::atoi(argv[5]) : 0);
    if (mode == "conn" && argc >= 7)
        return run_conn(std::atoi(argv[4]), std::atof(argv[5]), std::atol(argv[6]),
                        argc > 7 ? std::atoi(argv[7]) : 0);
    if (mode == "ping" && argc >= 6)
        return run_ping(std::atol(argv[4]), std::atof(argv[5]));
    if (mode == "rr" && argc >= 7)
        return run_rr(static_cast<std::uint32_t>(std::atol(argv[4])), std::atol(argv[5]), std::atof(argv[6]));
    if (mode == "idle" && argc >= 6)
        return run_idle(std::atoi(argv[4]), std::atoi(argv[5]));
    return usage();
}
