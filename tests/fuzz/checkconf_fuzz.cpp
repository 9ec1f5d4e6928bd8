// The checker and the daemon must never read a file differently. On any
// input: the checker's verdict and the record it leaves are byte for byte the
// daemon's; the steps its warnings are made from, replayed, give the
// daemon's settings and missing-setting code; and every warning names a line
// of the input on which the word concerned stands, lines being ended by LF,
// CR LF or CR alone.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "checkconf/checkconf.h"
#include "config/config.h"
#include "config/config_events.h"
#include "scratch_file.h"

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "checkconf_fuzz: %s\n", what);
    std::abort();
}

std::vector<std::string> lines_of(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        if (c == '\n' || c == '\r')
            lines.emplace_back();
        else
            lines.back() += c;
    }
    return lines;
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The settings that the steps claim, as the daemon would check them.
config_result replay(const std::vector<config_event> &events, config_record &got)
{
    bool seen[KEYWORD_SERVER] = {};
    got.server_count = 0;
    for (const config_event &e : events) {
        const int value = std::atoi(e.text.c_str());
        switch (e.keyword) {
        case KEYWORD_LOCALPORT:
            got.localport = value;
            break;
        case KEYWORD_SERVERPORT:
            got.serverport = value;
            break;
        case KEYWORD_MAXCLIENTS:
            got.maxclients = value;
            break;
        case KEYWORD_SERVER:
            if (got.server_count >= MAX_SERVERS || e.text.size() >= SERVER_ADDR_LEN)
                fail("a step took a server the daemon would refuse");
            std::strcpy(got.servers[got.server_count++], e.text.c_str());
            continue;
        case KEYWORD_LOCALADDRESS:
            if (e.text.size() >= SERVER_ADDR_LEN)
                fail("a step took a local address the daemon would refuse");
            continue;
        // The optional settings are not replayed: claimed holds the daemon's
        // own, and only the required ones decide the verdict.
        case KEYWORD_CONNECTTIMEOUT:
        case KEYWORD_IDLETIMEOUT:
        case KEYWORD_BACKLOG:
        case KEYWORD_SESSIONLOG:
        case KEYWORD_HALFCLOSE:
        case KEYWORD_KEEPALIVE:
        case KEYWORD_SHARE:
        case KEYWORD_QUEUETIMEOUT:
        case KEYWORD_WHENFULL:
        case KEYWORD_CHECKINTERVAL:
        case KEYWORD_ALLOW:
        case KEYWORD_DENY:
        case KEYWORD_MAXPERCLIENT:
        case KEYWORD_PROXYPROTOCOL:
        case KEYWORD_ACCEPTPROXY:
        case KEYWORD_NONE:
            continue;
        }
        seen[e.keyword] = true;
    }
    for (int k = 0; k < KEYWORD_SERVER; ++k) {
        if (!seen[k])
            return static_cast<config_result>(CONFIG_NO_LOCALPORT + k);
    }
    return got.server_count == 0 ? CONFIG_NO_SERVERS : CONFIG_OK;
}

void check_lines(const std::vector<config_event> &events, const std::vector<std::string> &lines)
{
    int last = 1;
    for (const config_event &e : events) {
        if (e.line < last || e.line > static_cast<int>(lines.size()))
            fail("a step's line is out of order or beyond the input");
        last = e.line;
        const std::string &line = lines[static_cast<std::size_t>(e.line - 1)];
        const std::string word = e.keyword == KEYWORD_NONE ? e.text : config_keywords[e.keyword];
        if (lower(line).find(lower(word)) == std::string::npos)
            fail("a step names a line that does not hold its word");
    }
}

void check_warnings(const char *text, std::size_t size, int line_count)
{
    static const std::string prefix = "dovra-checkconf: f: line ";
    int last = 1;
    for (std::size_t at = 0; at < size;) {
        const char *end = static_cast<const char *>(std::memchr(text + at, '\n', size - at));
        if (end == nullptr || std::strncmp(text + at, prefix.c_str(), prefix.size()) != 0)
            fail("a warning that is not one line of the usual form");
        const int line = std::atoi(text + at + prefix.size());
        if (line < last || line > line_count)
            fail("a warning's line is out of order or beyond the input");
        last = line;
        at = static_cast<std::size_t>(end - text) + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::FILE *file = scratch_file_holding(data, size);

    // The same garbage in the record before each reading: any byte that one
    // writes and the other does not shows up.
    std::memset(&daemon_config, 0xa5, sizeof daemon_config);
    const config_result daemon_code = parse_config(file);
    const config_record daemon_record = daemon_config;

    char *warnings = nullptr;
    std::size_t warnings_size = 0;
    std::FILE *out = open_memstream(&warnings, &warnings_size);
    if (out == nullptr)
        fail("open_memstream");
    std::memset(&daemon_config, 0xa5, sizeof daemon_config);
    const config_result checker_code = check_config(file, "f", out);
    std::fclose(out);
    if (checker_code != daemon_code)
        fail("the checker's verdict is not the daemon's");
    if (std::memcmp(&daemon_config, &daemon_record, sizeof daemon_record) != 0)
        fail("the checker's settings are not the daemon's");

    std::vector<config_event> events;
    if (parse_config(file, &events) != daemon_code)
        fail("recording the steps changed the verdict");
    const std::vector<std::string> lines = lines_of(data, size);
    check_lines(events, lines);
    check_warnings(warnings, warnings_size, static_cast<int>(lines.size()));
    std::free(warnings);

    config_record claimed = daemon_record;
    const config_result replayed = replay(events, claimed);
    if (daemon_code == CONFIG_OK || (daemon_code >= CONFIG_NO_LOCALPORT && daemon_code <= CONFIG_NO_SERVERS)) {
        if (replayed != daemon_code)
            fail("the steps replayed give another verdict");
        if (daemon_code == CONFIG_OK && std::memcmp(&claimed, &daemon_record, sizeof claimed) != 0)
            fail("the steps replayed give other settings");
    }
    return 0;
}
