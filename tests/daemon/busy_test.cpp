// When every backend is busy or the daemon is full: share least, share none
// with its queue, whenfull wait, and health checks in place of probes; end to
// end with the real daemon binary and loopback backends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "support/harness.h"

using namespace dovra_test;

namespace {

// Answers the client's first byte with the backend's index, then echoes.
void tagging_handler(int fd, int index)
{
    char first = 0;
    if (recv(fd, &first, 1, 0) != 1)
        return;
    const char tag = static_cast<char>('0' + index);
    if (send_all(fd, &tag, 1))
        echo_handler(fd, index);
}

// A daemon in front of count backends, with the optional settings added.
struct rig {
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;
    std::string banner;

    rig(int count, int maxclients, const std::string &settings)
        : pool(count, tagging_handler), run(config(count, maxclients, settings).c_str())
    {
    }
    std::string config(int count, int maxclients, const std::string &settings)
    {
        std::vector<std::string> addresses;
        for (int i = 0; i < count; ++i)
            addresses.push_back(backend_address(i));
        return config_text(port, pool.port(), maxclients, addresses) + settings;
    }
    bool up()
    {
        banner = run.out();
        return run.launcher_status() == 0 && run.daemon_pid() > 0 && banner.ends_with("Daemon Started..\n\n");
    }
    std::string out()
    {
        const std::string text = run.out();
        return text.starts_with(banner) ? text.substr(banner.size()) : "(summary changed) " + text;
    }
    std::vector<std::string> lines_starting(const std::string &prefix) { return dovra_test::lines_starting(out(), prefix); }
    // The status report's lines that start with prefix, asked for now.
    std::vector<std::string> report(const std::string &prefix)
    {
        const std::size_t before = lines_starting("dovra status: ").size();
        if (kill(run.daemon_pid(), SIGUSR1) != 0 ||
            !wait_for([&] { return lines_starting("dovra status: ").size() > before && !lines_starting(prefix).empty(); }))
            return {};
        return {lines_starting(prefix).back()};
    }
    unique_fd client() { return connect_to("127.0.0.1", port); }
    // Sends a session's first byte; the backend's index, or -1 when closed.
    static int tag_of(int fd, std::chrono::milliseconds timeout = 5s)
    {
        const std::string tag = recv_some(fd, 1, timeout);
        return tag.size() == 1 ? tag[0] - '0' : -1;
    }
    int open(unique_fd &c)
    {
        c = client();
        return c && send_all(c.get(), "?") ? tag_of(c.get()) : -1;
    }
    // A client that has sent its first byte and whose worker runs, the
    // workers then numbering workers_after; empty on failure.
    unique_fd waiter(std::size_t workers_after)
    {
        unique_fd c = client();
        if (!c || !send_all(c.get(), "?") || !wait_for([&] { return workers() == workers_after; }))
            return {};
        return c;
    }
    std::size_t workers() { return children_of(run.daemon_pid()).size(); }
};

std::string local_endpoint(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return "?";
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

// share least: once each backend holds a session, the next clients go one
// to each (share first would put them all on the first).
TEST(Busy, ShareLeastJoinsTheBackendWithTheFewestSessions)
{
    rig r(3, 10, "share least\n");
    ASSERT_TRUE(r.up());
    std::vector<unique_fd> held(6);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(r.open(held[i]), i);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(r.open(held[3 + i]), i);
        ASSERT_TRUE(wait_for([&] { return r.pool.open_sessions(i) == 2; }));
    }
    // Fewer sessions win over file order: the second backend's end leaves
    // it the least loaded.
    held[4].reset();
    held[1].reset();
    ASSERT_TRUE(wait_for([&] { return r.workers() == 4; }));
    unique_fd next;
    EXPECT_EQ(r.open(next), 1);
    EXPECT_EQ(r.run.err(), "");
}

// share none: clients wait in order of arrival while both backends are
// held; the first freed goes to the first waiter at once, and one still
// waiting after queuetimeout is closed, counted and logged.
TEST(Busy, ShareNoneQueuesInOrderOfArrivalForAtMostQueuetimeout)
{
    rig r(2, 10, "share none\nqueuetimeout 4\nsessionlog on\n");
    ASSERT_TRUE(r.up());
    unique_fd a, b;
    ASSERT_EQ(r.open(a), 0);
    ASSERT_EQ(r.open(b), 1);
    unique_fd first = r.waiter(3);
    ASSERT_TRUE(first);
    std::this_thread::sleep_for(100ms);
    const auto second_came = std::chrono::steady_clock::now();
    unique_fd second = r.waiter(4);
    ASSERT_TRUE(second);
    // Nobody shares meanwhile.
    EXPECT_EQ(r.report("queue: "), std::vector<std::string>{"queue: 2 waiting for a free server, 0 closed after "
                                                               "queuetimeout since start"});
    EXPECT_EQ(r.pool.with_data(0), 1);
    EXPECT_EQ(r.pool.with_data(1), 1);

    // The second backend comes free; it goes to the first waiter. Timed from
    // the client's close, a little before its worker lets go of the backend.
    b.reset();
    const auto released = std::chrono::steady_clock::now();
    EXPECT_EQ(rig::tag_of(first.get()), 1);
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - released);
    EXPECT_LT(delay, 100ms);
    std::printf("from a release to the first waiter's session: %lld ms\n", static_cast<long long>(delay.count()));

