#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/platform.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

std::string summary(std::uint16_t port)
{
    return "\n localport " + std::to_string(port) +
           "\n serverport 80\n maxclients 5\n Servers: \n\t== 127.0.0.2 ==\n\t== 127.0.0.3 ==\n\n\nDaemon Started..\n\n";
}

std::string config(std::uint16_t port) { return config_text(port, 80, 5, {"127.0.0.2", "127.0.0.3"}); }

}  // namespace

// The launcher prints the summary once and returns as soon as the daemon
// listens; the daemon goes on in a session of its own, not as its leader and with no terminal, and
// frees the status table when it ends. Arguments change nothing.
TEST(Startup, DetachesIntoNewSession)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-d", "--config", "/nowhere", "x"}}) {
        std::uint16_t port = free_port();
        daemon_run run(config(port).c_str(), args);
        SCOPED_TRACE(args.size());
        ASSERT_EQ(run.launcher_status(), 0);
        pid_t pid = run.daemon_pid();
        ASSERT_GT(pid, 0);
        // When the launcher returns, the daemon listens already (seen without
        // connecting, which would start a worker) and the session leader has
        // been reaped, so the daemon is the only process a service manager
        // could adopt: no waiting for either.
        auto socks = tcp_sockets_on(port);
        EXPECT_TRUE(std::any_of(socks.begin(), socks.end(),
                                [](const tcp_entry &e) { return e.state == TCP_STATE_LISTEN && e.local == "0.0.0.0"; }));
        EXPECT_EQ(process_of(pid).ppid, getpid());
        process_info daemon = process_of(pid);
        EXPECT_NE(daemon.state, 'Z');
        EXPECT_NE(daemon.sid, getsid(0));
        EXPECT_NE(daemon.sid, pid);
        EXPECT_NE(daemon.pgrp, pid);
        EXPECT_FALSE(daemon.has_terminal);
        EXPECT_EQ(run.out(), summary(port));
        EXPECT_EQ(run.err(), "");
        EXPECT_EQ(shm_segments_of(run.launcher_pid()).size(), 1u);

        EXPECT_EQ(run.stop(), 0);
        EXPECT_TRUE(shm_segments_of(run.launcher_pid()).empty());
        EXPECT_EQ(run.out(), summary(port));
    }
}

// Every configuration error is one exact line on standard output, status 0,
// and the launcher leaves neither a process nor a segment behind.
TEST(Startup, ConfigurationErrorsEndTheLauncher)
{
    const std::string some = "localport 1 serverport 2 maxclients 3\n";
    std::string eleven;
    for (int i = 0; i < 11; ++i)
        eleven += "server 127.0.0.2\n";
    const struct {
        bool present;
        std::string text, reason;
    } cases[] = {
        {false, "", "Unable to open file"},
        {true, "", "Unable to open file"},
        {true, "\n\n", "undefined localport"},
        {true, "localport 1 maxclients 3", "undefined serverport"},
        {true, "localport 1 serverport 2", "undefined maxclients"},
        {true, some, "undefined servers"},
        {true, some + std::string(512, 'x'), "token too long"},
        {true, some + "server " + std::string(46, '1'), "server address too long"},
        {true, some + eleven, "too many servers"},
    };
    for (const auto &c : cases) {
        daemon_run run(c.present ? c.text.c_str() : nullptr, {"ignored"});
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(run.launcher_status(), 0);
        EXPECT_EQ(run.out(), "\n Configuration error: " + c.reason + " \n");
        EXPECT_EQ(run.err(), "");
        EXPECT_TRUE(children_of(getpid()).empty());
        EXPECT_TRUE(shm_segments_of(run.launcher_pid()).empty());
    }
}

// With the port taken the daemon says why it cannot listen and ends with
// status 1, and the launcher, which waits to hear that the daemon listens,
// ends with status 1 too, after that line, so no caller takes it for a start.
TEST(Startup, PortInUseEndsTheDaemon)
{
    unique_fd holder(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr *>(&sa), len), 0);
    ASSERT_EQ(listen(holder.get(), 1), 0);
    getsockname(holder.get(), reinterpret_cast<sockaddr *>(&sa), &len);
    std::uint16_t port = ntohs(sa.sin_port);

    daemon_run run(config(port).c_str());
    EXPECT_EQ(run.launcher_status(), 1);
    EXPECT_EQ(run.err(), "Error creating listenning socket: Address already in use\n");
    EXPECT_EQ(run.wait_exit(), 1);
    EXPECT_EQ(run.out(), summary(port));
    EXPECT_EQ(run.err(), "Error creating listenning socket: Address already in use\n");
    EXPECT_TRUE(shm_segments_of(run.launcher_pid()).empty());
}

