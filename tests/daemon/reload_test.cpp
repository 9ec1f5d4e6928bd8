// Reload in place on SIGHUP: the real daemon, real signals, real sessions.
// What must hold: no session cut, no client refused or reset, the new file's
// settings taken (or the old ones kept, with the reason), the backends old
// sessions hold kept from new clients, and the program at the daemon's path
// run under the same pid.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <sstream>

#include "common/version.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

const std::string VERSION = DOVRA_VERSION;

struct rig {
    backend_pool pool;
    std::uint16_t port = free_port();
    daemon_run run;

    // extra: lines added to the file.
    rig(int count, int maxclients, std::vector<int> servers, const daemon_options &options = {},
        const std::string &extra = "")
        : pool(count), run((config(maxclients, servers) + extra).c_str(), {}, options)
    {
    }
    std::string config(int maxclients, const std::vector<int> &servers) const
    {
        std::vector<std::string> addresses;
        for (int i : servers)
            addresses.push_back(backend_address(i));
        return config_text(port, pool.port(), maxclients, addresses);
    }
    bool up() { return run.launcher_status() == 0 && run.daemon_pid() > 0; }
    std::size_t lines(const std::string &prefix) const
    {
        std::size_t n = 0;
        std::istringstream text(run.out());
        for (std::string line; std::getline(text, line);)
            n += line.starts_with(prefix) ? 1 : 0;
        return n;
    }
    // Sends SIGHUP and waits for the line of the image it starts, or of
    // the refusal: one more line that starts with prefix.
    bool reload(const std::string &prefix = "Reloaded: ")
    {
        const std::size_t before = lines(prefix);
        return kill(run.daemon_pid(), SIGHUP) == 0 && wait_for([&] { return lines(prefix) == before + 1; }, 10s);
    }
    void rewrite(int maxclients, const std::vector<int> &servers)
    {
        write_file(run.dir().file("dovra.conf"), config(maxclients, servers));
    }
    unique_fd session()
    {
        unique_fd c = connect_to("127.0.0.1", port);
        if (!c || !send_all(c.get(), "x") || recv_some(c.get(), 1, 5s) != "x")
            return unique_fd();
        return c;
    }
    std::size_t workers() { return children_of(run.daemon_pid()).size(); }
};

bool echoes(int fd, const std::string &bytes)
{
    return send_all(fd, bytes) && recv_some(fd, bytes.size(), 10s) == bytes;
}

}  // namespace

// A session opened before twenty reloads carries every byte through them,
// and a client loop that runs through them sees no refused, reset or short
// session. Each reload names the version and the sessions it carried.
TEST(Reload, SessionsAndClientsLiveThroughTwentyReloads)
{
    rig r(2, 50, {0, 1});
    ASSERT_TRUE(r.up()) << r.run.out() << r.run.err();
    const pid_t pid = r.run.daemon_pid();
    unique_fd held = r.session();
    ASSERT_TRUE(held);
    ASSERT_TRUE(r.reload());
    EXPECT_EQ(r.lines("Reloaded: dovra " + VERSION + " runs, 1 session carried over"), 1u) << r.run.out();

    std::atomic<bool> done{false};
    std::atomic<int> sessions{0};
    std::atomic<int> failures{0};
    std::string first_failure;
    std::thread clients([&] {
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        for (int i = 0; i < 5000 && !done && std::chrono::steady_clock::now() < deadline; ++i) {
            const std::string bytes = random_bytes(2000, static_cast<unsigned>(i));
            unique_fd c = connect_to("127.0.0.1", r.port);
            if (!c || !send_all(c.get(), bytes) || recv_some(c.get(), bytes.size(), 10s) != bytes) {
                if (failures++ == 0)
                    first_failure = "session " + std::to_string(i) + (c ? " cut" : " refused");
                continue;
            }
            ++sessions;
        }
    });
    for (int i = 1; i < 20; ++i) {
        const std::string bytes = random_bytes(5000, 100 + static_cast<unsigned>(i));
        EXPECT_TRUE(echoes(held.get(), bytes)) << "before reload " << i + 1;
        // Clients come and go between every two reloads.
        const int before = sessions;
        EXPECT_TRUE(wait_for([&] { return sessions >= before + 3 || failures > 0; }, 10s));
        EXPECT_TRUE(r.reload()) << "reload " << i + 1 << "\n" << r.run.out() << r.run.err();
    }
    done = true;
    clients.join();
    EXPECT_TRUE(echoes(held.get(), random_bytes(5000, 99)));
    EXPECT_EQ(failures.load(), 0) << first_failure;
    EXPECT_GE(sessions.load(), 3 * 19);
    EXPECT_EQ(r.lines("Reloaded: dovra " + VERSION + " runs, "), 20u);
    EXPECT_EQ(r.run.daemon_pid(), pid);
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_EQ(r.run.err(), "");
}

