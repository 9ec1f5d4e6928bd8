// `./build.sh run` and `./build.sh stop` as a user runs them, on ports of
// their own: DOVRA_RUN_DIR points them at the test daemon, which reads
// dovra.conf in that directory, so no real configuration is touched.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "support/harness.h"

namespace dovra_test {
namespace {

// A directory as run wants it: the daemon and its configuration, readable by
// the user nobody, whom root's run starts them as.
struct run_dir {
    temp_dir dir;
    std::uint16_t localport = free_port();
    std::uint16_t serverport = free_port();

    run_dir()
    {
        while (serverport == localport)
            serverport = free_port();
        chmod(dir.path().c_str(), 0755);
        write_file(dir.file("dovra"), read_file(DOVRA_TEST_DAEMON));
        chmod(dir.file("dovra").c_str(), 0755);
        write_file(dir.file("dovra.conf"),
                   config_text(localport, serverport, 8, {backend_address(0), backend_address(1)}));
        chmod(dir.file("dovra.conf").c_str(), 0644);
    }
};

child_output build_sh(const char *command, const run_dir &run)
{
    return run_program({{"/bin/sh", DOVRA_TEST_SOURCE_DIR "/build.sh", command},
                        {"BUILD_DIR=" DOVRA_TEST_BINARY_DIR, "DOVRA_RUN_DIR=" + run.dir.path()}},
                       60s);
}

// The number after marker in text, or -1.
pid_t number_after(const std::string &text, const std::string &marker)
{
    const auto at = text.find(marker);
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + marker.size());
}

std::vector<pid_t> group_members(pid_t pgid)
{
    std::vector<pid_t> members;
    for (pid_t pid : all_processes()) {
        const process_info info = process_of(pid);
        if (info.pgrp == pgid && info.state != 'Z' && info.state != '?')
            members.push_back(pid);
    }
    return members;
}

// A listener on 127.0.0.1:port that no child inherits.
unique_fd listen_on(std::uint16_t port)
{
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd.get(), 1) != 0)
        return unique_fd();
    return fd;
}

bool ended(pid_t pid)
{
    const char state = process_of(pid).state;
    return state == '?' || state == 'Z';
}

bool listening_on(std::uint16_t port)
{
    for (const tcp_entry &entry : tcp_sockets_on(port))
        if (entry.state == TCP_STATE_LISTEN)
            return true;
    return false;
}

// Reads what a session of the demo says first: it greets a client that has
// sent nothing once a moment has passed.
std::string greeting(int fd)
{
    std::string text;
    for (int i = 0; i < 50 && text.find("Ctrl-C ends the session.\n") == std::string::npos; ++i)
        text += recv_some(fd, 4096, 200ms);
    return text;
}

std::string served(const std::string &backend, std::uint16_t port, int session, int open)
{
    return "Served by demo backend " + backend + ":" + std::to_string(port) + ": session " +
           std::to_string(session) + " there, " + std::to_string(open) + " open there now.\n";
}

// The detached processes become this test's children, so that it can tell
// ended from gone and reap them. Whatever a failed test left running, stop
// ends.
class RunStop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(become_subreaper()); }
    void TearDown() override
    {
        build_sh("stop", run);
        daemon_run::reap_zombies();
    }
    run_dir run;
};

