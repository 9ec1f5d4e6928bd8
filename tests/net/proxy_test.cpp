// The PROXY header: every byte written, and the reader's verdict on what a
// trusted proxy may send, over real loopback TCP where timing matters.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "net/net.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

const std::string SIG = bytes({0x0d, 0x0a, 0x0d, 0x0a, 0x00, 0x0d, 0x0a, 0x51, 0x55, 0x49, 0x54, 0x0a});

sockaddr_storage address(const char *text, std::uint16_t port)
{
    sockaddr_storage ss{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
    }
    return ss;
}

std::string written(int version, const char *source, std::uint16_t sport, const char *destination,
                    std::uint16_t dport)
{
    const sockaddr_storage s = address(source, sport);
    const sockaddr_storage d = address(destination, dport);
    std::uint8_t buf[PROXY_HEADER_MAX];
    const std::size_t n = write_proxy_header(version, reinterpret_cast<const sockaddr *>(&s),
                                             reinterpret_cast<const sockaddr *>(&d), buf, sizeof buf);
    return std::string(reinterpret_cast<char *>(buf), n);
}

struct scanned {
    long result;
    std::string why;
    std::string source;  // format_endpoint's text, or "local"
    std::string destination;
};

scanned scan(const std::string &data)
{
    proxy_addresses out{};
    const char *why = "";
    scanned s{scan_proxy_header(reinterpret_cast<const std::uint8_t *>(data.data()), data.size(), out, &why), why,
              "", ""};
    if (s.result > 0 && out.local) {
        s.source = "local";
    } else if (s.result > 0) {
        char text[ENDPOINT_TEXT_LEN];
        format_endpoint(reinterpret_cast<const sockaddr *>(&out.source), text, sizeof text);
        s.source = text;
        format_endpoint(reinterpret_cast<const sockaddr *>(&out.destination), text, sizeof text);
        s.destination = text;
    }
    return s;
}

}  // namespace

TEST(ProxyHeader, WritesEveryByteOfBothVersions)
{
    EXPECT_EQ(written(1, "192.0.2.7", 5555, "198.51.100.1", 443), "PROXY TCP4 192.0.2.7 198.51.100.1 5555 443\r\n");
    EXPECT_EQ(written(1, "2001:db8::7", 1, "::1", 65535), "PROXY TCP6 2001:db8::7 ::1 1 65535\r\n");
    // IPv4-mapped addresses are IPv4; a mixed pair is written as IPv6.
    EXPECT_EQ(written(1, "::ffff:192.0.2.7", 80, "::ffff:10.0.0.1", 81), "PROXY TCP4 192.0.2.7 10.0.0.1 80 81\r\n");
    EXPECT_EQ(written(1, "192.0.2.7", 80, "::1", 81), "PROXY TCP6 ::ffff:192.0.2.7 ::1 80 81\r\n");
    EXPECT_EQ(written(2, "192.0.2.7", 0x1234, "198.51.100.1", 443),
              SIG + bytes({0x21, 0x11, 0, 12, 192, 0, 2, 7, 198, 51, 100, 1, 0x12, 0x34, 0x01, 0xbb}));
    EXPECT_EQ(written(2, "2001:db8::7", 1, "::1", 2),
              SIG + bytes({0x21, 0x21, 0, 36, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}) +
                  std::string(15, '\0') + bytes({1, 0, 1, 0, 2}));
    EXPECT_EQ(written(3, "192.0.2.7", 1, "192.0.2.8", 2), "");
    // What is written reads back as it was.
    const std::string v2 = written(2, "2001:db8::7", 6666, "2001:db8::1", 80);
    const scanned back = scan(v2);
    EXPECT_EQ(back.result, static_cast<long>(v2.size()));
    EXPECT_EQ(back.source, "[2001:db8::7]:6666");
    EXPECT_EQ(back.destination, "[2001:db8::1]:80");
}

