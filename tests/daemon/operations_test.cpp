// What the operator sees while the real daemon serves: the status report on
// a signal, and the session log's lines for sessions and refused clients.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <regex>
#include <sstream>

#include "common/version.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

// Up to 1000 bytes in, 3000 out, then by the first byte: 'b' closes at once
// (the backend ends the session), anything else echoes until the client
// closes.
constexpr std::size_t UPLOAD = 1000;
constexpr std::size_t REPLY = 3000;
void reply_handler(int fd, int)
{
    const std::string got = recv_some(fd, UPLOAD);
    if (got.size() != UPLOAD || !send_all(fd, random_bytes(REPLY, 3)) || got[0] == 'b')
        return;
    echo(fd);
}

// A daemon in front of count backends, with the configured servers given as
// indexes of backend_address() (by default the pool's, in order), and the
// optional settings added.
struct rig {
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;
    std::string banner;

    rig(int count, int maxclients, const char *settings, backend_handler handler = echo_handler,
        std::vector<int> servers = {})
        : pool(count, std::move(handler)), run(config(count, maxclients, settings, std::move(servers)).c_str())
    {
    }
    std::string config(int count, int maxclients, const char *settings, std::vector<int> servers)
    {
        for (int i = 0; servers.empty() && i < count; ++i)
            servers.push_back(i);
        std::vector<std::string> addresses;
        for (int i : servers)
            addresses.push_back(backend_address(i));
        return config_text(port, pool.port(), maxclients, addresses) + settings;
    }
    bool up()
    {
        banner = run.out();
        return run.launcher_status() == 0 && run.daemon_pid() > 0 && banner.ends_with("Daemon Started..\n\n");
    }
    // What the daemon and its workers wrote after the start-up summary.
    std::string out()
    {
        const std::string text = run.out();
        return text.starts_with(banner) ? text.substr(banner.size()) : "(summary changed) " + text;
    }
    std::vector<std::string> lines_starting(const std::string &prefix) { return dovra_test::lines_starting(out(), prefix); }
    // A session that has carried one echoed byte, so its worker relays.
    unique_fd session()
    {
        unique_fd c = connect_to("127.0.0.1", port);
        if (!c || !send_all(c.get(), "x") || recv_some(c.get(), 1, 5s) != "x")
            return {};
        return c;
    }
    std::size_t workers() { return children_of(run.daemon_pid()).size(); }
};

std::string local_endpoint(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return "?";
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

// Refuses clients one after another for 2.5 s (and at most a million), then
// on until the lines logged stand for every refusal: those held back since
// the last line come with the next one, which the next refusal a second after
// it writes. Returns how long the flood ran; refused counts on.
double flood(const std::function<bool()> &refuse, const std::function<std::int64_t()> &logged, int &refused)
{
    const auto start = std::chrono::steady_clock::now();
    // Bounded by time: a fast machine refuses tens of thousands a second, and
    // a flood shorter than two seconds would leave too few lines to judge.
    while (std::chrono::steady_clock::now() - start < 2500ms && refused < 1000000) {
        if (!refuse())
            return 0;
        ++refused;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int i = 0; i < 40 && logged() != refused; ++i) {
        if (!refuse())
            return 0;
        ++refused;
        wait_for([&] { return logged() == refused; }, 100ms);
    }
    return seconds;
}

}  // namespace

TEST(Operations, StatusReportOnSignalWhileSessionsRunAndServingGoesOn)
{
    // Servers: backends 0 and 1, an address where nothing listens, backend 2.
    rig r(3, 5, "", echo_handler, {0, 1, 3, 2});
    ASSERT_TRUE(r.up());

    // One session on each of backends 0 and 1; the third client finds both
    // busy, the third server down, and takes the fourth. Then the second
    // session ends.
    unique_fd a = r.session();
    ASSERT_TRUE(wait_for([&] { return r.pool.open_sessions(0) == 1; }));
    unique_fd b = r.session();
    ASSERT_TRUE(wait_for([&] { return r.pool.open_sessions(1) == 1; }));
    unique_fd c = r.session();
    ASSERT_TRUE(a && b && c);
    ASSERT_TRUE(wait_for([&] { return r.pool.open_sessions(2) == 1; }));
    b.reset();
    ASSERT_TRUE(wait_for([&] { return r.workers() == 2; }));
    // Without sessionlog nothing is written per session.
    EXPECT_EQ(r.out(), "");

    // Workers ignore the signal: this one relays on.
    for (pid_t worker : children_of(r.run.daemon_pid()))
        ASSERT_EQ(kill(worker, SIGUSR1), 0);
    ASSERT_EQ(kill(r.run.daemon_pid(), SIGUSR1), 0);
    ASSERT_TRUE(wait_for([&] { return r.lines_starting("server 4 ").size() == 1; })) << r.out();
    const std::string report = r.out();
    EXPECT_TRUE(std::regex_match(report, std::regex("dovra status: 2 of 5 sessions open; since start 3 served, 0 refused "
                                                    "at maxclients, 0 with every server down; version " +
                                                    std::string(DOVRA_VERSION) + " up [0-9]+ s\n"
                                                    "server 1 127\\.0\\.0\\.2: busy[^\n]*\n"
                                                    "server 2 127\\.0\\.0\\.3: free[^\n]*\n"
                                                    "server 3 127\\.0\\.0\\.5: down[^\n]*\n"
                                                    "server 4 127\\.0\\.0\\.4: busy[^\n]*\n")))
        << report;
    EXPECT_TRUE(send_all(a.get(), "y") && recv_some(a.get(), 1, 5s) == "y");
    EXPECT_TRUE(send_all(c.get(), "z") && recv_some(c.get(), 1, 5s) == "z");

    // The daemon serves on, and answers the next signal too.
    unique_fd d = r.session();
    EXPECT_TRUE(d);
    ASSERT_EQ(kill(r.run.daemon_pid(), SIGUSR1), 0);
    EXPECT_TRUE(wait_for([&] { return r.lines_starting("server 4 ").size() == 2; })) << r.out();
    EXPECT_EQ(r.lines_starting("dovra status: 3 of 5 sessions open; since start 4 served,").size(), 1u) << r.out();
    EXPECT_EQ(r.run.err(), "");
}

