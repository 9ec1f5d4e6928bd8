// dovra: a TCP forwarding daemon. It takes no arguments; everything comes
// from the configuration file.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "backend/backend.h"
#include "common/platform.h"
#include "common/report.h"
#include "config/config.h"
#include "daemon/daemon.h"

namespace {

// Forks, and ends the parent (or the process, when no child can be made)
// with status 0. Pending output is flushed first so that it is written once.
void fork_and_leave()
{
    std::fflush(stdout);
    if (fork() != 0)
        std::exit(0);
}

}  // namespace

int main()
{
    // Standard output and error may be pipes whose reader goes away (a log
    // collector restarted): a report written then must be lost, not end the
    // daemon. The disposition is inherited by every process forked later.
    install_handler(SIGPIPE, SIG_IGN);
    close_inherited_descriptors();
    forbid_tracing();
    errno = 0;
    if (create_status_table() < 0) {
        report("Error creating status table");
        return 1;
    }
    config_result code = load_config();
    if (code != CONFIG_OK) {
        std::printf("\n Configuration error: %s \n", config_error_text[code]);
        return 0;
    }
    fork_and_leave();
    setsid();
    fork_and_leave();
    run_dispatcher();
}
