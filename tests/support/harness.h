// Test support: temporary directories, loopback backends, clients and the
// real daemon binary run in a directory of its own.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/platform.h"

namespace dovra_test {

using namespace std::chrono_literals;

// Owns one descriptor.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept;
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A new directory under $TMPDIR (or /tmp), removed with its contents.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Polls cond every few milliseconds until it holds or timeout passes.
bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 5s);

// "127.0.0.N" for N = 2 + index: backend addresses that share one port.
std::string backend_address(int index);

// A port that was free on every local address a moment ago.
std::uint16_t free_port();

// A connected blocking socket to an IPv4 or IPv6 literal, or an empty one
// when the connection failed.
unique_fd connect_to(const std::string &address, std::uint16_t port);

// Empty where the system has IPv6 on loopback (::1 can be bound), otherwise
// the reason a test that needs it is skipped.
std::string ipv6_missing();

// The two ends of a loopback TCP connection: outer is the peer's, inner the
// accepted end a relay holds. Buffers given (0: the system's) are set before
// the connection is made: the outer end's receive buffer, and the inner
// end's send buffer, which it takes from its listener. Both empty on failure.
struct socket_pair {
    unique_fd outer;
    unique_fd inner;
};
socket_pair tcp_pair(int outer_rcvbuf = 0, int inner_sndbuf = 0);

bool send_all(int fd, const void *data, std::size_t size);
bool send_all(int fd, const std::string &data);
// Reads until size bytes have come, the peer closes or timeout passes.
std::string recv_some(int fd, std::size_t size, std::chrono::milliseconds timeout = 10s);
// True when the peer closes (orderly or by reset) within timeout, having sent
// nothing.
bool closed_without_data(int fd, std::chrono::milliseconds timeout = 5s);
// Random bytes, the same for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);
// Sends out on fd from a second thread while reading in_size bytes, as a
// peer that uploads and downloads at once. Returns what was read: shorter
// when the peer closed or timeout passed (the sending then stops as well).
std::string duplex(int fd, const std::string &out, std::size_t in_size, std::chrono::milliseconds timeout = 60s);
// Sends filler bytes without blocking until fd has stayed unwritable for
// quiet; returns how many were sent. Bounded by limit bytes.
std::size_t fill(int fd, std::chrono::milliseconds quiet = 300ms, std::size_t limit = std::size_t{256} << 20);

// Descriptors open in a process (default: this one).
int open_fd_count(pid_t pid = 0);
// Children of parent; with zombies_only, only those not reaped.
std::vector<pid_t> children_of(pid_t parent, bool zombies_only = false);
// One-letter state as ps(1) shows it, or '?' when the process is gone.
char process_state(pid_t pid);

// A TCP socket of this network namespace. state is the kernel's code, which
// differs between systems: compare it with TCP_STATE_LISTEN and the like.
struct tcp_entry {
    std::string local;  // the local address as inet_ntop writes it: "0.0.0.0", "::1"
    int state = 0;
};
// The IPv4 and IPv6 TCP sockets whose local port is port.
std::vector<tcp_entry> tcp_sockets_on(std::uint16_t port);

// The local addresses at which something listens on port, as the system's
// socket table (what ss -ltn and sockstat -l show) has them.
std::vector<std::string> listening_addresses(std::uint16_t port);

// What a backend does with one accepted connection; it runs on a thread of
// its own and closes nothing (the pool closes the socket afterwards).
using backend_handler = std::function<void(int fd, int backend_index)>;
// Echoes until the peer closes; returns the bytes echoed.
std::uint64_t echo(int fd);
void echo_handler(int fd, int backend_index);
// A backend that streams a large reply while its client is still uploading:
// it sends random_bytes(reply, seed) in 1 MiB pieces with one read of at most
// 4 KiB between them, then reads until the peer closes. Every byte it reads
// is added to *uploaded.
backend_handler streaming_handler(std::size_t reply, unsigned seed, std::atomic<std::uint64_t> *uploaded);

