// Reload in place, on SIGHUP: the daemon reads its file again with the code it
// runs, and when it takes it, executes the program at the path it was started
// from (the file there now, so that an upgrade takes effect) under the same
// pid. What lives on is handed to the new image:
//
// - the listening socket, a descriptor kept open across exec; when localport
//   or localaddress changed, the old image opens the new one first, so that
//   something listens at every moment, and the new image closes the old one;
// - the live workers: their pids, the backend address each holds and the
//   client each serves (for maxperclient), as a
//   short versioned text in an anonymous file. The new image makes a table of
//   its own, enters them there, counts them against maxclients and reaps them,
//   since they stay children of the same pid. They go on writing into the old
//   segment, which no process reads any more and which the system frees after
//   the last of them ends.
//
// Before the real exec, a child executes the new program in its check mode on
// the same hand-over; only when that one says it can take over does the
// daemon replace itself, so a program that cannot start, or cannot read the
// hand-over, leaves the old image serving. The hand-over's argument is the one
// exception to the rule that the daemon takes no arguments: internal, and
// ignored unless it names a hand-over the program can read.
#include "daemon/daemon.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "backend/backend.h"
#include "common/platform.h"
#include "common/report.h"
#include "common/signals.h"
#include "common/version.h"
#include "config/config.h"
#include "daemon/workers.h"
#include "net/net.h"

namespace {

constexpr char HANDOVER_ARG[] = "--handover";
constexpr char CHECK_ARG[] = "--handover-check";
constexpr char HANDOVER_HEADER[] = "dovra-handover 1";
// 4096 workers of at most 90 bytes each, with room to spare.
constexpr std::size_t HANDOVER_MAX = 1 << 20;
// How long the new program may take to say that it can take over.
constexpr unsigned CHECK_SECONDS = 10;

volatile std::sig_atomic_t reload_asked = 0;

// The program's absolute path, found once at start; empty when it could not be.
char program_path[PATH_MAX];

// What a hand-over carries.
struct carried_worker {
    pid_t pid;
    client_key client;  // as maxperclient counts it
    char address[SERVER_ADDR_LEN];  // "-": none
};
struct handover {
    int listener = -1;
    int drop = -1;  // the previous listening socket, when it changed
    std::vector<carried_worker> workers;
};

bool resumed = false;
handover taken;

// Carried workers whose address the current file no longer names: the table
// cannot say which backend they hold, so the next hand-over takes it from here.
struct unlisted_worker {
    int record;
    pid_t pid;
    char address[SERVER_ADDR_LEN];
};
std::vector<unlisted_worker> unlisted;

// Writes one line on standard output at once, as the status report is
// written (write_diagnostic): a reader that has stopped reading holds the loop
// up for a second or so at most.
void say(const char *text)
{
    char line[PATH_MAX + 128];
    const int n = std::snprintf(line, sizeof line, "%s\n", text);
    if (n > 0)
        write_diagnostic(STDOUT_FILENO, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
}

void ask_for_reload(int)
{
    reload_asked = 1;
}


// argv[0] made absolute: as given when it has a '/', else looked up in PATH
// as execvp would. Not /proc/self/exe: that names the file this image was
// loaded from, which an upgrade has replaced.
void note_program_path(const char *argv0)
{
    program_path[0] = '\0';
    if (argv0 == nullptr || argv0[0] == '\0')
        return;
    if (std::strchr(argv0, '/') != nullptr) {
        while (argv0[0] == '.' && argv0[1] == '/')
            argv0 += 2;
        char cwd[PATH_MAX] = "";
        if (argv0[0] != '/' && getcwd(cwd, sizeof cwd) == nullptr)
            return;
        const int n = std::snprintf(program_path, sizeof program_path, "%s%s%s", cwd, cwd[0] ? "/" : "", argv0);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof program_path)
            program_path[0] = '\0';
        return;
    }
    const char *path = std::getenv("PATH");
    for (const char *p = path; p != nullptr && *p != '\0';) {
        const char *end = std::strchr(p, ':');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
        char candidate[PATH_MAX];
        const int n = std::snprintf(candidate, sizeof candidate, "%.*s/%s", static_cast<int>(length), p, argv0);
        if (candidate[0] == '/' && n > 0 && static_cast<std::size_t>(n) < sizeof candidate &&
            access(candidate, X_OK) == 0) {
            std::memcpy(program_path, candidate, static_cast<std::size_t>(n) + 1);
            return;
        }
        p = end != nullptr ? end + 1 : nullptr;
    }
}

// A descriptor number as the hand-over writes it, or -1.
int descriptor_number(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < 0 || n > INT_MAX)
        return -1;
    return static_cast<int>(n);
}

