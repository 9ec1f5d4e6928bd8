// The checker's reading of a configuration: the daemon's own parse, and a
// warning for each setting the daemon accepts silently but that will not work
// as meant. The warnings are made from the parser's own steps, so they cannot
// name another word or another line than the one the daemon acts on.
#include "checkconf/checkconf.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <strings.h>
#include <vector>

#include "backend/backend.h"
#include "config/config_events.h"

namespace {

// A warning, held until the file is read: those about the rules against each
// other are known only then, and every warning is written in line order.
struct warning {
    int line;
    std::string text;
};

struct linter {
    const char *name;
    std::vector<warning> *warnings;
    std::array<int, KEYWORD_NONE> set_on;  // line of the last setting of each keyword but server
    std::vector<std::pair<address_rule, int>> rules;  // allow, deny and acceptproxy lines, with their lines
};

__attribute__((format(printf, 3, 4))) void warn(const linter &l, int line, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    l.warnings->push_back({line, text});
}

// Whether text is any of the keywords.
bool names_a_keyword(const std::string &text)
{
    for (const char *keyword : config_keywords) {
        if (strcasecmp(text.c_str(), keyword) == 0)
            return true;
    }
    return false;
}

bool is_address(const std::string &text)
{
    in6_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) > 0 || inet_pton(AF_INET6, text.c_str(), &address) > 0;
}

void check_port(const linter &l, int line, const char *name, int port)
{
    if (port < 1 || port > 65535)
        warn(l, line, "%s %d is outside 1-65535; only its low 16 bits (%d) are used", name, port, port & 0xffff);
}

// The number a value's text begins with, as the parser reads it: blanks, an
// optional sign and the digits, whatever their count.
std::string number_text(const std::string &text)
{
    std::size_t end = text.find_first_not_of(" \t\n\v\f\r");
    if (end == std::string::npos)
        return "0";
    const std::size_t begin = end;
    if (text[end] == '-' || text[end] == '+')
        ++end;
    const std::size_t digits = text.find_first_not_of("0123456789", end);
    end = digits == std::string::npos ? text.size() : digits;
    return end == begin || (end == begin + 1 && (text[begin] == '-' || text[begin] == '+')) ? "0"
                                                                                             : text.substr(begin, end - begin);
}

// An optional number out of its range is held to the nearest bound, as the
// parser reads it (never wrapped); the warning quotes the number as written.
void check_range(const linter &l, int line, const char *name, const std::string &text, int low, int high)
{
    const bounded_number n = read_number(text.c_str(), low, high);
    const std::string written = number_text(text);
    if (n.held < 0)
        warn(l, line, "%s %s is below %d; %d is used", name, written.c_str(), low, low);
    else if (n.held > 0)
        warn(l, line, "%s %s is above %d; %d is used", name, written.c_str(), high, high);
}

bool is_rule(config_keyword k)
{
    return k == KEYWORD_ALLOW || k == KEYWORD_DENY || k == KEYWORD_ACCEPTPROXY;
}

void note_setting(linter &l, config_keyword k, int line)
{
    if (k == KEYWORD_SERVER || is_rule(k))
        return;
    if (l.set_on[k] != 0)
        warn(l, line, "%s given twice (also on line %d); the last one wins", config_keywords[k], l.set_on[k]);
    l.set_on[k] = line;
}

