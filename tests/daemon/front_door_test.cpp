// The front door, end to end with the real daemon: who may connect (allow,
// deny), how many sessions one client may hold (maxperclient), the PROXY
// header a backend is sent (proxyprotocol) and the one a trusted proxy
// sends (acceptproxy). Clients connect from chosen loopback addresses
// (127.0.0.1, 127.0.0.9, ::1); backends record every byte each connection
// brings them, probes included.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/harness.h"

using namespace dovra_test;

namespace {

// What each connection brought a backend, in the order they ended.
struct recorder {
    std::mutex lock;
    std::vector<std::string> connections;

    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> hold(lock);
        return connections;
    }
    std::vector<std::string> with_data()
    {
        std::vector<std::string> found;
        for (const std::string &c : taken()) {
            if (!c.empty())
                found.push_back(c);
        }
        return found;
    }
};

// Reads until the peer closes, answering its first piece with "+", and
// records what it read.
backend_handler recording(recorder &r)
{
    return [&r](int fd, int) {
        std::string got;
        char buf[4096];
        for (;;) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            // One answer, so that a client that read it leaves nothing unread.
            if (got.empty() && !send_all(fd, "+"))
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        std::lock_guard<std::mutex> hold(r.lock);
        r.connections.push_back(got);
    };
}

// "address:port" or "[address]:port" of a socket's own end.
std::string own_endpoint(int fd)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    char text[INET6_ADDRSTRLEN] = "?";
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return "?";
    if (a.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&a);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
}

std::uint16_t own_port(int fd)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port)
                                   : ntohs(reinterpret_cast<sockaddr_in *>(&a)->sin_port);
}

// A daemon in front of one recording backend, with the settings given.
struct front {
    recorder seen;
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;
    std::string banner;

    explicit front(const std::string &settings, int maxclients = 10)
        : pool(1, recording(seen)), run((config_text(port, pool.port(), maxclients, {backend_address(0)}) + settings).c_str())
    {
        banner = run.out();
    }
    bool up() { return run.launcher_status() == 0 && run.daemon_pid() > 0; }
    std::string out()
    {
        const std::string text = run.out();
        return text.starts_with(banner) ? text.substr(banner.size()) : "(summary changed) " + text;
    }
    std::vector<std::string> lines_starting(const std::string &prefix) { return dovra_test::lines_starting(out(), prefix); }
    // A session from source that has carried one byte to the backend.
    unique_fd session(const std::string &source, const std::string &address = "127.0.0.1")
    {
        unique_fd c = connect_from(source, address, port);
        if (!c || !send_all(c.get(), "x") || recv_some(c.get(), 1, 5s) != "+")
            return {};
        return c;
    }
    std::size_t workers() { return children_of(run.daemon_pid()).size(); }
    // The status report's front door line.
    std::string refusals()
    {
        const std::size_t before = lines_starting("refused since start: ").size();
        if (kill(run.daemon_pid(), SIGUSR1) != 0)
            return "";
        wait_for([&] { return lines_starting("refused since start: ").size() > before; });
        const auto lines = lines_starting("refused since start: ");
        return lines.empty() ? "" : lines.back();
    }
};

}  // namespace

TEST(AddressRules, RefuseInTheDaemonWithoutAForkAndDenyWinsInsideAnAllow)
{
    front f("allow 127.0.0.0/29\ndeny 127.0.0.4\nsessionlog on\n");
    ASSERT_TRUE(f.up()) << f.run.out() << f.run.err();

    // Inside the allow line but denied: closed without a byte, and no worker
    // came to probe the backend.
    unique_fd denied = connect_from("127.0.0.4", "127.0.0.1", f.port);
    ASSERT_TRUE(denied);
    EXPECT_TRUE(closed_without_data(denied.get()));
    ASSERT_TRUE(wait_for([&] { return f.lines_starting("refused ").size() == 1; })) << f.out();
    EXPECT_EQ(f.lines_starting("refused ")[0],
              "refused " + own_endpoint(denied.get()) + ": matches deny 127.0.0.4/32");

    // Outside every allow line.
    unique_fd outside = connect_from("127.0.0.9", "127.0.0.1", f.port);
    ASSERT_TRUE(outside);
    EXPECT_TRUE(closed_without_data(outside.get()));
    EXPECT_EQ(f.pool.accepted(0), 0);
    EXPECT_EQ(f.workers(), 0u);

    // Allowed: served.
    unique_fd allowed = f.session("127.0.0.1");
    EXPECT_TRUE(allowed);
    EXPECT_EQ(f.refusals(), "refused since start: 2 by allow and deny, 0 over maxperclient, 0 without a valid PROXY header");
    EXPECT_EQ(f.run.err(), "");
}

