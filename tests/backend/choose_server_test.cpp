// Backend selection against real loopback backends: which server a client
// gets, how many probes each server sees, and what the status table records.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <future>
#include <memory>

#include "backend/backend.h"
#include "config/config.h"
#include "net/net.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

// How a backend looks in the table: free, busy (a session runs on it or a
// worker took it), down; X: a session runs on it and a passing failure marked
// it down.
enum look { F, B, D, X };

class choose_server_test : public ::testing::Test {
protected:
    // This process chooses as a worker does, with a record of its own; the
    // sessions that make a backend busy hold records of their own.
    static void SetUpTestSuite()
    {
        ASSERT_EQ(create_status_table(), 0);
        own = reserve_worker_record();
        ASSERT_GE(own, 0);
        assign_worker_record(own, getpid());
        adopt_worker_record(own);
    }

    void TearDown() override { set_statuses({}); }

    // As a fresh configuration leaves things: every listed server free.
    static void configure(std::uint16_t port, const std::vector<std::string> &servers)
    {
        set_statuses({});
        daemon_config = {};
        daemon_config.serverport = port;
        for (std::size_t i = 0; i < servers.size(); ++i)
            std::snprintf(daemon_config.servers[i], SERVER_ADDR_LEN, "%s", servers[i].c_str());
        daemon_config.server_count = static_cast<std::int32_t>(servers.size());
        reset_backends(MAX_SERVERS);
    }

    static std::vector<int> statuses()
    {
        std::vector<int> s;
        for (int i = 0; i < daemon_config.server_count; ++i) {
            backend_view v = view_backend(i);
            s.push_back(v.down ? (v.sessions > 0 ? X : D) : v.held ? B : F);
        }
        return s;
    }

    // Lets go of this process's backend and of every other session, then
    // opens one for each B or X and marks down each D or X.
    static void set_statuses(const std::vector<int> &s)
    {
        release_backend();
        for (int pid : others)
            release_worker(pid);
        others.clear();
        reset_backends(MAX_SERVERS);
        for (std::size_t i = 0; i < s.size(); ++i) {
            const int index = static_cast<int>(i);
            if (s[i] == B || s[i] == X) {
                const int r = reserve_worker_record();
                const int pid = 1000000 + static_cast<int>(others.size());
                assign_worker_record(r, pid);
                others.push_back(pid);
                adopt_worker_record(r);
                EXPECT_TRUE(claim_backend(index, false));
                adopt_worker_record(own);
            }
            if (s[i] == D || s[i] == X)
                mark_backend_down(index, ECONNREFUSED, monotonic_ms());
        }
    }

    static int own;
    static std::vector<int> others;

    // Once every probe connection has left the listeners' accept queues and
    // its backend thread has ended, the counts are final: a probe is fully
    // connected before choose_server goes on, so none can arrive later.
    static std::vector<int> probes_seen(const backend_pool &pool)
    {
        bool settled = wait_for([&] {
            for (int i = 0; i < pool.size(); ++i) {
                if (pool.unaccepted(i) != 0 || pool.open_sessions(i) != 0)
                    return false;
            }
            return true;
        });
        EXPECT_TRUE(settled);
        std::vector<int> seen;
        for (int i = 0; i < pool.size(); ++i) {
            seen.push_back(pool.accepted(i));
            EXPECT_EQ(pool.with_data(i), 0) << "a probe to backend " << i << " carried bytes";
        }
        return seen;
    }
};

int choose_server_test::own = -1;
std::vector<int> choose_server_test::others;