    // The second waiter is closed once its 4 s have passed, and not before.
    EXPECT_TRUE(closed_without_data(second.get(), 8s));
    const auto waited = std::chrono::steady_clock::now() - second_came;
    EXPECT_GE(waited, 4s);
    EXPECT_LT(waited, 6s);
    const std::string line = "refused " + local_endpoint(second.get()) + ": no server free within 4 s (queuetimeout)";
    EXPECT_TRUE(wait_for([&] { return r.lines_starting(line).size() == 1; })) << r.out();
    EXPECT_EQ(r.report("queue: "), std::vector<std::string>{"queue: 0 waiting for a free server, 1 closed after "
                                                               "queuetimeout since start"});
    EXPECT_EQ(r.pool.with_data(0) + r.pool.with_data(1), 3);
    EXPECT_EQ(r.run.err(), "");
}

// The queue holds under its races: a waiter killed as it waits gives its
// place to the next, and two backends freed at once go to the next two.
TEST(Busy, ShareNoneSurvivesAKilledWaiterAndTwoReleasesAtOnce)
{
    rig r(2, 10, "share none\nqueuetimeout 20\n");
    ASSERT_TRUE(r.up());
    unique_fd a, b;
    ASSERT_EQ(r.open(a), 0);
    ASSERT_EQ(r.open(b), 1);
    std::vector<unique_fd> waiters;
    std::vector<pid_t> workers = children_of(r.run.daemon_pid());
    pid_t first = -1;
    for (std::size_t i = 0; i < 3; ++i) {
        waiters.push_back(r.waiter(3 + i));
        ASSERT_TRUE(waiters.back());
        if (i == 0) {
            for (pid_t pid : children_of(r.run.daemon_pid()))
                if (std::find(workers.begin(), workers.end(), pid) == workers.end())
                    first = pid;
        }
    }
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_TRUE(closed_without_data(waiters[0].get()));
    ASSERT_TRUE(wait_for([&] { return r.workers() == 4; }));
    a.reset();
    b.reset();
    // Both within moments, not at the end of queuetimeout.
    const int one = rig::tag_of(waiters[1].get(), 2s);
    const int two = rig::tag_of(waiters[2].get(), 2s);
    EXPECT_TRUE((one == 0 && two == 1) || (one == 1 && two == 0)) << one << " " << two;
    EXPECT_EQ(r.run.err(), "");
}

