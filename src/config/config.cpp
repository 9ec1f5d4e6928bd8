#include "config/config.h"
#include "config/config_events.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>


config_record daemon_config;

namespace {

enum token_read { TOKEN_NONE, TOKEN_READ, TOKEN_LONG };

// The file as the parser reads it. The size found when it was opened bounds
// the reading; the line count follows the bytes consumed between words.
struct reader {
    std::FILE *file;
    unsigned long size;
    int line;
    bool after_cr;  // a LF right after a CR is the same line end
};

// Compared unsigned: on a stream that cannot seek (a pipe) the position reads
// as -1, the largest value, so nothing is read from it.
unsigned long position(const reader &r)
{
    return static_cast<unsigned long>(std::ftell(r.file));
}

void count_line_end(reader &r, int c)
{
    if (c == '\n' && r.after_cr) {
        r.after_cr = false;
        return;
    }
    // Stops counting rather than overflow, for a file of 2^31 line ends.
    if ((c == '\n' || c == '\r') && r.line < INT_MAX)
        ++r.line;
    r.after_cr = c == '\r';
}

// Reads the next white-space separated word into buf and its line into *line.
// The blanks before it are the ones fscanf("%s") would skip; they are taken
// here one by one only so that their line ends can be counted. At the end of
// the input, or on a read error, buf and *line keep what they held: a keyword
// that is the file's last word is thus taken as its own value.
token_read read_token(reader &r, char *buf, int *line)
{
    int c;
    while ((c = std::getc(r.file)) != EOF && std::isspace(c))
        count_line_end(r, c);
    if (c == EOF)
        return TOKEN_NONE;
    std::ungetc(c, r.file);
    r.after_cr = false;

    static_assert(CONFIG_TOKEN_LEN == 512, "the scanf width below is 511");
    if (std::fscanf(r.file, "%511s", buf) != 1)
        return TOKEN_NONE;
    *line = r.line;
    // A NUL byte ends the word's text but not the word: a word that holds one
    // within its first 511 bytes is cut there, and the rest is the next word.
    if (std::strlen(buf) < CONFIG_TOKEN_LEN - 1)
        return TOKEN_READ;
    int next = std::getc(r.file);
    if (next == EOF)
        return TOKEN_READ;
    std::ungetc(next, r.file);
    return std::isspace(next) ? TOKEN_READ : TOKEN_LONG;
}

// Skips the rest of a comment: up to a line feed or carriage return, the
// size found at the start, or the end of the input, whichever comes first.
void skip_comment(reader &r)
{
    for (;;) {
        int c = std::getc(r.file);
        if (c == EOF)
            return;
        count_line_end(r, c);
        if (c == '\n' || c == '\r')
            return;
        if (position(r) >= r.size)
            return;
    }
}

bool is_keyword(const char *token, const char *keyword)
{
    return strcasecmp(token, keyword) == 0;
}

// An address rule refused or cut would let through a client it was meant
// to stop, so a rule that cannot be taken whole is a configuration error.
config_result take_rule(config_keyword k, const char *value)
{
    config_record &c = daemon_config;
    if (c.rule_count >= MAX_ADDRESS_RULES)
        return CONFIG_TOO_MANY_RULES;
    address_rule &rule = c.rules[c.rule_count];
    if (!parse_prefix(value, rule))
        return CONFIG_BAD_ADDRESS_RULE;
    rule.kind = k == KEYWORD_ALLOW ? RULE_ALLOW : k == KEYWORD_DENY ? RULE_DENY : RULE_ACCEPTPROXY;
    ++c.rule_count;
    return CONFIG_OK;
}

// Stores the value of keyword k. Returns CONFIG_OK, or the limit it breaks.
// An optional number out of its range is held to the nearest bound (the
// checker warns about it); a sessionlog or halfclose value other than "on" is
// off.
config_result take_value(config_keyword k, const char *value, bool *seen)
{
    config_record &c = daemon_config;
    switch (k) {
    case KEYWORD_LOCALPORT:
        c.localport = std::atoi(value);
        break;
    case KEYWORD_SERVERPORT:
        c.serverport = std::atoi(value);
        break;
    case KEYWORD_MAXCLIENTS:
        c.maxclients = std::atoi(value);
        break;
    case KEYWORD_SERVER:
        if (c.server_count >= MAX_SERVERS)
            return CONFIG_TOO_MANY_SERVERS;
        if (std::strlen(value) >= SERVER_ADDR_LEN)
            return CONFIG_ADDR_TOO_LONG;
        std::strcpy(c.servers[c.server_count], value);
        ++c.server_count;
        return CONFIG_OK;
    case KEYWORD_LOCALADDRESS:
        if (std::strlen(value) >= SERVER_ADDR_LEN)
            return CONFIG_LOCALADDR_TOO_LONG;
        std::strcpy(c.localaddress, value);
        return CONFIG_OK;
    case KEYWORD_CONNECTTIMEOUT:
        c.connecttimeout = read_number(value, MIN_CONNECT_TIMEOUT, MAX_CONNECT_TIMEOUT).value;
        return CONFIG_OK;
    case KEYWORD_IDLETIMEOUT:
        c.idletimeout = read_number(value, 0, MAX_IDLE_TIMEOUT).value;
        return CONFIG_OK;
    case KEYWORD_BACKLOG:
        c.backlog = read_number(value, 1, MAX_BACKLOG).value;
        return CONFIG_OK;
    case KEYWORD_SESSIONLOG:
        c.sessionlog = is_keyword(value, "on");
        return CONFIG_OK;
    case KEYWORD_HALFCLOSE:
        c.halfclose = is_keyword(value, "on");
        return CONFIG_OK;
    case KEYWORD_KEEPALIVE:
        c.keepalive = read_number(value, 0, MAX_KEEPALIVE).value;
        return CONFIG_OK;
    case KEYWORD_SHARE:
        c.share = is_keyword(value, "least") ? SHARE_LEAST : is_keyword(value, "none") ? SHARE_NONE : SHARE_FIRST;
        return CONFIG_OK;
    case KEYWORD_QUEUETIMEOUT:
        c.queuetimeout = read_number(value, MIN_QUEUE_TIMEOUT, MAX_QUEUE_TIMEOUT).value;
        return CONFIG_OK;
    case KEYWORD_WHENFULL:
        c.whenfull_wait = is_keyword(value, "wait");
        return CONFIG_OK;
    case KEYWORD_CHECKINTERVAL:
        c.checkinterval = read_number(value, 0, MAX_CHECK_INTERVAL).value;
        return CONFIG_OK;
    case KEYWORD_ALLOW:
    case KEYWORD_DENY:
    case KEYWORD_ACCEPTPROXY:
        return take_rule(k, value);
    case KEYWORD_MAXPERCLIENT:
        c.maxperclient = read_number(value, 0, MAX_PER_CLIENT).value;
        return CONFIG_OK;
    case KEYWORD_PROXYPROTOCOL:
        c.proxyprotocol = is_keyword(value, "v1") ? 1 : is_keyword(value, "v2") ? 2 : 0;
        return CONFIG_OK;
    case KEYWORD_NONE:
        return CONFIG_OK;
    }
    seen[k] = true;
    return CONFIG_OK;
}

// The optional settings before a file is read.
void set_defaults()
{
    config_record &c = daemon_config;
    c.server_count = 0;
    c.localaddress[0] = '\0';
    c.connecttimeout = DEFAULT_CONNECT_TIMEOUT;
    c.idletimeout = 0;
    c.backlog = DEFAULT_BACKLOG;
    c.sessionlog = false;
    c.halfclose = false;
    c.keepalive = 0;
    c.share = SHARE_FIRST;
    c.queuetimeout = DEFAULT_QUEUE_TIMEOUT;
    c.whenfull_wait = false;
    c.checkinterval = 0;
    c.rule_count = 0;
    c.maxperclient = 0;
    c.proxyprotocol = 0;
}

// Starts the reading of file: its size, found at its end (0 for an empty
// file), and the position back at its start.
reader start_reading(std::FILE *file)
{
    std::fseek(file, 0, SEEK_END);
    reader r{file, static_cast<unsigned long>(std::ftell(file)), 1, false};
    if (r.size != 0)
        std::rewind(file);
    return r;
}

// Tests the word in token against each keyword in turn, and for each that it
// names reads the next word into token and takes it as that keyword's value;
// so a value that is itself a later keyword is taken as that keyword. taken
// tells whether any keyword matched. Returns CONFIG_OK, or the first problem.
config_result take_keywords(reader &r, char (&token)[CONFIG_TOKEN_LEN], int &line, bool *seen,
                            std::vector<config_event> *events, bool &taken)
{
    for (int i = 0; i < KEYWORD_NONE; ++i) {
        if (!is_keyword(token, config_keywords[i]))
            continue;
        const auto k = static_cast<config_keyword>(i);
        const int keyword_line = line;
        taken = true;
        const token_read got = read_token(r, token, &line);
        if (got == TOKEN_LONG)
            return CONFIG_TOKEN_TOO_LONG;
        const config_result code = take_value(k, token, seen);
        // The checker names the line of a rule the daemon refuses.
        if (code == CONFIG_BAD_ADDRESS_RULE && events != nullptr)
            events->push_back({k, keyword_line, got == TOKEN_READ, token});
        if (code != CONFIG_OK)
            return code;
        if (events != nullptr)
            events->push_back({k, keyword_line, got == TOKEN_READ, token});
    }
    return CONFIG_OK;
}

// The first setting that must be given and was not, or CONFIG_OK.
config_result first_missing(const bool *seen)
{
    if (!seen[KEYWORD_LOCALPORT])
        return CONFIG_NO_LOCALPORT;
    if (!seen[KEYWORD_SERVERPORT])
        return CONFIG_NO_SERVERPORT;
    if (!seen[KEYWORD_MAXCLIENTS])
        return CONFIG_NO_MAXCLIENTS;
    if (daemon_config.server_count == 0)
        return CONFIG_NO_SERVERS;
    return CONFIG_OK;
}

}  // namespace