TEST(Operations, SessionLogLineCountsEveryByteBothWaysFromWithinTheSandbox)
{
    rig r(1, 5, "sessionlog on\n", reply_handler);
    ASSERT_TRUE(r.up());
    const std::string backend = backend_address(0) + ":" + std::to_string(r.pool.port());
    // One session the client ends, one the backend ends.
    for (const char first : {'c', 'b'}) {
        SCOPED_TRACE(first);
        unique_fd c = connect_to("127.0.0.1", r.port);
        ASSERT_TRUE(c);
        const std::string client = local_endpoint(c.get());
        std::string upload = random_bytes(UPLOAD, 4);
        upload[0] = first;
        ASSERT_TRUE(send_all(c.get(), upload));
        ASSERT_EQ(recv_some(c.get(), REPLY), random_bytes(REPLY, 3));
        if (first == 'b') {
            EXPECT_TRUE(closed_without_data(c.get()));
        }
        c.reset();
        const std::string prefix = "session " + client + " > ";
        ASSERT_TRUE(wait_for([&] { return r.lines_starting(prefix).size() == 1; })) << r.out();
        const std::string line = r.lines_starting(prefix)[0];
        EXPECT_TRUE(std::regex_match(line, std::regex("session " + client + " > " + backend + ": 1000 bytes up, "
                                                      "3000 bytes down, [0-9]+\\.[0-9]{3} s, " +
                                                      (first == 'b' ? "backend closed" : "client closed"))))
            << line;
    }
    EXPECT_EQ(r.lines_starting("").size(), 2u) << r.out();
    EXPECT_EQ(r.run.err(), "");
}

TEST(Operations, RefusedClientsAreLoggedAtMostOnceASecondWithTheirCount)
{
    rig r(1, 1, "sessionlog on\n");
    ASSERT_TRUE(r.up());
    unique_fd held = r.session();
    ASSERT_TRUE(held);
    // A refused client, and then a flood of them, each seen closed before the
    // next connects.
    auto refuse = [&] {
        unique_fd c = connect_to("127.0.0.1", r.port);
        return c && closed_without_data(c.get());
    };
    unique_fd first = connect_to("127.0.0.1", r.port);
    ASSERT_TRUE(first && closed_without_data(first.get()));
    const std::string first_line = "refused " + local_endpoint(first.get()) + ": 1 of 1 sessions open (maxclients)";
    ASSERT_TRUE(wait_for([&] { return r.lines_starting("refused ").size() == 1; })) << r.out();
    EXPECT_EQ(r.lines_starting("refused ")[0], first_line);

    const std::regex more("refused 127\\.0\\.0\\.1:[0-9]+ and ([0-9]+) more: 1 of 1 sessions open \\(maxclients\\)");
    // How many refusals the lines so far stand for.
    auto logged = [&] {
        std::int64_t sum = 0;
        for (const std::string &line : r.lines_starting("refused ")) {
            std::smatch m;
            sum += 1 + (std::regex_match(line, m, more) ? std::stoll(m[1]) : 0);
        }
        return sum;
    };
    int refused = 1;
    const double seconds = flood(refuse, logged, refused);
    ASSERT_GT(seconds, 0) << "a client was not refused";
    const auto lines = r.lines_starting("refused ");
    EXPECT_EQ(logged(), refused) << r.out();
    EXPECT_GE(lines.size(), 3u) << r.out();
    EXPECT_LE(static_cast<double>(lines.size()), seconds + 5) << refused << " refused in " << seconds << " s\n" << r.out();
    for (std::size_t i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], more) || lines[i].ends_with(": 1 of 1 sessions open (maxclients)"))
            << lines[i];

    // Every server down: the worker's line.
    held.reset();
    ASSERT_TRUE(wait_for([&] { return r.workers() == 0; }));
    r.pool.stop(0);
    unique_fd lost = connect_to("127.0.0.1", r.port);
    ASSERT_TRUE(lost && closed_without_data(lost.get()));
    const std::string down_line = "refused " + local_endpoint(lost.get()) + ": every server down";
    EXPECT_TRUE(wait_for([&] { return r.lines_starting(down_line).size() == 1; })) << r.out();
    EXPECT_EQ(r.run.err(), "All the servers are down: Connection refused\n");
}

