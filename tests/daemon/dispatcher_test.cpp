// The accept loop, the workers and their accounting, end to end with the real
// daemon binary and loopback backends; and the signal plumbing in process.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <future>
#include <regex>

#include "backend/backend.h"
#include "common/signals.h"
#include "config/config.h"
#include "daemon/daemon.h"
#include "daemon/workers.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

// A backend that answers a client's first byte with its own index, so that a
// client learns where it was sent. Then, by that first byte: 'q' closes at
// once, 's' streams filler and never reads, anything else echoes.
void tagging_handler(int fd, int index)
{
    char first = 0;
    if (recv(fd, &first, 1, 0) != 1)
        return;
    const char tag = static_cast<char>('0' + index);
    if (!send_all(fd, &tag, 1) || first == 'q')
        return;
    if (first == 's') {
        fill(fd, 10s);
        return;
    }
    echo_handler(fd, index);
}

// A daemon in front of count backends, with nothing else going on.
struct rig {
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;

    // The servers are the count backends of the pool, then extra.
    rig(int count, int maxclients, backend_handler handler = tagging_handler, std::vector<std::string> extra = {})
        : pool(count, std::move(handler)),
          run(config_text(port, pool.port(), maxclients, addresses(count, std::move(extra))).c_str())
    {
    }
    static std::vector<std::string> addresses(int count, std::vector<std::string> extra)
    {
        std::vector<std::string> list;
        for (int i = 0; i < count; ++i)
            list.push_back(backend_address(i));
        list.insert(list.end(), extra.begin(), extra.end());
        return list;
    }
    std::vector<pid_t> workers() { return children_of(run.daemon_pid()); }
    // Connections to the daemon not yet done with on its side (accepted or
    // waiting to be), or -1 when nothing listens.
    int connections()
    {
        bool listening = false;
        int open = 0;
        for (const auto &s : tcp_sockets_on(port)) {
            if (s.state == TCP_STATE_LISTEN)
                listening = true;
            else if (s.state != TCP_STATE_TIME_WAIT)
                ++open;
        }
        return listening ? open : -1;
    }
    // No worker alive or unreaped and no client waiting to be accepted, for
    // long enough that no accepted client is still on its way to a fork.
    bool idle(std::chrono::milliseconds timeout = 5s)
    {
        auto since = std::chrono::steady_clock::now();
        return wait_for([&] {
            auto now = std::chrono::steady_clock::now();
            if (!workers().empty() || connections() != 0)
                since = now;
            return now - since >= 50ms;
        }, timeout);
    }
    // Listening, seen without connecting: a connection would start a worker.
    bool up()
    {
        banner = run.out();
        return run.launcher_status() == 0 && run.daemon_pid() > 0 && wait_for([&] { return connections() >= 0; });
    }
    // What the daemon and its workers wrote after the launcher's summary.
    std::string banner;
    std::string out()
    {
        std::string text = run.out();
        return text.compare(0, banner.size(), banner) == 0 ? text.substr(banner.size()) : text;
    }
    unique_fd client() { return connect_to("127.0.0.1", port); }
    // Opens a session that starts with first; returns the index of the
    // backend that answered, or -1 when the client was closed instead.
    int open(unique_fd &c, char first = '?')
    {
        c = client();
        std::string tag;
        if (c && send_all(c.get(), &first, 1))
            tag = recv_some(c.get(), 1, 5s);
        return tag.size() == 1 ? tag[0] - '0' : -1;
    }
};

}  // namespace

TEST(Dispatcher, RelaysEveryByteBothWays)
{
    rig r(1, 5, echo_handler);
    ASSERT_TRUE(r.up());
    unique_fd c = r.client();
    const std::string burst = random_bytes(10000, 7);
    ASSERT_EQ(send(c.get(), burst.data(), burst.size(), MSG_NOSIGNAL), 10000);
    EXPECT_EQ(recv_some(c.get(), burst.size()), burst);
    const std::string data = random_bytes(std::size_t{6} << 20, 8);
    EXPECT_TRUE(duplex(c.get(), data, data.size()) == data);
    c.reset();
    EXPECT_TRUE(r.idle());
    EXPECT_EQ(r.out(), "");
    EXPECT_EQ(r.run.err(), "");
}

TEST(Dispatcher, CarriesALargeReplyWhileTheClientStillUploads)
{
    // The backend sends 1 MiB between reads of 4 KiB while its client
    // uploads and reads at once, as a direct connection would carry it.
    constexpr std::size_t reply = std::size_t{32} << 20;
    constexpr std::size_t upload = std::size_t{8} << 20;
    std::atomic<std::uint64_t> uploaded{0};
    rig r(1, 5, streaming_handler(reply, 9, &uploaded));
    ASSERT_TRUE(r.up());
    unique_fd c = r.client();
    std::string got = duplex(c.get(), random_bytes(upload, 10), reply, 30s);
    EXPECT_EQ(got.size(), reply);
    EXPECT_TRUE(got == random_bytes(reply, 9));
    EXPECT_TRUE(wait_for([&] { return uploaded.load() == upload; }, 10s)) << uploaded.load();
}

