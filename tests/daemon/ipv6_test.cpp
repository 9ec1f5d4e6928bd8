// Where the daemon listens (localaddress) and IPv6 on both sides, end to end
// with the real daemon binary and loopback backends on 127.0.0.2 and up and
// on ::1. Every test that needs IPv6 skips, with the reason, where the system
// has none on loopback.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "config/config.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

#define SKIP_WITHOUT_IPV6()                                         \
    do {                                                            \
        if (std::string missing = ipv6_missing(); !missing.empty()) \
            GTEST_SKIP() << missing;                                \
    } while (false)

// A backend that answers a client's first byte with its own index, so that a
// client learns where it was sent, then echoes.
void tagging_handler(int fd, int index)
{
    char first = 0;
    if (recv(fd, &first, 1, 0) != 1)
        return;
    const char tag = static_cast<char>('0' + index);
    if (send_all(fd, &tag, 1))
        echo_handler(fd, index);
}

// Opens a session to address:port and returns the index of the backend
// that answered its first byte, or -1.
int open_tagged(unique_fd &c, const std::string &address, std::uint16_t port)
{
    c = connect_to(address, port);
    std::string tag;
    if (c && send_all(c.get(), "?"))
        tag = recv_some(c.get(), 1, 5s);
    return tag.size() == 1 ? tag[0] - '0' : -1;
}

// Sends 1 MiB both ways at once through a session to address:port and
// tells whether every byte came back unchanged.
bool carries_every_byte(const std::string &address, std::uint16_t port, unsigned seed)
{
    unique_fd c = connect_to(address, port);
    if (!c)
        return false;
    const std::string data = random_bytes(std::size_t{1} << 20, seed);
    return duplex(c.get(), data, data.size()) == data;
}

std::string with_localaddress(const std::string &address, std::uint16_t port, std::uint16_t serverport,
                              const std::vector<std::string> &servers)
{
    return "localaddress " + address + "\n" + config_text(port, serverport, 5, servers);
}

}  // namespace

// localaddress 127.0.0.1: the daemon listens there alone, as the socket table
// shows; a client of another local address is refused, one of 127.0.0.1 is
// served, and the summary names the address.
TEST(LocalAddress, TheDaemonListensThereAlone)
{
    backend_pool pool(1);
    const std::uint16_t port = free_port();
    daemon_run run(with_localaddress("127.0.0.1", port, pool.port(), {backend_address(0)}).c_str());
    ASSERT_EQ(run.launcher_status(), 0) << run.err();
    EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"127.0.0.1"});
    errno = 0;
    EXPECT_FALSE(connect_to(backend_address(3), port));
    EXPECT_EQ(errno, ECONNREFUSED) << std::strerror(errno);
    EXPECT_TRUE(carries_every_byte("127.0.0.1", port, 1));
    EXPECT_EQ(run.out(), "\n localport " + std::to_string(port) + "\n serverport " + std::to_string(pool.port()) +
                             "\n maxclients 5\n localaddress 127.0.0.1\n Servers: \n\t== 127.0.0.2 ==\n\n\nDaemon "
                             "Started..\n\n");
    EXPECT_EQ(run.err(), "");
}

// A localaddress the host does not have, or a text that is no address, fails
// the start as a port in use does: the daemon's line with the reason, status
// 1 for the launcher and the daemon.
TEST(LocalAddress, AnAddressTheHostLacksFailsTheStart)
{
    struct {
        const char *address;
        int error;
    } cases[] = {
        {"192.0.2.1", EADDRNOTAVAIL},  // TEST-NET-1: no host's address
        {"2001:db8::1", EADDRNOTAVAIL},  // the documentation prefix, likewise
        {"localhost", EINVAL},          // names are not resolved
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address);
        if (std::strchr(c.address, ':') != nullptr && !ipv6_missing().empty())
            continue;  // without IPv6 the socket itself fails: another reason
        const std::uint16_t port = free_port();
        daemon_run run(with_localaddress(c.address, port, 80, {"127.0.0.2"}).c_str());
        const std::string line = std::string("Error creating listenning socket: ") + std::strerror(c.error) + "\n";
        EXPECT_EQ(run.launcher_status(), 1);
        EXPECT_EQ(run.wait_exit(), 1);
        EXPECT_EQ(run.err(), line);
        EXPECT_TRUE(listening_addresses(port).empty());
        EXPECT_TRUE(shm_segments_of(run.launcher_pid()).empty());
    }
}

