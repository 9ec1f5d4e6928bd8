// The listening socket and connections to backends, on real loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "net/net.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

sockaddr_in name_of(int fd, bool peer = false)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len)
         : getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return sa;
}

// Whether a socket without address reuse can bind the any-address at port.
bool plain_bind_refused(std::uint16_t port)
{
    unique_fd plain(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    return bind(plain.get(), reinterpret_cast<sockaddr *>(&any), sizeof any) == -1 && errno == EADDRINUSE;
}

TEST(sockets, open_listener_listens_on_every_address_at_the_low_16_bits_of_port)
{
    unique_fd first(open_listener(0));
    ASSERT_GE(first.get(), 0);
    sockaddr_in sa = name_of(first.get());
    const std::uint16_t port = ntohs(sa.sin_port);
    EXPECT_NE(port, 0) << "port 0 asks the system for a port";
    EXPECT_EQ(sa.sin_addr.s_addr, htonl(INADDR_ANY));
    // Non-blocking: with nobody waiting, accept() says so at once.
    ASSERT_NE(fcntl(first.get(), F_GETFL) & O_NONBLOCK, 0);
    errno = 0;
    EXPECT_EQ(accept(first.get(), nullptr, nullptr), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
    EXPECT_TRUE(connect_to("127.0.0.1", port));
    EXPECT_TRUE(connect_to(backend_address(1), port));

    errno = 0;
    EXPECT_EQ(open_listener(port), -1) << "a live listener holds the port";
    EXPECT_EQ(errno, EADDRINUSE);

    first.reset();
    unique_fd wide(open_listener(65536 + port));
    ASSERT_GE(wide.get(), 0) << std::strerror(errno);
    EXPECT_EQ(ntohs(name_of(wide.get()).sin_port), port);
    EXPECT_TRUE(connect_to("127.0.0.1", port));
}

// The error a connection to address:port fails with, or 0 when it is made.
int connect_error(const std::string &address, std::uint16_t port)
{
    errno = 0;
    unique_fd fd = connect_to(address, port);
    return fd ? 0 : errno;
}

// Given an address, the listener is bound to it alone: the socket table shows
// that address, and a connection to another local address at the port is
// refused. A text that is no address, or an address the host does not have,
// fails as a port in use does: -1 with the reason.
TEST(sockets, open_listener_on_an_address_listens_there_alone)
{
    const std::uint16_t port = free_port();
    unique_fd fd(open_listener(port, "127.0.0.1"));
    ASSERT_GE(fd.get(), 0) << std::strerror(errno);
    EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(connect_error("127.0.0.1", port), 0);
    EXPECT_EQ(connect_error(backend_address(3), port), ECONNREFUSED);
    fd.reset();

    const struct {
        const char *address;
        int error;
    } refused[] = {
        {"localhost", EINVAL},
        {"127.0.0.1:80", EINVAL},
        {"192.0.2.1", EADDRNOTAVAIL},  // TEST-NET-1, no host's address
    };
    for (const auto &r : refused) {
        errno = 0;
        EXPECT_EQ(open_listener(port, r.address), -1) << r.address;
        EXPECT_EQ(errno, r.error) << r.address << ": " << std::strerror(errno);
    }
    EXPECT_TRUE(listening_addresses(port).empty());
}

// "::1" takes IPv6 clients alone; "::" takes IPv6 and IPv4 clients, the
// latter as IPv4-mapped addresses, on FreeBSD (whose default is IPv6 alone)
// as on Linux.
TEST(sockets, open_listener_on_an_ipv6_address)
{
    if (std::string missing = ipv6_missing(); !missing.empty())
        GTEST_SKIP() << missing;
    std::uint16_t port = free_port();
    {
        unique_fd fd(open_listener(port, "::1"));
        ASSERT_GE(fd.get(), 0) << std::strerror(errno);
        EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"::1"});
        EXPECT_EQ(connect_error("::1", port), 0);
        EXPECT_EQ(connect_error("127.0.0.1", port), ECONNREFUSED);
    }
    port = free_port();
    unique_fd any(open_listener(port, "::"));
    ASSERT_GE(any.get(), 0) << std::strerror(errno);
    EXPECT_EQ(listening_addresses(port), std::vector<std::string>{"::"});
    for (const char *client : {"::1", "127.0.0.1"}) {
        unique_fd c = connect_to(client, port);
        ASSERT_TRUE(c) << client << ": " << std::strerror(errno);
        sockaddr_in6 peer{};
        socklen_t len = sizeof peer;
        unique_fd served(accept(any.get(), reinterpret_cast<sockaddr *>(&peer), &len));
        ASSERT_GE(served.get(), 0);
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof text);
        EXPECT_EQ(std::string(text), std::string(client) == "::1" ? "::1" : "::ffff:127.0.0.1");
    }
    errno = 0;
    EXPECT_EQ(open_listener(port, "2001:db8::1"), -1) << "no host's address";
    EXPECT_EQ(errno, EADDRNOTAVAIL);
}

