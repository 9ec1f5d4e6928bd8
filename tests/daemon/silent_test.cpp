// Failures a real network makes and loopback does not, through the real
// daemon: a backend that drops connection attempts, a worker killed under
// its session, clients racing for one backend, a session that goes idle,
// peers that vanish (keepalive, on the system's timers and on the session's
// own), and the table's counts after all of it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <optional>
#include <random>
#include <regex>
#include <sstream>

#include "support/harness.h"

using namespace dovra_test;

namespace {

using clock_type = std::chrono::steady_clock;

bool no_workers(daemon_run &run)
{
    return wait_for([&] { return children_of(run.daemon_pid()).empty(); }, 10s);
}

// A daemon on a port of its own. The launcher returns only once the daemon
// listens, so no connection needs to check that: one would make a worker
// that takes the first backend for a moment, unseen by the test.
struct daemon_under_test {
    std::uint16_t port = free_port();
    std::optional<daemon_run> run;

    daemon_under_test(std::uint16_t backend_port, int backends, int maxclients, const std::string &extra = "")
    {
        std::vector<std::string> servers;
        for (int i = 0; i < backends; ++i)
            servers.push_back(backend_address(i));
        run.emplace((config_text(port, backend_port, maxclients, servers) + extra).c_str());
    }
    bool ready() { return run->launcher_status() == 0 && run->daemon_pid() > 0; }
};

// One byte there and back, within timeout; true when it came back whole.
bool round_trip(int fd, const std::string &text, std::chrono::milliseconds timeout = 10s)
{
    return send_all(fd, text) && recv_some(fd, text.size(), timeout) == text;
}

// Opens a session and returns how long it took until its first echo came.
std::chrono::milliseconds served_after(std::uint16_t port, unique_fd &fd)
{
    auto start = clock_type::now();
    fd = connect_to("127.0.0.1", port);
    EXPECT_TRUE(fd && round_trip(fd.get(), "ping", 20s));
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
}

}  // namespace

// The first of two backends drops every connection attempt. The first
// client waits for the connect deadline and is served by the second; the
// next ones are served at once while the first backend is backed off; once
// it answers again and its back-off has passed, it is chosen again.
TEST(Silent, BackendThatDropsConnectionAttempts)
{
    backend_pool pool(2);
    auto silent = silence(pool, 0);
    if (!silent)
        GTEST_SKIP() << NO_SILENT_BACKEND;
    daemon_under_test d(pool.port(), 2, 8, "connecttimeout 2\n");
    ASSERT_TRUE(d.ready());

    unique_fd first;
    auto waited = served_after(d.port, first);
    EXPECT_GE(waited, 1900ms) << "the first client waits for the deadline on the silent backend";
    EXPECT_LT(waited, 8s) << "served within the deadline, not the system's connect time-out";
    first.reset();
    for (int n = 0; n < 3; ++n) {
        unique_fd next;
        EXPECT_LT(served_after(d.port, next), 1500ms) << "client " << n + 2 << " waited for the silent backend";
    }
    EXPECT_EQ(pool.with_data(1), 4);
    EXPECT_EQ(pool.accepted(0), 0);

    // It answers again: within its back-off (5 s) and a probe, a client
    // reaches it; every client meanwhile is served by the second.
    silent.reset();
    pool.start(0);
    auto back = clock_type::now();
    int clients = 0;
    // One client at a time, each worker gone before the next comes, so that
    // none is ever turned away at maxclients.
    EXPECT_TRUE(wait_for([&] {
        unique_fd c;
        served_after(d.port, c);
        c.reset();
        ++clients;
        EXPECT_TRUE(no_workers(*d.run));
        return pool.with_data(0) == 1;
    }, 20s));
    EXPECT_LT(clock_type::now() - back, 15s);
    EXPECT_EQ(pool.with_data(1), 4 + clients - 1);
    ASSERT_TRUE(no_workers(*d.run));
    EXPECT_EQ(d.run->err(), "");
}

