#ifdef __FreeBSD__
// struct shmid_kernel, the record kern.ipc.shmsegs is made of.
#define _WANT_SYSVSHM_INTERNALS
#endif

#include "support/platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/platform.h"
#include "support/harness.h"

#if defined(__FreeBSD__)
#include <sys/filio.h>
#include <sys/param.h>
#include <sys/procctl.h>
#include <sys/shm.h>
#include <sys/socketvar.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <netinet/in_pcb.h>
#include <netinet/tcp_fsm.h>
#include <netinet/tcp_var.h>
#elif defined(__linux__)
#include <dirent.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/sockios.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>
#else
#error "tests/support/platform.cpp knows Linux and FreeBSD only"
#endif

namespace dovra_test {

namespace {

std::string dotted(in_addr address)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string ipv6_text(const in6_addr &address)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return text;
}

}  // namespace

#if defined(__FreeBSD__)

const int TCP_STATE_LISTEN = TCPS_LISTEN;
const int TCP_STATE_TIME_WAIT = TCPS_TIME_WAIT;

namespace {

// The mode bits sys/shm.h keeps for the kernel: in use, and marked for
// removal (what Linux calls SHM_DEST).
constexpr unsigned SEGMENT_ALLOCATED = 0x0800;
constexpr unsigned SEGMENT_REMOVED = 0x0400;
constexpr unsigned LINUX_SHM_DEST = 01000;

// The whole value of a sysctl whose size changes between the two calls, as
// tables of processes and sockets do: asks again with room to spare.
std::string sysctl_value(const int *mib, unsigned length)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        size_t size = 0;
        if (sysctl(mib, length, nullptr, &size, nullptr, 0) != 0)
            return {};
        std::string value(size + size / 4 + 4096, '\0');
        size = value.size();
        if (sysctl(mib, length, value.data(), &size, nullptr, 0) == 0) {
            value.resize(size);
            return value;
        }
        if (errno != ENOMEM)
            return {};
    }
    return {};
}

std::string sysctl_value(const char *name)
{
    int mib[CTL_MAXNAME];
    size_t length = CTL_MAXNAME;
    if (sysctlnametomib(name, mib, &length) != 0)
        return {};
    return sysctl_value(mib, static_cast<unsigned>(length));
}

char state_letter(char stat)
{
    switch (stat) {
    case SRUN:
        return 'R';
    case SSLEEP:
        return 'S';
    case SSTOP:
        return 'T';
    case SZOMB:
        return 'Z';
    default:
        return 'D';
    }
}

std::chrono::microseconds as_duration(const timeval &tv)
{
    return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

}  // namespace

bool become_subreaper()
{
    // EBUSY: this process is a reaper already.
    return procctl(P_PID, getpid(), PROC_REAP_ACQUIRE, nullptr) == 0 || errno == EBUSY;
}

process_info process_of(pid_t pid)
{
    process_info info;
    kinfo_proc kp{};
    size_t size = sizeof kp;
    int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    if (sysctl(mib, 4, &kp, &size, nullptr, 0) != 0 || size != sizeof kp)
        return info;
    info.state = state_letter(kp.ki_stat);
    info.ppid = kp.ki_ppid;
    info.pgrp = kp.ki_pgid;
    info.sid = kp.ki_sid;
    info.has_terminal = kp.ki_tdev != NODEV;
    info.comm = kp.ki_comm;
    info.cpu = as_duration(kp.ki_rusage.ru_utime) + as_duration(kp.ki_rusage.ru_stime);
    return info;
}

std::vector<pid_t> all_processes()
{
    int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC};
    std::string table = sysctl_value(mib, 3);
    std::vector<pid_t> pids;
    for (std::size_t at = 0; at + sizeof(kinfo_proc) <= table.size(); at += sizeof(kinfo_proc)) {
        kinfo_proc kp;
        table.copy(reinterpret_cast<char *>(&kp), sizeof kp, at);
        pids.push_back(kp.ki_pid);
    }
    return pids;
}

int open_fd_count(pid_t pid)
{
    int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_FILEDESC, pid == 0 ? getpid() : pid};
    std::string table = sysctl_value(mib, 4);
    if (table.empty())
        return -1;
    // Packed records of varying size. The working and root directories and
    // the like come with negative numbers; they are no descriptors.
    int count = 0;
    for (std::size_t at = 0; at + sizeof(int) <= table.size();) {
        kinfo_file kf{};
        table.copy(reinterpret_cast<char *>(&kf), std::min(sizeof kf, table.size() - at), at);
        if (kf.kf_structsize <= 0)
            break;
        count += kf.kf_fd >= 0;
        at += static_cast<std::size_t>(kf.kf_structsize);
    }
    return count;
}

