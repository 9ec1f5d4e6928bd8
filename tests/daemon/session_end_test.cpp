// How sessions end, and what the daemon does about its own output, end to end
// with the real daemon binary, loopback TCP and backends on 127.0.0.2, ...
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "net/net.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

constexpr std::size_t MIB = std::size_t{1} << 20;

// A daemon with maxclients 4 in front of count backends of the pool.
struct rig {
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;

    rig(int count, backend_handler handler)
        : pool(count, std::move(handler)), run(config_text(port, pool.port(), 4, addresses(count)).c_str())
    {
    }
    static std::vector<std::string> addresses(int count)
    {
        std::vector<std::string> list;
        for (int i = 0; i < count; ++i)
            list.push_back(backend_address(i));
        return list;
    }
    bool up() { return run.daemon_pid() > 0 && run.listening(port); }
    // No worker left.
    bool no_workers(std::chrono::milliseconds timeout = 10s)
    {
        return wait_for([&] { return children_of(run.daemon_pid()).empty(); }, timeout);
    }
    unique_fd client() { return connect_to("127.0.0.1", port); }
    // A client's session has reached the backend (after its probe) and the
    // backend's handler has ended.
    bool backend_done(int accepted_before)
    {
        return wait_for([&] { return pool.accepted(0) >= accepted_before + 2 && pool.open_sessions(0) == 0; }, 10s);
    }
};

// Reads and drops what fd sends until the peer closes or timeout passes.
// Returns true when it closed.
bool read_to_end(int fd, std::chrono::milliseconds timeout = 20s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
    return false;
}

// What one backend session received, filled by its handler thread and read
// once the pool shows the session closed.
struct received {
    std::mutex lock;
    std::string bytes;
    void add(const char *p, std::size_t n)
    {
        std::lock_guard<std::mutex> guard(lock);
        bytes.append(p, n);
    }
    std::string get()
    {
        std::lock_guard<std::mutex> guard(lock);
        return bytes;
    }
};

}  // namespace

TEST(SessionEnd, EveryByteArrivesWhenOneSideEndsWhileTheOtherStillSends)
{
    const std::string reply = random_bytes(4 * MIB, 21);
    const std::string upload = random_bytes(4 * MIB, 22);
    {
        SCOPED_TRACE("the backend replies and closes while the client still uploads");
        // As a server that answers before it has read all input: the whole
        // reply, then its FIN, then it reads and drops until its peer closes.
        std::atomic<bool> replied{false};
        rig r(1, [&](int fd, int) {
            if (send_all(fd, reply))
                shutdown(fd, SHUT_WR);
            replied = true;
            read_to_end(fd);
        });
        ASSERT_TRUE(r.up());
        replied = false;
        unique_fd c = r.client();
        // The client uploads without pause until its reply is complete, and
        // reads that reply late, as a pipelining client does: most of the
        // reply still waits in the relay's socket when the backend's FIN comes.
        std::atomic<bool> stop{false};
        std::thread sender([&] {
            for (std::size_t sent = 0; !stop && sent < 16 * upload.size(); sent += upload.size()) {
                if (!send_all(c.get(), upload))
                    return;
            }
        });
        wait_for([&] { return replied.load(); }, 10s);
        std::this_thread::sleep_for(100ms);
        std::string got = recv_some(c.get(), reply.size());
        stop = true;
        EXPECT_EQ(got.size(), reply.size());
        EXPECT_TRUE(got == reply);
        EXPECT_TRUE(closed_without_data(c.get())) << "no FIN after the reply";
        sender.join();
        c.reset();
        EXPECT_TRUE(r.no_workers());
        EXPECT_EQ(r.run.err(), "");
    }
    {
        SCOPED_TRACE("the client uploads and closes while the backend still answers");
        // An echo server: it answers every piece, so the relay's socket
        // towards it always holds input the relay has not read.
        auto got = std::make_shared<received>();
        rig r(1, [got](int fd, int) {
            char buf[65536];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
                got->add(buf, static_cast<std::size_t>(n));
                if (!send_all(fd, buf, static_cast<std::size_t>(n)))
                    break;
            }
            read_to_end(fd);
        });
        ASSERT_TRUE(r.up());
        const int before = r.pool.accepted(0);
        unique_fd c = r.client();
        // Its FIN right after the last byte; it reads the echo meanwhile,
        // or its own close would reset the connection.
        std::thread sender([&] {
            if (send_all(c.get(), upload))
                shutdown(c.get(), SHUT_WR);
        });
        EXPECT_TRUE(read_to_end(c.get())) << "the client's session never ended";
        sender.join();
        c.reset();
        ASSERT_TRUE(r.backend_done(before));
        const std::string backend_got = got->get();
        EXPECT_EQ(backend_got.size(), upload.size());
        EXPECT_TRUE(backend_got == upload);
        EXPECT_TRUE(r.no_workers());
        EXPECT_EQ(r.run.err(), "");
    }
}