// An IPv6 backend is reached and refused as an IPv4 one is.
TEST(sockets, connect_backend_reaches_an_ipv6_backend)
{
    if (std::string missing = ipv6_missing(); !missing.empty())
        GTEST_SKIP() << missing;
    backend_pool pool(std::vector<std::string>{"::1"});
    unique_fd fd(connect_backend("::1", pool.port(), 1000));
    ASSERT_GE(fd.get(), 0) << std::strerror(errno);
    ASSERT_TRUE(send_all(fd.get(), "ping"));
    EXPECT_EQ(recv_some(fd.get(), 4), "ping");
    fd.reset();
    pool.stop(0);
    errno = 0;
    EXPECT_EQ(connect_backend("::1", pool.port(), 1000), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    errno = EBADF;
    EXPECT_EQ(connect_backend("[::1]", pool.port()), -1);
    EXPECT_EQ(errno, EBADF) << "a bracketed literal is no address text";
}

TEST(sockets, open_listener_reopens_at_once_while_server_closed_connections_linger)
{
    unique_fd listener(open_listener(0));
    ASSERT_GE(listener.get(), 0);
    const std::uint16_t port = ntohs(name_of(listener.get()).sin_port);
    for (int n = 0; n < 3; ++n) {
        unique_fd client = connect_to("127.0.0.1", port);
        ASSERT_TRUE(client);
        unique_fd served(accept(listener.get(), nullptr, nullptr));
        ASSERT_GE(served.get(), 0);
        served.reset();  // the server side closes first, so it keeps TIME_WAIT
        EXPECT_TRUE(closed_without_data(client.get()));
    }
    listener.reset();
    // Without address reuse, bind fails while those connections linger.
    ASSERT_TRUE(plain_bind_refused(port));

    unique_fd again(open_listener(port));
    EXPECT_GE(again.get(), 0) << std::strerror(errno);
    EXPECT_TRUE(connect_to("127.0.0.1", port));
}

TEST(sockets, connect_backend_connects_blocking_or_fails_with_the_reason)
{
    backend_pool pool(1);
    const std::string address = backend_address(0);
    for (std::int32_t port : {std::int32_t{pool.port()}, 3 * 65536 + pool.port()}) {
        unique_fd fd(connect_backend(address.c_str(), port));
        ASSERT_GE(fd.get(), 0);
        sockaddr_in peer = name_of(fd.get(), true);
        EXPECT_EQ(ntohs(peer.sin_port), pool.port());
        EXPECT_EQ(peer.sin_addr.s_addr, inet_addr(address.c_str()));
        EXPECT_EQ(fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
    }
    ASSERT_TRUE(wait_for([&] { return pool.accepted(0) == 2; }));

    for (const char *text : {"localhost", "127.0.0.2#main", "127.2", ""}) {
        errno = EBADF;
        EXPECT_EQ(connect_backend(text, pool.port()), -1) << text;
        EXPECT_EQ(errno, EBADF) << "a rejected text sets no error of its own";
    }
    pool.stop(0);
    errno = 0;
    EXPECT_EQ(connect_backend(address.c_str(), pool.port()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(pool.accepted(0), 2);
}

TEST(sockets, failed_set_up_holds_no_descriptor)
{
    backend_pool pool(1);
    pool.stop(0);
    unique_fd holder(open_listener(0));
    ASSERT_GE(holder.get(), 0);
    const std::uint16_t busy_port = ntohs(name_of(holder.get()).sin_port);
    const int before = open_fd_count();
    for (int n = 0; n < 100; ++n) {
        ASSERT_EQ(connect_backend(backend_address(0).c_str(), pool.port()), -1);
        ASSERT_EQ(connect_backend("localhost", pool.port()), -1);
        ASSERT_EQ(open_listener(busy_port), -1);
    }
    EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