TEST_F(choose_server_test, probes_in_order_and_records_what_it_finds)
{
    backend_pool pool(3);
    configure(pool.port(), {backend_address(0), backend_address(1), backend_address(2)});
    // up: which backends accept connections; before: the table as sessions
    // left it; probes: connections each backend sees during the choice.
    struct step {
        const char *what;
        std::vector<int> up;
        std::vector<int> before;
        int want;
        std::vector<int> probes;
        std::vector<int> after;
    };
    const step steps[] = {
        {"all free: the first, probed alone", {1, 1, 1}, {F, F, F}, 0, {1, 0, 0}, {B, F, F}},
        {"0 busy: the next, after two probes", {1, 1, 1}, {B, F, F}, 1, {1, 1, 0}, {B, B, F}},
        {"0 and 1 busy", {1, 1, 1}, {B, B, F}, 2, {1, 1, 1}, {B, B, B}},
        {"all busy: share 0, no second probe", {1, 1, 1}, {B, B, B}, 0, {1, 1, 1}, {B, B, B}},
        {"0 busy but refusing: share 1", {0, 1, 1}, {B, B, B}, 1, {0, 1, 1}, {X, B, B}},
        {"0 still refusing, 1 free again", {0, 1, 1}, {D, F, B}, 1, {0, 1, 0}, {D, B, B}},
        {"0 back: free again and chosen", {1, 1, 1}, {D, F, B}, 0, {1, 0, 0}, {B, F, B}},
        {"0 back while its session runs: still busy", {1, 1, 1}, {X, F, F}, 1, {1, 1, 0}, {B, B, F}},
        {"every server refusing", {0, 0, 0}, {F, B, F}, -1, {0, 0, 0}, {D, X, D}},
        {"1 back; 2 not probed, still down", {0, 1, 0}, {D, D, D}, 1, {0, 1, 0}, {D, B, D}},
        {"1 busy, 2 back", {0, 1, 1}, {D, B, D}, 2, {0, 1, 1}, {D, B, B}},
    };
    std::vector<int> before = probes_seen(pool);
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        for (int i = 0; i < 3; ++i)
            s.up[static_cast<std::size_t>(i)] ? pool.start(i) : pool.stop(i);
        set_statuses(s.before);
        errno = EBADF;
        EXPECT_EQ(choose_server(), s.want);
        if (s.want == -1) {
            EXPECT_EQ(errno, ECONNREFUSED);
        }
        EXPECT_EQ(statuses(), s.after);
        std::vector<int> now = probes_seen(pool);
        std::vector<int> probes;
        for (std::size_t i = 0; i < now.size(); ++i)
            probes.push_back(now[i] - before[i]);
        EXPECT_EQ(probes, s.probes);
        before = now;
    }
}