TEST(AddressRules, MaxperclientRefusesAThirdSessionOfOneClientAndServesOthers)
{
    front f("maxperclient 2\nsessionlog on\n");
    ASSERT_TRUE(f.up()) << f.run.out() << f.run.err();
    unique_fd a = f.session("127.0.0.1");
    unique_fd b = f.session("127.0.0.1");
    ASSERT_TRUE(a && b);

    unique_fd third = connect_from("127.0.0.1", "127.0.0.1", f.port);
    ASSERT_TRUE(third);
    EXPECT_TRUE(closed_without_data(third.get()));
    ASSERT_TRUE(wait_for([&] { return f.lines_starting("refused ").size() == 1; })) << f.out();
    EXPECT_EQ(f.lines_starting("refused ")[0], "refused " + own_endpoint(third.get()) +
                                                   ": 2 of 2 sessions of this client open (maxperclient)");

    // Another client is served meanwhile; and this one again once one of its
    // sessions has ended and its worker is reaped.
    unique_fd other = f.session("127.0.0.9");
    EXPECT_TRUE(other);
    a.reset();
    ASSERT_TRUE(wait_for([&] { return f.workers() == 2; }));
    unique_fd again = f.session("127.0.0.1");
    EXPECT_TRUE(again);
    EXPECT_EQ(f.refusals(), "refused since start: 0 by allow and deny, 1 over maxperclient, 0 without a valid PROXY header");
    EXPECT_EQ(f.run.err(), "");
}

namespace {

const std::string V2_SIGNATURE = bytes({0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a});

std::string port_bytes(std::uint16_t port)
{
    return bytes({port >> 8, port & 0xff});
}

// The version 2 header of a TCP over IPv4 connection, written out here.
std::string v2_tcp4(std::string source, std::string destination, std::uint16_t sport, std::uint16_t dport)
{
    in_addr s{};
    in_addr d{};
    inet_pton(AF_INET, source.c_str(), &s);
    inet_pton(AF_INET, destination.c_str(), &d);
    return V2_SIGNATURE + bytes({0x21, 0x11, 0x00, 12}) + std::string(reinterpret_cast<char *>(&s), 4) +
           std::string(reinterpret_cast<char *>(&d), 4) + port_bytes(sport) + port_bytes(dport);
}

std::string v2_tcp6(std::string source, std::string destination, std::uint16_t sport, std::uint16_t dport,
                    const std::string &tlvs = "")
{
    in6_addr s{};
    in6_addr d{};
    inet_pton(AF_INET6, source.c_str(), &s);
    inet_pton(AF_INET6, destination.c_str(), &d);
    const std::size_t length = 36 + tlvs.size();
    return V2_SIGNATURE + bytes({0x21, 0x21, static_cast<int>(length >> 8), static_cast<int>(length & 0xff)}) +
           std::string(reinterpret_cast<char *>(&s), 16) + std::string(reinterpret_cast<char *>(&d), 16) +
           port_bytes(sport) + port_bytes(dport) + tlvs;
}

// Sends data from source through the daemon, closes, and returns what the
// session's backend connection brought: the single one with bytes.
std::string carried(front &f, const std::string &source, const std::string &data, const std::string &address = "127.0.0.1",
                    std::uint16_t *client_port = nullptr)
{
    const std::size_t before = f.seen.with_data().size();
    unique_fd c = connect_from(source, address, f.port);
    if (!c || !send_all(c.get(), data) || recv_some(c.get(), 1, 5s) != "+")
        return "(not served)";
    if (client_port != nullptr)
        *client_port = own_port(c.get());
    c.reset();
    if (!wait_for([&] { return f.seen.with_data().size() == before + 1; }))
        return "(nothing recorded)";
    return f.seen.with_data().back();
}

}  // namespace