// Judges the value that the keyword k on line was given.
void check_value(const linter &l, config_keyword k, int line, const std::string &value)
{
    if (names_a_keyword(value)) {
        warn(l, line, "%s has the keyword \"%s\" as its value", config_keywords[k], value.c_str());
        return;
    }
    const int number = std::atoi(value.c_str());
    switch (k) {
    case KEYWORD_LOCALPORT:
    case KEYWORD_SERVERPORT:
        check_port(l, line, config_keywords[k], number);
        break;
    case KEYWORD_MAXCLIENTS:
        if (number <= 0)
            warn(l, line, "maxclients %d is below 1; every client is closed at once", number);
        else if (number > WORKER_RECORDS)
            warn(l, line, "maxclients %d is above %d; at most %d clients are served at once", number, WORKER_RECORDS,
                 WORKER_RECORDS);
        break;
    case KEYWORD_SERVER:
        if (!is_address(value))
            warn(l, line,
                 "server \"%s\" is neither an IPv4 nor an IPv6 address (host names are not resolved); it fails "
                 "every probe",
                 value.c_str());
        break;
    case KEYWORD_LOCALADDRESS:
        if (!is_address(value))
            warn(l, line,
                 "localaddress \"%s\" is neither an IPv4 nor an IPv6 address (host names are not resolved); the "
                 "daemon cannot listen and does not start",
                 value.c_str());
        break;
    case KEYWORD_CONNECTTIMEOUT:
        check_range(l, line, "connecttimeout", value, MIN_CONNECT_TIMEOUT, MAX_CONNECT_TIMEOUT);
        break;
    case KEYWORD_IDLETIMEOUT:
        check_range(l, line, "idletimeout", value, 0, MAX_IDLE_TIMEOUT);
        break;
    case KEYWORD_BACKLOG:
        check_range(l, line, "backlog", value, 1, MAX_BACKLOG);
        break;
    case KEYWORD_SESSIONLOG:
        if (strcasecmp(value.c_str(), "on") != 0 && strcasecmp(value.c_str(), "off") != 0)
            warn(l, line, "sessionlog \"%s\" is neither on nor off; sessions are not logged", value.c_str());
        break;
    case KEYWORD_HALFCLOSE:
        if (strcasecmp(value.c_str(), "on") != 0 && strcasecmp(value.c_str(), "off") != 0)
            warn(l, line, "halfclose \"%s\" is neither on nor off; either side's FIN ends the session",
                 value.c_str());
        break;
    case KEYWORD_KEEPALIVE:
        check_range(l, line, "keepalive", value, 0, MAX_KEEPALIVE);
        break;
    case KEYWORD_SHARE:
        if (strcasecmp(value.c_str(), "first") != 0 && strcasecmp(value.c_str(), "least") != 0 &&
            strcasecmp(value.c_str(), "none") != 0)
            warn(l, line, "share \"%s\" is neither first, least nor none; first is used", value.c_str());
        break;
    case KEYWORD_QUEUETIMEOUT:
        check_range(l, line, "queuetimeout", value, MIN_QUEUE_TIMEOUT, MAX_QUEUE_TIMEOUT);
        break;
    case KEYWORD_WHENFULL:
        if (strcasecmp(value.c_str(), "close") != 0 && strcasecmp(value.c_str(), "wait") != 0)
            warn(l, line, "whenfull \"%s\" is neither close nor wait; close is used", value.c_str());
        break;
    case KEYWORD_CHECKINTERVAL:
        check_range(l, line, "checkinterval", value, 0, MAX_CHECK_INTERVAL);
        break;
    case KEYWORD_ALLOW:
    case KEYWORD_DENY:
    case KEYWORD_ACCEPTPROXY:
        break;  // check_rule
    case KEYWORD_MAXPERCLIENT:
        check_range(l, line, "maxperclient", value, 0, MAX_PER_CLIENT);
        break;
    case KEYWORD_PROXYPROTOCOL:
        if (strcasecmp(value.c_str(), "v1") != 0 && strcasecmp(value.c_str(), "v2") != 0 &&
            strcasecmp(value.c_str(), "off") != 0)
            warn(l, line, "proxyprotocol \"%s\" is neither v1 nor v2; no header is sent", value.c_str());
        break;
    case KEYWORD_NONE:
        break;
    }
}

