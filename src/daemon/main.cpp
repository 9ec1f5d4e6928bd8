// dovra: a TCP forwarding daemon. It takes no arguments (but the hand-over a
// reload gives its next image); everything comes from the configuration file.
#include <csignal>

#include "common/report.h"
#include "common/signals.h"
#include "daemon/daemon.h"

int main(int argc, char **argv)
{
    // A careless starter (an init script's ">&- 2>&-") may leave standard
    // output or error closed: the next descriptor opened, a pipe or a
    // client's socket, would then be given the daemon's diagnostics.
    open_standard_descriptors();
    // SIGHUP asks for a reload, which only the accept loop's wait lets in: it
    // stays blocked here, so that one sent while an image starts (a reload's
    // next image too, which inherits it blocked) waits rather than ends it.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    reset_inherited_signals(blocked);
    return run_launcher(argc, argv);
}