// Waiting costs next to nothing: 100 clients wait for 10 s behind one held
// backend. Then they are served one by one as each session ends.
TEST(Busy, HundredWaitingClientsCostNoCpuWorthMeasuring)
{
    constexpr int WAITERS = 100;
    rig r(1, WAITERS + 10, "share none\nqueuetimeout 60\nbacklog 200\n");
    ASSERT_TRUE(r.up());
    unique_fd held;
    ASSERT_EQ(r.open(held), 0);
    std::vector<unique_fd> waiting;
    for (int i = 0; i < WAITERS; ++i) {
        waiting.push_back(r.client());
        ASSERT_TRUE(waiting.back() && send_all(waiting.back().get(), "?"));
    }
    ASSERT_TRUE(wait_for([&] { return r.workers() == WAITERS + 1; }, 20s));
    auto cpu = [&] {
        std::chrono::microseconds sum = process_of(r.run.daemon_pid()).cpu;
        for (pid_t worker : children_of(r.run.daemon_pid()))
            sum += process_of(worker).cpu;
        return sum;
    };
    std::this_thread::sleep_for(500ms);
    const auto before = cpu();
    std::this_thread::sleep_for(10s);
    const auto used = cpu() - before;
    std::printf("CPU of %d waiting clients and the daemon over 10 s: %lld us\n", WAITERS,
                static_cast<long long>(used.count()));
    // Not a speed target: a poll every few milliseconds would cost seconds.
    EXPECT_LT(used, 200ms);
    // And none of them shared the backend meanwhile.
    EXPECT_EQ(r.pool.with_data(0), 1);
    // Each waiter is served in turn, in order of arrival.
    held.reset();
    for (int i = 0; i < WAITERS; ++i) {
        ASSERT_EQ(rig::tag_of(waiting[i].get(), 10s), 0) << i;
        waiting[i].reset();
    }
    EXPECT_EQ(r.run.err(), "");
}

// whenfull wait: at maxclients a further client waits in the listen queue,
// neither closed nor served, and is served once a session ends.
TEST(Busy, WhenfullWaitLeavesClientsInTheListenQueue)
{
    rig r(2, 2, "whenfull wait\n");
    ASSERT_TRUE(r.up());
    unique_fd a, b;
    ASSERT_EQ(r.open(a), 0);
    ASSERT_EQ(r.open(b), 1);
    unique_fd third = r.client();
    ASSERT_TRUE(third && send_all(third.get(), "?"));  // no worker: it waits unaccepted
    // Closed at once without the setting; here it hears nothing for a while.
    EXPECT_FALSE(closed_without_data(third.get(), 1s));
    EXPECT_EQ(r.workers(), 2u);
    EXPECT_EQ(r.report("listen queue: "), std::vector<std::string>{"listen queue: 1 waiting to be accepted"});
    b.reset();
    EXPECT_EQ(rig::tag_of(third.get()), 1);
    const auto status = r.report("dovra status: ");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_TRUE(status[0].starts_with("dovra status: 2 of 2 sessions open; since start 3 served, 0 refused at "
                                      "maxclients, 0 with every server down; version "))
        << status[0];
    EXPECT_EQ(r.run.err(), "");
}

// Clients that never stop coming: the accept queue is never empty, and the
// daemon must still reap the workers that end meanwhile, or its count of
// them climbs to maxclients and it refuses clients that it has room for.
TEST(Busy, WorkersEndedMeanwhileAreReapedWhileTheQueueNeverEmpties)
{
    rig r(1, 48, "");
    ASSERT_TRUE(r.up());
    std::atomic<int> served{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 16; ++t) {
        clients.emplace_back([&] {
            const auto until = std::chrono::steady_clock::now() + 2s;
            for (int i = 0; i < 150 && std::chrono::steady_clock::now() < until; ++i) {
                unique_fd c;
                ++(r.open(c) == 0 ? served : refused);
            }
        });
    }
    for (std::thread &t : clients)
        t.join();
    EXPECT_GT(served.load(), 48);
    EXPECT_EQ(refused.load(), 0);
}

