// What the daemon tells its operator while it runs: the status report on a
// signal, and the session log (sessionlog on): a line for each session's end
// and for refused clients.
//
// Every line is made whole in a buffer and written with one write(), so that
// lines of the daemon and of its workers, which share standard output, never
// run into each other: a write of at most PIPE_BUF bytes to a pipe or FIFO
// (the journal's stream, the rc.d script's logger) is never mixed with another
// (Linux: 4096 bytes; FreeBSD: 512, and a longer write stays whole while the
// pipe has room for it). A session or refusal line stays below 512 bytes; a
// report below 4096.
#include "daemon/daemon.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include "backend/backend.h"
#include "common/platform.h"
#include "common/signals.h"
#include "config/config.h"
#include "net/net.h"

namespace {

// The kinds of refusal, as take_refusal_line() counts them.
constexpr int REFUSED_AT_MAXCLIENTS = 0;
constexpr int REFUSED_ALL_DOWN = 1;

constexpr std::size_t LINE_SIZE = 512;
constexpr std::size_t REPORT_SIZE = 4096;

volatile std::sig_atomic_t report_asked = 0;
long long daemon_started_ms = 0;
std::int64_t refused_at_maxclients = 0;  // in the daemon, since start

void ask_for_report(int)
{
    report_asked = 1;
}

// SIGALRM only ends a write that has waited too long.
void interrupt_write(int) {}

// Writes text on standard output for the daemon, whose accept loop must not
// wait on a reader that has stopped reading: the write, and the flush of
// report()'s pending lines before it, are given one second. A pipe that stays
// full for that long gets part of the text or none of it; a terminal, a file
// or a pipe with room takes it at once. SIGALRM's handler, installed without
// SA_RESTART, makes the blocked write return.
void write_from_daemon(const char *text, std::size_t length)
{
    alarm(1);
    std::fflush(stdout);
    ssize_t written = write(STDOUT_FILENO, text, length);
    (void)written;
    alarm(0);
}

// What the worker notes of its session for its line, from its start.
struct {
    long long began_ms;
    char client[ENDPOINT_TEXT_LEN];
} session;

// "refused CLIENT: WHY" or, standing for more refusals held back since the
// previous line of its kind, "refused CLIENT and N more: WHY"; nothing when
// this one is held back.
void format_refusal(int kind, const char *client, const char *why, char (&line)[LINE_SIZE], std::size_t &length)
{
    length = 0;
    const std::int64_t count = take_refusal_line(kind, monotonic_ms());
    int n = 0;
    if (count == 1)
        n = std::snprintf(line, sizeof line, "refused %s: %s\n", client, why);
    else if (count > 1)
        n = std::snprintf(line, sizeof line, "refused %s and %" PRId64 " more: %s\n", client, count - 1, why);
    if (n > 0)
        length = std::min(static_cast<std::size_t>(n), sizeof line - 1);
}

const char *end_text(const session_stats &stats, char (&buf)[160])
{
    switch (stats.end) {
    case END_CLIENT_CLOSED:
        return "client closed";
    case END_BACKEND_CLOSED:
        return "backend closed";
    case END_IDLE_TIMEOUT:
        return "idle timeout";
    case END_ERROR:
        break;
    }
    if (stats.error <= 0)
        return "error";
    // The daemon never sets a locale, so the C library has the C locale's
    // texts at hand and strerror() opens no file, which the sandbox would
    // refuse.
    std::snprintf(buf, sizeof buf, "error: %s", std::strerror(stats.error));
    return buf;
}

// The status report's line for the front door, where anything of it is
// set or has refused a client; left out when it would not fit whole.
void append_front_door_line(char (&report)[REPORT_SIZE], std::size_t &length)
{
    const std::int64_t by_address = refusal_count(REFUSED_BY_ADDRESS);
    const std::int64_t per_client = refusal_count(REFUSED_PER_CLIENT);
    const std::int64_t header = refusal_count(REFUSED_PROXY_HEADER);
    if (daemon_config.rule_count == 0 && daemon_config.maxperclient == 0 && by_address + per_client + header == 0)
        return;
    char line[LINE_SIZE];
    const int n = std::snprintf(line, sizeof line,
                                "refused since start: %" PRId64 " by allow and deny, %" PRId64
                                " over maxperclient, %" PRId64 " without a valid PROXY header\n",
                                by_address, per_client, header);
    if (n <= 0 || length + static_cast<std::size_t>(n) > sizeof report)
        return;
    std::memcpy(report + length, line, static_cast<std::size_t>(n));
    length += static_cast<std::size_t>(n);
}

}  // namespace

