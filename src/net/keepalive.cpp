// Keepalive timers of the session's own, shorter than the system's (two hours
// on Linux and FreeBSD). Both systems take TCP_KEEPIDLE and TCP_KEEPINTVL in
// seconds and TCP_KEEPCNT as a count.
#include "net/net.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

void set_option(int fd, int name, int value)
{
    (void)setsockopt(fd, IPPROTO_TCP, name, &value, sizeof value);
}

void set_timers(int fd, int idle_s, int interval_s)
{
    set_option(fd, TCP_KEEPIDLE, idle_s);
    set_option(fd, TCP_KEEPINTVL, interval_s);
    set_option(fd, TCP_KEEPCNT, KEEPALIVE_PROBES);
}

}  // namespace

void set_keepalive_timers(int client_fd, int backend_fd, int idle_s)
{
    if (idle_s <= 0)
        return;
    const int interval_s = idle_s / KEEPALIVE_PROBES > 0 ? idle_s / KEEPALIVE_PROBES : 1;
    set_timers(client_fd, idle_s, interval_s);
    set_timers(backend_fd, idle_s, interval_s);
}
