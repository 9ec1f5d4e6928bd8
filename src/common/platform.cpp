#include "common/platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#elif defined(__FreeBSD__)
#include <sys/capsicum.h>
#include <sys/procctl.h>
#include <sys/resource.h>
#endif

// FreeBSD and glibc from 2.34 close them all in one call; elsewhere every
// descriptor the limit allows is tried.
#if defined(__FreeBSD__) || (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34)))
void close_inherited_descriptors()
{
    closefrom(STDERR_FILENO + 1);
}
#else
void close_inherited_descriptors()
{
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (int fd = STDERR_FILENO + 1; fd < limit; ++fd)
        close(fd);
}
#endif

// ---- the worker's confinement ----
//
// A worker holds the bytes of one client and runs the code that handles
// them, so it is where a flaw would be exploited. Two things keep a worker
// that has been taken over from reaching anything else: no process of the
// same user may read or trace it (set once in main() and inherited by every
// worker), and, from the moment its backend connection is made, the worker
// can do nothing but what the relay, its end, report() and exit() do.
//
// A refused call fails with an error; it never ends the process. The calls
// below were measured under the test suite, but another C library, a
// diagnostic on a terminal or a fatal message of the C library may make one
// more: killed there, the worker would leave its backend's slot BUSY for
// good, and a healthy session would lose the bytes it still had. Failing,
// the call costs at most a diagnostic line; glibc's perror() for one dup()s
// standard error and, refused, writes to it directly. An attacker gains
// nothing from an error: the refused call has done nothing.

// Inherited across fork(); only execve() would reset it, and no dovra
// process executes a program.
void forbid_tracing()
{
    const int saved = errno;
#if defined(__linux__)
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#elif defined(__FreeBSD__)
    int mode = PROC_TRACE_CTL_DISABLE;
    (void)procctl(P_PID, getpid(), PROC_TRACE_CTL, &mode);
#endif
    errno = saved;
}

namespace {
constexpr int NO_SANDBOX = 255;
constexpr int LET_THROUGH = 254;
}  // namespace

int try_session_sandbox()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        // The exit status carries the answer: 0 confined, NO_SANDBOX, LET_THROUGH
        // (a forbidden call was not refused), or the errno of the refusal
        // (every errno of both systems is below them).
        const int entered = enter_session_sandbox(pair[0], pair[1]);
        if (entered < 0)
            _exit(errno > 0 && errno < LET_THROUGH ? errno : EPERM);
        if (entered == 0)
            _exit(NO_SANDBOX);
        // A path and a new socket: refused by the filter on Linux, by
        // capability mode and by the descriptor limit on FreeBSD.
        const bool no_path = open("/", O_RDONLY) < 0 && errno == SANDBOX_REFUSED;
        const bool no_socket = socket(AF_INET, SOCK_STREAM, 0) < 0 && errno == SANDBOX_NO_DESCRIPTOR;
        _exit(no_path && no_socket ? 0 : LET_THROUGH);
    }
    const int saved = errno;
    close(pair[0]);
    close(pair[1]);
    if (child < 0) {
        errno = saved;
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (!WIFEXITED(status)) {
        // Ended by a signal: a filter of the system's own that kills
        // rather than refuses.
        errno = EPERM;
        return -1;
    }
    switch (WEXITSTATUS(status)) {
    case 0:
        return 1;
    case NO_SANDBOX:
        return 0;
    case LET_THROUGH:
        errno = ENOSYS;
        return -1;
    default:
        errno = WEXITSTATUS(status);
        return -1;
    }
}

#if defined(DOVRA_NO_SANDBOX)

void prepare_session_sandboxes() {}

int enter_session_sandbox(int, int)
{
    return 0;
}

int enter_check_sandbox()
{
    return 0;
}

#elif defined(__linux__)

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t FILTER_ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t FILTER_ARCH = AUDIT_ARCH_AARCH64;
#else
#error "no system call filter for this architecture: configure with -DDOVRA_SANDBOX=OFF"
#endif

