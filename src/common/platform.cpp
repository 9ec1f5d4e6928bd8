#include "common/platform.h"

#include <cerrno>
#include <unistd.h>

#if defined(__linux__)
#include <array>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
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

#if defined(DOVRA_NO_SANDBOX)

int enter_session_sandbox(int, int)
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
// fcntl() and setsockopt() are allowed only as the relay calls them, below.
constexpr std::array SESSION_CALLS{
    __NR_recvfrom,  // recv() of the relay and of the session's end
    __NR_sendto,    // send()
    __NR_pselect6,  // select() of glibc 2.36
#ifdef __NR_select
    __NR_select,    // select() of other versions
#endif
    __NR_shutdown,  // the FIN after a side's last byte
    __NR_close,     // the client socket, when the session is over
    __NR_write,     // report(): perror() and printf(), stdout flushed by exit()
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

// x86-64 also takes x32 calls, numbered from this bit up, under its own
// architecture value: they must not pass for the 64-bit calls they mimic.
#if defined(__x86_64__)
constexpr std::size_t X32_CHECK = 1;
#else
constexpr std::size_t X32_CHECK = 0;
#endif

// The architecture (2), the call number (1), the x32 check, one test for each
// call of SESSION_CALLS, fcntl (4), setsockopt (5) and the two verdicts.
constexpr std::size_t FILTER_LENGTH = 3 + X32_CHECK + SESSION_CALLS.size() + 4 + 5 + 2;
static_assert(FILTER_LENGTH < 256, "jumps reach 255 instructions at most");

// Builds the filter. Classic BPF jumps only forward, so the two verdicts
// come last and every test jumps ahead to one of them.
constexpr std::array<sock_filter, FILTER_LENGTH> session_filter()
{
    std::array<sock_filter, FILTER_LENGTH> f{};
    std::size_t pc = 0;
    constexpr std::size_t refuse = FILTER_LENGTH - 2;
    constexpr std::size_t allow = FILTER_LENGTH - 1;
    auto load = [&](std::uint32_t at) { f[pc++] = {BPF_LD | BPF_W | BPF_ABS, 0, 0, at}; };
    auto to = [&](std::size_t target) { return static_cast<std::uint8_t>(target - pc - 1); };
    // The next instruction when the comparison holds, target otherwise.
    auto unless = [&](std::uint32_t k, std::size_t target) {
        f[pc] = {BPF_JMP | BPF_JEQ | BPF_K, 0, to(target), k};
        ++pc;
    };
    auto when = [&](std::uint32_t k, std::size_t target) {
        f[pc] = {BPF_JMP | BPF_JEQ | BPF_K, to(target), 0, k};
        ++pc;
    };

    load(ARCH_AT);
    unless(FILTER_ARCH, refuse);
    load(NR_AT);
#if defined(__x86_64__)
    f[pc] = {BPF_JMP | BPF_JGE | BPF_K, to(refuse), 0, __X32_SYSCALL_BIT};
    ++pc;
#endif
    for (int call : SESSION_CALLS)
        when(static_cast<std::uint32_t>(call), allow);

    // fcntl(F_GETFL) and fcntl(F_SETFL): the relay's non-blocking mode.
    // Not F_DUPFD, nor F_SETOWN, which would aim SIGIO at another process.
    const std::size_t not_fcntl = pc + 4;
    unless(__NR_fcntl, not_fcntl);
    load(arg_at(1));
    when(F_GETFL, allow);
    f[pc] = {BPF_JMP | BPF_JEQ | BPF_K, to(allow), to(refuse), F_SETFL};
    ++pc;

    // setsockopt(IPPROTO_TCP, TCP_NODELAY) alone: no socket filter
    // programs, no buffer or priority changes.
    unless(__NR_setsockopt, refuse);
    load(arg_at(1));
    unless(IPPROTO_TCP, refuse);
    load(arg_at(2));
    f[pc] = {BPF_JMP | BPF_JEQ | BPF_K, to(allow), to(refuse), TCP_NODELAY};
    ++pc;

    f[pc++] = {BPF_RET | BPF_K, 0, 0, REFUSE};
    f[pc++] = {BPF_RET | BPF_K, 0, 0, ALLOW};
    return f;
}

constexpr std::array<sock_filter, FILTER_LENGTH> SESSION_FILTER = session_filter();

}  // namespace

int enter_session_sandbox(int, int)
{
    // The filter sees call numbers and arguments, not descriptors: a worker
    // holds no descriptor but its two sockets and standard input, output and
    // error, and reading is allowed only through recv().
    sock_fprog program{static_cast<unsigned short>(SESSION_FILTER.size()), const_cast<sock_filter *>(SESSION_FILTER.data())};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    // Through prctl() rather than seccomp(2): systemd's @system-service
    // call set, which the service unit allows, has prctl() but not seccomp().
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0)
        return -1;
    return 1;
}

#elif defined(__FreeBSD__)

namespace {

// What the relay does with a socket: recv(), send(), select(), shutdown(),
// fcntl(F_GETFL and F_SETFL) and setsockopt(TCP_NODELAY).
bool limit_socket(int fd)
{
    cap_rights_t rights;
    cap_rights_init(&rights, CAP_RECV, CAP_SEND, CAP_EVENT, CAP_SHUTDOWN, CAP_FCNTL, CAP_SETSOCKOPT);
    return cap_rights_limit(fd, &rights) == 0 && cap_fcntls_limit(fd, CAP_FCNTL_GETFL | CAP_FCNTL_SETFL) == 0;
}

// Standard output and error keep writing alone, standard input nothing. A
// closed one stays closed.
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
    // Capability mode: no file, no socket, no process but through a
    // descriptor held, and these hold only the rights given above.
    return cap_enter() == 0 ? 1 : -1;
}

#else
#error "no session sandbox for this system: configure with -DDOVRA_SANDBOX=OFF"
#endif
