// The checker's reading of a configuration: the daemon's own parse, and a
// warning for each setting the daemon accepts silently but that will not work
// as meant. The warnings are made from the parser's own steps, so they cannot
// name another word or another line than the one the daemon acts on.
#include "checkconf/checkconf.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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

struct linter {
    std::FILE *out;
    const char *name;
    std::array<int, KEYWORD_NONE> set_on;  // line of the last setting of each keyword but server
};

__attribute__((format(printf, 3, 4))) void warn(const linter &l, int line, const char *format, ...)
{
    std::fprintf(l.out, "dovra-checkconf: %s: line %d: ", l.name, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(l.out, format, args);
    va_end(args);
    std::fputc('\n', l.out);
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

void note_setting(linter &l, config_keyword k, int line)
{
    if (k == KEYWORD_SERVER)
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
    case KEYWORD_NONE:
        break;
    }
}

void explain(linter &l, const config_event &e)
{
    if (e.keyword == KEYWORD_NONE) {
        warn(l, e.line, "unknown keyword \"%s\" is ignored", e.text.c_str());
        return;
    }
    note_setting(l, e.keyword, e.line);
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
    linter l{warnings, name, {}};
    for (const config_event &e : events)
        explain(l, e);
    return code;
}