// checkinterval: the checks' empty connections are all a backend sees beside
// its sessions; a backend that stops listening is skipped, with every client
// served meanwhile, and chosen again soon after it listens again; the check
// process's death is survived.
TEST(Busy, HealthChecksTakeTheProbeOffTheClientsPath)
{
    rig r(3, 10, "checkinterval 2\n");
    ASSERT_TRUE(r.up());
    const auto started = std::chrono::steady_clock::now();
    auto empty = [&](int i) { return r.pool.accepted(i) - r.pool.with_data(i); };
    ASSERT_TRUE(wait_for([&] { return empty(0) >= 1 && empty(1) >= 1 && empty(2) >= 1; }));
    // Beside the checker, one worker at a time.
    for (int i = 0; i < 10; ++i) {
        unique_fd c;
        ASSERT_EQ(r.open(c), 0);
        c.reset();
        ASSERT_TRUE(wait_for([&] { return r.workers() == 1; }));
    }
    // One check a backend every 2 s, whatever the clients: never one a client.
    const auto rounds = [&] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count() / 2 + 2;
    };
    EXPECT_EQ(r.pool.with_data(0), 10);
    for (int i = 0; i < 3; ++i)
        EXPECT_LE(empty(i), rounds()) << i;

    // The second backend stops listening while the first is held: the first
    // client after it finds it refusing and goes on to the third; so do all.
    unique_fd held;
    ASSERT_EQ(r.open(held), 0);
    r.pool.stop(1);
    for (int i = 0; i < 12; ++i) {
        unique_fd c;
        ASSERT_EQ(r.open(c), 2) << i;
        c.reset();
        ASSERT_TRUE(wait_for([&] { return r.workers() == 2; }));
        std::this_thread::sleep_for(250ms);
    }
    const auto report = r.report("server 2 ");
    ASSERT_EQ(report.size(), 1u);
    EXPECT_TRUE(report[0].starts_with("server 2 127.0.0.3: down, 0 open, 0 served, connection refused, last check "))
        << report[0];
    EXPECT_TRUE(report[0].ends_with(" s ago: connection refused")) << report[0];

    // Listening again: chosen again after two answered checks.
    r.pool.start(1);
    const auto back = std::chrono::steady_clock::now();
    int tag = -1;
    while (tag != 1 && std::chrono::steady_clock::now() - back < 10s) {
        unique_fd c;
        tag = r.open(c);
        ASSERT_GE(tag, 1);
        c.reset();
        ASSERT_TRUE(wait_for([&] { return r.workers() == 2; }));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(tag, 1);
    const auto recovered = std::chrono::steady_clock::now() - back;
    std::printf("chosen again %lld ms after it listened again\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(recovered).count()));
    EXPECT_LT(recovered, 7s);

    // The checker, killed, is started again, and the checks go on; it was
    // never counted as a worker.
    held.reset();
    ASSERT_TRUE(wait_for([&] { return r.workers() == 1; }));
    const std::vector<pid_t> checker = children_of(r.run.daemon_pid());
    ASSERT_EQ(checker.size(), 1u);
    ASSERT_EQ(kill(checker[0], SIGKILL), 0);
    ASSERT_TRUE(wait_for([&] {
        const auto now = children_of(r.run.daemon_pid());
        return now.size() == 1 && now[0] != checker[0];
    }));
    const int seen = empty(2);
    EXPECT_TRUE(wait_for([&] { return empty(2) > seen; }, 6s));
    const auto status = r.report("dovra status: ");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_TRUE(status[0].starts_with("dovra status: 0 of 10 sessions open; since start ")) << status[0];
    EXPECT_EQ(r.out().find("WARNING"), std::string::npos) << r.out();
}