// Reads the hand-over in fd into h. Every line is checked; anything this
// program does not know refuses the whole.
bool read_handover(int fd, handover &h)
{
    std::vector<char> text(HANDOVER_MAX + 1);
    std::size_t size = 0;
    for (;;) {
        const ssize_t n = pread(fd, text.data() + size, HANDOVER_MAX + 1 - size, static_cast<off_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        size += static_cast<std::size_t>(n);
        if (size > HANDOVER_MAX)
            return false;
    }
    text.resize(size);
    text.push_back('\0');
    bool header = false;
    bool end = false;
    for (char *line = text.data(); *line != '\0' && !end;) {
        char *next = std::strchr(line, '\n');
        if (next == nullptr)
            return false;
        *next = '\0';
        char word[16];
        char value[SERVER_ADDR_LEN];
        int number = 0;
        unsigned long long client = 0;
        int used = 0;
        if (!header) {
            header = std::strcmp(line, HANDOVER_HEADER) == 0;
            if (!header)
                return false;
        } else if (std::strcmp(line, "end") == 0) {
            end = true;
        } else if (std::sscanf(line, "%15s %d%n", word, &number, &used) == 2 && number >= 0 && line[used] == '\0' &&
                   (std::strcmp(word, "listener") == 0 || std::strcmp(word, "drop") == 0)) {
            (word[0] == 'l' ? h.listener : h.drop) = number;
        } else if (std::sscanf(line, "worker %d %45s %llx%n", &number, value, &client, &used) == 3 && number > 0 &&
                   line[used] == '\0' && h.workers.size() < WORKER_RECORDS) {
            carried_worker w{};
            w.pid = number;
            w.client = client;
            std::memcpy(w.address, value, sizeof w.address);
            h.workers.push_back(w);
        } else {
            return false;
        }
        line = next + 1;
    }
    return end && h.listener >= 0 && h.listener != h.drop;
}

// The address carried worker record k holds, pid its pid, backend its index.
const char *held_address(int k, pid_t pid, int backend)
{
    if (backend >= 0 && backend < daemon_config.server_count)
        return daemon_config.servers[backend];
    for (const unlisted_worker &u : unlisted) {
        if (u.record == k && u.pid == pid)
            return u.address;
    }
    return "-";
}

// Writes the hand-over for listener (and drop, or -1) into a new anonymous
// file, kept open across exec. Returns it, or -1 with errno set.
int write_handover(int listener, int drop)
{
    const int fd = memfd_create("dovra-handover", 0);
    if (fd < 0)
        return -1;
    std::vector<char> text;
    auto add = [&text](const char *line) { text.insert(text.end(), line, line + std::strlen(line)); };
    char line[128];
    std::snprintf(line, sizeof line, "%s\nlistener %d\n", HANDOVER_HEADER, listener);
    add(line);
    if (drop >= 0) {
        std::snprintf(line, sizeof line, "drop %d\n", drop);
        add(line);
    }
    const int used = worker_records_used();
    for (int k = 0; k < used; ++k) {
        pid_t pid;
        int backend;
        client_key client;
        worker_at(k, &pid, &backend, &client);
        if (pid <= 0)
            continue;
        std::snprintf(line, sizeof line, "worker %d %s %llx\n", static_cast<int>(pid), held_address(k, pid, backend),
                      static_cast<unsigned long long>(client));
        add(line);
    }
    add("end\n");
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return fd;
}

bool same_listener(const config_record &a, const config_record &b)
{
    return a.localport == b.localport && std::strcmp(a.localaddress, b.localaddress) == 0;
}

// Runs the program in its check mode on the hand-over and waits for its
// answer, at most CHECK_SECONDS. SIGCHLD is blocked, so this wait alone
// reaps it; SIGALRM's handler, without SA_RESTART, ends a wait too long.
bool new_program_starts(const char *fd_text)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        char *const argv[] = {program_path, const_cast<char *>(CHECK_ARG), const_cast<char *>(fd_text), nullptr};
        execv(program_path, argv);
        _exit(127);
    }
    int status = 0;
    alarm(CHECK_SECONDS);
    pid_t got = waitpid(child, &status, 0);
    alarm(0);
    if (got != child) {
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The reload itself, with the new file's settings in next. Returns only when
// the old image serves on, having said why.
void replace_image(int listen_fd, const config_record &next)
{
    if (program_path[0] == '\0') {
        say("Reload refused: the program's path is unknown");
        return;
    }
    int new_fd = -1;
    if (!same_listener(daemon_config, next)) {
        errno = 0;
        new_fd = open_listener(next.localport, next.localaddress, next.backlog);
        if (new_fd < 0) {
            report("Reload refused: error creating the new listening socket");
            return;
        }
    }
    block_signal(SIGCHLD, SIG_BLOCK);
    errno = 0;
    const int fd = write_handover(new_fd >= 0 ? new_fd : listen_fd, new_fd >= 0 ? listen_fd : -1);
    if (fd < 0) {
        report("Reload refused: error writing the hand-over");
    } else {
        char fd_text[16];
        std::snprintf(fd_text, sizeof fd_text, "%d", fd);
        if (!new_program_starts(fd_text)) {
            char line[PATH_MAX + 64];
            std::snprintf(line, sizeof line, "Reload refused: %s did not start", program_path);
            say(line);
        } else {
            std::fflush(stdout);
            stop_health_checker();
            char *const argv[] = {program_path, const_cast<char *>(HANDOVER_ARG), fd_text, nullptr};
            errno = 0;
            execv(program_path, argv);
            char line[PATH_MAX + 64];
            std::snprintf(line, sizeof line, "Reload refused: error executing %s", program_path);
            report(line);
        }
        close(fd);
    }
    if (new_fd >= 0)
        close(new_fd);
    block_signal(SIGCHLD, SIG_UNBLOCK);
}

// The new image's start on a hand-over: a fresh table with the carried
// workers entered, counted and reaped as this image's own.
[[noreturn]] void resume()
{
    const config_result code = read_config(CONFIG_PATH);
    if (code != CONFIG_OK) {
        // Only a file changed again between the check and here.
        std::printf("\n Configuration error: %s \n", config_error_text[code]);
        std::exit(1);
    }
    reset_backends(daemon_config.server_count);
    unlisted.clear();
    int carried = 0;
    for (const carried_worker &w : taken.workers) {
        int index = -1;
        for (int i = 0; i < daemon_config.server_count && index < 0; ++i) {
            if (std::strcmp(daemon_config.servers[i], w.address) == 0)
                index = i;
        }
        const int record = enter_worker(w.pid, index, w.client);
        if (record >= 0 && index < 0 && std::strcmp(w.address, "-") != 0) {
            unlisted_worker u{record, w.pid, {}};
            std::memcpy(u.address, w.address, sizeof u.address);
            unlisted.push_back(u);
        }
        ++carried;
    }
    child_count = carried;
    // Workers that ended meanwhile wait as zombies, and their SIGCHLD is
    // pending: handled from here on.
    install_handler(SIGCHLD, reap_children);
    block_signal(SIGCHLD, SIG_UNBLOCK);
    char line[128];
    std::snprintf(line, sizeof line, "Reloaded: dovra %s runs, %d %s carried over", DOVRA_VERSION, carried,
                  carried == 1 ? "session" : "sessions");
    say(line);
    run_dispatcher(-1);
}

}  // namespace