void prepare_status_report(sigset_t *open_mask)
{
    daemon_started_ms = monotonic_ms();
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signo : STATUS_SIGNALS)
        sigaddset(&blocked, signo);
    sigprocmask(SIG_BLOCK, &blocked, open_mask);
    for (int signo : STATUS_SIGNALS) {
        sigdelset(open_mask, signo);
        install_handler(signo, ask_for_report);
    }
    install_handler(SIGALRM, interrupt_write);
}

void ignore_status_signals()
{
    for (int signo : STATUS_SIGNALS)
        install_handler(signo, SIG_IGN);
}

void write_status_report_if_asked()
{
    if (report_asked == 0)
        return;
    report_asked = 0;
    const long long now = monotonic_ms();
    char report[REPORT_SIZE];
    int n = std::snprintf(report, sizeof report,
                          "dovra status: %d of %d sessions open; since start %" PRId64 " served, %" PRId64
                          " refused at maxclients, %" PRId64 " with every server down; up %lld s\n",
                          static_cast<int>(child_count), daemon_config.maxclients, served_count(),
                          refused_at_maxclients, no_backend_count(), (now - daemon_started_ms) / 1000);
    std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 0;
    // One line a server; a line that would not fit whole is left out.
    for (int i = 0; i < daemon_config.server_count && length < sizeof report; ++i) {
        char line[LINE_SIZE];
        describe_backend(i, now, line, sizeof line);
        const std::size_t size = std::strlen(line);
        if (length + size + 1 > sizeof report)
            break;
        std::memcpy(report + length, line, size);
        report[length + size] = '\n';
        length += size + 1;
    }
    append_front_door_line(report, length);
    write_from_daemon(report, std::min(length, sizeof report));
}

void note_refused_at_maxclients(const sockaddr_storage &client)
{
    ++refused_at_maxclients;
    if (!daemon_config.sessionlog)
        return;
    char address[ENDPOINT_TEXT_LEN];
    format_endpoint(reinterpret_cast<const sockaddr *>(&client), address, sizeof address);
    char why[64];
    std::snprintf(why, sizeof why, "%d of %d sessions open (maxclients)", static_cast<int>(child_count),
                  daemon_config.maxclients);
    char line[LINE_SIZE];
    std::size_t length;
    format_refusal(REFUSED_AT_MAXCLIENTS, address, why, line, length);
    if (length > 0)
        write_from_daemon(line, length);
}

void note_refusal(int kind, const sockaddr_storage &client, const char *why)
{
    count_refusal(kind);
    if (!daemon_config.sessionlog)
        return;
    char address[ENDPOINT_TEXT_LEN];
    format_endpoint(reinterpret_cast<const sockaddr *>(&client), address, sizeof address);
    char line[LINE_SIZE];
    std::size_t length;
    format_refusal(kind, address, why, line, length);
    if (length > 0)
        write_from_daemon(line, length);
}

void session_log_client(const sockaddr_storage &client)
{
    if (daemon_config.sessionlog)
        format_endpoint(reinterpret_cast<const sockaddr *>(&client), session.client, sizeof session.client);
}

void note_no_backend()
{
    count_no_backend();
    if (!daemon_config.sessionlog)
        return;
    char line[LINE_SIZE];
    std::size_t length;
    format_refusal(REFUSED_ALL_DOWN, session.client, "every server down", line, length);
    if (length > 0) {
        ssize_t written = write(STDOUT_FILENO, line, length);
        (void)written;
    }
}

void session_log_begin(const sockaddr_storage &client)
{
    session.began_ms = monotonic_ms();
    session.client[0] = '\0';
    if (daemon_config.sessionlog)
        format_endpoint(reinterpret_cast<const sockaddr *>(&client), session.client, sizeof session.client);
}

void session_log_end(int index, const session_stats &stats)
{
    if (!daemon_config.sessionlog)
        return;
    char backend[ENDPOINT_TEXT_LEN];
    format_endpoint(daemon_config.servers[index], daemon_config.serverport, backend, sizeof backend);
    const long long ms = monotonic_ms() - session.began_ms;
    char reason[160];
    char line[LINE_SIZE];
    int n = std::snprintf(line, sizeof line, "session %s > %s: %" PRIu64 " bytes up, %" PRIu64
                          " bytes down, %lld.%03lld s, %s\n", session.client, backend, stats.from_client,
                          stats.from_backend, ms / 1000, ms % 1000, end_text(stats, reason));
    if (n <= 0)
        return;
    // Within the session sandbox: write() is allowed, on standard output.
    ssize_t written = write(STDOUT_FILENO, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
    (void)written;
}