// An allow, deny or acceptproxy line: read as the daemon reads it, and kept
// for judge_rules().
void check_rule(linter &l, config_keyword k, int line, const std::string &value)
{
    address_rule rule{};
    bool host_bits = false;
    if (!parse_prefix(value.c_str(), rule, &host_bits)) {
        warn(l, line, "%s \"%s\" is neither an IPv4 nor an IPv6 address or prefix; the daemon does not start",
             config_keywords[k], value.c_str());
        return;
    }
    rule.kind = k == KEYWORD_ALLOW ? RULE_ALLOW : k == KEYWORD_DENY ? RULE_DENY : RULE_ACCEPTPROXY;
    char prefix[PREFIX_TEXT_LEN];
    format_prefix(rule, prefix, sizeof prefix);
    if (host_bits)
        warn(l, line, "%s %s has host bits set; it stands for %s", config_keywords[k], value.c_str(), prefix);
    l.rules.push_back({rule, line});
}

bool overlap(const address_rule &a, const address_rule &b)
{
    return prefix_covers(a, b) || prefix_covers(b, a);
}

// The rules against each other, once the whole file is read: deny wins over
// allow wherever they stand, and with an allow line every client outside
// the allow lines is refused already.
void judge_rules(const linter &l)
{
    static constexpr const char *kinds[] = {"allow", "deny", "acceptproxy"};
    bool any_allow = false;
    for (const auto &[rule, line] : l.rules)
        any_allow = any_allow || rule.kind == RULE_ALLOW;
    for (std::size_t i = 0; i < l.rules.size(); ++i) {
        const auto &[rule, line] = l.rules[i];
        char text[PREFIX_TEXT_LEN];
        format_prefix(rule, text, sizeof text);
        const char *kind = kinds[rule.kind];
        bool said = false;
        for (std::size_t j = 0; j < i && !said; ++j) {
            const auto &[earlier, earlier_line] = l.rules[j];
            if (earlier.kind == rule.kind && prefix_covers(earlier, rule)) {
                warn(l, line, "%s %s is hidden by %s on line %d, which covers it", kind, text, kind, earlier_line);
                said = true;
            }
        }
        for (std::size_t j = 0; j < l.rules.size() && !said && rule.kind != RULE_DENY; ++j) {
            const auto &[deny, deny_line] = l.rules[j];
            if (deny.kind == RULE_DENY && prefix_covers(deny, rule)) {
                warn(l, line, "%s %s can never match: deny on line %d covers it", kind, text, deny_line);
                said = true;
            }
        }
        if (said || !any_allow || rule.kind == RULE_ALLOW)
            continue;
        bool meets_allow = false;
        for (const auto &[other, other_line] : l.rules)
            meets_allow = meets_allow || (other.kind == RULE_ALLOW && overlap(other, rule));
        if (!meets_allow)
            warn(l, line, "%s %s can never match: no allow line lets its clients in", kind, text);
    }
}

void explain(linter &l, const config_event &e)
{
    if (e.keyword == KEYWORD_NONE) {
        warn(l, e.line, "unknown keyword \"%s\" is ignored", e.text.c_str());
        return;
    }
    note_setting(l, e.keyword, e.line);
    if (e.has_value && is_rule(e.keyword) && !names_a_keyword(e.text))
        check_rule(l, e.keyword, e.line, e.text);
    if (e.has_value)
        check_value(l, e.keyword, e.line, e.text);
    else
        warn(l, e.line, "%s has no value at the end of the file", config_keywords[e.keyword]);
}

}  // namespace

bool can_listen_as_configured()
{
    return daemon_config.localaddress[0] == '\0' || is_address(daemon_config.localaddress);
}

config_result check_config(std::FILE *file, const char *name, std::FILE *warnings)
{
    std::vector<config_event> events;
    const config_result code = parse_config(file, &events);
    std::vector<warning> held;
    linter l{name, &held, {}, {}};
    for (const config_event &e : events)
        explain(l, e);
    judge_rules(l);
    std::stable_sort(held.begin(), held.end(), [](const warning &a, const warning &b) { return a.line < b.line; });
    for (const warning &w : held)
        std::fprintf(warnings, "dovra-checkconf: %s: line %d: %s\n", name, w.line, w.text.c_str());
    return code;
}
