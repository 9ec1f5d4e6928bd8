#include <cerrno>

#include "backend/backend.h"
#include "common/report.h"
#include "config/config.h"
#include "daemon/daemon.h"

config_result load_config()
{
    config_result code = read_config(CONFIG_PATH);
    if (code != CONFIG_OK)
        return code;

    reset_backends(daemon_config.server_count);
    print_config_summary();

    // The C library may leave errno set while it sets up a stream that is not
    // a terminal; that is no failure of starting, so it must not decide how
    // the start line is written.
    errno = 0;
    report("\n\nDaemon Started..\n");
    return CONFIG_OK;
}