// A worker SIGKILLed mid-session leaves no backend taken: the daemon lets
// go of it when it reaps the worker, and the next client gets the first
// backend again, each time.
TEST(Silent, WorkerKilledMidSessionFreesItsBackend)
{
    backend_pool pool(2);
    daemon_under_test d(pool.port(), 2, 8);
    ASSERT_TRUE(d.ready());
    const pid_t daemon = d.run->daemon_pid();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        unique_fd c = connect_to("127.0.0.1", d.port);
        ASSERT_TRUE(round_trip(c.get(), "held"));
        EXPECT_EQ(pool.with_data(0), round);
        std::vector<pid_t> workers = children_of(daemon);
        ASSERT_EQ(workers.size(), 1u);
        kill(workers[0], SIGKILL);
        EXPECT_TRUE(closed_without_data(c.get()));
        ASSERT_TRUE(no_workers(*d.run));
    }
    unique_fd after = connect_to("127.0.0.1", d.port);
    ASSERT_TRUE(round_trip(after.get(), "first"));
    EXPECT_EQ(pool.with_data(0), 4);
    EXPECT_EQ(pool.with_data(1), 0);
}

// A backend that refuses a probe for a moment while a session runs on it
// is down, but still busy: once it answers again, the next client is not
// given it as free while that session lasts.
TEST(Silent, PassingFailureDoesNotFreeABusyBackend)
{
    backend_pool pool(2);
    daemon_under_test d(pool.port(), 2, 8);
    ASSERT_TRUE(d.ready());
    unique_fd running = connect_to("127.0.0.1", d.port);
    ASSERT_TRUE(round_trip(running.get(), "on the first"));
    pool.stop(0);  // refuses from now on; the open session goes on
    {
        unique_fd passing = connect_to("127.0.0.1", d.port);
        ASSERT_TRUE(round_trip(passing.get(), "while it refuses"));
    }
    EXPECT_EQ(pool.with_data(1), 1);
    // Its worker gone: the second backend is free again.
    ASSERT_TRUE(wait_for([&] { return children_of(d.run->daemon_pid()).size() == 1; }));
    pool.start(0);
    unique_fd next = connect_to("127.0.0.1", d.port);
    ASSERT_TRUE(round_trip(next.get(), "after"));
    EXPECT_EQ(pool.with_data(0), 1) << "the running session's backend was given out as free";
    EXPECT_EQ(pool.with_data(1), 2);
    EXPECT_TRUE(round_trip(running.get(), "still on the first"));
}

// Clients that arrive together, as many as there are free backends: each
// gets a backend of its own, never two the same one.
TEST(Silent, RacingClientsNeverShareAFreeBackend)
{
    constexpr int N = 4;
    backend_pool pool(N);
    daemon_under_test d(pool.port(), N, 2 * N);
    ASSERT_TRUE(d.ready());
    for (int round = 1; round <= 40 && !testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE(round);
        std::vector<unique_fd> fds(N);
        std::barrier together(N);
        std::vector<std::thread> clients;
        for (int i = 0; i < N; ++i) {
            clients.emplace_back([&, i] {
                together.arrive_and_wait();
                fds[static_cast<std::size_t>(i)] = connect_to("127.0.0.1", d.port);
                EXPECT_TRUE(round_trip(fds[static_cast<std::size_t>(i)].get(), "r"));
            });
        }
        for (auto &t : clients)
            t.join();
        for (int i = 0; i < N; ++i)
            EXPECT_EQ(pool.with_data(i), round) << "backend " << i;
        fds.clear();
        ASSERT_TRUE(no_workers(*d.run));
    }
}