bool start_from_handover(int argc, char **argv)
{
    // A hang-up during start-up, or one sent to a worker, ends nothing: the
    // signal stays blocked but in the accept loop's wait, and workers
    // inherit it blocked.
    block_signal(SIGHUP, SIG_BLOCK);
    note_program_path(argc > 0 ? argv[0] : nullptr);
    if (argc != 3 || (std::strcmp(argv[1], HANDOVER_ARG) != 0 && std::strcmp(argv[1], CHECK_ARG) != 0))
        return false;
    const bool check = std::strcmp(argv[1], CHECK_ARG) == 0;
    const int fd = descriptor_number(argv[2]);
    handover h;
    if (fd < 0 || fcntl(fd, F_GETFD) < 0 || !read_handover(fd, h) || fcntl(h.listener, F_GETFD) < 0) {
        std::fprintf(stderr, "dovra %s: the hand-over is not one this program reads\n", DOVRA_VERSION);
        std::exit(1);
    }
    if (check) {
        // What the new image needs before it can serve, tried here while the
        // old one still can: the sandbox, a status table of its own beside
        // the old one (which the old workers keep), and the file.
        errno = 0;
        if (try_session_sandbox() < 0) {
            report("Error entering the session sandbox");
            std::exit(1);
        }
        errno = 0;
        if (create_status_table() < 0) {
            report("Error creating status table");
            std::exit(1);
        }
        const config_result code = read_config(CONFIG_PATH);
        if (code != CONFIG_OK) {
            std::printf("Reload refused, configuration error: %s\n", config_error_text[code]);
            std::exit(1);
        }
        std::exit(0);
    }
    close(fd);
    taken = std::move(h);
    resumed = true;
    return true;
}

void resume_after_reload()
{
    if (resumed)
        resume();
}

void prepare_reload(sigset_t *open_mask)
{
    install_handler(SIGHUP, ask_for_reload);
    sigdelset(open_mask, SIGHUP);
}

int inherited_listener()
{
    if (!resumed)
        return -1;
    // Listening again sets the backlog of this file on the same socket.
    const int saved = errno;
    listen(taken.listener, daemon_config.backlog);
    // The new socket listens already: the old one can go.
    if (taken.drop >= 0)
        close(taken.drop);
    errno = saved;
    return taken.listener;
}

namespace {

// Out of line, so that its two configuration records are a frame of their
// own rather than part of every pass of the accept loop: each page of stack
// the loop writes is copied again after every fork.
[[gnu::noinline]] void reload(int listen_fd)
{
    // Read into daemon_config with the code this image runs, then put the
    // running settings back: only the new image takes the new ones.
    const config_record running = daemon_config;
    const config_result code = read_config(CONFIG_PATH);
    const config_record next = daemon_config;
    daemon_config = running;
    if (code != CONFIG_OK) {
        char line[128];
        std::snprintf(line, sizeof line, "Reload refused, configuration error: %s", config_error_text[code]);
        say(line);
        return;
    }
    replace_image(listen_fd, next);
}

}  // namespace

void reload_if_asked(int listen_fd)
{
    if (reload_asked == 0)
        return;
    reload_asked = 0;
    reload(listen_fd);
}