bounded_number read_number(const char *text, int low, int high)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // Accumulated as a magnitude that stops growing once it is past every
    // bound an int can have, so no text wraps it.
    constexpr long long PAST = static_cast<long long>(INT_MAX) + 2;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > PAST)
            magnitude = PAST;
    }
    const long long value = negative ? -magnitude : magnitude;
    if (value < low)
        return {low, -1};
    if (value > high)
        return {high, 1};
    return {static_cast<int>(value), 0};
}

std::FILE *open_config(const char *path)
{
    // Opening a FIFO that has no writer would wait for one for ever; without
    // O_NONBLOCK it returns at once. Reads block again afterwards (a FIFO is
    // never read anyway, having no position).
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int flags = fcntl(fd, F_GETFL);
    std::FILE *file = flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ? nullptr : fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}

config_result parse_config(std::FILE *file, std::vector<config_event> *events)
{
    set_defaults();
    reader r = start_reading(file);
    if (r.size == 0)
        return CONFIG_OPEN_FAILED;

    bool seen[KEYWORD_NONE] = {};
    char token[CONFIG_TOKEN_LEN] = "";
    int line = 1;  // of the word in token

    bool at_end = false;
    while (!at_end && position(r) < r.size) {
        // At the end of the input, or on a read error, the buffer keeps the
        // last word read and goes through the tests once more (a last value
        // that is itself a keyword takes effect); then the loop ends, so a
        // file that shrinks or fails while it is read cannot make it spin.
        const token_read got = read_token(r, token, &line);
        at_end = got == TOKEN_NONE;
        if (got == TOKEN_LONG)
            return CONFIG_TOKEN_TOO_LONG;
        if (token[0] == '#') {
            skip_comment(r);
            token[0] = '\0';
        }
        bool taken = false;
        const config_result code = take_keywords(r, token, line, seen, events, taken);
        if (code != CONFIG_OK)
            return code;
        // A second pass over the last word read is no word of its own.
        if (events != nullptr && !taken && !at_end && token[0] != '\0')
            events->push_back({KEYWORD_NONE, line, false, token});
    }
    return first_missing(seen);
}