TEST_F(choose_server_test, address_text_not_ipv4_is_down_without_a_connection)
{
    // Backends 0 and 1 answer, 127.0.0.4 refuses. Each text would reach
    // backend 0 (or 127.0.0.1) if it were resolved or parsed leniently.
    std::unique_ptr<backend_pool> owner;
    unique_fd catcher;
    // The catcher takes what "localhost" would reach. A client socket of
    // another test can hold the pool's port on 127.0.0.1: then take a new pool.
    for (int attempt = 0; attempt < 20 && !catcher; ++attempt) {
        owner = std::make_unique<backend_pool>(3);
        catcher.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        int on = 1;
        setsockopt(catcher.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(owner->port());
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(catcher.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(catcher.get(), 10) < 0)
            catcher.reset();
    }
    ASSERT_TRUE(catcher);
    backend_pool &pool = *owner;
    pool.stop(2);
    const std::string refusing = backend_address(2);

    int chosen = 0;
    for (const char *text : {"localhost", "127.0.0.2#main", "127.2", "127.0.0.2 ", ""}) {
        SCOPED_TRACE(std::string("address \"") + text + "\"");
        configure(pool.port(), {text, backend_address(1)});
        EXPECT_EQ(choose_server(), 1);
        ++chosen;
        EXPECT_EQ(statuses(), (std::vector<int>{D, B}));

        configure(pool.port(), {refusing, text});
        errno = EBADF;
        EXPECT_EQ(choose_server(), -1);
        EXPECT_EQ(errno, ECONNREFUSED) << "the reason of the last probe that had one";
        EXPECT_EQ(statuses(), (std::vector<int>{D, D}));

        configure(pool.port(), {text, refusing});
        EXPECT_EQ(choose_server(), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
        EXPECT_EQ(statuses(), (std::vector<int>{D, D}));

        EXPECT_EQ(probes_seen(pool), (std::vector<int>{0, chosen, 0}));
        EXPECT_EQ(accept(catcher.get(), nullptr, nullptr), -1) << "connected to 127.0.0.1";
    }
}

TEST_F(choose_server_test, no_server_configured)
{
    backend_pool pool(1);
    configure(pool.port(), {backend_address(0)});
    for (std::int32_t count : {0, -1}) {
        daemon_config.server_count = count;
        EXPECT_EQ(choose_server(), -1);
    }
    EXPECT_EQ(probes_seen(pool), std::vector<int>{0});
}

TEST_F(choose_server_test, failed_probes_hold_no_descriptor)
{
    backend_pool pool(2);
    pool.stop(0);
    pool.stop(1);
    configure(pool.port(), {backend_address(0), "localhost", backend_address(1)});
    const int before = open_fd_count();
    for (int n = 0; n < 100; ++n)
        ASSERT_EQ(choose_server(), -1);
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_EQ(pool.accepted(0) + pool.accepted(1), 0);
}

// A backend that drops connection attempts costs the connect deadline once;
// then it is skipped without a probe until its back-off has passed, when one
// client alone probes it again.
TEST_F(choose_server_test, silent_backend_is_backed_off)
{
    backend_pool pool(2);
    auto silent = silence(pool, 0);
    if (!silent)
        GTEST_SKIP() << NO_SILENT_BACKEND;
    configure(pool.port(), {backend_address(0), backend_address(1)});
    daemon_config.connecttimeout = 1;

    auto timed = [](int &chosen) {
        auto start = std::chrono::steady_clock::now();
        chosen = choose_server();
        return std::chrono::steady_clock::now() - start;
    };
    int chosen = -1;
    auto first = timed(chosen);
    EXPECT_EQ(chosen, 1);
    EXPECT_GE(first, 900ms);
    EXPECT_LT(first, 5s);
    backend_view v = view_backend(0);
    EXPECT_TRUE(v.down);
    EXPECT_EQ(v.reason, ETIMEDOUT);
    EXPECT_EQ(v.backoff_ms, BACKOFF_FIRST_MS);
    EXPECT_EQ(v.failures, 1);
    release_backend();

    // Skipped at once, without a probe, while the back-off lasts.
    for (int n = 0; n < 3; ++n) {
        auto later = timed(chosen);
        EXPECT_EQ(chosen, 1);
        EXPECT_LT(later, 900ms);
        release_backend();
    }
    EXPECT_EQ(view_backend(0).failures, 1);

    // Its time has come and it is still silent: one client (a worker of its
    // own) probes it and waits the deadline; meanwhile this one skips it at
    // once, and the back-off doubles.
    mark_backend_down(0, ETIMEDOUT, monotonic_ms() - BACKOFF_FIRST_MS);
    auto prober = std::async(std::launch::async, [] {
        return run_in_child([] {
            int r = reserve_worker_record();
            assign_worker_record(r, getpid());
            adopt_worker_record(r);
            return choose_server();
        });
    });
    ASSERT_TRUE(wait_for([] { return view_backend(0).retry_at_ms > monotonic_ms(); }));
    auto meanwhile = timed(chosen);
    EXPECT_EQ(chosen, 1);
    EXPECT_LT(meanwhile, 900ms);
    EXPECT_EQ(prober.get().status, 1);
    release_backend();
    EXPECT_EQ(view_backend(0).failures, 3);
    EXPECT_EQ(view_backend(0).backoff_ms, 2 * BACKOFF_FIRST_MS);

    // Answering again: once its back-off has passed, the next client finds it.
    silent.reset();
    pool.start(0);
    mark_backend_down(0, ETIMEDOUT, monotonic_ms() - BACKOFF_MAX_MS, true);
    EXPECT_EQ(choose_server(), 0);
    v = view_backend(0);
    EXPECT_FALSE(v.down);
    EXPECT_EQ(v.backoff_ms, 0);
}

}  // namespace