TEST_F(RunStop, DemoBackendsAnswerThroughTheDaemonAndStopEndsWhatRunStarted)
{
    const std::string as = geteuid() == 0 ? ", as the user nobody" : "";
    const std::string stop_line = "DOVRA_RUN_DIR=" + run.dir.path() + " BUILD_DIR=" DOVRA_TEST_BINARY_DIR " " +
                                  DOVRA_TEST_SOURCE_DIR "/build.sh stop\n";

    // A listener that is not this build's dovra is named and left alone: a
    // signal would end this test.
    {
        const unique_fd other = listen_on(run.localport);
        ASSERT_TRUE(other);
        const child_output idle = build_sh("stop", run);
        EXPECT_EQ(idle.status, 0) << idle.err;
        EXPECT_EQ(idle.out,
                  "Nothing to stop: no dovra of this build listens on port " + std::to_string(run.localport) + ".\n");
        EXPECT_NE(idle.err.find("Left alone: pid " + std::to_string(getpid()) + " (" + process_of(getpid()).comm +
                                "), listening on port " + std::to_string(run.localport) + ", does not run "),
                  std::string::npos)
            << idle.err;
    }

    const child_output started = build_sh("run", run);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    const pid_t daemon = number_after(started.out, "dovra (pid ");
    const pid_t demo = number_after(started.out, "demo backends (pid ");
    ASSERT_GT(daemon, 1) << started.out;
    ASSERT_GT(demo, 1) << started.out;
    const std::string port = std::to_string(run.localport);
    const std::string sport = std::to_string(run.serverport);
    EXPECT_NE(started.out.find("\nDaemon Started..\n\ndovra (pid " + std::to_string(daemon) + ") listens on port " +
                               port + (as.empty() ? "" : as + ",") + " and forwards to port " + sport +
                               " of 127.0.0.2 and 127.0.0.3.\nNothing listened there, so demo backends (pid " +
                               std::to_string(demo) + as + ") answer on 127.0.0.2 and 127.0.0.3"),
              std::string::npos)
        << started.out;
    EXPECT_NE(started.out.find("  nc 127.0.0.1 " + port), std::string::npos) << started.out;
    EXPECT_TRUE(started.out.ends_with("Stop dovra, its sessions and the demo backends: " + stop_line))
        << started.out;

    // The HTTP line, as printed, where this system has an HTTP client: the
    // first backend is free, and the daemon's probes are no sessions.
    std::istringstream lines(started.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(" http://127.0.0.1:" + port + "/") == std::string::npos)
            continue;
        const child_output fetched = run_program({{"/bin/sh", "-c", line}});
        EXPECT_EQ(fetched.status, 0) << line << fetched.err;
        EXPECT_EQ(fetched.out, served("127.0.0.2", run.serverport, 1, 1)) << line;
    }
    // The fetch's worker may still hold the first backend: the sessions
    // below start once it has ended.
    ASSERT_TRUE(wait_for([&] { return children_of(daemon).empty(); }, 10s));

    // First free order while sessions stay open, then sharing of the first.
    unique_fd first = connect_to("127.0.0.1", run.localport);
    ASSERT_TRUE(first);
    const std::string hello = greeting(first.get());
    EXPECT_TRUE(hello.starts_with("Served by demo backend 127.0.0.2:" + sport + ": session ")) << hello;
    EXPECT_TRUE(hello.ends_with(" there, 1 open there now.\nType a line and it comes back from there; "
                                "Ctrl-C ends the session.\n"))
        << hello;
    ASSERT_TRUE(send_all(first.get(), "hello\n"));
    const std::string echoed = "127.0.0.2:" + sport + ": hello\n";
    EXPECT_EQ(recv_some(first.get(), echoed.size()), echoed);
    unique_fd second = connect_to("127.0.0.1", run.localport);
    ASSERT_TRUE(second);
    EXPECT_TRUE(greeting(second.get()).starts_with(served("127.0.0.3", run.serverport, 1, 1)));
    unique_fd third = connect_to("127.0.0.1", run.localport);
    ASSERT_TRUE(third);
    EXPECT_NE(greeting(third.get()).find(" there, 2 open there now.\n"), std::string::npos);

    // stop ends the daemon, its three workers and the demo, and nothing else.
    const pid_t pgid = process_of(daemon).pgrp;
    const std::vector<pid_t> group = group_members(pgid);
    EXPECT_EQ(group.size(), 4u);
    const child_output stopped = build_sh("stop", run);
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, "Stopped dovra (pid " + std::to_string(daemon) +
                               ") and its 3 open sessions.\nStopped the demo backends (pid " +
                               std::to_string(demo) + ").\n");
    for (pid_t pid : group)
        EXPECT_TRUE(ended(pid)) << pid;
    EXPECT_TRUE(ended(demo));
    EXPECT_TRUE(group_members(pgid).empty());
    EXPECT_TRUE(closed_without_data(first.get()));
    EXPECT_FALSE(listening_on(run.localport));
    EXPECT_FALSE(listening_on(run.serverport));
}

// Backends that answer get no demo beside them; stop leaves them alone.
TEST_F(RunStop, BackendsThatAnswerGetNoDemo)
{
    backend_pool pool(2);
    run.serverport = pool.port();
    write_file(run.dir.file("dovra.conf"),
               config_text(run.localport, run.serverport, 8, {backend_address(0), backend_address(1)}));

    const child_output started = build_sh("run", run);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    const pid_t daemon = number_after(started.out, "dovra (pid ");
    EXPECT_EQ(started.out.find("demo"), std::string::npos) << started.out;
    unique_fd client = connect_to("127.0.0.1", run.localport);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_all(client.get(), "ping"));
    EXPECT_EQ(recv_some(client.get(), 4), "ping");
    client.reset();

    const child_output stopped = build_sh("stop", run);
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_TRUE(stopped.out.starts_with("Stopped dovra (pid " + std::to_string(daemon) + ")")) << stopped.out;
    EXPECT_TRUE(ended(daemon));
    EXPECT_FALSE(listening_on(run.localport));
    for (int i = 0; i < pool.size(); ++i)
        EXPECT_GE(pool.accepted(i), i == 0 ? 2 : 0);
    unique_fd direct = connect_to(backend_address(1), pool.port());
    ASSERT_TRUE(direct);
    ASSERT_TRUE(send_all(direct.get(), "pong"));
    EXPECT_EQ(recv_some(direct.get(), 4), "pong");
}

// run leaves nothing behind when dovra does not start: a file dovra would
// refuse is named with the checker's message, and nothing starts; a launcher
// that fails (as the daemon's does where it may not listen) is reported, and
// the demo backends started for it are ended.
TEST_F(RunStop, NothingIsLeftWhenDovraDoesNotStart)
{
    write_file(run.dir.file("dovra.conf"), "localport " + std::to_string(run.localport) + "\n");
    const child_output refused = build_sh("run", run);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "\n Configuration error: undefined serverport \n") << refused.out;
    EXPECT_EQ(refused.err, "dovra would refuse " + run.dir.file("dovra.conf") + ", so it was not started.\n");
    EXPECT_FALSE(listening_on(run.localport));

    write_file(run.dir.file("dovra.conf"),
               config_text(run.localport, run.serverport, 8, {backend_address(0), backend_address(1)}));
    write_file(run.dir.file("dovra"), "#!/bin/sh\necho 'Error creating listenning socket: Permission denied' >&2\nexit 1\n");
    const child_output failed = build_sh("run", run);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out.find("Try it"), std::string::npos) << failed.out;
    EXPECT_EQ(failed.err, "Error creating listenning socket: Permission denied\n"
                          "dovra did not start (its launcher's status: 1); its own message above says why.\n");
    EXPECT_FALSE(listening_on(run.serverport)) << "the demo backends were left running";
}

}  // namespace
}  // namespace dovra_test