TEST(ProxyProtocol, BackendsGetTheExactHeaderFirstAndProbesGetNothing)
{
    for (const int version : {1, 2}) {
        SCOPED_TRACE(version);
        front f("proxyprotocol v" + std::to_string(version) + "\n");
        ASSERT_TRUE(f.up()) << f.run.out() << f.run.err();
        std::uint16_t client = 0;
        const std::string got = carried(f, "127.0.0.9", "hello", "127.0.0.1", &client);
        const std::string header = version == 1 ? "PROXY TCP4 127.0.0.9 127.0.0.1 " + std::to_string(client) + " " +
                                                      std::to_string(f.port) + "\r\n"
                                                : v2_tcp4("127.0.0.9", "127.0.0.1", client, f.port);
        EXPECT_EQ(got, header + "hello");
        // The worker's one probe, empty.
        ASSERT_TRUE(wait_for([&] { return f.seen.taken().size() == 2; }));
        EXPECT_EQ(f.seen.with_data().size(), 1u);
        EXPECT_EQ(f.run.err(), "");
    }
}

TEST(ProxyProtocol, AnIPv6ClientGetsTCP6AndAnIPv4OneOnTheSameListenerTCP4)
{
    DOVRA_SKIP_WITHOUT_IPV6();
    for (const int version : {1, 2}) {
        SCOPED_TRACE(version);
        front f("localaddress ::\nproxyprotocol v" + std::to_string(version) + "\n");
        ASSERT_TRUE(f.up()) << f.run.out() << f.run.err();
        std::uint16_t client = 0;
        std::string got = carried(f, "::1", "six", "::1", &client);
        EXPECT_EQ(got, (version == 1 ? "PROXY TCP6 ::1 ::1 " + std::to_string(client) + " " + std::to_string(f.port) +
                                           "\r\n"
                                     : v2_tcp6("::1", "::1", client, f.port)) +
                           "six");
        got = carried(f, "127.0.0.9", "four", "127.0.0.1", &client);
        EXPECT_EQ(got, (version == 1 ? "PROXY TCP4 127.0.0.9 127.0.0.1 " + std::to_string(client) + " " +
                                           std::to_string(f.port) + "\r\n"
                                     : v2_tcp4("127.0.0.9", "127.0.0.1", client, f.port)) +
                           "four");
        EXPECT_EQ(f.run.err(), "");
    }
}