// Backends on 127.0.0.2, 127.0.0.3, ... all on one port, or on the IPv4 and
// IPv6 literals given (an IPv6 one takes IPv6 clients alone). Each counts
// the connections it accepts and how many of them carried data.
class backend_pool {
public:
    explicit backend_pool(int count, backend_handler handler = echo_handler);
    explicit backend_pool(const std::vector<std::string> &addresses, backend_handler handler = echo_handler);
    ~backend_pool();
    backend_pool(const backend_pool &) = delete;
    backend_pool &operator=(const backend_pool &) = delete;

    std::uint16_t port() const { return port_; }
    int size() const { return static_cast<int>(backends_.size()); }
    // Stops listening: further connections are refused. Open sessions go on.
    void stop(int index);
    // Listens again on the same address and port.
    void start(int index);
    int accepted(int index) const;    // connections accepted so far
    int with_data(int index) const;   // of those, connections that sent bytes
    int open_sessions(int index) const;
    // Connections waiting in the listener's queue, not accepted yet.
    int unaccepted(int index) const;
    // Ends every open connection and joins the threads.
    void shutdown();

private:
    struct backend;
    void listen_loop(backend &b);
    std::uint16_t port_ = 0;
    backend_handler handler_;
    std::vector<std::unique_ptr<backend>> backends_;
};

// A listener at address:port that never accepts and whose accept queue is
// full, so that the system drops every further connection attempt without
// an answer, as a host behind a dropping firewall does. Empty when the
// system answered the attempts all the same (see works()).
class silent_listener {
public:
    silent_listener(const std::string &address, std::uint16_t port);
    // True once an attempt was seen to go unanswered.
    bool works() const { return works_; }

private:
    unique_fd listener_;
    std::vector<unique_fd> queued_;
    bool works_ = false;
};

// Stops backend index of pool and puts a silent listener in its place, or
// returns null (the backend stopped) when this system answers connection
// attempts to a full queue; start(index) serves again once it is gone.
std::unique_ptr<silent_listener> silence(backend_pool &pool, int index);
inline constexpr char NO_SILENT_BACKEND[] = "this system answers connection attempts to a full accept queue";

// How daemon_run starts the launcher, beyond its configuration and arguments.
struct daemon_options {
    // Runs after dovra.conf is written (when there is one) and before the
    // launcher starts, with the run's directory: to put something else there.
    std::function<void(const std::string &dir)> prepare;
    // How long to wait for the launcher to end.
    std::chrono::milliseconds launcher_timeout = 10s;
    // The daemon binary to run, by path (after prepare); empty: the build's.
    std::string program = {};
    // The launcher's standard output and error: the files "stdout" and
    // "stderr" (-1), closed (-2), or this descriptor.
    int output = -1;
    // The launcher starts with SIGCHLD ignored and every signal blocked that
    // can be, as a careless parent may leave them.
    bool signals_disturbed = false;
};

// The real daemon binary, run in a temporary directory of its own that holds
// its configuration file; its standard output and error go to the files
// "stdout" and "stderr" there. This test process becomes a subreaper so that
// the detached daemon and its workers become its children.
class daemon_run {
public:
    // Writes config (unless it is null) as dovra.conf and runs the launcher
    // with args, waiting for the launcher to end.
    explicit daemon_run(const char *config, const std::vector<std::string> &args = {},
                        const daemon_options &options = {});
    ~daemon_run();
    daemon_run(const daemon_run &) = delete;
    daemon_run &operator=(const daemon_run &) = delete;