TEST(Dispatcher, SendsEachClientToTheFirstFreeBackendAndSharesWhenAllAreBusy)
{
    struct {
        std::vector<int> refusing;
        std::vector<int> reached;  // by clients that stay connected, in turn
    } cases[] = {
        {{}, {0, 1, 2, 0, 0}},
        {{1}, {0, 2, 0}},
        {{0}, {1, 2, 1}},
        {{0, 2}, {1, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.refusing));
        rig r(3, 10);
        ASSERT_TRUE(r.up());
        for (int i : c.refusing)
            r.pool.stop(i);
        std::vector<unique_fd> clients(c.reached.size());
        std::vector<int> reached;
        for (auto &client : clients)
            reached.push_back(r.open(client));
        EXPECT_EQ(reached, c.reached);
    }
}

TEST(Dispatcher, AdmitsAtMostMaxclientsAtOnce)
{
    {
        rig r(2, 2);
        ASSERT_TRUE(r.up());
        unique_fd a, b, extra, next;
        EXPECT_EQ(r.open(a), 0);
        EXPECT_EQ(r.open(b), 1);
        extra = r.client();
        EXPECT_TRUE(closed_without_data(extra.get()));
        a.reset();
        ASSERT_TRUE(wait_for([&] { return r.workers().size() == 1; }));
        EXPECT_EQ(r.open(next), 0);
        EXPECT_EQ(r.run.err(), "");
    }
    {
        rig r(1, 0);
        ASSERT_TRUE(r.up());
        for (int i = 0; i < 3; ++i) {
            unique_fd c = r.client();
            ASSERT_TRUE(send_all(c.get(), "?"));
            EXPECT_TRUE(closed_without_data(c.get()));
        }
        EXPECT_EQ(r.pool.accepted(0), 0);
        EXPECT_TRUE(r.workers().empty());
    }
}

TEST(Dispatcher, ClosesTheClientWhenEveryServerRefusesAndServesOn)
{
    // A last server whose text is no IPv4 address fails its probe without a
    // system error of its own: the refusal before it is then the reason.
    for (const std::vector<std::string> &extra : {std::vector<std::string>{}, {"localhost"}}) {
        SCOPED_TRACE(extra.empty() ? "every server refuses" : "then a server that is not IPv4");
        rig r(2, 5, tagging_handler, extra);
        ASSERT_TRUE(r.up());
        r.pool.stop(0);
        r.pool.stop(1);
        unique_fd c = r.client();
        ASSERT_TRUE(send_all(c.get(), "?"));
        EXPECT_TRUE(closed_without_data(c.get()));
        EXPECT_TRUE(wait_for([&] { return !r.run.err().empty(); }));
        EXPECT_EQ(r.run.err(), "All the servers are down: Connection refused\n");
        EXPECT_EQ(r.out(), "");
        r.pool.start(1);
        EXPECT_EQ(r.open(c), 1);
    }
}