// The calls a worker makes once confined, as strace showed them for glibc
// 2.36 under the end-to-end, fault and load tests, and what makes each one.
// Not setsockopt(): the relay sets its options before it enters. Not fcntl():
// the relay's recv() and send() never wait of themselves, and a worker that
// could set O_NONBLOCK would change standard output and error, which it
// shares with the daemon and every other worker.
constexpr std::array SESSION_CALLS{
    __NR_recvfrom,  // recv() of the relay and of the session's end
    __NR_sendto,    // send()
    __NR_pselect6,  // select() of glibc 2.36
#ifdef __NR_select
    __NR_select,    // select() of other versions
#endif
    __NR_shutdown,  // the FIN after a side's last byte
    __NR_close,     // the client socket, when the session is over
    __NR_write,     // report() and the session log, one write() a line
    __NR_setitimer, // the timer that bounds a diagnostic write's wait
    __NR_writev,    // the C library's fatal messages (a smashed stack)
    __NR_exit_group,
    __NR_exit,
    __NR_clock_gettime,    // the end's deadline, where the vDSO does not answer
    __NR_rt_sigreturn,     // the return from a signal handler
    __NR_restart_syscall,  // an allowed call resumed after a stop
};

constexpr std::uint32_t REFUSE = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
constexpr std::uint32_t ALLOW = SECCOMP_RET_ALLOW;

// Where the filter reads the call's number, its architecture, and the low
// 32 bits of its argument i. The arguments checked are ints, which the
// kernel takes from those bits alone.
constexpr std::uint32_t NR_AT = offsetof(seccomp_data, nr);
constexpr std::uint32_t ARCH_AT = offsetof(seccomp_data, arch);
constexpr std::uint32_t arg_at(int i)
{
    constexpr std::uint32_t low = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0 : 4;
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * i) + low;
}

// A filter's text, made at compile time. Classic BPF jumps only forward,
// so the verdicts come last, at places the caller names.
template <std::size_t LENGTH>
struct filter_text {
    static_assert(LENGTH < 256, "jumps reach 255 instructions at most");
    std::array<sock_filter, LENGTH> code{};
    std::size_t pc = 0;

    constexpr std::uint8_t to(std::size_t target) const { return static_cast<std::uint8_t>(target - pc - 1); }
    constexpr void load(std::uint32_t at) { code[pc++] = {BPF_LD | BPF_W | BPF_ABS, 0, 0, at}; }
    // To if_true when the value loaded equals k, else to if_false.
    constexpr void test(std::uint32_t k, std::size_t if_true, std::size_t if_false)
    {
        code[pc] = {BPF_JMP | BPF_JEQ | BPF_K, to(if_true), to(if_false), k};
        ++pc;
    }
    constexpr void verdict(std::uint32_t action) { code[pc++] = {BPF_RET | BPF_K, 0, 0, action}; }
    // To allow_at when the number loaded is one of SESSION_CALLS, else on.
    // x32 calls, whose numbers carry bit 30 under x86-64's own architecture
    // value, equal none.
    constexpr void session_calls(std::size_t allow_at)
    {
        for (int nr : SESSION_CALLS)
            test(static_cast<std::uint32_t>(nr), allow_at, pc + 1);
    }
};

// The session's filter: the architecture and the call number (3
// instructions), a test for each call of SESSION_CALLS, and the two
// verdicts. A list is the shortest program, and what its load costs (the
// kernel compiles it for every worker) grows with its length; the kernel runs
// it at load for each call number that every filter before it allowed on its
// number alone, which with the daemon's filter below are the session's few.
constexpr std::size_t FILTER_LENGTH = 3 + SESSION_CALLS.size() + 2;
constexpr std::size_t REFUSE_AT = FILTER_LENGTH - 2;
constexpr std::size_t ALLOW_AT = FILTER_LENGTH - 1;

constexpr filter_text<FILTER_LENGTH> session_filter()
{
    filter_text<FILTER_LENGTH> f;
    f.load(ARCH_AT);
    f.test(FILTER_ARCH, f.pc + 1, REFUSE_AT);
    f.load(NR_AT);
    f.session_calls(ALLOW_AT);
    f.verdict(REFUSE);
    f.verdict(ALLOW);
    return f;
}