// With idletimeout 1, a session that moves nothing ends after about a
// second, in order, with what it had echoed; a session that keeps moving
// bytes lives on, every byte intact.
TEST(Silent, IdleSessionEndsWhileActiveOneLivesOn)
{
    backend_pool pool(2);
    daemon_under_test d(pool.port(), 2, 8, "idletimeout 1\n");
    ASSERT_TRUE(d.ready());
    unique_fd idle = connect_to("127.0.0.1", d.port);
    ASSERT_TRUE(round_trip(idle.get(), "quiet"));
    auto went_quiet = clock_type::now();
    unique_fd active = connect_to("127.0.0.1", d.port);
    ASSERT_TRUE(round_trip(active.get(), "busy"));

    std::atomic<bool> idle_ended{false};
    std::thread watcher([&] {
        char byte;
        // An orderly end: no byte, then end of stream.
        pollfd p{idle.get(), POLLIN, 0};
        if (poll(&p, 1, 10000) == 1 && recv(idle.get(), &byte, 1, 0) == 0)
            idle_ended = true;
    });
    const std::string data = random_bytes(4000, 25);
    std::string echoed;
    std::size_t at = 0;
    // Keeps moving a few bytes every 100 ms for 3 s: three idle limits.
    while (clock_type::now() - went_quiet < 3s && at < data.size()) {
        std::string piece = data.substr(at, 40);
        ASSERT_TRUE(send_all(active.get(), piece));
        echoed += recv_some(active.get(), piece.size());
        at += piece.size();
        std::this_thread::sleep_for(100ms);
    }
    watcher.join();
    auto idle_life = clock_type::now() - went_quiet;
    EXPECT_TRUE(idle_ended);
    EXPECT_GE(idle_life, 900ms);
    EXPECT_EQ(echoed, data.substr(0, at));
    ASSERT_TRUE(round_trip(active.get(), "still here"));
    active.reset();
    ASSERT_TRUE(no_workers(*d.run));
    EXPECT_EQ(d.run->err(), "");
}

// Both sockets of a live session have keepalive on: the system's socket
// list shows a keepalive timer on the worker's client socket and on its
// backend socket, and none on the client's own. With keepalive 30 the first
// probe of each is due within 30 seconds ("timer:(keepalive,29sec,0)"), where
// the system's timers show two hours.
TEST(Silent, KeepaliveOnBothSocketsOfASession)
{
    if (std::system("ss -V >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ss(8) is not available to list socket timers";
    const std::regex own_timer(".*timer:\\(keepalive,([0-9]+)sec,0\\).*");
    for (const std::string setting : {"", "keepalive 30\n"}) {
        SCOPED_TRACE(setting);
        backend_pool pool(1);
        daemon_under_test d(pool.port(), 1, 4, setting);
        ASSERT_TRUE(d.ready());
        // The start-up summary shows the setting when it is given.
        EXPECT_EQ(d.run->out().find("\n keepalive 30\n") != std::string::npos, !setting.empty()) << d.run->out();
        unique_fd c = connect_to("127.0.0.1", d.port);
        ASSERT_TRUE(round_trip(c.get(), "alive"));

        const std::string listen_end = "127.0.0.1:" + std::to_string(d.port);
        const std::string backend_end = backend_address(0) + ":" + std::to_string(pool.port());
        FILE *ss = popen("ss -tnoH state established", "r");
        ASSERT_NE(ss, nullptr);
        std::string text;
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, ss)) > 0)
            text.append(buf, n);
        pclose(ss);
        // Lines: Recv-Q Send-Q Local Peer [timer:(...)]
        int worker_client = 0;
        int worker_backend = 0;
        int client_own = 0;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string rq, sq, local, peer;
            fields >> rq >> sq >> local >> peer;
            const bool keepalive = line.find("timer:(keepalive") != std::string::npos;
            const bool worker_end = local == listen_end || (peer == backend_end && local.rfind("127.0.0.1:", 0) == 0);
            if (worker_end) {
                EXPECT_TRUE(keepalive) << line;
                std::smatch m;
                if (!setting.empty()) {
                    EXPECT_TRUE(std::regex_match(line, m, own_timer) && std::stoi(m[1]) <= 30) << line;
                }
                ++(local == listen_end ? worker_client : worker_backend);
            } else if (peer == listen_end) {
                EXPECT_FALSE(keepalive) << line;
                ++client_own;
            }
        }
        EXPECT_EQ(worker_client, 1) << text;
        EXPECT_EQ(worker_backend, 1) << text;
        EXPECT_EQ(client_own, 1) << text;
    }
}