TEST(AcceptProxy, ATrustedHeaderNamesTheClientEverywhereAndIsNotRelayed)
{
    front f("acceptproxy 127.0.0.9\nproxyprotocol v2\ndeny 192.0.2.66\nmaxperclient 1\nsessionlog on\n");
    ASSERT_TRUE(f.up()) << f.run.out() << f.run.err();

    // Version 1 in, version 2 out: the backend sees the header's client, and
    // the session log names it.
    unique_fd held = connect_from("127.0.0.9", "127.0.0.1", f.port);
    ASSERT_TRUE(held && send_all(held.get(), "PROXY TCP4 192.0.2.7 198.51.100.1 5555 443\r\nhello"));
    ASSERT_EQ(recv_some(held.get(), 1, 5s), "+");

    // Version 2 in, with a TLV, which is dropped.
    const std::string tlv = bytes({0x04, 0x00, 0x02, 'h', 'i'});
    EXPECT_EQ(carried(f, "127.0.0.9", v2_tcp6("2001:db8::7", "2001:db8::1", 6666, 80, tlv) + "world"),
              v2_tcp6("2001:db8::7", "2001:db8::1", 6666, 80) + "world");
    ASSERT_TRUE(wait_for([&] { return f.lines_starting("session [2001:db8::7]:6666 > ").size() == 1; })) << f.out();

    // The header's client is held to maxperclient and to deny; the proxy
    // itself to neither.
    unique_fd again = connect_from("127.0.0.9", "127.0.0.1", f.port);
    ASSERT_TRUE(again && send_all(again.get(), "PROXY TCP4 192.0.2.7 198.51.100.1 5556 443\r\nagain"));
    EXPECT_TRUE(closed_without_data(again.get()));
    unique_fd denied = connect_from("127.0.0.9", "127.0.0.1", f.port);
    ASSERT_TRUE(denied && send_all(denied.get(), "PROXY TCP4 192.0.2.66 198.51.100.1 5557 443\r\nno"));
    EXPECT_TRUE(closed_without_data(denied.get()));
    ASSERT_TRUE(wait_for([&] { return f.lines_starting("refused ").size() == 2; })) << f.out();
    EXPECT_EQ(f.lines_starting("refused ")[0],
              "refused 192.0.2.7:5556: 1 of 1 sessions of this client open (maxperclient)");
    EXPECT_EQ(f.lines_starting("refused ")[1], "refused 192.0.2.66:5557: matches deny 192.0.2.66/32");

    held.reset();
    ASSERT_TRUE(wait_for([&] { return f.lines_starting("session 192.0.2.7:5555 > ").size() == 1; })) << f.out();
    ASSERT_TRUE(wait_for([&] { return f.seen.with_data().size() == 2; }));
    EXPECT_EQ(f.seen.with_data()[1], v2_tcp4("192.0.2.7", "198.51.100.1", 5555, 443) + "hello");

    // An untrusted client's PROXY line is its data, sent on after dovra's own
    // header.
    std::uint16_t client = 0;
    const std::string line = "PROXY TCP4 192.0.2.7 198.51.100.1 5555 443\r\nhello";
    const std::string got = carried(f, "127.0.0.1", line, "127.0.0.1", &client);
    EXPECT_EQ(got, v2_tcp4("127.0.0.1", "127.0.0.1", client, f.port) + line);
    EXPECT_EQ(f.pool.accepted(0), 6);  // a probe and a session for each of three
    EXPECT_EQ(f.run.err(), "");
}

TEST(AcceptProxy, AMalformedTruncatedOrLateHeaderIsRefusedBeforeAnyBackend)
{
    front f("acceptproxy 127.0.0.0/28\nconnecttimeout 1\nsessionlog on\n");
    ASSERT_TRUE(f.up()) << f.run.out() << f.run.err();
    const std::vector<std::string> refused = {
        "PROXY TCP4 192.0.2.7 198.51.100.1 5555 65536\r\nhello",  // port beyond 65535
        "GET / HTTP/1.0\r\n\r\n",                                   // no header at all
        V2_SIGNATURE + bytes({0x31, 0x11, 0x00, 12}) + std::string(12, '\1'),  // version 3
        "PROXY TCP4 192.0.2.7 198.51.100.1 5555",                  // then the client closes
        "",                                                         // nothing within connecttimeout
    };
    std::string first_client;
    for (std::size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE(i);
        unique_fd c = connect_from("127.0.0.9", "127.0.0.1", f.port);
        ASSERT_TRUE(c);
        ASSERT_TRUE(refused[i].empty() || send_all(c.get(), refused[i]));
        if (i == 3) {
            ASSERT_EQ(shutdown(c.get(), SHUT_WR), 0);
        }
        if (i == 0)
            first_client = own_endpoint(c.get());
        EXPECT_TRUE(closed_without_data(c.get()));
    }
    EXPECT_EQ(f.pool.accepted(0), 0);
    ASSERT_TRUE(wait_for([&] { return !f.lines_starting("refused ").empty(); })) << f.out();
    EXPECT_EQ(f.lines_starting("refused ")[0], "refused " + first_client + ": malformed PROXY v1 header");
    EXPECT_EQ(f.refusals(), "refused since start: 0 by allow and deny, 0 over maxperclient, 5 without a valid PROXY header");
    EXPECT_EQ(f.run.err(), "");
}
