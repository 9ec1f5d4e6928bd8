// Sessions with halfclose on, end to end with the real daemon binary,
// loopback TCP and a backend on 127.0.0.2.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <mutex>
#include <regex>

#include "support/harness.h"

using namespace dovra_test;

namespace {

// A daemon with sessionlog on and settings in front of one backend.
struct rig {
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;

    rig(const std::string &settings, backend_handler handler)
        : pool(1, std::move(handler)),
          run((config_text(port, pool.port(), 4, {backend_address(0)}) + "sessionlog on\n" + settings).c_str())
    {
    }
    bool up() { return run.daemon_pid() > 0 && run.listening(port); }
    // The session line of the worker that served the client at endpoint.
    std::string session_line(const std::string &client)
    {
        std::string line;
        wait_for([&] {
            const std::string out = run.out();
            const std::size_t at = out.find("session " + client + " > ");
            if (at == std::string::npos)
                return false;
            line = out.substr(at, out.find('\n', at) - at);
            return true;
        });
        return line;
    }
};

std::string local_endpoint(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// What the backend read before its peer's FIN, for the test to compare once
// the backend has answered.
struct request_seen {
    std::mutex lock;
    std::string bytes;
    bool fin = false;
    bool done = false;
};

}  // namespace

// A client that sends its request and shuts its sending side, as scripted
// clients do, and a backend that answers only once it has read the whole
// request up to that FIN.
TEST(Halfclose, TheWholeReplyArrivesAfterTheClientsFin)
{
    const std::string request = random_bytes(3000, 41);
    const std::string reply = random_bytes(768 * 1024, 42);
    for (const bool halfclose : {true, false}) {
        SCOPED_TRACE(halfclose ? "halfclose on" : "halfclose absent");
        auto seen = std::make_shared<request_seen>();
        rig r(halfclose ? "halfclose on\n" : "", [seen, &reply](int fd, int) {
            std::string got;
            char buf[65536];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
                got.append(buf, static_cast<std::size_t>(n));
            if (got.empty())
                return;  // the worker's probe
            {
                std::lock_guard<std::mutex> guard(seen->lock);
                seen->bytes = got;
                seen->fin = n == 0;
                seen->done = true;
            }
            if (n == 0)
                send_all(fd, reply);
        });
        ASSERT_TRUE(r.up());
        EXPECT_EQ(r.run.out().find("\n halfclose on\n") != std::string::npos, halfclose) << r.run.out();
        unique_fd c = connect_to("127.0.0.1", r.port);
        ASSERT_TRUE(c);
        const std::string client = local_endpoint(c.get());
        ASSERT_TRUE(send_all(c.get(), request));
        ASSERT_EQ(shutdown(c.get(), SHUT_WR), 0);

        const std::string got = recv_some(c.get(), reply.size() + 1, 20s);
        EXPECT_EQ(got.size(), halfclose ? reply.size() : 0u);
        EXPECT_TRUE(got == (halfclose ? reply : ""));
        EXPECT_TRUE(closed_without_data(c.get()));
        // Without halfclose the client's end can come before the backend has
        // read the request.
        ASSERT_TRUE(wait_for([&] {
            std::lock_guard<std::mutex> guard(seen->lock);
            return seen->done;
        }));
        {
            std::lock_guard<std::mutex> guard(seen->lock);
            EXPECT_TRUE(seen->fin) << "the client's FIN was not passed on";
            EXPECT_TRUE(seen->bytes == request);
        }
        const std::string down = halfclose ? std::to_string(reply.size()) : "0";
        const std::string end = halfclose ? "backend closed" : "client closed";
        const std::string line = r.session_line(client);
        EXPECT_TRUE(std::regex_match(line, std::regex("session " + client + " > [0-9.]+:[0-9]+: 3000 bytes up, " +
                                                      down + " bytes down, [0-9]+\\.[0-9]{3} s, " + end)))
            << line;
        EXPECT_EQ(r.run.err(), "");
    }
}