// Sessions by many clients at once, some of whose workers are SIGKILLed
// under them: afterwards every backend is free, so three clients held open
// at once reach backends 0, 1 and 2 in order and a fourth shares the first.
TEST(Silent, NoAccountingDriftAfterFinishedAndKilledWorkers)
{
    backend_pool pool(3);
    daemon_under_test d(pool.port(), 3, 16);
    ASSERT_TRUE(d.ready());
    const pid_t daemon = d.run->daemon_pid();
    std::atomic<int> verified{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 12; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int s = 0; s < 25 && !stop; ++s) {
                unique_fd c = connect_to("127.0.0.1", d.port);
                if (!c)
                    continue;
                std::string data = random_bytes(1 + rng() % 20000, rng());
                std::string got = send_all(c.get(), data) ? recv_some(c.get(), data.size(), 10s) : "";
                // A killed worker cuts its session short; what came is intact.
                EXPECT_EQ(got, data.substr(0, got.size()));
                if (got == data)
                    verified++;
            }
        });
    }
    std::mt19937 rng(7);
    for (int kills = 0; kills < 30; ++kills) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 40));
        std::vector<pid_t> workers = children_of(daemon);
        if (!workers.empty())
            kill(workers[rng() % workers.size()], SIGKILL);
    }
    for (auto &t : clients)
        t.join();
    EXPECT_GT(verified, 0);
    ASSERT_TRUE(no_workers(*d.run));

    int before[3];
    for (int i = 0; i < 3; ++i)
        before[i] = pool.with_data(i);
    std::vector<unique_fd> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(connect_to("127.0.0.1", d.port));
        ASSERT_TRUE(round_trip(held.back().get(), "h"));
        const int want = i % 3;
        EXPECT_EQ(pool.with_data(want), before[want] + (i < 3 ? 1 : 2)) << "client " << i;
    }
}

namespace {

// A listener at backend_address(index):port whose accept queue holds one
// connection and that never accepts: the first connection attempt is
// answered, and every one after it dropped without an answer.
unique_fd one_place_listener(int index, std::uint16_t port)
{
    unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    int on = 1;
    if (!fd || inet_pton(AF_INET, backend_address(index).c_str(), &a.sin_addr) != 1 ||
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd.get(), 0) != 0)
        return {};
    return fd;
}

// Whether a connection attempt to address:port goes unanswered for 300 ms.
bool unanswered(const std::string &address, std::uint16_t port)
{
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 || errno != EINPROGRESS)
        return false;
    pollfd p{fd.get(), POLLOUT, 0};
    return poll(&p, 1, 300) == 0;
}

}  // namespace

// A backend that answers the probe and then drops the session's own
// connection attempt: the session is not counted as served, and its timeout
// is no failed probe; the backend is backed off as a silent one.
TEST(Silent, SessionWhoseConnectionFailsIsNotServed)
{
    const std::uint16_t backend_port = free_port();
    {
        unique_fd check = one_place_listener(1, backend_port);
        ASSERT_TRUE(check);
        unique_fd first = connect_to(backend_address(1), backend_port);
        if (!first || !unanswered(backend_address(1), backend_port))
            GTEST_SKIP() << "this system does not hold a listen queue of 0 to one connection";
    }
    unique_fd backend = one_place_listener(0, backend_port);
    ASSERT_TRUE(backend);
    daemon_under_test d(backend_port, 1, 5, "connecttimeout 1\n");
    ASSERT_TRUE(d.ready());
    unique_fd c = connect_to("127.0.0.1", d.port);
    ASSERT_TRUE(c);
    EXPECT_TRUE(closed_without_data(c.get(), 5s));
    ASSERT_TRUE(no_workers(*d.run));
    EXPECT_EQ(d.run->err(), "Failed attempting to redirect data: Connection timed out\n");
    const std::string before = d.run->out();
    ASSERT_EQ(kill(d.run->daemon_pid(), SIGUSR1), 0);
    ASSERT_TRUE(wait_for([&] { return d.run->out().find("server 1 ", before.size()) != std::string::npos; }));
    const std::string report = d.run->out().substr(before.size());
    EXPECT_NE(report.find("since start 0 served, 0 refused at maxclients, 0 with every server down;"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("server 1 127.0.0.2: down, 0 open, 0 served, connect timed out, skipped for "),
              std::string::npos)
        << report;
}
