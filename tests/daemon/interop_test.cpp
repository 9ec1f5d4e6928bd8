// The PROXY header with real peers: nginx behind dovra, reading the header
// dovra sends, and HAProxy in front of dovra, sending the header that dovra's
// acceptproxy reads. Each peer runs as this test's own process, on loopback
// ports, with its configuration and files in a temporary directory, and is
// ended by its pid. A test whose peer is not installed skips, saying so.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/harness.h"

extern char **environ;

using namespace dovra_test;

namespace {

// The program's path, looked up in PATH and then in the system directories
// where a package puts a daemon, or "".
std::string peer_program(const std::string &name)
{
    std::string path = find_program(name);
    for (const char *dir : {"/usr/sbin/", "/usr/local/sbin/"}) {
        if (path.empty())
            path = find_program(dir + name);
    }
    return path;
}

// A peer program run in the foreground as a child of this test, its output
// in dir/NAME.out; ended with SIGTERM, then SIGKILL, by its pid.
class peer_process {
public:
    peer_process(const temp_dir &dir, const std::string &name, std::vector<std::string> argv)
    {
        const std::string log = dir.file(name + ".out");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char *> args;
        for (std::string &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~peer_process() { stop(); }
    peer_process(const peer_process &) = delete;
    peer_process &operator=(const peer_process &) = delete;

    bool started() const { return pid_ > 0; }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status;
        if (!wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

bool listens(std::uint16_t port, const std::string &address)
{
    return wait_for([&] {
        for (const std::string &a : listening_addresses(port)) {
            if (a == address)
                return true;
        }
        return false;
    });
}

std::uint16_t own_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// Reads until the peer closes or timeout passes.
std::string read_to_end(int fd)
{
    std::string got;
    while (true) {
        std::string piece = recv_some(fd, 4096, 5s);
        if (piece.empty())
            return got;
        got += piece;
    }
}

}  // namespace

// nginx, listening with proxy_protocol behind dovra, logs the address of the
// client that connected to dovra, for either version of the header.
TEST(Interop, NginxBehindDovraLogsTheRealClient)
{
    const std::string nginx = peer_program("nginx");
    if (nginx.empty())
        GTEST_SKIP() << "nginx is not installed (apt-get install nginx-light)";
    for (const char *version : {"v1", "v2"}) {
        SCOPED_TRACE(version);
        temp_dir dir;
        const std::uint16_t backend_port = free_port();
        const std::string d = dir.path();
        write_file(dir.file("nginx.conf"),
                   "daemon off;\nmaster_process off;\npid " + d + "/nginx.pid;\nerror_log " + d + "/error.log;\n"
                   "events { worker_connections 64; }\n"
                   "http {\n"
                   "  client_body_temp_path " + d + "/body; proxy_temp_path " + d + "/proxy;\n"
                   "  fastcgi_temp_path " + d + "/fastcgi; uwsgi_temp_path " + d + "/uwsgi; scgi_temp_path " + d + "/scgi;\n"
                   "  log_format client '$proxy_protocol_addr:$proxy_protocol_port';\n"
                   "  server {\n"
                   "    listen " + backend_address(0) + ":" + std::to_string(backend_port) + " proxy_protocol;\n"
                   "    access_log " + d + "/access.log client;\n"
                   "    location / { return 200 \"hello from nginx\\n\"; }\n"
                   "  }\n"
                   "}\n");
        peer_process server(dir, "nginx", {nginx, "-e", d + "/error.log", "-p", d, "-c", d + "/nginx.conf"});
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(listens(backend_port, backend_address(0))) << read_file(dir.file("nginx.out"));

        const std::uint16_t port = free_port();
        daemon_run run((config_text(port, backend_port, 4, {backend_address(0)}) + "proxyprotocol " + version + "\n").c_str());
        ASSERT_EQ(run.launcher_status(), 0) << run.out() << run.err();
        unique_fd c = connect_from("127.0.0.9", "127.0.0.1", port);
        ASSERT_TRUE(c);
        const std::uint16_t client_port = own_port(c.get());
        ASSERT_TRUE(send_all(c.get(), "GET / HTTP/1.0\r\nHost: test\r\n\r\n"));
        const std::string reply = read_to_end(c.get());
        c.reset();
        EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK\r\n")) << reply;
        EXPECT_TRUE(reply.ends_with("\r\n\r\nhello from nginx\n")) << reply;
        ASSERT_TRUE(wait_for([&] { return !read_file(dir.file("access.log")).empty(); }));
        EXPECT_EQ(read_file(dir.file("access.log")),
                  "127.0.0.9:" + std::to_string(client_port) + "\n");
        EXPECT_EQ(run.err(), "");
        run.stop();
        server.stop();
    }
}

// HAProxy with send-proxy-v2 in front of dovra's acceptproxy: dovra takes
// the client HAProxy names for its session log and for the version 1 header
// it sends its backend, and relays the rest unchanged.
TEST(Interop, HaproxyInFrontOfDovraNamesTheRealClient)
{
    const std::string haproxy = peer_program("haproxy");
    if (haproxy.empty())
        GTEST_SKIP() << "haproxy is not installed (apt-get install haproxy)";
    std::mutex lock;
    std::vector<std::string> sessions;
    // Reads up to the client's "ping", which comes after dovra's header,
    // and answers it; a probe closes first.
    backend_pool pool(1, [&](int fd, int) {
        std::string got;
        char buf[512];
        ssize_t n;
        while (!got.ends_with("ping") && (n = recv(fd, buf, sizeof buf, 0)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
        if (!got.empty())
            send_all(fd, "ok");
        std::lock_guard<std::mutex> hold(lock);
        sessions.push_back(got);
    });
    const std::uint16_t port = free_port();
    daemon_run run((config_text(port, pool.port(), 4, {backend_address(0)}) +
                    "acceptproxy 127.0.0.1\nproxyprotocol v1\nsessionlog on\n")
                       .c_str());
    ASSERT_EQ(run.launcher_status(), 0) << run.out() << run.err();

    temp_dir dir;
    const std::uint16_t front_port = free_port();
    write_file(dir.file("haproxy.cfg"), "global\n  maxconn 64\n"
                                        "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 10s\n"
                                        "  timeout server 10s\n"
                                        "frontend front\n  bind 127.0.0.1:" + std::to_string(front_port) + "\n"
                                        "  default_backend dovra\n"
                                        "backend dovra\n  server dovra 127.0.0.1:" + std::to_string(port) +
                                        " send-proxy-v2\n");
    peer_process front(dir, "haproxy", {haproxy, "-db", "-f", dir.file("haproxy.cfg")});
    ASSERT_TRUE(front.started());
    ASSERT_TRUE(listens(front_port, "127.0.0.1")) << read_file(dir.file("haproxy.out"));

    unique_fd c = connect_from("127.0.0.9", "127.0.0.1", front_port);
    ASSERT_TRUE(c);
    const std::string client = "127.0.0.9:" + std::to_string(own_port(c.get()));
    ASSERT_TRUE(send_all(c.get(), "ping"));
    EXPECT_EQ(recv_some(c.get(), 2, 5s), "ok") << read_file(dir.file("haproxy.out")) << run.out() << run.err();
    c.reset();
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> hold(lock);
        for (const std::string &s : sessions) {
            if (!s.empty())
                return true;
        }
        return false;
    }));
    std::string carried;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (const std::string &s : sessions)
            carried += s;
    }
    EXPECT_EQ(carried, "PROXY TCP4 127.0.0.9 127.0.0.1 " + client.substr(10) + " " + std::to_string(front_port) +
                           "\r\nping");
    ASSERT_TRUE(wait_for([&] { return run.out().find("\nsession " + client + " > ") != std::string::npos; }))
        << run.out();
    EXPECT_EQ(run.err(), "");
    front.stop();
}