// Runs the daemon from dir in a child that first has the system refuse it
// something (refuse returns why it could not, and the child then exits 77
// with that reason on its output).
namespace {

child_output run_refused(const temp_dir &dir, std::string (*refuse)())
{
    return run_in_child([&] {
        std::string refused = refuse();
        if (!refused.empty()) {
            std::fputs(refused.c_str(), stdout);
            return 77;
        }
        if (chdir(dir.path().c_str()) != 0)
            return 78;
        execl(DOVRA_TEST_DAEMON, DOVRA_TEST_DAEMON, static_cast<char *>(nullptr));
        return 79;
    });
}

}  // namespace

// A status table that cannot be made ends the launcher with status 1 before
// the configuration is read (there is none, so no daemon can be left behind
// either way). The launcher runs in an IPC namespace of its own that allows
// no segment at all.
TEST(Startup, StatusTableFailureEndsTheLauncher)
{
    temp_dir dir;
    child_output got = run_refused(dir, isolate_from_shared_memory);
    if (got.status == 77)
        GTEST_SKIP() << got.out;
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, std::string("Error creating status table: ") + std::strerror(ENOSPC) + "\n");
}

// A system that refuses the session sandbox (here: a seccomp filter of the
// launcher's parent that refuses filters, as a kernel without them does) is
// found by the launcher at start: it says so and exits with status 1 before
// it reads the configuration, and no daemon starts.
TEST(Startup, ARefusedSandboxEndsTheLauncher)
{
    if (try_session_sandbox() == 0)
        GTEST_SKIP() << "this build has no session sandbox";
    temp_dir dir;
    const std::uint16_t port = free_port();
    write_file(dir.file("dovra.conf"), config(port));
    child_output got = run_refused(dir, refuse_system_call_filters);
    if (got.status == 77)
        GTEST_SKIP() << got.out;
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, std::string("Error entering the session sandbox: ") + std::strerror(EINVAL) + "\n");
    EXPECT_TRUE(tcp_sockets_on(port).empty());
}

// Started with standard output and error closed, the daemon never hands a
// client one of them: with every backend down, a worker's "All the servers
// are down" goes nowhere, and the client is closed without a byte.
TEST(Startup, OutputClosedByTheStarterNeverReachesAClient)
{
    const std::uint16_t port = free_port();
    daemon_options options;
    options.output = -2;
    daemon_run run(config_text(port, free_port(), 5, {"127.0.0.2"}).c_str(), {}, options);
    ASSERT_TRUE(run.listening(port));
    for (int i = 0; i < 3; ++i) {
        unique_fd c = connect_to("127.0.0.1", port);
        ASSERT_TRUE(c);
        EXPECT_TRUE(closed_without_data(c.get())) << i;
    }
    EXPECT_EQ(run.stop(), 0);
}

// A starter that ignores SIGCHLD and blocks every signal it can hands both
// on across exec; the daemon starts all the same, reaps its workers, answers
// the status signal and ends on SIGTERM.
TEST(Startup, SignalStateOfTheStarterIsUndone)
{
    backend_pool pool(1);
    const std::uint16_t port = free_port();
    daemon_options options;
    options.signals_disturbed = true;
    daemon_run run(config_text(port, pool.port(), 5, {backend_address(0)}).c_str(), {}, options);
    ASSERT_TRUE(run.listening(port)) << run.out() << run.err();
    const pid_t daemon = run.daemon_pid();
    {
        unique_fd c = connect_to("127.0.0.1", port);
        ASSERT_TRUE(c && send_all(c.get(), "x") && recv_some(c.get(), 1, 5s) == "x");
    }
    EXPECT_TRUE(wait_for([&] { return children_of(daemon).empty(); }));
    ASSERT_EQ(kill(daemon, SIGUSR1), 0);
    EXPECT_TRUE(wait_for([&] {
        return run.out().find("dovra status: 0 of 5 sessions open; since start 1 served,") != std::string::npos;
    })) << run.out();
    // SIGTERM is no longer blocked: the daemon ends (unreaped until stop()).
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(wait_for([&] { return process_state(daemon) == 'Z'; }));
    EXPECT_EQ(run.stop(), 0);
    EXPECT_EQ(run.err(), "");
}
