// The session relay over real socket pairs and loopback TCP. The relay runs
// on a thread between the two inner ends; the test plays client and backend
// on the outer ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <future>

#include "net/net.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

// Two connected stream sockets: a socketpair, or a loopback TCP connection
// whose receive and send buffers can be shrunk before it is connected.
socket_pair make_pair(bool tcp, int outer_rcvbuf = 0, int inner_sndbuf = 0)
{
    if (tcp)
        return tcp_pair(outer_rcvbuf, inner_sndbuf);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return {};
    return {unique_fd(sv[0]), unique_fd(sv[1])};
}

// relay_streams (or any relay call) on a thread of its own. A relay still
// running when the test ends is made to return by shutting its sockets down.
class relay_thread {
public:
    relay_thread(std::function<int()> call, std::vector<int> fds)
        : fds_(std::move(fds)), result_(std::async(std::launch::async, std::move(call)))
    {
    }
    relay_thread(int client_fd, int backend_fd)
        : relay_thread([=] { return relay_streams(client_fd, backend_fd); }, {client_fd, backend_fd})
    {
    }
    ~relay_thread()
    {
        if (result_.valid() && !ended(0ms)) {
            for (int fd : fds_)
                shutdown(fd, SHUT_RDWR);
        }
    }
    bool ended(std::chrono::milliseconds timeout = 5s)
    {
        return result_.wait_for(timeout) == std::future_status::ready;
    }
    // What the relay returned, or -100 when it is still running after timeout.
    int result(std::chrono::milliseconds timeout = 5s) { return ended(timeout) ? result_.get() : -100; }

private:
    std::vector<int> fds_;
    std::future<int> result_;
};

struct relay_rig {
    socket_pair client;
    socket_pair backend;
    relay_thread relay;
    explicit relay_rig(bool tcp, socket_pair c = {}, socket_pair b = {})
        : client(c.outer ? std::move(c) : make_pair(tcp)), backend(b.outer ? std::move(b) : make_pair(tcp)),
          relay(client.inner.get(), backend.inner.get())
    {
    }
};

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(RelayStreams, CarriesEveryByteBothWaysAndEndsWhenEitherSideCloses)
{
    for (bool tcp : {false, true}) {
        for (bool client_closes : {true, false}) {
            SCOPED_TRACE(std::string(tcp ? "tcp" : "socketpair") +
                         (client_closes ? ", client closes" : ", backend closes"));
            relay_rig rig(tcp);
            int client = rig.client.outer.get();
            int backend = rig.backend.outer.get();

            // One send larger than the relay's buffer reaches the backend whole.
            const std::string burst = random_bytes(10000, 1);
            ASSERT_EQ(send(client, burst.data(), burst.size(), MSG_NOSIGNAL), 10000);
            EXPECT_EQ(recv_some(backend, burst.size()), burst);

            // Megabytes both ways at once, each direction its own stream.
            const std::string up = random_bytes(std::size_t{3} << 20, 2);
            const std::string down = random_bytes(std::size_t{5} << 20, 3);
            auto backend_got = std::async(std::launch::async, [&] { return duplex(backend, down, up.size()); });
            EXPECT_TRUE(duplex(client, up, down.size()) == down);
            EXPECT_TRUE(backend_got.get() == up);

            // Bytes sent just before a close still arrive, followed by the
            // end; once the other side closes too, the relay returns 0.
            socket_pair &closer = client_closes ? rig.client : rig.backend;
            socket_pair &other = client_closes ? rig.backend : rig.client;
            ASSERT_TRUE(send_all(closer.outer.get(), "last words"));
            closer.outer.reset();
            EXPECT_EQ(recv_some(other.outer.get(), 10), "last words");
            EXPECT_TRUE(closed_without_data(other.outer.get()));
            other.outer.reset();
            EXPECT_EQ(rig.relay.result(), 0);
            EXPECT_TRUE(is_open(rig.client.inner.get()) && is_open(rig.backend.inner.get()));
        }
    }
}

TEST(RelayStreams, WithHalfcloseEachDirectionEndsOnItsOwnFin)
{
    // The first FIN is passed on while the other direction still carries
    // megabytes; the second ends the session, and names its side.
    for (bool client_first : {true, false}) {
        SCOPED_TRACE(client_first ? "the client shuts first" : "the backend shuts first");
        socket_pair client = make_pair(true);
        socket_pair backend = make_pair(true);
        session_stats stats{};
        const int c = client.inner.get();
        const int b = backend.inner.get();
        relay_thread relay([&stats, c, b] { return relay_streams(c, b, {0, true}, &stats); }, {c, b});
        const int first = (client_first ? client : backend).outer.get();
        const int second = (client_first ? backend : client).outer.get();

        ASSERT_TRUE(send_all(first, "request"));
        ASSERT_EQ(shutdown(first, SHUT_WR), 0);
        EXPECT_EQ(recv_some(second, 7), "request");
        EXPECT_TRUE(closed_without_data(second));
        const std::string reply = random_bytes(std::size_t{3} << 20, 5);
        auto sent = std::async(std::launch::async, [&] { return send_all(second, reply); });
        EXPECT_TRUE(recv_some(first, reply.size(), 20s) == reply);
        EXPECT_TRUE(sent.get());
        EXPECT_FALSE(relay.ended(0ms));

        ASSERT_EQ(shutdown(second, SHUT_WR), 0);
        EXPECT_TRUE(closed_without_data(first));
        EXPECT_EQ(relay.result(), 0);
        EXPECT_EQ(stats.end, client_first ? END_BACKEND_CLOSED : END_CLIENT_CLOSED);
        EXPECT_EQ(stats.from_client, client_first ? 7u : reply.size());
        EXPECT_EQ(stats.from_backend, client_first ? reply.size() : 7u);
    }
}