bool set_file_limit(pid_t pid, rlim_t soft, rlim_t hard)
{
    rlimit limit{soft, hard};
    int mib[] = {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT, pid, RLIMIT_NOFILE};
    return sysctl(mib, 5, nullptr, nullptr, &limit, sizeof limit) == 0;
}

int unsent_bytes(int fd)
{
    int n = 0;
    return ioctl(fd, FIONWRITE, &n) < 0 ? -1 : n;
}

std::vector<tcp_entry> tcp_sockets_on(std::uint16_t port)
{
    // An xinpgen, one xtcpcb for each socket, and an xinpgen again.
    std::string table = sysctl_value("net.inet.tcp.pcblist");
    std::vector<tcp_entry> found;
    if (table.size() < sizeof(xinpgen))
        return found;
    xinpgen head;
    table.copy(reinterpret_cast<char *>(&head), sizeof head, 0);
    for (std::size_t at = head.xig_len; at + sizeof(xtcpcb) <= table.size();) {
        xtcpcb tp;
        table.copy(reinterpret_cast<char *>(&tp), sizeof tp, at);
        if (tp.xt_len <= sizeof(xinpgen))
            break;
        at += tp.xt_len;
        const in_endpoints &ends = tp.xt_inp.inp_inc.inc_ie;
        if (ntohs(ends.ie_lport) != port)
            continue;
        if ((tp.xt_inp.inp_vflag & INP_IPV6) != 0)
            found.push_back({ipv6_text(ends.ie6_laddr), tp.t_state});
        else if ((tp.xt_inp.inp_vflag & INP_IPV4) != 0)
            found.push_back({dotted(ends.ie_laddr), tp.t_state});
    }
    return found;
}

std::vector<shm_segment> shm_segments_of(pid_t creator)
{
    std::string table = sysctl_value("kern.ipc.shmsegs");
    std::vector<shm_segment> found;
    for (std::size_t at = 0; at + sizeof(shmid_kernel) <= table.size(); at += sizeof(shmid_kernel)) {
        shmid_kernel seg;
        table.copy(reinterpret_cast<char *>(&seg), sizeof seg, at);
        const unsigned mode = seg.u.shm_perm.mode;
        if ((mode & SEGMENT_ALLOCATED) == 0 || seg.u.shm_cpid != creator)
            continue;
        shm_segment s;
        s.id = IXSEQ_TO_IPCID(static_cast<int>(at / sizeof(shmid_kernel)), seg.u.shm_perm);
        s.perms = (mode & 0777) | ((mode & SEGMENT_REMOVED) != 0 ? LINUX_SHM_DEST : 0);
        s.size = seg.u.shm_segsz;
        s.attached = static_cast<int>(seg.u.shm_nattch);
        found.push_back(s);
    }
    return found;
}

std::string isolate_from_shared_memory()
{
    // Jails could come close, but a test cannot make one for itself.
    return "FreeBSD has no IPC namespace a test can make for itself";
}

std::string refuse_system_call_filters()
{
    return "FreeBSD has no way to forbid a process capability mode";
}

port_range ephemeral_ports()
{
    port_range range{10000, 65535};  // the defaults
    int value = 0;
    size_t size = sizeof value;
    if (sysctlbyname("net.inet.ip.portrange.first", &value, &size, nullptr, 0) == 0)
        range.first = value;
    size = sizeof value;
    if (sysctlbyname("net.inet.ip.portrange.last", &value, &size, nullptr, 0) == 0)
        range.last = value;
    if (range.first > range.last)
        std::swap(range.first, range.last);
    return range;
}

#elif defined(__linux__)

const int TCP_STATE_LISTEN = TCP_LISTEN;
const int TCP_STATE_TIME_WAIT = TCP_TIME_WAIT;

bool become_subreaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

process_info process_of(pid_t pid)
{
    process_info info;
    std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name is in parentheses and may hold parentheses and spaces.
    auto open = text.find('(');
    auto close_paren = text.rfind(')');
    if (open == std::string::npos || close_paren == std::string::npos)
        return info;
    info.comm = text.substr(open + 1, close_paren - open - 1);
    std::istringstream rest(text.substr(close_paren + 2));
    int tty = 0;
    rest >> info.state >> info.ppid >> info.pgrp >> info.sid >> tty;
    info.has_terminal = tty != 0;
    std::string skipped;
    for (int field = 8; field < 14; ++field)
        rest >> skipped;
    long utime = 0, stime = 0;
    rest >> utime >> stime;
    info.cpu = std::chrono::microseconds((utime + stime) * 1000000 / sysconf(_SC_CLK_TCK));
    return info;
}