config_result parse_config(std::FILE *file)
{
    return parse_config(file, nullptr);
}

config_result read_config(const char *path)
{
    set_defaults();
    std::FILE *file = open_config(path);
    if (file == nullptr)
        return CONFIG_OPEN_FAILED;
    config_result code = parse_config(file);
    std::fclose(file);
    return code;
}

void print_config_summary()
{
    std::printf("\n localport %d", daemon_config.localport);
    std::printf("\n serverport %d", daemon_config.serverport);
    std::printf("\n maxclients %d", daemon_config.maxclients);
    const config_record &c = daemon_config;
    if (c.localaddress[0] != '\0')
        std::printf("\n localaddress %s", c.localaddress);
    if (c.connecttimeout != DEFAULT_CONNECT_TIMEOUT)
        std::printf("\n connecttimeout %d", c.connecttimeout);
    if (c.idletimeout != 0)
        std::printf("\n idletimeout %d", c.idletimeout);
    if (c.backlog != DEFAULT_BACKLOG)
        std::printf("\n backlog %d", c.backlog);
    if (c.sessionlog)
        std::printf("\n sessionlog on");
    if (c.halfclose)
        std::printf("\n halfclose on");
    if (c.keepalive != 0)
        std::printf("\n keepalive %d", c.keepalive);
    if (c.share != SHARE_FIRST)
        std::printf("\n share %s", c.share == SHARE_LEAST ? "least" : "none");
    if (c.queuetimeout != DEFAULT_QUEUE_TIMEOUT)
        std::printf("\n queuetimeout %d", c.queuetimeout);
    if (c.whenfull_wait)
        std::printf("\n whenfull wait");
    if (c.checkinterval != 0)
        std::printf("\n checkinterval %d", c.checkinterval);
    for (int i = 0; i < c.rule_count; ++i) {
        static constexpr const char *kinds[] = {"allow", "deny", "acceptproxy"};
        char prefix[PREFIX_TEXT_LEN];
        format_prefix(c.rules[i], prefix, sizeof prefix);
        std::printf("\n %s %s", kinds[c.rules[i].kind], prefix);
    }
    if (c.maxperclient != 0)
        std::printf("\n maxperclient %d", c.maxperclient);
    if (c.proxyprotocol != 0)
        std::printf("\n proxyprotocol v%d", c.proxyprotocol);
    std::printf("\n Servers: ");
    for (int i = 0; i < daemon_config.server_count; ++i)
        std::printf("\n\t== %s ==", daemon_config.servers[i]);
}