TEST(RelayStreams, FinishesShortSendsToASlowReader)
{
    // A tiny send buffer on the relay's side of a slow reader makes most
    // sends move only part of what was received.
    for (bool to_backend : {true, false}) {
        SCOPED_TRACE(to_backend ? "towards the backend" : "towards the client");
        socket_pair slow = make_pair(true, 1, 1);
        relay_rig rig(true, to_backend ? make_pair(true) : std::move(slow),
                      to_backend ? std::move(slow) : make_pair(true));
        int writer = (to_backend ? rig.client : rig.backend).outer.get();
        int reader = (to_backend ? rig.backend : rig.client).outer.get();

        const std::string data = random_bytes(std::size_t{192} << 10, 4);
        auto sent = std::async(std::launch::async, [&] { return send_all(writer, data); });
        std::string got;
        while (got.size() < data.size()) {
            std::string piece = recv_some(reader, std::min<std::size_t>(1000, data.size() - got.size()));
            if (piece.empty())
                break;
            got += piece;
            std::this_thread::sleep_for(100us);
        }
        EXPECT_TRUE(sent.get());
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
    }
}

TEST(RelayStreams, RetriesCallsThatASignalInterrupts)
{
    // SIGUSR1, without SA_RESTART, reaches the relay's thread alone, and
    // keeps interrupting it for the whole transfer.
    struct sigaction act {}, old {};
    act.sa_handler = [](int) {};
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    {
        socket_pair client = make_pair(true);
        socket_pair backend = make_pair(true);
        int c = client.inner.get();
        int b = backend.inner.get();
        relay_thread relay([=] {
            pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
            return relay_streams(c, b);
        }, {c, b});
        std::atomic<bool> done{false};
        std::thread pester([&] {
            while (!done) {
                kill(getpid(), SIGUSR1);
                std::this_thread::sleep_for(20us);
            }
        });
        const std::string up = random_bytes(std::size_t{2} << 20, 11);
        const std::string down = random_bytes(std::size_t{2} << 20, 12);
        auto backend_got =
            std::async(std::launch::async, [&] { return duplex(backend.outer.get(), down, up.size(), 20s); });
        EXPECT_TRUE(duplex(client.outer.get(), up, down.size(), 20s) == down);
        EXPECT_TRUE(backend_got.get() == up);
        done = true;
        pester.join();
        client.outer.reset();
        backend.outer.reset();
        EXPECT_EQ(relay.result(), 0);
    }
    pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);  // takes any signal still pending
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(RelayStreams, RefusesDescriptorsBeyondTheSelectLimit)
{
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit raised = old;
    if (raised.rlim_cur <= 1500) {
        if (raised.rlim_max != RLIM_INFINITY && raised.rlim_max <= 1500)
            GTEST_SKIP() << "cannot open descriptor 1500";
        raised.rlim_cur = 1501;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    socket_pair a = make_pair(false);
    socket_pair b = make_pair(false);
    ASSERT_EQ(dup2(a.inner.get(), 1500), 1500);
    unique_fd high(1500);
    for (auto fds : {std::pair{high.get(), b.inner.get()}, std::pair{b.inner.get(), high.get()}}) {
        relay_thread relay(fds.first, fds.second);
        EXPECT_EQ(relay.result(), -1);
        // Refused before anything was done with either socket.
        EXPECT_EQ(fcntl(fds.first, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(fcntl(fds.second, F_GETFL) & O_NONBLOCK, 0);
    }
    high.reset();
    setrlimit(RLIMIT_NOFILE, &old);
}

TEST(RelayStreams, FailsOnASendToAResetPeer)
{
    // With both directions backed up, the relay's next move on the reset side
    // is a send; a worker ignores SIGPIPE, so that send must fail, not kill.
    auto old = std::signal(SIGPIPE, SIG_IGN);
    for (bool client_resets : {true, false}) {
        SCOPED_TRACE(client_resets ? "client resets" : "backend resets");
        relay_rig rig(true);
        EXPECT_GT(fill(rig.client.outer.get()), 0u);
        EXPECT_GT(fill(rig.backend.outer.get()), 0u);
        unique_fd &resetter = client_resets ? rig.client.outer : rig.backend.outer;
        linger hard{1, 0};
        setsockopt(resetter.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        resetter.reset();
        EXPECT_LT(rig.relay.result(), 0);
    }
    std::signal(SIGPIPE, old);
}

TEST(RelaySession, FailsWhenTheBackendCannotBeReached)
{
    std::uint16_t closed = free_port();
    for (const char *address : {"127.0.0.2", "localhost", "not an address"}) {
        SCOPED_TRACE(address);
        socket_pair client = make_pair(true);
        session_stats stats;
        EXPECT_EQ(relay_session(client.inner.get(), address, closed, 0, {}, &stats), -1);
        EXPECT_EQ(stats.end, END_ERROR);
    }
}