// localaddress ::1 takes an IPv6 client to an IPv6 backend; localaddress ::
// takes IPv6 and IPv4 clients alike. Every byte is compared at the client.
TEST(Ipv6, ClientsOfEitherFamilyReachAnIpv6Backend)
{
    SKIP_WITHOUT_IPV6();
    backend_pool pool(std::vector<std::string>{"::1"});
    {
        const std::uint16_t port = free_port();
        daemon_run run(with_localaddress("::1", port, pool.port(), {"::1"}).c_str());
        ASSERT_EQ(run.launcher_status(), 0) << run.err();
        EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"::1"});
        EXPECT_TRUE(carries_every_byte("::1", port, 2));
        EXPECT_FALSE(connect_to("127.0.0.1", port));
        EXPECT_EQ(run.err(), "");
    }
    const std::uint16_t port = free_port();
    daemon_run run(with_localaddress("::", port, pool.port(), {"::1"}).c_str());
    ASSERT_EQ(run.launcher_status(), 0) << run.err();
    EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"::"});
    EXPECT_TRUE(carries_every_byte("::1", port, 3));
    EXPECT_TRUE(carries_every_byte("127.0.0.1", port, 4));
    EXPECT_TRUE(carries_every_byte(backend_address(5), port, 5));
    EXPECT_EQ(run.err(), "");
}

// IPv4 and IPv6 servers in one list are taken in the file's order, free one
// first, whatever their family; an IPv6 server that refuses is skipped.
TEST(Ipv6, MixedServersInFirstFreeOrder)
{
    SKIP_WITHOUT_IPV6();
    const std::vector<std::string> servers{"127.0.0.2", "::1", "127.0.0.3"};
    struct {
        bool ipv6_refuses;
        std::vector<int> reached;  // by clients that stay connected, in turn
    } cases[] = {
        {false, {0, 1, 2, 0}},
        {true, {0, 2, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ipv6_refuses ? "::1 refuses" : "all answer");
        backend_pool pool(servers, tagging_handler);
        if (c.ipv6_refuses)
            pool.stop(1);
        const std::uint16_t port = free_port();
        daemon_run run(config_text(port, pool.port(), 10, servers).c_str());
        ASSERT_EQ(run.launcher_status(), 0) << run.err();
        std::vector<unique_fd> clients(c.reached.size());
        std::vector<int> reached;
        for (auto &client : clients)
            reached.push_back(open_tagged(client, "127.0.0.1", port));
        EXPECT_EQ(reached, c.reached);
        EXPECT_EQ(run.err(), "");
    }
}

// The selection itself, in this process: an IPv6 server that refuses is
// marked down and the next one taken; once it answers it is free again.
TEST(Ipv6, ARefusingIpv6ServerIsMarkedDown)
{
    SKIP_WITHOUT_IPV6();
    ASSERT_EQ(create_status_table(), 0);
    const int own = reserve_worker_record();
    ASSERT_GE(own, 0);
    adopt_worker_record(own);
    backend_pool pool(std::vector<std::string>{"::1", "127.0.0.2"});
    pool.stop(0);
    daemon_config = {};
    daemon_config.serverport = pool.port();
    daemon_config.connecttimeout = DEFAULT_CONNECT_TIMEOUT;
    std::strcpy(daemon_config.servers[0], "::1");
    std::strcpy(daemon_config.servers[1], "127.0.0.2");
    daemon_config.server_count = 2;
    reset_backends(2);
    EXPECT_EQ(choose_server(), 1);
    EXPECT_TRUE(view_backend(0).down);
    EXPECT_FALSE(view_backend(1).down);
    release_backend();
}