// The new file's servers serve the next client; a file the daemon refuses
// changes nothing and is named in one line; a new localport is listened on
// before the old one is closed.
TEST(Reload, TakesANewFirstServerANewPortAndKeepsTheOldSettingsForARefusedFile)
{
    rig r(2, 5, {1});
    ASSERT_TRUE(r.up()) << r.run.out() << r.run.err();
    ASSERT_TRUE(r.session());
    EXPECT_EQ(r.pool.with_data(1), 1);

    r.rewrite(5, {0, 1});
    ASSERT_TRUE(r.reload()) << r.run.out();
    ASSERT_TRUE(r.session());
    EXPECT_EQ(r.pool.with_data(0), 1);
    EXPECT_EQ(r.pool.with_data(1), 1);

    write_file(r.run.dir().file("dovra.conf"), config_text(r.port, r.pool.port(), 5, {}));
    ASSERT_TRUE(r.reload("Reload refused"));
    EXPECT_EQ(r.lines("Reload refused, configuration error: undefined servers"), 1u) << r.run.out();
    EXPECT_EQ(r.lines("Reloaded: "), 1u);
    // The sessions before have ended, so the first server is free again.
    ASSERT_TRUE(wait_for([&] { return r.workers() == 0; }));
    unique_fd held = r.session();
    ASSERT_TRUE(held);
    EXPECT_EQ(r.pool.with_data(0), 2);

    // A new localport: the new socket listens, the old one is closed, and
    // the session that came through the old one goes on.
    const std::uint16_t old_port = r.port;
    r.port = free_port();
    r.rewrite(5, {0, 1});
    ASSERT_TRUE(r.reload()) << r.run.out() << r.run.err();
    EXPECT_TRUE(r.run.listening(r.port));
    EXPECT_FALSE(r.run.listening(old_port));
    EXPECT_FALSE(connect_to("127.0.0.1", old_port));
    EXPECT_TRUE(r.session());
    EXPECT_TRUE(echoes(held.get(), random_bytes(2000, 5)));
    EXPECT_EQ(r.run.err(), "");
}

// Old workers count against maxclients and hold their backends: a new client
// is not given one as free, a client beyond maxclients is closed, and once an
// old worker ends it is reaped and its place and backend are free again. A
// backend that a reload drops stays held while its session runs, should a
// later reload bring it back.
TEST(Reload, OldSessionsHoldTheirBackendsAndPlaces)
{
    rig r(3, 2, {0, 1, 2});
    ASSERT_TRUE(r.up()) << r.run.out() << r.run.err();
    unique_fd a = r.session();
    ASSERT_TRUE(a);
    ASSERT_EQ(r.pool.with_data(0), 1);
    ASSERT_TRUE(r.reload());

    unique_fd b = r.session();
    ASSERT_TRUE(b);
    EXPECT_EQ(r.pool.with_data(0), 1);
    EXPECT_EQ(r.pool.with_data(1), 1);
    unique_fd refused = connect_to("127.0.0.1", r.port);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(closed_without_data(refused.get()));

    // a ends: its worker, carried over, is reaped and its place is free.
    a.reset();
    ASSERT_TRUE(wait_for([&] { return r.workers() == 1; }));
    unique_fd c = r.session();
    ASSERT_TRUE(c);
    EXPECT_EQ(r.pool.with_data(0), 2);

    // Dropped while c runs on it, then first again: still held by c.
    b.reset();
    ASSERT_TRUE(wait_for([&] { return r.workers() == 1; }));
    r.rewrite(2, {1, 2});
    ASSERT_TRUE(r.reload());
    r.rewrite(2, {0, 1, 2});
    ASSERT_TRUE(r.reload());
    EXPECT_EQ(r.lines("Reloaded: dovra " + VERSION + " runs, 1 session carried over"), 3u) << r.run.out();
    unique_fd d = r.session();
    ASSERT_TRUE(d);
    EXPECT_EQ(r.pool.with_data(0), 2);
    EXPECT_EQ(r.pool.with_data(1), 2);
    EXPECT_TRUE(echoes(c.get(), "still here"));
    EXPECT_EQ(r.run.err(), "");
}