    const temp_dir &dir() const { return dir_; }
    // The launcher's exit status, or -1 when it did not exit normally.
    int launcher_status() const { return launcher_status_; }
    pid_t launcher_pid() const { return launcher_; }
    std::string out() const;
    std::string err() const;
    // The detached daemon's pid, found within timeout, or -1.
    pid_t daemon_pid(std::chrono::milliseconds timeout = 5s);
    // Whether the launcher ended with status 0 and the daemon listens on
    // address (as inet_ntop writes it; by default every IPv4 address) at
    // port. The launcher returns only once the daemon listens, so this waits
    // for nothing; it looks at the system's socket table rather than
    // connecting, which would start a worker that holds a backend for a while.
    bool listening(std::uint16_t port, const std::string &address = "0.0.0.0");
    // Waits for the daemon to end by itself; its exit status, or -1.
    int wait_exit(std::chrono::milliseconds timeout = 5s);
    // Ends the daemon with SIGTERM, reaps it, and waits for its workers to
    // end (killing those that outlive timeout). Returns the workers that
    // were still alive when the daemon ended.
    int stop(std::chrono::milliseconds timeout = 5s);
    // Kills the daemon alone with signo and reaps it. Its workers live on,
    // as children of this process, until they end or stop() ends them.
    void kill_daemon_only(int signo = SIGKILL);
    // Reaps children of this process that are zombies. Returns how many.
    static int reap_zombies();

private:
    temp_dir dir_;
    pid_t launcher_ = -1;
    int launcher_status_ = -1;
    pid_t daemon_ = -1;
    bool daemon_reaped_ = false;
    std::vector<pid_t> known_children_;
};

// A System V shared memory segment. perms holds the permission bits, with
// Linux's SHM_DEST (01000) added once the segment is marked for removal
// (FreeBSD's own flag for it is translated).
struct shm_segment {
    int id = -1;
    unsigned perms = 0;
    unsigned long size = 0;
    int attached = 0;
};
// The segments that process creator made and that still exist.
std::vector<shm_segment> shm_segments_of(pid_t creator);

// What a child process wrote on its standard output and error, and its exit
// status (-1 when it did not exit normally).
struct child_output {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs body in a forked child whose standard output and error go to files,
// whose standard input is /dev/null, and which ends with exit(body()), so
// that its stdio buffers are flushed. The child leads a process group of its
// own: one still running after timeout is killed with everything in that
// group, and err then ends with a line that names what the group held, so
// that a hang shows where it was.
//
// body runs in a copy of this process. Where the test has threads (a
// backend_pool), a lock that one of them held at the fork stays held in the
// child for ever; the C library makes its malloc whole again after a fork,
// the sanitizers' allocators do not. A test with threads runs programs with
// run_program, and keeps its bodies to calls that take no lock.
child_output run_in_child(const std::function<int()> &body, std::chrono::milliseconds timeout = 10s);

// A program to run: argv[0] is a path, or a name looked up in PATH; env adds
// "NAME=value" entries to this process's environment, or replaces those of
// the same name; dir, when not empty, is its working directory.
struct program_call {
    std::vector<std::string> argv;
    std::vector<std::string> env = {};
    std::string dir = {};
};
// The path at which execvp would find program name (a name with a '/' is
// its own path), or "" where there is none that may be run.
std::string find_program(const std::string &name);
// Runs the program as run_in_child runs a body. Everything it needs is made
// before the fork: the child only calls what is safe in a copy of a process
// with threads (chdir, open, dup2, execve).
child_output run_program(const program_call &call, std::chrono::milliseconds timeout = 10s);

// What the configuration loader says of the directory path as its file. Its
// rule: a file whose size, the position ftell reports at its end, is 0 gives
// "Unable to open file"; any other size is read, and a directory yields no
// word, so "undefined localport". File systems report a directory's end
// differently (tmpfs refuses the seek and stays at 0, ext4 reports a large
// offset), so the answer is found here, on the file system of path.
std::string directory_config_error(const std::string &path);

// A minimal valid configuration for backends at port with the given
// addresses.
std::string config_text(std::uint16_t localport, std::uint16_t serverport,
                        int maxclients, const std::vector<std::string> &servers);

// A connected blocking socket from source (an IPv4 or IPv6 literal of this
// host, any port) to address:port, or an empty one when either failed.
unique_fd connect_from(const std::string &source, const std::string &address, std::uint16_t port);
// The lines of text that start with prefix, without their line feeds.
std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix);
// The bytes given by their values, 0 to 255.
std::string bytes(std::initializer_list<int> values);

}  // namespace dovra_test

// Skips the test, saying why, where the system has no IPv6 on loopback.
#define DOVRA_SKIP_WITHOUT_IPV6()                                                  \
    do {                                                                           \
        if (std::string missing = dovra_test::ipv6_missing(); !missing.empty()) \
            GTEST_SKIP() << missing;                                               \
    } while (false)
