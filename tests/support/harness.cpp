#include "support/harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

// Not declared by every system's headers.
extern char **environ;

#ifndef DOVRA_TEST_DAEMON
#error "DOVRA_TEST_DAEMON must name the daemon binary under test"
#endif

namespace dovra_test {

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept
{
    reset(other.release());
    return *this;
}

int unique_fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void unique_fd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

namespace {

void remove_tree(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                chmod(child.c_str(), 0700);
                remove_tree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

// A socket address for an IPv4 or IPv6 literal at port.
struct address_at {
    sockaddr_storage sa{};
    socklen_t len = 0;
};

address_at loopback(const std::string &address, std::uint16_t port)
{
    address_at a;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a.sa);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a.sa);
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        a.len = sizeof *v6;
    } else {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &v4->sin_addr);
        a.len = sizeof *v4;
    }
    return a;
}

// A listening socket on address:port with SO_REUSEADDR, or -1. An IPv6 one
// takes IPv6 clients alone, unless dual is set.
int listen_on(const std::string &address, std::uint16_t port, bool dual = false)
{
    address_at a = loopback(address, port);
    int fd = socket(a.sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int v6only = dual ? 0 : 1;
    if (a.sa.ss_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a.sa), a.len) < 0 || listen(fd, 128) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t bound_port(int fd)
{
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    if (sa.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in *>(&sa)->sin_port);
}

}  // namespace

temp_dir::temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dovra-test.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        std::abort();
    path_ = buf.data();
}

temp_dir::~temp_dir() { remove_tree(path_); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
}

std::string backend_address(int index) { return "127.0.0." + std::to_string(2 + index); }

std::uint16_t free_port()
{
    // Outside the ephemeral range, so that no connection of another test
    // (or of anything else) can be holding it as its local port, nor take it
    // before the daemon binds it. Free on every address, not 127.0.0.1 alone:
    // a daemon binds it on all of them, and a backend pool may hold it on
    // 127.0.0.2 and up; where the system has IPv6, on every IPv6 address too
    // (a daemon may listen on "::", which takes both). Bound without
    // SO_REUSEADDR, so that a port left in TIME_WAIT counts as taken too.
    // Chosen at random, as other test processes choose theirs at the same
    // time.
    static const bool dual = [] {
        unique_fd probe(listen_on("::", 0, true));
        return static_cast<bool>(probe);
    }();
    const port_range ephemeral = ephemeral_ports();
    std::vector<std::uint16_t> candidates;
    for (int p = 1024; p <= 65535; ++p) {
        if (p < ephemeral.first || p > ephemeral.last)
            candidates.push_back(static_cast<std::uint16_t>(p));
    }
    if (candidates.empty())
        std::abort();
    std::mt19937 gen(std::random_device{}());
    std::uniform_int_distribution<std::size_t> pick(0, candidates.size() - 1);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::uint16_t port = candidates[pick(gen)];
        address_at a = loopback(dual ? "::" : "0.0.0.0", port);
        unique_fd fd(socket(a.sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int off = 0;
        if (dual)
            setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a.sa), a.len) == 0)
            return port;
    }
    std::abort();
}

unique_fd connect_to(const std::string &address, std::uint16_t port)
{
    address_at a = loopback(address, port);
    unique_fd fd(socket(a.sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr *>(&a.sa), a.len) < 0)
        return unique_fd();
    return fd;
}

std::string ipv6_missing()
{
    // The loopback address itself, bound: an interface without it, IPv6 off
    // in the kernel (disable_ipv6) or no IPv6 at all all fail here.
    int fd = listen_on("::1", 0);
    if (fd < 0)
        return std::string("no IPv6 loopback here: cannot listen on [::1]: ") + std::strerror(errno);
    close(fd);
    return "";
}