// An upgrade renames a new program over the running one's path; SIGHUP runs
// it under the same pid, with the old sessions going on. A file there that
// cannot run leaves the running image serving, and says so. The daemon is
// started as "./dovra" from its directory, so its path is found from a
// relative argv[0].
TEST(Reload, RunsTheProgramRenamedOverItsPathUnderTheSamePid)
{
    if (access(("/proc/" + std::to_string(getpid()) + "/exe").c_str(), F_OK) != 0)
        GTEST_SKIP() << "this system has no /proc/PID/exe";
    daemon_options options;
    options.prepare = [](const std::string &dir) {
        write_file(dir + "/dovra", read_file(DOVRA_TEST_DAEMON));
        chmod((dir + "/dovra").c_str(), 0755);
    };
    options.program = "./dovra";
    rig r(2, 5, {0, 1}, options);
    ASSERT_TRUE(r.up()) << r.run.out() << r.run.err();
    const pid_t pid = r.run.daemon_pid();
    const std::string path = r.run.dir().file("dovra");
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    auto inode = [](const std::string &file) {
        struct stat st {};
        return stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    ASSERT_EQ(inode(exe), inode(path));
    unique_fd held = r.session();
    ASSERT_TRUE(held);

    const std::string next = r.run.dir().file("dovra.new");
    write_file(next, read_file(DOVRA_TEST_DAEMON));
    ASSERT_EQ(chmod(next.c_str(), 0755), 0);
    ASSERT_EQ(rename(next.c_str(), path.c_str()), 0);
    ASSERT_NE(inode(exe), inode(path));
    ASSERT_TRUE(r.reload()) << r.run.out() << r.run.err();
    EXPECT_EQ(r.lines("Reloaded: dovra " + VERSION + " runs, 1 session carried over"), 1u) << r.run.out();
    EXPECT_EQ(inode(exe), inode(path));
    EXPECT_EQ(r.run.daemon_pid(), pid);
    EXPECT_TRUE(echoes(held.get(), random_bytes(3000, 7)));

    // A file that cannot be run: refused by the system, so the check fails.
    write_file(next, "not a program\n");
    ASSERT_EQ(rename(next.c_str(), path.c_str()), 0);
    ASSERT_TRUE(r.reload("Reload refused"));
    EXPECT_EQ(r.lines("Reload refused: " + path + " did not start"), 1u) << r.run.out();
    EXPECT_TRUE(echoes(held.get(), random_bytes(3000, 8)));
    unique_fd after = r.session();
    EXPECT_TRUE(after);
    EXPECT_EQ(r.lines("Reloaded: "), 1u);
    EXPECT_EQ(r.run.err(), "");
}

// What the daemon keeps beside the workers outlives a reload as well: an old
// session still counts against maxperclient for its client, and the health
// checker of the old image ends with it, the new image starting the one
// checker that then runs.
TEST(Reload, KeepsEachClientsCountAndOneHealthChecker)
{
    rig r(2, 8, {0, 1}, {}, "maxperclient 1\ncheckinterval 1\n");
    ASSERT_TRUE(r.up()) << r.run.out() << r.run.err();
    // The checker, and nothing else, before any client.
    ASSERT_TRUE(wait_for([&] { return r.workers() == 1; }));
    unique_fd a = r.session();
    ASSERT_TRUE(a);
    ASSERT_TRUE(r.reload());

    unique_fd again = connect_to("127.0.0.1", r.port);
    ASSERT_TRUE(again);
    EXPECT_TRUE(closed_without_data(again.get()));
    unique_fd other = connect_from("127.0.0.9", "127.0.0.1", r.port);
    ASSERT_TRUE(other);
    EXPECT_TRUE(echoes(other.get(), "y"));
    other.reset();
    // a's worker and one checker; the old checker is gone, not left running
    // with the old settings.
    EXPECT_TRUE(wait_for([&] { return r.workers() == 2; })) << r.workers();
    EXPECT_TRUE(echoes(a.get(), "still here"));
    a.reset();
    EXPECT_TRUE(wait_for([&] { return r.workers() == 1; })) << r.workers();
    EXPECT_EQ(r.run.err(), "");
}