constexpr filter_text<FILTER_LENGTH> SESSION_FILTER = session_filter();
static_assert(SESSION_FILTER.pc == FILTER_LENGTH, "the jumps aim where the filter has its parts");

// The daemon's filter, loaded once at start and inherited by every worker.
// It lets every call through: a session's calls on their number alone, any
// other only after reading an argument. When a filter is loaded the kernel
// works out which calls it allows on their number alone, and when a worker
// loads its own it does so for that one only among the calls every filter
// before it allowed so: with this one, the few calls of a session, rather
// than each call number of both the system's call tables. That work was the
// larger part of a worker's sandbox (Linux 5.11 and later).
constexpr std::size_t DAEMON_FILTER_LENGTH = 3 + SESSION_CALLS.size() + 2;

constexpr filter_text<DAEMON_FILTER_LENGTH> daemon_filter()
{
    constexpr std::size_t read_argument_at = DAEMON_FILTER_LENGTH - 2;
    constexpr std::size_t allow_at = DAEMON_FILTER_LENGTH - 1;
    filter_text<DAEMON_FILTER_LENGTH> f;
    f.load(ARCH_AT);
    f.test(FILTER_ARCH, f.pc + 1, read_argument_at);
    f.load(NR_AT);
    f.session_calls(allow_at);
    f.load(arg_at(0));
    f.verdict(ALLOW);
    return f;
}

constexpr filter_text<DAEMON_FILTER_LENGTH> DAEMON_FILTER = daemon_filter();
static_assert(DAEMON_FILTER.pc == DAEMON_FILTER_LENGTH, "the jumps aim where the filter has its parts");

}  // namespace

void prepare_session_sandboxes()
{
    sock_fprog program{static_cast<unsigned short>(DAEMON_FILTER_LENGTH),
                       const_cast<sock_filter *>(DAEMON_FILTER.code.data())};
    const int saved = errno;
    // A filter needs no_new_privs, which every worker sets anyway; the
    // daemon runs no program that gains privileges. A system that refuses
    // either has the workers' sandboxes cost more, and nothing else.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
        (void)prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0);
    errno = saved;
}

int enter_session_sandbox(int, int)
{
    // The filter sees call numbers and arguments, not descriptors: a worker
    // holds no descriptor but its two sockets and standard input, output and
    // error, and reading is allowed only through recv().
    sock_fprog program{static_cast<unsigned short>(FILTER_LENGTH), const_cast<sock_filter *>(SESSION_FILTER.code.data())};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    // Through prctl() rather than seccomp(2): systemd's @system-service
    // call set, which the service unit allows, has prctl() but not seccomp().
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0)
        return -1;
    return 1;
}

