// The worker's confinement: what a process can still do once it has entered
// the session sandbox, and that another process of the daemon's user cannot
// read a live worker's memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "common/platform.h"
#include "common/report.h"
#include "net/net.h"
#include "support/harness.h"

using namespace dovra_test;

namespace {

// In the sandbox, a call that it must refuse with error. Returns false,
// saying so on standard error, when the call was let through or failed
// otherwise.
bool refused(const char *what, int result, int error = SANDBOX_REFUSED)
{
    if (result == -1 && errno == error)
        return true;
    std::fprintf(stderr, "%s: %d, %s\n", what, result, std::strerror(errno));
    return false;
}

// fork() in the sandbox, the child ending at once if it was let through.
int forked()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    return pid < 0 ? -1 : 0;
}

// Does this build confine a worker? Asked of a forked child, since the
// answer cannot be undone.
bool sandbox_built() { return try_session_sandbox() != 0; }

}  // namespace

// In a child that has entered the sandbox: files, new descriptors of any
// kind, new processes, programs, other processes and the flags of the
// descriptors it holds (standard output, shared with the daemon, and its own
// sockets) are out of reach, while the real relay still carries a session
// both ways on its two TCP sockets and ends it, report() still writes both
// of its forms and exit() still flushes standard output. The launcher's own
// probe of the sandbox passes.
TEST(Sandbox, RefusesFilesDescriptorsProcessesAndFlagsButRelaysOnItsOwnSockets)
{
    if (!sandbox_built())
        GTEST_SKIP() << "built without the session sandbox (DOVRA_SANDBOX off)";
    EXPECT_EQ(try_session_sandbox(), 1) << std::strerror(errno);
    const bool forks_refused = SANDBOX_BINDS_ROOT || geteuid() != 0;
    socket_pair client = tcp_pair();
    socket_pair backend = tcp_pair();
    ASSERT_TRUE(client.outer && client.inner && backend.outer && backend.inner);

    // The client and the backend, while the child relays between them.
    std::string at_backend, at_client;
    bool backend_saw_fin = false;
    std::thread peers([&] {
        send_all(client.outer.get(), "ping");
        at_backend = recv_some(backend.outer.get(), 4);
        send_all(backend.outer.get(), "pong");
        at_client = recv_some(client.outer.get(), 4);
        client.outer.reset();
        // The relay's FIN, not the close at its exit after the linger bound.
        backend_saw_fin = closed_without_data(backend.outer.get(), std::chrono::milliseconds(RELAY_LINGER_MS / 2));
        backend.outer.reset();
    });

    child_output got = run_in_child([&]() -> int {
        // A worker holds the relay's ends alone.
        close(client.outer.get());
        close(backend.outer.get());
        if (enter_session_sandbox(client.inner.get(), backend.inner.get()) != 1) {
            std::perror("enter_session_sandbox");
            return 1;
        }
        const pid_t parent = getppid();
        bool ok = refused("open", open("/etc/passwd", O_RDONLY));
        ok = refused("socket", socket(AF_INET, SOCK_STREAM, 0), SANDBOX_NO_DESCRIPTOR) && ok;
        int ends[2];
        ok = refused("pipe", pipe(ends), SANDBOX_NO_DESCRIPTOR) && ok;
        if (forks_refused)
            ok = refused("fork", forked(), SANDBOX_NO_PROCESS) && ok;
        ok = refused("fcntl standard output", fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK), SANDBOX_NO_RIGHT) && ok;
        ok = refused("fcntl client", fcntl(client.inner.get(), F_SETFL, O_NONBLOCK), SANDBOX_NO_RIGHT) && ok;
        ok = refused("execl", execl("/bin/sh", "sh", "-c", "exit 42", static_cast<char *>(nullptr))) && ok;
        ok = refused("kill", kill(parent, 0)) && ok;
        if (!ok)
            return 2;
        if (relay_streams(client.inner.get(), backend.inner.get()) != 0) {
            std::perror("relay_streams");
            return 3;
        }
        if (close(client.inner.get()) != 0)
            return 4;
        errno = ECONNRESET;
        report("Failed attempting to redirect data");
        errno = 0;
        report("All the servers are down");
        return 0;
    });
    peers.join();

    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(at_backend, "ping");
    EXPECT_EQ(at_client, "pong");
    EXPECT_TRUE(backend_saw_fin);
    EXPECT_EQ(got.out, "\nAll the servers are down\n");
    EXPECT_EQ(got.err, std::string("Failed attempting to redirect data: ") + std::strerror(ECONNRESET) + "\n");
}

namespace {

// Forks a process that takes the user and group of pw and then runs body.
template <typename F>
pid_t fork_as(const passwd &pw, F body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(pw.pw_gid) != 0 || setuid(pw.pw_uid) != 0)
            _exit(126);
        body();
        _exit(127);
    }
    return pid;
}

int exit_status(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The start of the first readable mapping of a process, or 0.
unsigned long readable_address(pid_t pid)
{
    std::string maps = read_file("/proc/" + std::to_string(pid) + "/maps");
    for (std::size_t at = 0; at < maps.size();) {
        std::size_t end = maps.find('\n', at);
        std::string line = maps.substr(at, end - at);
        unsigned long start = 0, stop = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &stop, perms) == 3 && perms[0] == 'r')
            return start;
        at = end == std::string::npos ? maps.size() : end + 1;
    }
    return 0;
}

