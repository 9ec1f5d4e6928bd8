// Faults injected into a running daemon: peers that die or reset, a daemon
// killed under its sessions, configuration paths that are not plain files,
// and too few descriptors. Each must end in its message, never in a hang.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/harness.h"

using namespace dovra_test;

namespace {

constexpr std::size_t MIB = 1 << 20;

// An echo backend in a process of its own on address:port, so that it can be
// killed like a real one. Only system calls run in the child.
pid_t spawn_echo_process(const std::string &address, std::uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        static char buf[65536];
        for (;;) {
            int c = accept(fd, nullptr, nullptr);
            ssize_t n;
            while (c >= 0 && (n = recv(c, buf, sizeof buf, 0)) > 0) {
                if (send(c, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
                    break;
            }
            close(c);
        }
    }
    close(fd);
    return pid;
}

// Kills and reaps a process when it goes out of scope.
struct killed_at_exit {
    pid_t pid;
    ~killed_at_exit()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Sends data and reads its echo at the same time, as a client that uploads
// and downloads at once. Returns what came back, up to the end of the
// session or timeout; stops early after stop_after bytes if that is set.
// *sent_out, when given, tells how much of data was sent, which is more than
// came back when it stopped early.
std::string echo_through(int fd, const std::string &data, std::size_t stop_after = 0, std::size_t *sent_out = nullptr)
{
    std::size_t want = stop_after != 0 ? stop_after : data.size();
    std::size_t sent = 0;
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    char buf[65536];
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        if ((p.revents & POLLOUT) != 0) {
            ssize_t n = send(fd, data.data() + sent, std::min<std::size_t>(data.size() - sent, 65536),
                             MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
        }
    }
    if (sent_out != nullptr)
        *sent_out = sent;
    return got;
}

// A client that connects, checks one echo and keeps its session open.
unique_fd open_session(std::uint16_t port)
{
    unique_fd c = connect_to("127.0.0.1", port);
    if (!c || !send_all(c.get(), "ping") || recv_some(c.get(), 4) != "ping")
        return unique_fd();
    return c;
}

// Every line that a failed relay may leave on standard error.
bool only_relay_failures(const std::string &err)
{
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        if (line != "Failed attempting to redirect data: Connection reset by peer" &&
            line != "Failed attempting to redirect data: Broken pipe")
            return false;
    }
    return true;
}

// Waits until the daemon has no worker left.
bool no_workers(daemon_run &run)
{
    return wait_for([&] { return children_of(run.daemon_pid()).empty(); }, 10s);
}

}  // namespace

TEST(Fault, BackendKilledMidSessionThenBack)
{
    backend_pool backends(2);
    backends.stop(0);
    pid_t doomed = spawn_echo_process(backend_address(0), backends.port());
    ASSERT_GT(doomed, 0);
    killed_at_exit guard{doomed};
    std::uint16_t port = free_port();
    daemon_run run(config_text(port, backends.port(), 8, {backend_address(0), backend_address(1)}).c_str());
    ASSERT_TRUE(run.listening(port));

    // The session reaches the doomed backend; after 256 KiB of echo it dies.
    unique_fd c = connect_to("127.0.0.1", port);
    std::string data = random_bytes(16 * MIB, 1);  // more than loopback buffers hold
    std::size_t sent = 0;
    std::string got = echo_through(c.get(), data, 256 * 1024, &sent);
    ASSERT_GE(got.size(), 256u * 1024);
    kill(doomed, SIGKILL);
    waitpid(doomed, nullptr, 0);
    guard.pid = -1;
    // The stream goes on where the sending stopped, not where the echo did.
    got += echo_through(c.get(), data.substr(sent));
    EXPECT_LT(got.size(), data.size());
    EXPECT_EQ(got, data.substr(0, got.size())) << "bytes altered before the backend died";
    EXPECT_TRUE(no_workers(run));
    EXPECT_TRUE(only_relay_failures(run.err())) << run.err();

    // The dead backend refuses now: the next client goes to the second one.
    unique_fd second = connect_to("127.0.0.1", port);
    EXPECT_EQ(echo_through(second.get(), "to the second"), "to the second");
    EXPECT_EQ(backends.with_data(1), 1);

    // Back up, it is the first choice again.
    second.reset();
    ASSERT_TRUE(no_workers(run));
    backends.start(0);
    unique_fd third = connect_to("127.0.0.1", port);
    EXPECT_EQ(echo_through(third.get(), "back to the first"), "back to the first");
    EXPECT_EQ(backends.with_data(0), 1);
}

TEST(Fault, ClientResetsMidTransfer)
{
    backend_pool backends(1);
    std::uint16_t port = free_port();
    daemon_run run(config_text(port, backends.port(), 4, {backend_address(0)}).c_str());
    ASSERT_TRUE(run.listening(port));

    for (int round = 0; round < 3; ++round) {
        unique_fd c = connect_to("127.0.0.1", port);
        std::string data = random_bytes(4 * MIB, round);
        ASSERT_EQ(echo_through(c.get(), data, 128 * 1024).size() >= 128 * 1024, true);
        linger hard{1, 0};  // close() sends a reset
        setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        c.reset();
        ASSERT_TRUE(no_workers(run));
        ASSERT_TRUE(wait_for([&] { return backends.open_sessions(0) == 0; }));
    }
    // Each reset session freed its slot: the backend was first choice and
    // free every time, and still is.
    unique_fd c = connect_to("127.0.0.1", port);
    EXPECT_EQ(echo_through(c.get(), "after"), "after");
    EXPECT_EQ(backends.with_data(0), 4);
    EXPECT_TRUE(only_relay_failures(run.err())) << run.err();
}

TEST(Fault, DaemonKilledWhileSessionsRunAndReplacedAtOnce)
{
    backend_pool backends(3);
    std::uint16_t port = free_port();
    std::string config = config_text(port, backends.port(), 8, {backend_address(0), backend_address(1), backend_address(2)});
    auto first = std::make_unique<daemon_run>(config.c_str());
    ASSERT_TRUE(first->listening(port));
    std::vector<unique_fd> sessions;
    for (int i = 0; i < 3; ++i) {
        sessions.push_back(open_session(port));
        ASSERT_TRUE(sessions.back());
    }
    std::vector<pid_t> orphans = children_of(first->daemon_pid());
    ASSERT_EQ(orphans.size(), 3u);

    first->kill_daemon_only(SIGKILL);
    auto second = std::make_unique<daemon_run>(config.c_str());
    EXPECT_EQ(second->launcher_status(), 0);
    ASSERT_TRUE(second->listening(port));
    unique_fd fresh = connect_to("127.0.0.1", port);
    EXPECT_EQ(echo_through(fresh.get(), "new daemon"), "new daemon");

    // The orphaned sessions carry on to the end, byte for byte, and their
    // workers then end.
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        std::string data = random_bytes(MIB, static_cast<unsigned>(i));
        EXPECT_EQ(echo_through(sessions[i].get(), data), data) << "session " << i;
    }
    sessions.clear();
    for (pid_t pid : orphans) {
        int status = -1;
        EXPECT_TRUE(wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(second->err(), "");
    EXPECT_EQ(first->err(), "");
    fresh.reset();
    second.reset();
    first.reset();
}

TEST(Fault, ConfigurationPathsThatAreNoPlainFile)
{
    // The FIFO's writer side, held open by this process in one case.
    unique_fd writer;
    struct path_case {
        const char *name;
        std::function<void(const std::string &conf)> make;
        std::string out;
    };
    const std::string port = std::to_string(free_port());
    const std::string undefined_localport = "\n Configuration error: undefined localport \n";
    // On the file system of the runs' directories.
    temp_dir probe;
    const std::string directory = "\n Configuration error: " + directory_config_error(probe.path()) + " \n";
    std::vector<path_case> cases = {
        {"directory", [](const std::string &conf) { mkdir(conf.c_str(), 0700); }, directory},
        {"FIFO without a writer", [](const std::string &conf) { mkfifo(conf.c_str(), 0600); }, undefined_localport},
        {"FIFO with a writer",
         [&](const std::string &conf) {
             mkfifo(conf.c_str(), 0600);
             writer.reset(open(conf.c_str(), O_RDWR | O_CLOEXEC));  // never blocks
         },
         undefined_localport},
        {"100 MB of white space before the settings",
         [&](const std::string &conf) {
             std::ofstream out(conf, std::ios::binary);
             std::string blanks(MIB, ' ');
             for (int i = 0; i < 100; ++i) {
                 blanks[static_cast<std::size_t>(i) * 997 % MIB] = "\t\n\r"[i % 3];
                 out << blanks;
             }
             out << "localport " << port << "\nserverport 2\nmaxclients 0\nserver 127.0.0.2\n";
         },
         "\n localport " + port + "\n serverport 2\n maxclients 0\n Servers: \n\t== 127.0.0.2 ==\n\n\nDaemon Started..\n\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto started = std::chrono::steady_clock::now();
        daemon_options options;
        options.prepare = [&](const std::string &dir) { c.make(dir + "/dovra.conf"); };
        options.launcher_timeout = 30s;
        daemon_run run(nullptr, {}, options);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
        EXPECT_EQ(run.launcher_status(), 0);
        EXPECT_EQ(run.out(), c.out);
        EXPECT_EQ(run.err(), "");
        writer.reset();
    }
}

TEST(Fault, UnreadableConfiguration)
{
    const std::string expected = "\n Configuration error: Unable to open file \n";
    auto unreadable = [&] {
        daemon_options options;
        options.prepare = [](const std::string &dir) { chmod((dir + "/dovra.conf").c_str(), 0); };
        daemon_run run("localport 1\nserverport 2\nmaxclients 3\nserver 127.0.0.2\n", {}, options);
        std::printf("%s", run.out().c_str());
        return run.launcher_status() == 0 && run.out() == expected ? 0 : 1;
    };
    if (geteuid() != 0) {
        EXPECT_EQ(unreadable(), 0);
        return;
    }
    // Permission bits do not stop root: read it as nobody.
    child_output child = run_in_child([&] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            return 126;
        if (access(DOVRA_TEST_DAEMON, X_OK) != 0)
            return 125;
        return unreadable();
    }, 30s);
    if (child.status == 125 || child.status == 126)
        GTEST_SKIP() << "uid 65534 cannot run " << DOVRA_TEST_DAEMON;
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(child.out, expected);
}

TEST(Fault, AcceptOutOfDescriptorsReportsAndServesAgain)
{
    backend_pool backends(1);
    std::uint16_t port = free_port();
    daemon_run run(config_text(port, backends.port(), 4, {backend_address(0)}).c_str());
    ASSERT_EQ(run.launcher_status(), 0);
    pid_t daemon = run.daemon_pid();
    ASSERT_GT(daemon, 0);
    // Standard input, output, error and the listening socket: no room left
    // for an accepted client.
    ASSERT_TRUE(set_file_limit(daemon, 4, 64)) << std::strerror(errno);
    // The daemon is not dumpable, so only root may list its descriptors.
    if (geteuid() == 0) {
        ASSERT_TRUE(wait_for([&] { return open_fd_count(daemon) == 4; }));
    }
    unique_fd waiting = connect_to("127.0.0.1", port);
    ASSERT_TRUE(waiting);
    const std::string line = "Error accepting connections: Too many open files\n";
    ASSERT_TRUE(wait_for([&] { return run.err().size() >= 2 * line.size(); }, 5s)) << run.err();

    // It waits between attempts rather than spinning, and lives on.
    auto before = process_of(daemon).cpu;
    std::this_thread::sleep_for(2s);
    EXPECT_LE(process_of(daemon).cpu - before, 200ms);
    EXPECT_NE(process_state(daemon), 'Z');

    // Descriptors to spare again: the waiting client and a new one are served.
    ASSERT_TRUE(set_file_limit(daemon, 64, 64)) << std::strerror(errno);
    EXPECT_EQ(echo_through(waiting.get(), "was waiting"), "was waiting");
    unique_fd fresh = connect_to("127.0.0.1", port);
    EXPECT_EQ(echo_through(fresh.get(), "new"), "new");
    std::string err = run.err();
    EXPECT_FALSE(err.empty());
    for (std::size_t at = 0; at < err.size(); at += line.size())
        ASSERT_EQ(err.compare(at, line.size(), line), 0) << err;
}
