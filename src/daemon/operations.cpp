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
#include "daemon/workers.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include "backend/backend.h"
#include "common/clock.h"
#include "common/platform.h"
#include "common/report.h"
#include "common/signals.h"
#include "common/version.h"
#include "config/config.h"
#include "net/net.h"

namespace {

constexpr std::size_t LINE_SIZE = 512;
constexpr std::size_t REPORT_SIZE = 4096;

volatile std::sig_atomic_t report_asked = 0;
long long daemon_started_ms = 0;
// In the daemon, since start.
std::int64_t refused_at_maxclients = 0;
std::int64_t refused_without_record = 0;
int watched_listener = -1;  // whenfull wait: its queue is reported

void ask_for_report(int)
{
    report_asked = 1;
}

// What the worker notes of its session for its line, from its start.
// Thread-local only for where it lies: beside the C library's errno, on the
// one page of its own that every worker writes anyway.
thread_local struct {
    long long began_ms;
    char client[ENDPOINT_TEXT_LEN];
} session;

// "refused CLIENT: WHY", or "refused CLIENT and N more: WHY" for a line
// that stands for count refusals (those held back since the previous line of
// its kind, and this one).
std::size_t format_refusal(std::int64_t count, const char *client, const char *why, char (&line)[LINE_SIZE])
{
    int n = 0;
    if (count == 1)
        n = std::snprintf(line, sizeof line, "refused %s: %s\n", client, why);
    else if (count > 1)
        n = std::snprintf(line, sizeof line, "refused %s and %" PRId64 " more: %s\n", client, count - 1, why);
    return n > 0 ? std::min(static_cast<std::size_t>(n), sizeof line - 1) : 0;
}

// With sessionlog on, writes the refusal line of kind for client, unless its
// limiter, shared by every process, holds it back this second.
void log_refusal(int kind, const char *client, const char *why)
{
    if (!daemon_config.sessionlog)
        return;
    const std::int64_t count = take_line(refusal_limit(kind), monotonic_ms());
    if (count == 0)
        return;
    char line[LINE_SIZE];
    write_diagnostic(STDOUT_FILENO, line, format_refusal(count, client, why, line));
}

// The text of a client's address, for its lines.
void client_text(const sockaddr_storage &client, char (&text)[ENDPOINT_TEXT_LEN])
{
    format_endpoint(reinterpret_cast<const sockaddr *>(&client), text, sizeof text);
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

// The lines on clients that wait, for the settings under which they do:
// share none (for a free server) and whenfull wait (to be accepted, where
// the system tells). Appended at text, size bytes at most; returns the
// length written, 0 when nothing fits whole.
std::size_t describe_waiting(char *text, std::size_t size)
{
    char lines[LINE_SIZE] = "";
    int n = 0;
    if (daemon_config.share == SHARE_NONE)
        n = std::snprintf(lines, sizeof lines, "queue: %d waiting for a free server, %" PRId64
                          " closed after queuetimeout since start\n", waiting_count(), queue_timeout_count());
    std::size_t length = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof lines - 1) : 0;
    const int queued = daemon_config.whenfull_wait ? listen_queue_length(watched_listener) : -1;
    if (queued >= 0) {
        n = std::snprintf(lines + length, sizeof lines - length, "listen queue: %d waiting to be accepted\n", queued);
        length += n > 0 ? std::min(static_cast<std::size_t>(n), sizeof lines - length - 1) : 0;
    }
    if (length >= size)
        return 0;
    std::memcpy(text, lines, length);
    return length;
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
}

void ignore_status_signals()
{
    for (int signo : STATUS_SIGNALS)
        install_handler(signo, SIG_IGN);
}

namespace {

// Out of line, so that its buffers are a frame of their own rather than
// part of every pass of the accept loop: each page of stack the loop writes
// is copied again after every fork.
[[gnu::noinline]] void write_status_report()
{
    const long long now = monotonic_ms();
    // Only a maxclients above the records the table has can leave a client
    // without one.
    char without_record[64] = "";
    if (refused_without_record > 0)
        std::snprintf(without_record, sizeof without_record, ", %" PRId64 " refused for want of a worker record",
                      refused_without_record);
    char report[REPORT_SIZE];
    int n = std::snprintf(report, sizeof report,
                          "dovra status: %d of %d sessions open; since start %" PRId64 " served, %" PRId64
                          " refused at maxclients%s, %" PRId64 " with every server down; version %s up %lld s\n",
                          static_cast<int>(child_count), daemon_config.maxclients, served_count(),
                          refused_at_maxclients, without_record, no_backend_count(), DOVRA_VERSION,
                          (now - daemon_started_ms) / 1000);
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
    length = std::min(length, sizeof report);
    length += describe_waiting(report + length, sizeof report - length);
    // A reader that stops reading holds the accept loop a second at most.
    write_diagnostic(STDOUT_FILENO, report, std::min(length, sizeof report));
}

}  // namespace

void write_status_report_if_asked()
{
    if (report_asked == 0)
        return;
    report_asked = 0;
    write_status_report();
}

void note_refused_at_maxclients(const sockaddr_storage &client, bool without_record)
{
    ++(without_record ? refused_without_record : refused_at_maxclients);
    if (!daemon_config.sessionlog)
        return;
    char address[ENDPOINT_TEXT_LEN];
    client_text(client, address);
    char why[64];
    if (without_record)
        std::snprintf(why, sizeof why, "every one of the %d worker records in use", WORKER_RECORDS);
    else
        std::snprintf(why, sizeof why, "%d of %d sessions open (maxclients)", static_cast<int>(child_count),
                      daemon_config.maxclients);
    log_refusal(without_record ? REFUSED_WITHOUT_RECORD : REFUSED_AT_MAXCLIENTS, address, why);
}

void watch_listen_queue(int listen_fd)
{
    watched_listener = listen_fd;
}

void note_queue_timeout()
{
    count_queue_timeout();
    char why[64];
    std::snprintf(why, sizeof why, "no server free within %d s (queuetimeout)", daemon_config.queuetimeout);
    log_refusal(REFUSED_QUEUE_TIMEOUT, session.client, why);
}

void note_refusal(int kind, const sockaddr_storage &client, const char *why)
{
    count_refusal(kind);
    if (!daemon_config.sessionlog)
        return;
    char address[ENDPOINT_TEXT_LEN];
    client_text(client, address);
    log_refusal(kind, address, why);
}

void session_log_client(const sockaddr_storage &client)
{
    if (daemon_config.sessionlog)
        client_text(client, session.client);
}

void note_no_backend()
{
    const int reason = errno;
    count_no_backend();
    // One line a second for every worker together, standing for the
    // refusals held back since the line before.
    const std::int64_t count = take_line(refusal_limit(REFUSED_ALL_DOWN), monotonic_ms());
    if (count == 0)
        return;
    char message[64];
    if (count == 1)
        std::snprintf(message, sizeof message, "All the servers are down");
    else
        std::snprintf(message, sizeof message, "All the servers are down and %" PRId64 " more", count - 1);
    errno = reason;
    report(message);
    if (!daemon_config.sessionlog)
        return;
    char line[LINE_SIZE];
    write_diagnostic(STDOUT_FILENO, line, format_refusal(count, session.client, "every server down", line));
}

void session_log_begin(const sockaddr_storage &client)
{
    session.began_ms = monotonic_ms();
    session.client[0] = '\0';
    session_log_client(client);
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
    // Within the session sandbox: write() and setitimer() are allowed.
    write_diagnostic(STDOUT_FILENO, line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
}
