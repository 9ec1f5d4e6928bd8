// Load: thousands of sessions, from up to 200 clients at once, through a
// daemon that admits 64 at a time, against three echo backends. Every
// admitted session is checked byte for byte, every refused client must be
// closed with no data, and afterwards the daemon must hold exactly what it
// held before: no worker, no zombie, no extra descriptor, every slot free and
// its whole capacity.
//
// DOVRA_LOAD_MINUTES=n turns the run into a soak of n minutes (bench/soak.sh).
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <semaphore>

#include "support/harness.h"

using namespace dovra_test;

namespace {

constexpr int MAX_CLIENTS = 64;
constexpr int CLIENT_THREADS = 200;
constexpr int SESSIONS = 2000;
constexpr std::size_t MAX_PAYLOAD = 1 << 20;
// The daemon listens with a backlog of 10. When more connections than that
// complete their handshake before it accepts them, Linux drops their final
// ACK, and those clients, connected as far as they know, wait on TCP
// retransmission for up to a minute. So at most this many clients may be
// connected and not yet answered (echoed or closed) at any moment.
constexpr std::ptrdiff_t UNANSWERED = 8;

enum class outcome { verified, refused, failed };

struct load_state {
    std::string block;  // payloads are slices of it
    std::atomic<int> started{0};
    std::atomic<int> verified{0};
    std::atomic<int> refused{0};
    std::atomic<int> failed{0};
    std::atomic<std::uint64_t> bytes{0};  // verified, each way
    std::atomic<long> slowest_connect_ms{0};
    std::atomic<long> slowest_session_ms{0};
    std::counting_semaphore<UNANSWERED> unanswered{UNANSWERED};
    std::mutex lock;
    std::string first_failure;
    std::chrono::steady_clock::time_point deadline;
    int target = SESSIONS;  // sessions to verify; 0 in a soak, which runs to its deadline

    void fail(const std::string &why)
    {
        failed++;
        std::lock_guard<std::mutex> guard(lock);
        if (first_failure.empty())
            first_failure = why;
    }
};

// One client: sends the payload while reading its echo, compares every byte,
// and closes once all of it has come back. A client that gets nothing and
// sees its connection closed was refused.
outcome run_client(std::uint16_t port, const char *payload, std::size_t size, std::chrono::milliseconds hold,
                   load_state &load)
{
    load.unanswered.acquire();
    struct answer {
        load_state &load;
        bool pending = true;
        void operator()()
        {
            if (pending)
                load.unanswered.release();
            pending = false;
        }
        ~answer() { (*this)(); }
    } answered{load};
    auto begun = std::chrono::steady_clock::now();
    auto note = [&](std::atomic<long> &slowest) {
        long ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begun).count();
        for (long seen = slowest; ms > seen && !slowest.compare_exchange_weak(seen, ms);) {
        }
    };
    unique_fd fd = connect_to("127.0.0.1", port);
    note(load.slowest_connect_ms);
    if (!fd) {
        load.fail("connect: " + std::string(std::strerror(errno)));
        return outcome::failed;
    }
    std::size_t sent = 0;
    std::size_t got = 0;
    char buf[65536];
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (got < size) {
        if (std::chrono::steady_clock::now() > deadline) {
            load.fail("session timed out after " + std::to_string(got) + " of " + std::to_string(size) + " bytes");
            return outcome::failed;
        }
        pollfd p{fd.get(), static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        if ((p.revents & POLLOUT) != 0 && sent < size) {
            ssize_t n = send(fd.get(), payload + sent, std::min<std::size_t>(size - sent, 65536),
                             MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR && got == 0)
                return outcome::refused;  // reset before a byte came back
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        ssize_t n = recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0) {
            if (got == 0)
                return outcome::refused;
            load.fail("session ended after " + std::to_string(got) + " of " + std::to_string(size) + " bytes");
            return outcome::failed;
        }
        if (got + static_cast<std::size_t>(n) > size ||
            std::memcmp(buf, payload + got, static_cast<std::size_t>(n)) != 0) {
            load.fail("echo differs from what was sent near byte " + std::to_string(got));
            return outcome::failed;
        }
        got += static_cast<std::size_t>(n);
        answered();
    }
    note(load.slowest_session_ms);
    // Idle sessions that stay open keep the daemon at its limit.
    std::this_thread::sleep_for(hold);
    return outcome::verified;
}

// Sizes spread evenly over the orders of magnitude from 1 byte to 1 MiB.
std::size_t payload_size(std::mt19937_64 &rng)
{
    std::uniform_real_distribution<double> exponent(0.0, std::log(static_cast<double>(MAX_PAYLOAD)));
    return std::min(MAX_PAYLOAD, static_cast<std::size_t>(std::exp(exponent(rng))));
}

void client_loop(std::uint16_t port, load_state &load, unsigned seed)
{
    std::mt19937_64 rng(seed);
    auto backoff = 5ms;
    while (std::chrono::steady_clock::now() < load.deadline && load.failed == 0 &&
           (load.target == 0 || load.verified < load.target)) {
        int n = load.started++;
        std::size_t size = n == 0 ? MAX_PAYLOAD : n == 1 ? 1 : payload_size(rng);
        const char *payload = load.block.data() + rng() % (load.block.size() - MAX_PAYLOAD);
        switch (run_client(port, payload, size, std::chrono::milliseconds(rng() % 150), load)) {
        case outcome::verified:
            load.verified++;
            load.bytes += size;
            backoff = 5ms;
            break;
        case outcome::refused:
            // The daemon is full: come back later rather than hammer it.
            load.refused++;
            std::this_thread::sleep_for(backoff + std::chrono::milliseconds(rng() % 20));
            backoff = std::min(backoff * 2, std::chrono::milliseconds(200));
            break;
        case outcome::failed:
            return;
        }
    }
}

// Echoes, and counts the bytes each backend received.
std::array<std::atomic<std::uint64_t>, 3> backend_bytes;

void counting_echo(int fd, int index)
{
    backend_bytes[static_cast<std::size_t>(index)] += echo(fd);
}

std::uint64_t total_backend_bytes()
{
    std::uint64_t sum = 0;
    for (auto &b : backend_bytes)
        sum += b;
    return sum;
}

}  // namespace