// With every backend down, a flood of clients gives at most about one "All
// the servers are down" line a second: the first as the design has it, each
// later one with how many refusals held back since the line before it
// stands for, so that the lines together count every refused client.
TEST(Operations, AllServersDownIsWrittenAtMostOnceASecondWithItsCount)
{
    // Room for every worker a flood keeps alive at once, even a slow (a
    // sanitized) build's: a client closed at maxclients instead is closed by
    // the daemon, without the worker's line, and would go uncounted.
    rig r(1, 1000, "");
    ASSERT_TRUE(r.up());
    r.pool.stop(0);
    auto refuse = [&] {
        unique_fd c = connect_to("127.0.0.1", r.port);
        return c && closed_without_data(c.get());
    };
    const std::regex line("All the servers are down(?: and ([0-9]+) more)?: Connection refused");
    std::vector<std::string> lines;
    bool exact = true;
    auto logged = [&] {
        lines.clear();
        std::int64_t sum = 0;
        std::istringstream text(r.run.err());
        for (std::string l; std::getline(text, l);) {
            std::smatch m;
            exact = exact && std::regex_match(l, m, line);
            sum += 1 + (m.size() > 1 && m[1].matched ? std::stoll(m[1]) : 0);
            lines.push_back(l);
        }
        return sum;
    };
    ASSERT_TRUE(refuse());
    ASSERT_TRUE(wait_for([&] { return logged() == 1; })) << r.run.err();
    EXPECT_EQ(r.run.err(), "All the servers are down: Connection refused\n");
    int refused = 1;
    const double seconds = flood(refuse, logged, refused);
    ASSERT_GT(seconds, 0) << "a client was not refused";
    EXPECT_EQ(logged(), refused) << r.run.err();
    EXPECT_TRUE(exact) << r.run.err();
    EXPECT_GE(lines.size(), 3u) << r.run.err();
    EXPECT_LE(static_cast<double>(lines.size()), seconds + 5) << refused << " refused in " << seconds << " s";
    // Every client was refused by a worker, none at maxclients.
    ASSERT_EQ(kill(r.run.daemon_pid(), SIGUSR1), 0);
    ASSERT_TRUE(wait_for([&] { return r.lines_starting("dovra status: ").size() == 1; })) << r.out();
    EXPECT_TRUE(r.lines_starting("dovra status: ")[0].find(
                    "; since start 0 served, 0 refused at maxclients, " + std::to_string(refused) +
                    " with every server down;") != std::string::npos)
        << r.out();
    EXPECT_EQ(r.lines_starting("").size(), 2u) << r.out();
}

// A log reader that stops reading without closing (a full socket nobody
// reads) holds no worker for ever: the session's line and a refused
// client's lines are given up after a bounded wait, the worker closes its
// client and ends, and the daemon serves on.
TEST(Operations, AStalledLogReaderHoldsNoWorker)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    unique_fd reader(ends[0]);
    unique_fd log(ends[1]);
    backend_pool pool(1);
    const std::uint16_t port = free_port();
    daemon_options options;
    options.output = log.get();
    daemon_run run((config_text(port, pool.port(), 5, {backend_address(0)}) + "sessionlog on\n").c_str(), {},
                   options);
    ASSERT_TRUE(run.listening(port));
    const pid_t daemon = run.daemon_pid();
    // Filled without changing the socket's flags, which the daemon shares.
    const std::string block(4096, 'f');
    std::size_t filled = 0;
    while (filled < (std::size_t{64} << 20) && send(log.get(), block.data(), block.size(), MSG_DONTWAIT) > 0)
        filled += block.size();
    ASSERT_EQ(send(log.get(), block.data(), 1, MSG_DONTWAIT), -1);
    log.reset();

    {
        unique_fd c = connect_to("127.0.0.1", port);
        ASSERT_TRUE(c && send_all(c.get(), "x") && recv_some(c.get(), 1, 5s) == "x");
    }
    EXPECT_TRUE(wait_for([&] { return children_of(daemon).empty(); }, 8s)) << "the session's line held its worker";

    pool.stop(0);
    unique_fd lost = connect_to("127.0.0.1", port);
    ASSERT_TRUE(lost);
    EXPECT_TRUE(closed_without_data(lost.get(), 8s)) << "the refusal's lines held the client";
    EXPECT_TRUE(wait_for([&] { return children_of(daemon).empty(); }, 8s));

    pool.start(0);
    unique_fd next = connect_to("127.0.0.1", port);
    EXPECT_TRUE(next && send_all(next.get(), "y") && recv_some(next.get(), 1, 5s) == "y");
}