// Whether a process of pw's user reads 64 bytes of pid's memory through
// /proc/PID/mem: 0 when it does, 1 when refused, -1 when it cannot tell.
int read_memory_as(const passwd &pw, pid_t pid)
{
    const unsigned long address = readable_address(pid);
    if (address == 0)
        return -1;
    const std::string mem = "/proc/" + std::to_string(pid) + "/mem";
    pid_t reader = fork_as(pw, [&] {
        int fd = open(mem.c_str(), O_RDONLY);
        char buf[64];
        if (fd >= 0 && pread(fd, buf, sizeof buf, static_cast<off_t>(address)) == static_cast<ssize_t>(sizeof buf))
            _exit(0);
        _exit(errno == EACCES || errno == EPERM ? 1 : 2);
    });
    const int status = exit_status(reader);
    return status == 0 || status == 1 ? status : -1;
}

// Kills and reaps the processes a test started, however the test ends, in
// the order they were added: a daemon before its worker, which then is this
// process's to reap, so that no pid is signalled after another process has
// reaped it.
struct started_processes {
    std::vector<pid_t> pids;
    ~started_processes()
    {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

}  // namespace

// The real daemon runs as nobody and holds a session open; another process
// of nobody's can read the memory of a process of nobody's that it could
// trace, but not the worker's. Where the build confines workers, the worker
// of the real daemon is under its filter.
TEST(Sandbox, NoOtherProcessOfTheUserReadsAWorkersMemory)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the daemon and the reader as nobody";
    if (access("/proc/self/mem", F_OK) != 0 || access("/proc/self/maps", F_OK) != 0)
        GTEST_SKIP() << "no /proc/PID/mem and /proc/PID/maps here";
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user nobody";
    const passwd pw = *nobody;
    ASSERT_TRUE(become_subreaper());
    const bool confined = sandbox_built();

    // nobody must reach the daemon and its configuration.
    backend_pool backends(1);
    temp_dir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string daemon = dir.file("dovra");
    write_file(daemon, read_file(DOVRA_TEST_DAEMON));
    ASSERT_EQ(chmod(daemon.c_str(), 0755), 0);
    const std::uint16_t port = free_port();
    write_file(dir.file("dovra.conf"), config_text(port, backends.port(), 4, {backend_address(0)}));
    ASSERT_EQ(chmod(dir.file("dovra.conf").c_str(), 0644), 0);

    unique_fd session;  // closed only after the worker is killed
    started_processes started;
    const std::vector<pid_t> before = children_of(getpid());
    pid_t launcher = fork_as(pw, [&] {
        int null = open("/dev/null", O_RDWR);
        if (chdir(dir.path().c_str()) == 0 && null >= 0 && dup2(null, 0) == 0 && dup2(null, 1) == 1 &&
            dup2(null, 2) == 2)
            execl(daemon.c_str(), daemon.c_str(), static_cast<char *>(nullptr));
    });
    ASSERT_EQ(exit_status(launcher), 0);
    pid_t daemon_pid = -1;
    // The daemon is the new child in a new session that it does not lead;
    // the session leader, ended after its fork, is reaped.
    const pid_t own_session = getsid(0);
    ASSERT_TRUE(wait_for([&] {
        for (pid_t pid : children_of(getpid())) {
            const process_info ps = process_of(pid);
            if (std::find(before.begin(), before.end(), pid) != before.end())
                continue;
            if (ps.state == 'Z' && ps.sid == pid)
                waitpid(pid, nullptr, 0);
            else if (ps.state != 'Z' && ps.sid != pid && ps.sid != own_session)
                daemon_pid = pid;
        }
        return daemon_pid > 0;
    }));
    started.pids.push_back(daemon_pid);

    ASSERT_TRUE(wait_for([&] {
        session = connect_to("127.0.0.1", port);
        return static_cast<bool>(session);
    }));
    ASSERT_TRUE(send_all(session.get(), "x"));
    ASSERT_EQ(recv_some(session.get(), 1), "x");
    const std::vector<pid_t> workers = children_of(daemon_pid);
    ASSERT_EQ(workers.size(), 1u);
    const pid_t worker = workers[0];
    started.pids.push_back(worker);

    // A process of nobody's that exec() left dumpable, as the worker was
    // before it was protected.
    pid_t other = fork_as(pw, [] { execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr)); });
    started.pids.push_back(other);
    ASSERT_TRUE(wait_for([&] { return process_of(other).comm == "sleep"; }));
    const int control = read_memory_as(pw, other);
    const int result = read_memory_as(pw, worker);
    const std::string status = read_file("/proc/" + std::to_string(worker) + "/status");


    if (control != 0)
        GTEST_SKIP() << "this kernel keeps a user out of the memory of its own processes anyway (Yama?)";
    EXPECT_EQ(result, 1) << "a process of the worker's user read its memory";
    if (confined && status.find("Seccomp:") != std::string::npos) {
        EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos) << "the worker runs without its filter";
    }
}
