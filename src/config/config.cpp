#include "config/config.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include "backend/backend.h"
#include "common/report.h"

config_record daemon_config;

namespace {

enum token_read { TOKEN_NONE, TOKEN_READ, TOKEN_LONG };

// Reads the next white-space separated token into buf. At the end of the
// input, or on a read error, the buffer keeps what it held: a keyword that is
// the file's last token is thus taken as its own value.
token_read read_token(std::FILE *file, char *buf)
{
    static_assert(CONFIG_TOKEN_LEN == 512, "the scanf width below is 511");
    if (std::fscanf(file, "%511s", buf) != 1)
        return TOKEN_NONE;
    if (std::strlen(buf) < CONFIG_TOKEN_LEN - 1)
        return TOKEN_READ;
    int next = std::getc(file);
    if (next == EOF)
        return TOKEN_READ;
    std::ungetc(next, file);
    return std::isspace(next) ? TOKEN_READ : TOKEN_LONG;
}

// Skips the rest of a comment: up to a line feed or carriage return, the
// size found at the start, or the end of the input, whichever comes first.
void skip_comment(std::FILE *file, unsigned long size)
{
    for (;;) {
        int c = std::getc(file);
        if (c == EOF || c == '\n' || c == '\r')
            return;
        if (static_cast<unsigned long>(std::ftell(file)) >= size)
            return;
    }
}

bool is_keyword(const char *token, const char *keyword)
{
    return strcasecmp(token, keyword) == 0;
}

config_result parse(std::FILE *file)
{
    // Sizes and positions are compared unsigned: on a stream that cannot seek
    // (a pipe) both read as -1, so no token is read and the file is taken as
    // one without settings rather than as a missing one.
    std::fseek(file, 0, SEEK_END);
    const unsigned long size = static_cast<unsigned long>(std::ftell(file));
    if (size == 0)
        return CONFIG_OPEN_FAILED;
    std::rewind(file);

    bool have_localport = false;
    bool have_serverport = false;
    bool have_maxclients = false;
    char token[CONFIG_TOKEN_LEN] = "";

    bool at_end = false;
    while (!at_end && static_cast<unsigned long>(std::ftell(file)) < size) {
        // At the end of the input, or on a read error, the buffer keeps the
        // last token read and goes through the tests once more (a last value
        // that is itself a keyword takes effect); then the loop ends, so a
        // file that shrinks or fails while it is read cannot make it spin.
        token_read got = read_token(file, token);
        at_end = got == TOKEN_NONE;
        if (got == TOKEN_LONG)
            return CONFIG_TOKEN_TOO_LONG;
        if (token[0] == '#') {
            skip_comment(file, size);
            token[0] = '\0';
        }
        // The four tests run in turn on whatever the buffer holds, so a value
        // that is itself a later keyword is taken as that keyword.
        if (is_keyword(token, "localport")) {
            if (read_token(file, token) == TOKEN_LONG)
                return CONFIG_TOKEN_TOO_LONG;
            daemon_config.localport = std::atoi(token);
            have_localport = true;
        }
        if (is_keyword(token, "serverport")) {
            if (read_token(file, token) == TOKEN_LONG)
                return CONFIG_TOKEN_TOO_LONG;
            daemon_config.serverport = std::atoi(token);
            have_serverport = true;
        }
        if (is_keyword(token, "maxclients")) {
            if (read_token(file, token) == TOKEN_LONG)
                return CONFIG_TOKEN_TOO_LONG;
            daemon_config.maxclients = std::atoi(token);
            have_maxclients = true;
        }
        if (is_keyword(token, "server")) {
            if (read_token(file, token) == TOKEN_LONG)
                return CONFIG_TOKEN_TOO_LONG;
            if (daemon_config.server_count >= MAX_SERVERS)
                return CONFIG_TOO_MANY_SERVERS;
            if (std::strlen(token) >= SERVER_ADDR_LEN)
                return CONFIG_ADDR_TOO_LONG;
            std::strcpy(daemon_config.servers[daemon_config.server_count], token);
            ++daemon_config.server_count;
        }
    }

    if (!have_localport)
        return CONFIG_NO_LOCALPORT;
    if (!have_serverport)
        return CONFIG_NO_SERVERPORT;
    if (!have_maxclients)
        return CONFIG_NO_MAXCLIENTS;
    if (daemon_config.server_count == 0)
        return CONFIG_NO_SERVERS;
    return CONFIG_OK;
}

}  // namespace

config_result read_config(const char *path)
{
    daemon_config.server_count = 0;
    // Opening a FIFO that has no writer would wait for one for ever; without
    // O_NONBLOCK it returns at once. Reads block again afterwards (a FIFO is
    // never read anyway, having no position).
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return CONFIG_OPEN_FAILED;
    int flags = fcntl(fd, F_GETFL);
    std::FILE *file = flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ? nullptr : fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        return CONFIG_OPEN_FAILED;
    }
    config_result code = parse(file);
    std::fclose(file);
    return code;
}

void print_config_summary()
{
    std::printf("\n localport %d", daemon_config.localport);
    std::printf("\n serverport %d", daemon_config.serverport);
    std::printf("\n maxclients %d", daemon_config.maxclients);
    std::printf("\n Servers: ");
    for (int i = 0; i < daemon_config.server_count; ++i)
        std::printf("\n\t== %s ==", daemon_config.servers[i]);
}

config_result load_config()
{
    config_result code = read_config(CONFIG_PATH);
    if (code != CONFIG_OK)
        return code;

    for (int i = 0; i < daemon_config.server_count; ++i)
        set_status(i, STATUS_FREE);
    print_config_summary();

    // The C library may leave errno set while it sets up a stream that is not
    // a terminal; that is no failure of starting, so it must not decide how
    // the start line is written.
    errno = 0;
    report("\n\nDaemon Started..\n");
    return CONFIG_OK;
}