TEST(Load, SessionsVerifiedAndDaemonWholeAfterwards)
{
    load_state load;
    const char *minutes = std::getenv("DOVRA_LOAD_MINUTES");
    auto started = std::chrono::steady_clock::now();
    if (minutes != nullptr && std::atof(minutes) > 0) {
        load.target = 0;
        load.deadline = started + std::chrono::milliseconds(static_cast<long>(std::atof(minutes) * 60000));
    } else {
        load.deadline = started + 300s;
    }
    load.block = random_bytes(2 * MAX_PAYLOAD, 2026);
    for (auto &b : backend_bytes)
        b = 0;

    backend_pool backends(3, counting_echo);
    std::uint16_t port = free_port();
    daemon_run run(config_text(port, backends.port(), MAX_CLIENTS, {backend_address(0), backend_address(1), backend_address(2)}).c_str());
    ASSERT_TRUE(run.listening(port));
    pid_t daemon = run.daemon_pid();
    const int fds_before = open_fd_count(daemon);

    std::vector<std::thread> clients;
    for (int i = 0; i < CLIENT_THREADS; ++i)
        clients.emplace_back(client_loop, port, std::ref(load), static_cast<unsigned>(i + 1));
    for (auto &t : clients)
        t.join();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("load: %d sessions verified, %llu bytes each way, %d refused, %d failed, %.1f s"
                " (slowest connect %.1f s, slowest session %.1f s)\n",
                load.verified.load(), static_cast<unsigned long long>(load.bytes.load()), load.refused.load(),
                load.failed.load(), wall, static_cast<double>(load.slowest_connect_ms) / 1000,
                static_cast<double>(load.slowest_session_ms) / 1000);
    ASSERT_EQ(load.failed, 0) << load.first_failure;
    if (load.target != 0) {
        EXPECT_GE(load.verified, load.target);
    }

    // Every worker reaped, none left a zombie, nothing left open.
    EXPECT_TRUE(wait_for([&] { return children_of(daemon).empty(); }, 30s));
    EXPECT_TRUE(children_of(daemon, true).empty());
    EXPECT_EQ(open_fd_count(daemon), fds_before);
    ASSERT_TRUE(wait_for([&] {
        return backends.open_sessions(0) + backends.open_sessions(1) + backends.open_sessions(2) == 0;
    }, 30s));
    // Each verified session reached one backend, with its payload once.
    EXPECT_EQ(backends.with_data(0) + backends.with_data(1) + backends.with_data(2), load.verified);
    EXPECT_EQ(total_backend_bytes(), load.bytes);
    EXPECT_EQ(run.err(), "");

    // Every slot is free: the next client reaches the first backend.
    int first_before = backends.with_data(0);
    unique_fd one = connect_to("127.0.0.1", port);
    ASSERT_TRUE(send_all(one.get(), "x"));
    EXPECT_EQ(recv_some(one.get(), 1), "x");
    EXPECT_EQ(backends.with_data(0), first_before + 1);
    one.reset();
    ASSERT_TRUE(wait_for([&] { return children_of(daemon).empty(); }));

    // And the whole capacity is back: 64 sessions at once, and each of the
    // 136 clients that come on top of them is closed with no data.
    std::vector<unique_fd> clients_at_once;
    for (int i = 0; i < CLIENT_THREADS; ++i) {
        clients_at_once.push_back(connect_to("127.0.0.1", port));
        int fd = clients_at_once.back().get();
        if (i < MAX_CLIENTS) {
            ASSERT_TRUE(send_all(fd, "y"));
            ASSERT_EQ(recv_some(fd, 1), "y") << "session " << i;
        } else {
            ASSERT_TRUE(closed_without_data(fd)) << "client " << i;
        }
    }
}