socket_pair tcp_pair(int outer_rcvbuf, int inner_sndbuf)
{
    unique_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (inner_sndbuf > 0)
        setsockopt(listener.get(), SOL_SOCKET, SO_SNDBUF, &inner_sndbuf, sizeof inner_sndbuf);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return {};
    unique_fd outer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (outer_rcvbuf > 0)
        setsockopt(outer.get(), SOL_SOCKET, SO_RCVBUF, &outer_rcvbuf, sizeof outer_rcvbuf);
    if (connect(outer.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return {};
    unique_fd inner(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!inner)
        return {};
    return {std::move(outer), std::move(inner)};
}

bool send_all(int fd, const void *data, std::size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool send_all(int fd, const std::string &data) { return send_all(fd, data.data(), data.size()); }

std::string recv_some(int fd, std::size_t size, std::chrono::milliseconds timeout)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (got.size() < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t n = recv(fd, buf, std::min(sizeof buf, size - got.size()), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

bool closed_without_data(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    char c;
    ssize_t n = recv(fd, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string data(size, '\0');
    for (auto &c : data)
        c = static_cast<char>(gen());
    return data;
}

std::string duplex(int fd, const std::string &out, std::size_t in_size, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        std::size_t sent = 0;
        while (sent < out.size() && !done && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    });
    std::string got = recv_some(fd, in_size, timeout);
    if (got.size() < in_size)
        done = true;
    sender.join();
    return got;
}

std::size_t fill(int fd, std::chrono::milliseconds quiet, std::size_t limit)
{
    static const std::string filler(65536, 'f');
    std::size_t sent = 0;
    while (sent < limit) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || (p.revents & POLLOUT) == 0)
            break;
        ssize_t n = send(fd, filler.data(), std::min(filler.size(), limit - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

std::vector<pid_t> children_of(pid_t parent, bool zombies_only)
{
    std::vector<pid_t> children;
    for (pid_t pid : all_processes()) {
        process_info ps = process_of(pid);
        if (ps.ppid == parent && (!zombies_only || ps.state == 'Z'))
            children.push_back(pid);
    }
    return children;
}

char process_state(pid_t pid) { return process_of(pid).state; }

std::uint64_t echo(int fd)
{
    char buf[65536];
    std::uint64_t echoed = 0;
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !send_all(fd, buf, static_cast<std::size_t>(n)))
            return echoed;
        echoed += static_cast<std::uint64_t>(n);
    }
}

void echo_handler(int fd, int) { echo(fd); }

backend_handler streaming_handler(std::size_t reply, unsigned seed, std::atomic<std::uint64_t> *uploaded)
{
    auto data = std::make_shared<const std::string>(random_bytes(reply, seed));
    return [data, reply, uploaded](int fd, int) {
        char buf[65536];
        for (std::size_t sent = 0; sent < reply; sent += std::size_t{1} << 20) {
            if (!send_all(fd, data->data() + sent, std::min(std::size_t{1} << 20, reply - sent)))
                return;
            ssize_t n = recv(fd, buf, 4096, 0);
            if (n <= 0)
                return;
            *uploaded += static_cast<std::uint64_t>(n);
        }
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            *uploaded += static_cast<std::uint64_t>(n);
        }
    };
}

struct backend_pool::backend {
    int index = 0;
    std::string address;
    int listen_fd = -1;
    int wake[2] = {-1, -1};
    std::thread acceptor;
    std::atomic<int> accepted{0};
    std::atomic<int> with_data{0};
    std::atomic<int> open{0};
    std::mutex lock;
    std::vector<int> sessions;
};

namespace {

std::vector<std::string> backend_addresses(int count)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i)
        addresses.push_back(backend_address(i));
    return addresses;
}

}  // namespace

backend_pool::backend_pool(int count, backend_handler handler)
    : backend_pool(backend_addresses(count), std::move(handler))
{
}

backend_pool::backend_pool(const std::vector<std::string> &addresses, backend_handler handler)
    : handler_(std::move(handler))
{
    const int count = static_cast<int>(addresses.size());
    // Pick a port that is free on every address of the pool.
    for (int attempt = 0; attempt < 50 && backends_.empty(); ++attempt) {
        std::vector<int> fds;
        int first = listen_on(addresses[0], 0);
        if (first < 0)
            std::abort();
        std::uint16_t port = bound_port(first);
        fds.push_back(first);
        for (int i = 1; i < count; ++i) {
            int fd = listen_on(addresses[static_cast<std::size_t>(i)], port);
            if (fd < 0)
                break;
            fds.push_back(fd);
        }
        if (static_cast<int>(fds.size()) != count) {
            for (int fd : fds)
                close(fd);
            continue;
        }
        port_ = port;
        for (int i = 0; i < count; ++i) {
            auto b = std::make_unique<backend>();
            b->index = i;
            b->address = addresses[static_cast<std::size_t>(i)];
            b->listen_fd = fds[static_cast<std::size_t>(i)];
            backends_.push_back(std::move(b));
        }
    }
    if (backends_.empty())
        std::abort();
    for (auto &b : backends_)
        start(b->index);
}

backend_pool::~backend_pool() { shutdown(); }

void backend_pool::listen_loop(backend &b)
{
    for (;;) {
        pollfd p[2] = {{b.listen_fd, POLLIN, 0}, {b.wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents != 0)
            return;
        // Held from accept to the counts, so that unaccepted() never sees a
        // connection that has left the queue but is not counted yet.
        std::lock_guard<std::mutex> guard(b.lock);
        int fd = accept4(b.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        b.accepted++;
        b.open++;
        b.sessions.push_back(fd);
        // Detached: a long run accepts thousands of connections. open counts
        // the threads still running; shutdown() waits for it to reach 0.
        std::thread([this, &b, fd] {
            pollfd q{fd, POLLIN, 0};
            poll(&q, 1, -1);
            char c;
            if (recv(fd, &c, 1, MSG_PEEK) > 0)
                b.with_data++;
            handler_(fd, b.index);
            {
                std::lock_guard<std::mutex> done(b.lock);
                b.sessions.erase(std::find(b.sessions.begin(), b.sessions.end(), fd));
                close(fd);
            }
            // The thread's last touch of the pool: once open reaches 0,
            // shutdown() returns and the pool may be freed.
            b.open--;
        }).detach();
    }
}

void backend_pool::stop(int index)
{
    backend &b = *backends_[static_cast<std::size_t>(index)];
    if (b.listen_fd < 0)
        return;
    char c = 0;
    if (write(b.wake[1], &c, 1) != 1)
        std::abort();
    b.acceptor.join();
    close(b.wake[0]);
    close(b.wake[1]);
    close(b.listen_fd);
    b.listen_fd = -1;
}

void backend_pool::start(int index)
{
    backend &b = *backends_[static_cast<std::size_t>(index)];
    if (b.acceptor.joinable())
        return;
    if (b.listen_fd < 0) {
        for (int attempt = 0; attempt < 500 && b.listen_fd < 0; ++attempt) {
            b.listen_fd = listen_on(b.address, port_);
            if (b.listen_fd < 0)
                std::this_thread::sleep_for(10ms);
        }
        if (b.listen_fd < 0)
            std::abort();
    }
    if (pipe2(b.wake, O_CLOEXEC) < 0)
        std::abort();
    b.acceptor = std::thread([this, &b] { listen_loop(b); });
}

int backend_pool::accepted(int index) const { return backends_[static_cast<std::size_t>(index)]->accepted; }
int backend_pool::with_data(int index) const { return backends_[static_cast<std::size_t>(index)]->with_data; }
int backend_pool::open_sessions(int index) const { return backends_[static_cast<std::size_t>(index)]->open; }

int backend_pool::unaccepted(int index) const
{
    backend &b = *backends_[static_cast<std::size_t>(index)];
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.listen_fd < 0)
        return 0;
    return listen_queue_length(b.listen_fd);
}

void backend_pool::shutdown()
{
    for (auto &b : backends_) {
        stop(b->index);
        {
            std::lock_guard<std::mutex> guard(b->lock);
            for (int fd : b->sessions)
                ::shutdown(fd, SHUT_RDWR);
        }
        // Handlers end once their sockets are shut down; a handler that
        // ignores that is a fault of the test that gave it.
        if (!wait_for([&] { return b->open.load() == 0; }, 10s))
            std::abort();
    }
}

daemon_run::daemon_run(const char *config, const std::vector<std::string> &args, const daemon_options &options)
{
    become_subreaper();
    known_children_ = children_of(getpid());
    if (config != nullptr)
        write_file(dir_.file("dovra.conf"), config);
    if (options.prepare)
        options.prepare(dir_.path());

    std::vector<std::string> argv_text{options.program.empty() ? std::string(DOVRA_TEST_DAEMON) : options.program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string out = dir_.file("stdout");
    std::string err = dir_.file("stderr");

    std::fflush(nullptr);
    launcher_ = fork();
    if (launcher_ == 0) {
        if (chdir(dir_.path().c_str()) != 0)
            _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        dup2(in, 0);
        dup2(options.output >= 0 ? options.output : o, 1);
        dup2(options.output >= 0 ? options.output : e, 2);
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        if (options.output == -2) {
            close(1);
            close(2);
        }
        signal(SIGPIPE, SIG_DFL);
        if (options.signals_disturbed) {
            signal(SIGCHLD, SIG_IGN);
            sigset_t all;
            sigfillset(&all);
            sigprocmask(SIG_SETMASK, &all, nullptr);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    bool ended = wait_for([&] { return waitpid(launcher_, &status, WNOHANG) == launcher_; }, options.launcher_timeout);
    launcher_status_ = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

daemon_run::~daemon_run()
{
    stop();
}

std::string daemon_run::out() const { return read_file(dir_.file("stdout")); }
std::string daemon_run::err() const { return read_file(dir_.file("stderr")); }

pid_t daemon_run::daemon_pid(std::chrono::milliseconds timeout)
{
    if (daemon_ >= 0 || daemon_reaped_)
        return daemon_;
    // The daemon is in a session of its own that it does not lead; the
    // first child is in ours until it calls setsid, and leads the new one.
    const pid_t own_session = getsid(0);
    wait_for([&] {
        for (pid_t pid : children_of(getpid())) {
            if (std::find(known_children_.begin(), known_children_.end(), pid) != known_children_.end())
                continue;
            process_info ps = process_of(pid);
            if (ps.state == 'Z') {
                // The session leader, ended after its fork: reap it, unless
                // it is the daemon that has already exited.
                if (ps.sid == pid)
                    waitpid(pid, nullptr, 0);
                else if (ps.comm == "dovra" && ps.sid != pid && ps.sid != own_session) {
                    daemon_ = pid;
                    return true;
                }
                continue;
            }
            if (ps.comm == "dovra" && ps.sid != pid && ps.sid > 0 && ps.sid != own_session) {
                daemon_ = pid;
                return true;
            }
        }
        return false;
    }, timeout);
    return daemon_;
}

bool daemon_run::listening(std::uint16_t port, const std::string &address)
{
    if (launcher_status_ != 0)
        return false;
    auto socks = tcp_sockets_on(port);
    return std::any_of(socks.begin(), socks.end(),
                       [&](const tcp_entry &e) { return e.state == TCP_STATE_LISTEN && e.local == address; });
}

int daemon_run::wait_exit(std::chrono::milliseconds timeout)
{
    pid_t pid = daemon_pid(timeout);
    if (pid < 0)
        return -1;
    int status = 0;
    if (!wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout))
        return -1;
    daemon_reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int daemon_run::stop(std::chrono::milliseconds timeout)
{
    if (daemon_ < 0 && !daemon_reaped_)
        daemon_pid(200ms);
    if (daemon_ > 0 && !daemon_reaped_) {
        kill(daemon_, SIGTERM);
        waitpid(daemon_, nullptr, 0);
        daemon_reaped_ = true;
    }
    // The daemon's workers now belong to this process.
    auto mine = [&] {
        std::vector<pid_t> left;
        for (pid_t pid : children_of(getpid())) {
            if (std::find(known_children_.begin(), known_children_.end(), pid) == known_children_.end())
                left.push_back(pid);
        }
        return left;
    };
    int alive = 0;
    for (pid_t pid : mine()) {
        if (process_state(pid) != 'Z')
            ++alive;
    }
    wait_for([&] {
        reap_zombies();
        return mine().empty();
    }, timeout);
    for (pid_t pid : mine()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return alive;
}

void daemon_run::kill_daemon_only(int signo)
{
    if (daemon_pid() > 0 && !daemon_reaped_) {
        kill(daemon_, signo);
        waitpid(daemon_, nullptr, 0);
        daemon_reaped_ = true;
    }
}

int daemon_run::reap_zombies()
{
    int reaped = 0;
    for (pid_t pid : children_of(getpid(), true)) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            ++reaped;
    }
    return reaped;
}

std::string directory_config_error(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return "Unable to open file";
    std::fseek(file, 0, SEEK_END);
    unsigned long size = static_cast<unsigned long>(std::ftell(file));
    std::fclose(file);
    return size == 0 ? "Unable to open file" : "undefined localport";
}

silent_listener::silent_listener(const std::string &address, std::uint16_t port)
{
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (bind(listener_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || listen(listener_.get(), 0) < 0)
        return;
    // Connects until an attempt stays unanswered: the queue is then full.
    // The connections that made it stay queued, never accepted.
    for (int n = 0; n < 8 && !works_; ++n) {
        unique_fd c(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (connect(c.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
            queued_.push_back(std::move(c));
            continue;
        }
        if (errno != EINPROGRESS)
            return;
        pollfd p{c.get(), POLLOUT, 0};
        if (poll(&p, 1, 500) == 0)
            works_ = true;  // dropped; closing it ends its retransmissions
        else
            queued_.push_back(std::move(c));
    }
}

std::unique_ptr<silent_listener> silence(backend_pool &pool, int index)
{
    pool.stop(index);
    auto silent = std::make_unique<silent_listener>(backend_address(index), pool.port());
    if (!silent->works())
        silent.reset();
    return silent;
}

std::string config_text(std::uint16_t localport, std::uint16_t serverport, int maxclients,
                        const std::vector<std::string> &servers)
{
    std::string text = "localport " + std::to_string(localport) + "\nserverport " + std::to_string(serverport) +
                       "\nmaxclients " + std::to_string(maxclients) + "\n";
    for (const auto &s : servers)
        text += "server " + s + "\n";
    return text;
}

namespace {

// Where a forked child's standard streams go: files in a directory of the
// parent's, named before the fork.
struct child_files {
    temp_dir dir;
    std::string out = dir.file("stdout");
    std::string err = dir.file("stderr");
};

// In the child, right after the fork: a process group of its own, /dev/null
// as standard input, the files as output and error. Only calls that are safe
// in a copy of a process with threads.
bool redirect_child(const child_files &files)
{
    setpgid(0, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(files.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(files.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
        return false;
    close(in);
    close(o);
    close(e);
    return true;
}

// "PID COMM STATE" for each process still in group pgid, the one given first.
std::string group_snapshot(pid_t pgid)
{
    std::string text;
    for (pid_t pid : all_processes()) {
        const process_info info = process_of(pid);
        if (info.pgrp != pgid || info.state == '?')
            continue;
        text += (text.empty() ? "" : ", ") + std::to_string(pid) + " " + info.comm + " " + info.state;
    }
    return text.empty() ? "nothing" : text;
}

// Waits for the child pid, which leads its own group; after timeout kills
// that group and says so at the end of err.
child_output collect(pid_t pid, const child_files &files, std::chrono::milliseconds timeout)
{
    // Also here, so that the group exists before a kill even if the child
    // has not run yet.
    setpgid(pid, pid);
    child_output result;
    int status = 0;
    std::string killed;
    if (!wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
        killed = "[killed after " + std::to_string(timeout.count()) + " ms; its process group then held: " +
                 group_snapshot(pid) + "]\n";
        if (kill(-pid, SIGKILL) != 0)
            kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    result.out = read_file(files.out);
    result.err = read_file(files.err) + killed;
    return result;
}

}  // namespace

std::string find_program(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : "";
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

child_output run_in_child(const std::function<int()> &body, std::chrono::milliseconds timeout)
{
    const child_files files;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!redirect_child(files))
            _exit(127);
        std::exit(body());
    }
    return collect(pid, files, timeout);
}

child_output run_program(const program_call &call, std::chrono::milliseconds timeout)
{
    const child_files files;
    // A program not found is left to execve to refuse (status 127).
    std::string file = call.argv.empty() ? std::string() : find_program(call.argv[0]);
    if (file.empty() && !call.argv.empty())
        file = call.argv[0];
    std::vector<std::string> args = call.argv;
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_text = call.env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(call.env.begin(), call.env.end(), [&](const std::string &set) { return set.starts_with(name); }))
            env_text.push_back(entry);
    }
    std::vector<char *> envp;
    for (std::string &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!redirect_child(files) || (!call.dir.empty() && chdir(call.dir.c_str()) != 0) || argv.size() < 2)
            _exit(127);
        execve(file.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return collect(pid, files, timeout);
}

std::vector<std::string> listening_addresses(std::uint16_t port)
{
    std::vector<std::string> found;
    for (const tcp_entry &e : tcp_sockets_on(port)) {
        if (e.state == TCP_STATE_LISTEN)
            found.push_back(e.local);
    }
    return found;
}

unique_fd connect_from(const std::string &source, const std::string &address, std::uint16_t port)
{
    sockaddr_storage from{};
    sockaddr_storage to{};
    socklen_t len = sizeof(sockaddr_in);
    auto *from4 = reinterpret_cast<sockaddr_in *>(&from);
    auto *to4 = reinterpret_cast<sockaddr_in *>(&to);
    auto *from6 = reinterpret_cast<sockaddr_in6 *>(&from);
    auto *to6 = reinterpret_cast<sockaddr_in6 *>(&to);
    if (inet_pton(AF_INET, source.c_str(), &from4->sin_addr) == 1 &&
        inet_pton(AF_INET, address.c_str(), &to4->sin_addr) == 1) {
        from4->sin_family = to4->sin_family = AF_INET;
        to4->sin_port = htons(port);
    } else if (inet_pton(AF_INET6, source.c_str(), &from6->sin6_addr) == 1 &&
               inet_pton(AF_INET6, address.c_str(), &to6->sin6_addr) == 1) {
        from6->sin6_family = to6->sin6_family = AF_INET6;
        to6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
    } else {
        return {};
    }
    unique_fd fd(socket(from.ss_family, SOCK_STREAM, 0));
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr *>(&from), len) != 0 ||
        connect(fd.get(), reinterpret_cast<sockaddr *>(&to), len) != 0)
        return {};
    return fd;
}

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(prefix))
            found.push_back(line);
    }
    return found;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

}  // namespace dovra_test