TEST(SessionEnd, APeerThatNeitherReadsNorClosesHoldsItsWorkerOnlyBriefly)
{
    // After the bound the worker ends, its slot is free again, and what it
    // had passed on still reaches the stuck peer once that peer reads.
    const std::string data = random_bytes(32 * 1024, 23);
    {
        SCOPED_TRACE("a client that never reads a reply");
        // It answers a client's first byte with the reply, and closes.
        rig r(1, [&](int fd, int) {
            char request;
            if (recv(fd, &request, 1, 0) == 1)
                send_all(fd, data);
        });
        ASSERT_TRUE(r.up());
        const int before = r.pool.accepted(0);
        unique_fd c = r.client();
        ASSERT_TRUE(send_all(c.get(), "?"));
        ASSERT_TRUE(r.backend_done(before));
        EXPECT_TRUE(r.no_workers()) << "the worker waits on its client for ever";
        EXPECT_EQ(recv_some(c.get(), data.size()), data);
        EXPECT_TRUE(closed_without_data(c.get()));
        unique_fd next = r.client();
        ASSERT_TRUE(send_all(next.get(), "?"));
        EXPECT_EQ(recv_some(next.get(), data.size()), data);
    }
    {
        SCOPED_TRACE("a backend that never reads an upload");
        std::atomic<bool> stuck{true};
        auto got = std::make_shared<received>();
        rig r(1, [&stuck, got](int fd, int) {
            wait_for([&] { return !stuck.load(); }, 30s);
            char buf[65536];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
                got->add(buf, static_cast<std::size_t>(n));
        });
        ASSERT_TRUE(r.up());
        const int before = r.pool.accepted(0);
        unique_fd c = r.client();
        ASSERT_TRUE(send_all(c.get(), data));
        c.reset();
        // The worker exists once its session has reached the backend; before
        // that, no worker would prove nothing.
        ASSERT_TRUE(wait_for([&] { return r.pool.accepted(0) >= before + 2; }));
        EXPECT_TRUE(r.no_workers()) << "the worker waits on its backend for ever";
        stuck = false;
        ASSERT_TRUE(wait_for([&] { return r.pool.open_sessions(0) == 0; }));
        EXPECT_TRUE(got->get() == data);
    }
}