TEST(ProxyHeader, ScanDecidesOnlyOnWhatItHoldsAndRefusesAnythingNotStrictlyAHeader)
{
    const std::string v1 = "PROXY TCP4 192.0.2.7 198.51.100.1 5555 443\r\n";
    const std::string v2 = SIG + bytes({0x21, 0x11, 0, 17, 192, 0, 2, 7, 198, 51, 100, 1, 0, 80, 0, 81}) +
                           bytes({0x04, 0, 2, 'h', 'i'});
    const std::string local = SIG + bytes({0x20, 0x00, 0, 3, 1, 2, 3});
    // Every proper beginning of a header asks for more; the whole decides,
    // and version 2 as soon as its addresses are in (its TLVs are skipped).
    for (std::size_t n = 0; n < v1.size(); ++n)
        EXPECT_EQ(scan(v1.substr(0, n)).result, 0) << n;
    for (std::size_t n = 0; n < 28; ++n)
        EXPECT_EQ(scan(v2.substr(0, n)).result, 0) << n;
    EXPECT_EQ(scan(v1 + "data").result, static_cast<long>(v1.size()));
    EXPECT_EQ(scan(v1).source, "192.0.2.7:5555");
    EXPECT_EQ(scan(v1).destination, "198.51.100.1:443");
    EXPECT_EQ(scan(v2.substr(0, 28)).result, 33);
    EXPECT_EQ(scan(v2).source, "192.0.2.7:80");
    EXPECT_EQ(scan(local).result, 19);
    EXPECT_EQ(scan(local).source, "local");
    EXPECT_EQ(scan("PROXY UNKNOWN\r\n").source, "local");
    EXPECT_EQ(scan("PROXY TCP6 ::1 2001:db8::1 1 0\r\n").source, "[::1]:1");
    // 107 bytes is the longest line.
    const std::string unknown = "PROXY UNKNOWN ";
    EXPECT_EQ(scan(unknown + std::string(107 - unknown.size() - 2, 'x') + "\r\n").result, 107);
    EXPECT_EQ(scan(unknown + std::string(106 - unknown.size(), 'x')).why, "PROXY v1 header longer than 107 bytes");

    const struct {
        std::string data;
        const char *why;
    } refused[] = {
        {"GET / HTTP/1.0\r\n", "not a PROXY header"},
        {"PROXX", "not a PROXY header"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 5555 65536\r\n", "malformed PROXY v1 header"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 05555 443\r\n", "malformed PROXY v1 header"},
        {"PROXY TCP4 192.0.2.7  198.51.100.1 5555 443\r\n", "malformed PROXY v1 header"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 5555 443 \r\n", "malformed PROXY v1 header"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 5555\r\n", "malformed PROXY v1 header"},
        {"PROXY TCP4 ::1 ::1 1 2\r\n", "malformed PROXY v1 header"},
        {"PROXY TCP6 192.0.2.7 198.51.100.1 1 2\r\n", "malformed PROXY v1 header"},
        {"PROXY UDP4 192.0.2.7 198.51.100.1 1 2\r\n", "malformed PROXY v1 header"},
        {"proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n", "not a PROXY header"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 1 2\rX", "malformed PROXY v1 header"},
        {"PROXY TCP4 192.0.2.7 198.51.100.1 1 2\n", "malformed PROXY v1 header"},
        {SIG.substr(0, 11) + "X", "not a PROXY header"},
        {SIG + bytes({0x11, 0x11, 0, 12}), "PROXY v2 header of another version or command"},
        {SIG + bytes({0x22, 0x11, 0, 12}), "PROXY v2 header of another version or command"},
        {SIG + bytes({0x21, 0x12, 0, 12}), "PROXY v2 header not of TCP over IPv4 or IPv6"},
        {SIG + bytes({0x21, 0x31, 0, 216}), "PROXY v2 header not of TCP over IPv4 or IPv6"},
        {SIG + bytes({0x21, 0x00, 0, 0}), "PROXY v2 header not of TCP over IPv4 or IPv6"},
        {SIG + bytes({0x21, 0x11, 0, 11}), "PROXY v2 header too short for its addresses"},
        {SIG + bytes({0x21, 0x21, 0, 35}), "PROXY v2 header too short for its addresses"},
    };
    for (const auto &r : refused) {
        const scanned s = scan(r.data);
        EXPECT_EQ(s.result, -1) << r.data;
        EXPECT_EQ(s.why, r.why) << r.data;
    }
}

TEST(ProxyHeader, ReaderTakesExactlyTheHeaderWhateverTheSplitsAndRefusesLateOrCutOnes)
{
    const std::string tlvs(3000, 'T');
    const std::string v2 = SIG + bytes({0x21, 0x11, static_cast<int>((12 + tlvs.size()) >> 8),
                                        static_cast<int>((12 + tlvs.size()) & 0xff), 192, 0, 2, 7, 198, 51, 100, 1,
                                        0, 80, 0, 81}) +
                           tlvs;
    for (const std::string &header : {std::string("PROXY TCP4 192.0.2.7 198.51.100.1 80 81\r\n"), v2}) {
        for (const std::size_t split : {std::size_t{1}, std::size_t{6}, std::size_t{13}, std::size_t{20}}) {
            SCOPED_TRACE(std::to_string(header.size()) + " split at " + std::to_string(split));
            socket_pair p = tcp_pair();
            ASSERT_TRUE(p.outer && p.inner);
            // The first piece alone, then the rest with the session's bytes.
            ASSERT_TRUE(send_all(p.outer.get(), header.substr(0, split)));
            std::thread rest([&] {
                std::this_thread::sleep_for(50ms);
                send_all(p.outer.get(), header.substr(split) + "DATA");
            });
            proxy_addresses out{};
            const char *why = "";
            const int result = read_proxy_header(p.inner.get(), 5000, out, &why);
            rest.join();
            EXPECT_EQ(result, 0) << why;
            char text[ENDPOINT_TEXT_LEN];
            format_endpoint(reinterpret_cast<const sockaddr *>(&out.source), text, sizeof text);
            EXPECT_STREQ(text, "192.0.2.7:80");
            EXPECT_EQ(recv_some(p.inner.get(), 4, 5s), "DATA");
        }
    }

    // Cut short by the client's close; and nothing in time.
    socket_pair cut = tcp_pair();
    ASSERT_TRUE(cut.outer && cut.inner);
    ASSERT_TRUE(send_all(cut.outer.get(), "PROXY TCP4 192.0.2.7"));
    ASSERT_EQ(shutdown(cut.outer.get(), SHUT_WR), 0);
    proxy_addresses out{};
    const char *why = "";
    EXPECT_EQ(read_proxy_header(cut.inner.get(), 5000, out, &why), -1);
    EXPECT_STREQ(why, "client closed before the PROXY header's end");

    socket_pair late = tcp_pair();
    ASSERT_TRUE(late.outer && late.inner);
    ASSERT_TRUE(send_all(late.outer.get(), "PROXY TCP4"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_proxy_header(late.inner.get(), 300, out, &why), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_STREQ(why, "no whole PROXY header within connecttimeout");
}
