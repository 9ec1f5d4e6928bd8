// dovra-checkconf: reads a configuration file with the daemon's own parser and
// tells whether the daemon would start with it. It starts nothing: no shared
// memory, no sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "config/config.h"

namespace {

constexpr char PROGRAM[] = "dovra-checkconf";

// In the order in which the parser tests a token against them.
enum keyword_id { KW_LOCALPORT, KW_SERVERPORT, KW_MAXCLIENTS, KW_SERVER, KW_NONE };
constexpr std::array<const char *, KW_NONE> keywords = {"localport", "serverport", "maxclients", "server"};

keyword_id keyword_of(const std::string &token)
{
    for (int k = 0; k < KW_NONE; ++k) {
        if (strcasecmp(token.c_str(), keywords[k]) == 0)
            return static_cast<keyword_id>(k);
    }
    return KW_NONE;
}

// The file's text, cut into tokens the way the parser's fscanf("%s") cuts
// it, with the line of each token for the warnings.
struct scanner {
    std::string text;
    std::size_t pos = 0;
    int line = 1;
};

struct token {
    std::string text;
    int line = 0;
};

bool is_blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void advance(scanner &s)
{
    if (s.text[s.pos++] == '\n')
        ++s.line;
}

bool next_token(scanner &s, token &t)
{
    while (s.pos < s.text.size() && is_blank(s.text[s.pos]))
        advance(s);
    if (s.pos >= s.text.size())
        return false;
    const std::size_t start = s.pos;
    t.line = s.line;
    while (s.pos < s.text.size() && !is_blank(s.text[s.pos]))
        advance(s);
    t.text.assign(s.text, start, s.pos - start);
    // The parser holds tokens as C strings: a NUL byte ends one.
    t.text.resize(std::strlen(t.text.c_str()));
    return true;
}

// A comment runs to the next line feed or carriage return, which it takes.
void skip_comment(scanner &s)
{
    while (s.pos < s.text.size()) {
        const char c = s.text[s.pos];
        advance(s);
        if (c == '\n' || c == '\r')
            return;
    }
}

struct linter {
    const char *path;
    scanner in;
    std::array<int, KW_SERVER> set_on{};  // line of the last localport, serverport, maxclients
};

__attribute__((format(printf, 3, 4))) void warn(const linter &l, int line, const char *format, ...)
{
    std::fprintf(stderr, "%s: %s: line %d: ", PROGRAM, l.path, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void check_port(const linter &l, int line, const char *name, int port)
{
    if (port < 1 || port > 65535)
        warn(l, line, "%s %d is outside 1-65535; only its low 16 bits (%d) are used", name, port, port & 0xffff);
}

void note_setting(linter &l, keyword_id k, int line)
{
    if (k == KW_SERVER)
        return;
    if (l.set_on[k] != 0)
        warn(l, line, "%s given twice (also on line %d); the last one wins", keywords[k], l.set_on[k]);
    l.set_on[k] = line;
}

// Judges the value the keyword k on line was given, as the parser takes it.
void check_value(const linter &l, keyword_id k, int line, const std::string &value)
{
    if (keyword_of(value) != KW_NONE) {
        warn(l, line, "%s has the keyword \"%s\" as its value", keywords[k], value.c_str());
        return;
    }
    const int number = std::atoi(value.c_str());
    in_addr address;
    switch (k) {
    case KW_LOCALPORT:
    case KW_SERVERPORT:
        check_port(l, line, keywords[k], number);
        break;
    case KW_MAXCLIENTS:
        if (number <= 0)
            warn(l, line, "maxclients %d is below 1; every client is closed at once", number);
        break;
    case KW_SERVER:
        if (inet_pton(AF_INET, value.c_str(), &address) <= 0)
            warn(l, line, "server \"%s\" is not a dotted-decimal IPv4 address; it fails every probe",
                 value.c_str());
        break;
    case KW_NONE:
        break;
    }
}

// One turn of the parser's loop on the token in keyword position: the four
// keyword tests run in turn on whatever the token holds, so a value that is a
// later keyword acts as it, and a keyword at the end of the file is its own
// value.
void run_tests(linter &l, token &current, bool report_unknown)
{
    if (current.text[0] == '#') {
        skip_comment(l.in);
        current.text.clear();
        return;
    }
    bool taken = false;
    for (int k = 0; k < KW_NONE; ++k) {
        if (keyword_of(current.text) != k)
            continue;
        taken = true;
        const auto id = static_cast<keyword_id>(k);
        note_setting(l, id, current.line);
        token value;
        if (next_token(l.in, value)) {
            check_value(l, id, current.line, value.text);
            current = value;
        } else {
            warn(l, current.line, "%s has no value at the end of the file", keywords[k]);
        }
    }
    if (!taken && report_unknown && !current.text.empty())
        warn(l, current.line, "unknown keyword \"%s\" is ignored", current.text.c_str());
}

void lint(linter &l)
{
    token current;
    while (l.in.pos < l.in.text.size()) {
        if (!next_token(l.in, current)) {
            // Only blanks were left: the parser's read fails, and its tests
            // run once more on the last token it read, so a final value that
            // is a keyword takes effect as one.
            run_tests(l, current, false);
            break;
        }
        run_tests(l, current, true);
    }
}

// The lint reads only regular files: a pipe would be drained a second time.
bool read_text(const char *path, std::string &text)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
        text.append(buf, n);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: %s [FILE]\n", PROGRAM);
        return 2;
    }
    const char *path = argc == 2 ? argv[1] : CONFIG_PATH;
    const config_result code = read_config(path);

    linter l{path, {}, {}};
    if (read_text(path, l.in.text))
        lint(l);

    if (code != CONFIG_OK) {
        std::printf("\n Configuration error: %s \n", config_error_text[code]);
        return 1;
    }
    print_config_summary();
    std::printf("\n");
    return 0;
}