TEST(SessionEnd, TheDaemonServesOnWhenItsStandardErrorHasLostItsReader)
{
    // With room for its listening socket only, the daemon reports a failed
    // accept once a second on standard error, here a FIFO. The test reads
    // the first report, then closes the only reader.
    backend_pool backends(1);
    const std::uint16_t port = free_port();
    unique_fd reader;
    daemon_options options;
    options.prepare = [&](const std::string &dir) {
        const std::string path = dir + "/stderr";
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        reader.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    };
    daemon_run run(config_text(port, backends.port(), 4, {backend_address(0)}).c_str(), {}, options);
    ASSERT_TRUE(reader);
    const pid_t daemon = run.daemon_pid();
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(set_file_limit(daemon, 4, 64));
    // Connected as soon as the daemon listens, and then waiting in its queue.
    unique_fd waiting;
    ASSERT_TRUE(wait_for([&] {
        waiting = connect_to("127.0.0.1", port);
        return bool(waiting);
    }));
    const std::string line = "Error accepting connections: Too many open files\n";
    pollfd p{reader.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    std::string first(line.size(), '\0');
    ASSERT_EQ(read(reader.get(), first.data(), first.size()), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(first, line);
    reader.reset();

    // Two more reports go nowhere; the daemon must still be there after them.
    EXPECT_FALSE(wait_for([&] {
        char state = process_state(daemon);
        return state == 'Z' || state == '?';
    }, 2500ms)) << "the daemon died writing its report";
    ASSERT_TRUE(set_file_limit(daemon, 64, 64));
    ASSERT_TRUE(send_all(waiting.get(), "was waiting"));
    EXPECT_EQ(recv_some(waiting.get(), 11), "was waiting");
    unique_fd fresh = connect_to("127.0.0.1", port);
    ASSERT_TRUE(send_all(fresh.get(), "next"));
    EXPECT_EQ(recv_some(fresh.get(), 4), "next");
}

TEST(Relay, RepliesLeaveWithoutWaitingForAnAcknowledgement)
{
    // A keep-alive client: a 4-byte request (the reply's size), the reply,
    // again. The relay reads RELAY_BUF_SIZE bytes at a time. Had the last
    // piece of a reply a little over one piece to wait for the client's
    // acknowledgement of the first, which the client delays, or a reply of
    // two full pieces to wait for more that never comes, each round trip
    // would take 40 ms or more instead of well under 1 ms.
    const std::size_t over_one = RELAY_BUF_SIZE + 1904;
    const std::size_t two_full = 2 * RELAY_BUF_SIZE;
    const std::string data = random_bytes(two_full, 24);
    rig r(1, [&](int fd, int) {
        unsigned char request[4];
        while (recv(fd, request, 4, MSG_WAITALL) == 4) {
            const std::size_t asked = std::size_t{request[0]} << 24 | std::size_t{request[1]} << 16 |
                                      std::size_t{request[2]} << 8 | request[3];
            std::size_t size = std::min(data.size(), asked);
            if (!send_all(fd, data.data(), size))
                return;
        }
    });
    ASSERT_TRUE(r.up());
    for (std::size_t size : {over_one, two_full}) {
        SCOPED_TRACE(std::to_string(size) + "-byte replies");
        unique_fd c = r.client();
        const unsigned char request[4] = {static_cast<unsigned char>(size >> 24 & 0xff),
                                          static_cast<unsigned char>(size >> 16 & 0xff),
                                          static_cast<unsigned char>(size >> 8 & 0xff),
                                          static_cast<unsigned char>(size & 0xff)};
        const std::string reply = data.substr(0, size);
        // Linux acknowledges at once for the first segments of a connection,
        // so the measured round trips come after those.
        std::vector<double> ms;
        for (int i = 0; i < 40; ++i) {
            auto t0 = std::chrono::steady_clock::now();
            ASSERT_TRUE(send_all(c.get(), request, sizeof request));
            ASSERT_EQ(recv_some(c.get(), reply.size()), reply) << "round trip " << i;
            if (i >= 20)
                ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
        std::nth_element(ms.begin(), ms.begin() + 10, ms.end());
        EXPECT_LT(ms[10], 15.0) << "median round trip, ms";
    }
}

TEST(Daemon, KeepsNoDescriptorItsLauncherLeaked)
{
    // The write end of a pipe, open without close-on-exec at a number above
    // what the harness closes before it runs the launcher: the read end sees
    // its end once no process of the daemon holds it any more.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    if (old.rlim_cur <= 1500) {
        if (old.rlim_max != RLIM_INFINITY && old.rlim_max <= 1500)
            GTEST_SKIP() << "cannot open descriptor 1500";
        rlimit raised = old;
        raised.rlim_cur = 1501;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    unique_fd reader(ends[0]);
    ASSERT_EQ(dup2(ends[1], 1500), 1500);
    close(ends[1]);
    rig r(1, echo_handler);
    close(1500);
    setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_TRUE(r.up());
    pollfd p{reader.get(), POLLIN, 0};
    char c;
    EXPECT_TRUE(poll(&p, 1, 1000) == 1 && read(reader.get(), &c, 1) == 0) << "the daemon holds its launcher's descriptor";
}
