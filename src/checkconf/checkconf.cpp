// dovra-checkconf: reads a configuration file with the daemon's own parser and
// tells whether the daemon would start with it. It starts nothing: no shared
// memory, and no sockets unless it is asked to probe the backends.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "checkconf/checkconf.h"
#include "common/version.h"
#include "common/report.h"
#include "config/config.h"
#include "net/net.h"

namespace {

struct options {
    bool probe = false;
    const char *path = CONFIG_PATH;
};

// [-p | --probe] [FILE]; anything else that starts with '-' is no file name.
[[nodiscard]] bool parse_args(int argc, char **argv, options &o)
{
    int i = 1;
    if (i < argc && (std::strcmp(argv[i], "-p") == 0 || std::strcmp(argv[i], "--probe") == 0)) {
        o.probe = true;
        ++i;
    }
    if (i < argc && argv[i][0] != '-')
        o.path = argv[i++];
    return i == argc;
}

// Probes each server in configuration order as a worker does: connect within
// connecttimeout, then close at once, with no data. Prints one line for each;
// returns how many answered.
[[nodiscard]] int probe_servers()
{
    using namespace std::chrono;
    int reachable = 0;
    for (int i = 0; i < daemon_config.server_count; ++i) {
        const char *address = daemon_config.servers[i];
        const auto start = steady_clock::now();
        errno = 0;
        const int fd = connect_backend(address, daemon_config.serverport, daemon_config.connecttimeout * 1000);
        const int error = errno;
        const long long ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
        if (fd >= 0) {
            close(fd);
            ++reachable;
        }
        std::printf("%s: %s (%lld ms)\n", address, fd >= 0 ? "reachable" : connect_failure_text(error), ms);
        // Each line as it is known, not when the last probe ends.
        std::fflush(stdout);
    }
    return reachable;
}

}  // namespace

int main(int argc, char **argv)
{
    // With an output closed, a probe's socket could take its descriptor and
    // be sent the checker's lines.
    open_standard_descriptors();
    // The version of this build, which the daemon it was built with runs.
    if (argc == 2 && std::strcmp(argv[1], "-V") == 0) {
        std::printf("dovra %s\n", DOVRA_VERSION);
        return 0;
    }
    options o;
    if (!parse_args(argc, argv, o)) {
        std::fprintf(stderr, "usage: dovra-checkconf [-V | [-p] [FILE]]\n");
        return 2;
    }

    config_result code = CONFIG_OPEN_FAILED;
    daemon_config.server_count = 0;
    if (std::FILE *file = open_config(o.path)) {
        code = check_config(file, o.path, stderr);
        std::fclose(file);
    }

    if (code != CONFIG_OK) {
        std::printf("\n Configuration error: %s \n", config_error_text[code]);
        return 1;
    }
    print_config_summary();
    std::printf("\n");
    // The warning has said why: the daemon would not start.
    if (!can_listen_as_configured())
        return 1;
    if (!o.probe)
        return 0;
    // Like the daemon with no backend, which answers every client with "All
    // the servers are down": it would not serve.
    return probe_servers() > 0 ? 0 : 1;
}