namespace {

// The health checker's filter: a list of the calls its connect loop makes
// (glibc 2.36: connect_backend(), close(), nanosleep()), socket() only for
// IPv4 and IPv6, the rest refused.
constexpr std::array CHECK_CALLS{
    __NR_connect,
#ifdef __NR_poll
    __NR_poll,
#endif
    __NR_ppoll,     // poll() of other versions
    __NR_fcntl,     // the connect's non-blocking mode
    __NR_getsockopt,  // SO_ERROR after the wait
    __NR_close,
    __NR_clock_nanosleep,
    __NR_nanosleep,
    __NR_clock_gettime,
    __NR_getppid,
    __NR_write,
    __NR_writev,
    __NR_exit_group,
    __NR_exit,
    __NR_rt_sigreturn,
    __NR_restart_syscall,
};

// Architecture (3 instructions), socket() and its family (4), one test a
// call, the two verdicts.
constexpr std::size_t CHECK_SOCKET_AT = 3;
constexpr std::size_t CHECK_LIST_AT = CHECK_SOCKET_AT + 4;
constexpr std::size_t CHECK_REFUSE_AT = CHECK_LIST_AT + CHECK_CALLS.size();
constexpr std::size_t CHECK_FILTER_LENGTH = CHECK_REFUSE_AT + 2;

constexpr std::array<sock_filter, CHECK_FILTER_LENGTH> check_filter()
{
    std::array<sock_filter, CHECK_FILTER_LENGTH> code{};
    std::size_t pc = 0;
    auto jump = [&](std::size_t target) { return static_cast<std::uint8_t>(target - pc - 1); };
    const std::size_t allow_at = CHECK_REFUSE_AT + 1;
    code[pc] = {BPF_LD | BPF_W | BPF_ABS, 0, 0, ARCH_AT};
    ++pc;
    code[pc] = {BPF_JMP | BPF_JEQ | BPF_K, 0, jump(CHECK_REFUSE_AT), FILTER_ARCH};
    ++pc;
    code[pc] = {BPF_LD | BPF_W | BPF_ABS, 0, 0, NR_AT};
    ++pc;
    // socket(AF_INET or AF_INET6, ...) alone.
    code[pc] = {BPF_JMP | BPF_JEQ | BPF_K, 0, jump(CHECK_LIST_AT), __NR_socket};
    ++pc;
    code[pc] = {BPF_LD | BPF_W | BPF_ABS, 0, 0, arg_at(0)};
    ++pc;
    code[pc] = {BPF_JMP | BPF_JEQ | BPF_K, jump(allow_at), 0, AF_INET};
    ++pc;
    code[pc] = {BPF_JMP | BPF_JEQ | BPF_K, jump(allow_at), jump(CHECK_REFUSE_AT), AF_INET6};
    ++pc;
    for (int nr : CHECK_CALLS) {
        code[pc] = {BPF_JMP | BPF_JEQ | BPF_K, jump(allow_at), 0, static_cast<std::uint32_t>(nr)};
        ++pc;
    }
    code[pc++] = {BPF_RET | BPF_K, 0, 0, REFUSE};
    code[pc++] = {BPF_RET | BPF_K, 0, 0, ALLOW};
    return code;
}

constexpr std::array<sock_filter, CHECK_FILTER_LENGTH> CHECK_FILTER = check_filter();
static_assert(CHECK_FILTER_LENGTH < 256, "jumps reach 255 instructions at most");

}  // namespace

int enter_check_sandbox()
{
    const pid_t parent = getppid();
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
        return -1;
    // A parent that ended before the request was made: nobody to check for.
    if (getppid() != parent)
        _exit(0);
    sock_fprog program{static_cast<unsigned short>(CHECK_FILTER_LENGTH), const_cast<sock_filter *>(CHECK_FILTER.data())};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0)
        return -1;
    return 1;
}

#elif defined(__FreeBSD__)

// Capability mode costs a worker no preparation of the kernel's.
void prepare_session_sandboxes() {}

namespace {

// What the relay does with a socket: recv(), send(), select() and
// shutdown(). No CAP_SETSOCKOPT (its options are set before) and no
// CAP_FCNTL: its options and file status flags stay as they are.
bool limit_socket(int fd)
{
    cap_rights_t rights;
    cap_rights_init(&rights, CAP_RECV, CAP_SEND, CAP_EVENT, CAP_SHUTDOWN);
    return cap_rights_limit(fd, &rights) == 0;
}

// Standard output and error keep writing alone, standard input nothing. A
// closed one stays closed: cap_rights_limit() fails with EBADF on it.
bool limit_standard(int fd)
{
    cap_rights_t rights;
    cap_rights_init(&rights);
    if (fd != STDIN_FILENO)
        cap_rights_set(&rights, CAP_WRITE);
    return cap_rights_limit(fd, &rights) == 0 || errno == EBADF;
}

}  // namespace

