// dovra: a TCP forwarding daemon. It takes no arguments; everything comes
// from the configuration file.
#include "common/report.h"
#include "common/signals.h"
#include "daemon/daemon.h"

int main()
{
    // A careless starter (an init script's ">&- 2>&-") may leave standard
    // output or error closed: the next descriptor opened, a pipe or a
    // client's socket, would then be given the daemon's diagnostics.
    open_standard_descriptors();
    reset_inherited_signals();
    return run_launcher();
}