TEST(Dispatcher, FreesTheBackendHoweverTheSessionEnds)
{
    const std::regex reset_report("Failed attempting to redirect data: (Connection reset by peer|Broken pipe)\n");
    struct {
        const char *name;
        char first;
        bool client_resets;
    } cases[] = {
        {"client closes first", '?', false},
        {"backend closes first", 'q', false},
        {"client resets in the middle of a transfer", 's', true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rig r(2, 5);
        ASSERT_TRUE(r.up());
        unique_fd s;
        ASSERT_EQ(r.open(s, c.first), 0);
        if (c.first == 'q') {
            EXPECT_TRUE(closed_without_data(s.get()));
        }
        if (c.client_resets) {
            fill(s.get());
            linger hard{1, 0};
            setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        s.reset();
        EXPECT_TRUE(r.idle());
        std::string err = r.run.err();
        EXPECT_TRUE(c.client_resets ? std::regex_match(err, reset_report) : err.empty()) << err;
        EXPECT_EQ(r.out(), "");
        EXPECT_EQ(r.open(s), 0);
    }
}

TEST(Dispatcher, ReapsEveryWorkerAfterABurstAndKeepsItsCapacity)
{
    // Workers that find every server down end at once, often before the
    // daemon is back from fork: a worker reaped before it was counted would
    // leave the count one too high for good.
    // At most one line a second, a later one saying how many it stands for.
    const std::regex down_report("(All the servers are down( and [0-9]+ more)?: Connection refused\n)*");
    for (bool servers_down : {false, true}) {
        SCOPED_TRACE(servers_down ? "every server down" : "servers up");
        const int maxclients = servers_down ? 1 : 3;
        rig r(3, maxclients);
        ASSERT_TRUE(r.up());
        for (int i = 0; servers_down && i < 3; ++i)
            r.pool.stop(i);
        // A hundred short sessions from four clients at once: some relayed,
        // some closed before a byte was sent, some turned away at the limit.
        std::vector<std::future<void>> clients;
        for (int t = 0; t < 4; ++t) {
            clients.push_back(std::async(std::launch::async, [&, t] {
                for (int i = 0; i < 25; ++i) {
                    unique_fd c;
                    if ((i + t) % 3 == 0)
                        c = r.client();
                    else
                        r.open(c);
                }
            }));
        }
        for (auto &f : clients)
            f.get();
        EXPECT_TRUE(r.idle(10s));  // no worker left, not even as a zombie
        EXPECT_EQ(r.out(), "");
        EXPECT_TRUE(std::regex_match(r.run.err(), down_report)) << r.run.err();

        for (int i = 0; servers_down && i < 3; ++i)
            r.pool.start(i);
        std::vector<unique_fd> full(static_cast<std::size_t>(maxclients));
        for (int i = 0; i < maxclients; ++i)
            EXPECT_EQ(r.open(full[static_cast<std::size_t>(i)]), i);
        unique_fd extra = r.client();
        EXPECT_TRUE(closed_without_data(extra.get()));
    }
}

TEST(ServeClient, SurvivesASendToAClosedClientAndFreesTheSlot)
{
    // Both directions backed up, so the worker's next move towards the
    // closed client is a send: that must fail with EPIPE, not kill it.
    backend_pool backends(1, tagging_handler);
    ASSERT_EQ(create_status_table(), 0);
    daemon_config = {};
    daemon_config.serverport = backends.port();
    daemon_config.server_count = 1;
    std::snprintf(daemon_config.servers[0], SERVER_ADDR_LEN, "%s", backend_address(0).c_str());
    const int record = reserve_worker_record();
    ASSERT_GE(record, 0);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    unique_fd client(sv[0]);
    unique_fd inner(sv[1]);
    unique_fd listener(socket(AF_INET, SOCK_STREAM, 0));
    auto worker = std::async(std::launch::async, [&] {
        return run_in_child([&] {
            std::signal(SIGPIPE, SIG_DFL);
            close(client.get());
            adopt_worker_record(record);
            serve_client(inner.get(), listener.get());
            return 1;
        });
    });
    ASSERT_TRUE(send_all(client.get(), "s"));
    EXPECT_EQ(recv_some(client.get(), 1), "0");
    EXPECT_TRUE(wait_for([] { return view_backend(0).sessions == 1; }));
    fill(client.get());
    client.reset();
    child_output result = worker.get();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "Failed attempting to redirect data: Broken pipe\n");
    EXPECT_EQ(result.out, "");
    // Let go by the worker itself: its record was never given its pid.
    EXPECT_EQ(view_backend(0).sessions, 0);
    EXPECT_FALSE(view_backend(0).held);
}

TEST(Signals, InstallHandlerAndReapChildren)
{
    struct {
        int signo;
        int flags;
    } cases[] = {{SIGUSR1, SA_RESTART}, {SIGALRM, 0}};
    for (const auto &c : cases) {
        auto before = install_handler(c.signo, SIG_IGN);
        EXPECT_EQ(install_handler(c.signo, reap_children), SIG_IGN);
        struct sigaction now{};
        sigaction(c.signo, nullptr, &now);
        EXPECT_EQ(now.sa_handler, reap_children);
        EXPECT_EQ(now.sa_flags & SA_RESTART, c.flags);
        EXPECT_TRUE(sigisemptyset(&now.sa_mask));
        install_handler(c.signo, before);
    }
    EXPECT_EQ(install_handler(SIGKILL, SIG_IGN), SIG_ERR);

    // Every finished child is reaped in one call, the count follows, and
    // errno comes back as it was.
    auto spawn = [](int n) {
        for (int i = 0; i < n; ++i) {
            if (fork() == 0)
                _exit(0);
        }
        return wait_for([n] { return static_cast<int>(children_of(getpid(), true).size()) == n; });
    };
    ASSERT_TRUE(spawn(5));
    child_count = 6;
    errno = EDOM;
    reap_children(SIGCHLD);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(child_count, 1);
    EXPECT_TRUE(children_of(getpid()).empty());

    // A child reaped when none was counted leaves the count alone and warns.
    child_output warned = run_in_child([&] {
        child_count = 0;
        errno = 0;
        if (!spawn(1))
            return 1;
        reap_children(SIGCHLD);
        return 10 + static_cast<int>(child_count);
    });
    EXPECT_EQ(warned.status, 10);
    EXPECT_EQ(warned.out, "\nWARNING: SIGCHLD received when child_count < 1\n");
    EXPECT_EQ(warned.err, "");
}