int enter_session_sandbox(int client_fd, int backend_fd)
{
    if (!limit_socket(client_fd) || !limit_socket(backend_fd))
        return -1;
    // A launcher that closed one of them left its number to a socket.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fd != client_fd && fd != backend_fd && !limit_standard(fd))
            return -1;
    }
    // Capability mode refuses every path and every other process, but not
    // socket(), socketpair(), pipe(), kqueue() or fork(): the limits refuse
    // those. With no descriptor allowed, every descriptor held still works
    // and no new one can be made (EMFILE). The process limit counts every
    // process of the user, the worker itself included, so at 1 fork()
    // fails (EAGAIN); 0 would mean no limit, and the kernel raises it to 1
    // anyway. Both hard limits too, so that they cannot be raised again but
    // by root, which also forks past the process limit (docs/freebsd.md).
    const rlimit no_descriptor{0, 0};
    const rlimit no_process{1, 1};
    if (setrlimit(RLIMIT_NOFILE, &no_descriptor) != 0 || setrlimit(RLIMIT_NPROC, &no_process) != 0)
        return -1;
    // Capability mode: no path, no connect() or bind() to an address, no
    // signal to another process; the descriptors held have only the rights
    // given above.
    return cap_enter() == 0 ? 1 : -1;
}

int enter_check_sandbox()
{
    // Capability mode would refuse the checker's every connect(), which
    // names an address; it is only made to end with the daemon.
    const pid_t parent = getppid();
    int signo = SIGKILL;
    if (procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &signo) != 0)
        return -1;
    if (getppid() != parent)
        _exit(0);
    return 0;
}

#else
#error "no session sandbox for this system: configure with -DDOVRA_SANDBOX=OFF"
#endif

// ---- the listen queue ----

#if defined(__linux__)

int listen_queue_length(int fd)
{
    // For a listening socket Linux reports the accept queue's length as
    // tcpi_unacked (and its limit as tcpi_sacked).
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) < 0)
        return -1;
    return static_cast<int>(info.tcpi_unacked);
}

#elif defined(SO_LISTENQLEN)

int listen_queue_length(int fd)
{
    // FreeBSD: the complete connections not yet accepted (sol_qlen).
    int length = 0;
    socklen_t size = sizeof length;
    return getsockopt(fd, SOL_SOCKET, SO_LISTENQLEN, &length, &size) < 0 ? -1 : length;
}

#else

int listen_queue_length(int)
{
    return -1;
}

#endif

#if defined(__linux__) && defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))

// The C library's fork() prepares a child of a threaded process: it resets
// its locks and loader state, registers the robust mutex list again and runs
// fork handlers, and each of those writes a page the child then owns, a
// copy made for every worker. The daemon has one thread, holds none of those
// locks when it forks (never from a signal handler) and registers no
// handler, so a plain clone() makes the same child for less. The child's
// thread id cached by the C library stays its parent's: a thread that
// signals itself (raise(), abort()) asks the kernel for its id from glibc
// 2.34 on, and nothing else a worker calls uses it.
pid_t fork_worker()
{
    return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr));
}

#else

pid_t fork_worker()
{
    return fork();
}

#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVRA_SANITIZER_SIGNAL_STACK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DOVRA_SANITIZER_SIGNAL_STACK 1
#endif

#if defined(DOVRA_SANITIZER_SIGNAL_STACK)

// AddressSanitizer's handlers run on a signal stack of its own, which must
// stay: one that no worker inherits would lose the report of a worker's
// fault.
void handle_on_own_stack(int) {}

#else

namespace {

#if defined(__linux__)
int keep_from_children(void *at, std::size_t size)
{
    return madvise(at, size, MADV_DONTFORK);
}
#else
int keep_from_children(void *at, std::size_t size)
{
    return minherit(at, size, INHERIT_NONE);
}
#endif

}  // namespace

void handle_on_own_stack(int signo)
{
    // Ample for a handler's frame and the few calls it makes; a page is
    // written only when a frame reaches it.
    constexpr std::size_t SIZE = 64 * 1024;
    const int saved = errno;
    void *stack = mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    if (stack != MAP_FAILED) {
        stack_t own{};
        own.ss_sp = stack;
        own.ss_size = SIZE;
        struct sigaction act {};
        if (sigaction(signo, nullptr, &act) != 0 || keep_from_children(stack, SIZE) != 0 ||
            sigaltstack(&own, nullptr) != 0) {
            munmap(stack, SIZE);
        } else {
            act.sa_flags |= SA_ONSTACK;
            (void)sigaction(signo, &act, nullptr);
        }
    }
    errno = saved;
}

#endif