std::vector<pid_t> all_processes()
{
    std::vector<pid_t> pids;
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return pids;
    while (dirent *entry = readdir(dir)) {
        char *end;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0)
            pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(dir);
    return pids;
}

int open_fd_count(pid_t pid)
{
    std::string path = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return pid == 0 ? count - 1 : count;  // not the one opendir holds
}

bool set_file_limit(pid_t pid, rlim_t soft, rlim_t hard)
{
    rlimit limit{soft, hard};
    return prlimit(pid, RLIMIT_NOFILE, &limit, nullptr) == 0;
}

int unsent_bytes(int fd)
{
    int n = 0;
    return ioctl(fd, SIOCOUTQ, &n) < 0 ? -1 : n;
}

std::vector<tcp_entry> tcp_sockets_on(std::uint16_t port)
{
    std::vector<tcp_entry> found;
    std::istringstream lines(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(lines, line);  // the column titles
    while (std::getline(lines, line)) {
        unsigned addr = 0, lport = 0, state = 0;
        if (std::sscanf(line.c_str(), " %*u: %8x:%4x %*8x:%*4x %2x", &addr, &lport, &state) != 3 || lport != port)
            continue;
        in_addr in{};
        in.s_addr = addr;  // printed as the raw network-order word
        found.push_back({dotted(in), static_cast<int>(state)});
    }
    // The same for IPv6, absent where the system has none: the address is
    // four raw 32-bit words.
    std::istringstream lines6(read_file("/proc/net/tcp6"));
    std::getline(lines6, line);
    while (std::getline(lines6, line)) {
        unsigned w[4] = {}, lport = 0, state = 0;
        if (std::sscanf(line.c_str(), " %*u: %8x%8x%8x%8x:%4x %*32x:%*4x %2x", &w[0], &w[1], &w[2], &w[3], &lport,
                        &state) != 6 ||
            lport != port)
            continue;
        in6_addr in{};
        std::memcpy(&in, w, sizeof in);
        found.push_back({ipv6_text(in), static_cast<int>(state)});
    }
    return found;
}

std::vector<shm_segment> shm_segments_of(pid_t creator)
{
    std::vector<shm_segment> found;
    std::istringstream lines(read_file("/proc/sysvipc/shm"));
    std::string line;
    std::getline(lines, line);  // the column titles
    while (std::getline(lines, line)) {
        shm_segment seg;
        long key = 0;
        int cpid = 0, lpid = 0;
        if (std::sscanf(line.c_str(), " %ld %d %o %lu %d %d %d", &key, &seg.id, &seg.perms, &seg.size, &cpid, &lpid,
                        &seg.attached) == 7 &&
            cpid == creator)
            found.push_back(seg);
    }
    return found;
}

std::string isolate_from_shared_memory()
{
    if (unshare(CLONE_NEWIPC) != 0) {
        // Unprivileged: become root of a user namespace of our own first.
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0)
            return std::string("no IPC namespace can be made here (unprivileged user namespaces off?): ") +
                   std::strerror(errno);
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    // A container may mount /proc/sys read only: the write is then lost
    // without a word, and segments can still be made.
    write_file("/proc/sys/kernel/shmmni", "0");
    if (read_file("/proc/sys/kernel/shmmni") != "0\n")
        return "/proc/sys/kernel/shmmni cannot be set to 0 here (read-only /proc/sys?)";
    return "";
}

std::string refuse_system_call_filters()
{
    // prctl(PR_SET_SECCOMP, ...) and seccomp(2) fail with EINVAL; every other
    // call passes. Calls of another architecture's numbering are not looked
    // at: the programs this runs are native.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_seccomp, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prctl, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_SECCOMP, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0)
        return std::string("this system refuses a seccomp filter already: ") + std::strerror(errno);
    return "";
}

port_range ephemeral_ports()
{
    port_range range{32768, 60999};  // the defaults
    std::istringstream text(read_file("/proc/sys/net/ipv4/ip_local_port_range"));
    int first = 0;
    int last = 0;
    if (text >> first >> last && first > 0 && first <= last)
        range = {first, last};
    return range;
}

#endif

// The daemon's own reading, which its status report shows.
int listen_queue_length(int fd)
{
    return ::listen_queue_length(fd);
}

}  // namespace dovra_test
