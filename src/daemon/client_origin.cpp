// Who the client of a session is, as the worker tells it on: from a proxy
// that acceptproxy trusts, the client its PROXY header names; and, with
// proxyprotocol, the header the backend is sent ahead of the session.
//
// The header is read before a backend is chosen and before the sandbox:
// it needs only poll() and recv() on the client's socket, within the
// connect deadline. A client from any other address is never read for a
// header: what it sends is relayed as it stands.
#include "daemon/daemon.h"

#include <sys/socket.h>

#include "backend/backend.h"
#include "config/config.h"
#include "net/net.h"

namespace {

bool own_addresses(int client_fd, sockaddr_storage &peer, sockaddr_storage &local)
{
    socklen_t peer_len = sizeof peer;
    socklen_t local_len = sizeof local;
    return getpeername(client_fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) == 0 &&
           getsockname(client_fd, reinterpret_cast<sockaddr *>(&local), &local_len) == 0;
}

bool accepts_proxies()
{
    for (int i = 0; i < daemon_config.rule_count; ++i) {
        if (daemon_config.rules[i].kind == RULE_ACCEPTPROXY)
            return true;
    }
    return false;
}

}  // namespace

bool take_client_origin(int client_fd, origin_header &header)
{
    header.length = 0;
    const bool trusting = accepts_proxies();
    if (!trusting && daemon_config.proxyprotocol == 0)
        return true;
    sockaddr_storage client{};
    sockaddr_storage reached{};
    // A client that has gone already is served as any other that closes.
    if (!own_addresses(client_fd, client, reached))
        return true;
    if (trusting && proxy_trusted(client)) {
        proxy_addresses said{};
        const char *why = "";
        if (read_proxy_header(client_fd, daemon_config.connecttimeout * 1000, said, &why) < 0) {
            note_refusal(REFUSED_PROXY_HEADER, client, why);
            return false;
        }
        if (!said.local) {
            client = said.source;
            reached = said.destination;
            session_log_client(client);
            if (!admission_readmits(client))
                return false;
        }
    }
    header.length = write_proxy_header(daemon_config.proxyprotocol, reinterpret_cast<const sockaddr *>(&client),
                                       reinterpret_cast<const sockaddr *>(&reached), header.bytes,
                                       sizeof header.bytes);
    return true;
}
