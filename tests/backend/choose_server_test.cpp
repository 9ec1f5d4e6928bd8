// Backend selection against real loopback backends: which server a client
// gets, how many probes each server sees, and what the status table records.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "backend/backend.h"
#include "config/config.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

constexpr std::int32_t F = STATUS_FREE, B = STATUS_BUSY, D = STATUS_DOWN;

class choose_server_test : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (server_status == nullptr) {
            ASSERT_EQ(create_status_table(), 0);
        }
    }

    // As a fresh configuration leaves things: every listed server free.
    static void configure(std::uint16_t port, const std::vector<std::string> &servers)
    {
        daemon_config = {};
        daemon_config.serverport = port;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            std::snprintf(daemon_config.servers[i], SERVER_ADDR_LEN, "%s", servers[i].c_str());
            set_status(static_cast<int>(i), STATUS_FREE);
        }
        daemon_config.server_count = static_cast<std::int32_t>(servers.size());
    }

    static std::vector<int> statuses()
    {
        std::vector<int> s;
        for (int i = 0; i < daemon_config.server_count; ++i)
            s.push_back(status_of(i));
        return s;
    }

    static void set_statuses(const std::vector<int> &s)
    {
        for (std::size_t i = 0; i < s.size(); ++i)
            set_status(static_cast<int>(i), s[i]);
    }

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
        {"all free: the first, probed alone", {1, 1, 1}, {F, F, F}, 0, {1, 0, 0}, {F, F, F}},
        {"0 busy: the next, after two probes", {1, 1, 1}, {B, F, F}, 1, {1, 1, 0}, {B, F, F}},
        {"0 and 1 busy", {1, 1, 1}, {B, B, F}, 2, {1, 1, 1}, {B, B, F}},
        {"all busy: share 0, no second probe", {1, 1, 1}, {B, B, B}, 0, {1, 1, 1}, {B, B, B}},
        {"0 busy but refusing: share 1", {0, 1, 1}, {B, B, B}, 1, {0, 1, 1}, {D, B, B}},
        {"0 still refusing, 1 free again", {0, 1, 1}, {D, F, B}, 1, {0, 1, 0}, {D, F, B}},
        {"0 back: free again and chosen", {1, 1, 1}, {D, F, B}, 0, {1, 0, 0}, {F, F, B}},
        {"every server refusing", {0, 0, 0}, {F, B, F}, -1, {0, 0, 0}, {D, D, D}},
        {"1 back; 2 not probed, still down", {0, 1, 0}, {D, D, D}, 1, {0, 1, 0}, {D, F, D}},
        {"1 busy, 2 back", {0, 1, 1}, {D, B, D}, 2, {0, 1, 1}, {D, B, F}},
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
        EXPECT_EQ(statuses(), (std::vector<int>{D, F}));

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

}  // namespace
