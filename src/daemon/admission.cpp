// Admission: which clients may connect (allow, deny) and how many sessions
// one client may hold at once (maxperclient). Decided in the daemon on the
// address accept() gave, before any fork, so a refused client costs no
// process: it is closed at once without a byte, as one at maxclients is.
//
// The sessions of a client are counted from the worker records of the status
// table, which the daemon fills before each fork and clears when it reaps the
// worker: there is no second count that could drift from the live workers.
#include "daemon/daemon.h"

#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "backend/backend.h"
#include "config/config.h"

namespace {

// A client's address as the rules see it: IPv4-mapped IPv6 taken as IPv4.
struct plain_client {
    bool v6;
    std::uint8_t bytes[16];
};

plain_client plain(const sockaddr_storage &client)
{
    plain_client c{};
    if (client.ss_family == AF_INET) {
        std::memcpy(c.bytes, &reinterpret_cast<const sockaddr_in *>(&client)->sin_addr, 4);
    } else if (client.ss_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(&client)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            std::memcpy(c.bytes, &a.s6_addr[12], 4);
        } else {
            c.v6 = true;
            std::memcpy(c.bytes, &a, 16);
        }
    }
    return c;
}

// One host may use any address of its IPv6 subnet, so IPv6 counts by /64.
client_key key_of(const sockaddr_storage &client)
{
    const plain_client c = plain(client);
    client_key key = c.v6 ? 0 : 0xffff;
    for (int i = 0; i < (c.v6 ? 8 : 4); ++i)
        key = key << 8 | c.bytes[i];
    return key;
}

// Whether the rules let client in; otherwise why says which refused it.
// deny wins over allow, whatever their order; with an allow line, a client
// must match one.
bool rules_admit(const plain_client &c, char (&why)[96])
{
    bool any_allow = false;
    bool allowed = false;
    for (int i = 0; i < daemon_config.rule_count; ++i) {
        const address_rule &rule = daemon_config.rules[i];
        if (rule.kind == RULE_ACCEPTPROXY)
            continue;
        const bool match = prefix_matches(rule, c.v6, c.bytes);
        if (rule.kind == RULE_DENY && match) {
            char prefix[PREFIX_TEXT_LEN];
            format_prefix(rule, prefix, sizeof prefix);
            std::snprintf(why, sizeof why, "matches deny %s", prefix);
            return false;
        }
        if (rule.kind == RULE_ALLOW) {
            any_allow = true;
            allowed = allowed || match;
        }
    }
    if (any_allow && !allowed) {
        std::snprintf(why, sizeof why, "matches no allow line");
        return false;
    }
    return true;
}

bool has_address_rules()
{
    for (int i = 0; i < daemon_config.rule_count; ++i) {
        if (daemon_config.rules[i].kind != RULE_ACCEPTPROXY)
            return true;
    }
    return false;
}

// The rules, then, when limited, the sessions the client holds already
// besides its own (own: 1 when its worker's record is counted among them).
bool admits(const sockaddr_storage &client, int own, bool limited)
{
    char why[96];
    if (has_address_rules() && !rules_admit(plain(client), why)) {
        note_refusal(REFUSED_BY_ADDRESS, client, why);
        return false;
    }
    if (!limited || daemon_config.maxperclient <= 0)
        return true;
    const int open = sessions_from(key_of(client)) - own;
    if (open < daemon_config.maxperclient)
        return true;
    std::snprintf(why, sizeof why, "%d of %d sessions of this client open (maxperclient)", open,
                  daemon_config.maxperclient);
    note_refusal(REFUSED_PER_CLIENT, client, why);
    return false;
}

}  // namespace

bool admission_admits(const sockaddr_storage &client)
{
    if (daemon_config.rule_count == 0 && daemon_config.maxperclient <= 0)
        return true;
    // A proxy that acceptproxy trusts carries many clients: they are counted
    // by the header it sends, once the worker has read it.
    return admits(client, 0, !proxy_trusted(client));
}

bool proxy_trusted(const sockaddr_storage &peer)
{
    const plain_client c = plain(peer);
    for (int i = 0; i < daemon_config.rule_count; ++i) {
        const address_rule &rule = daemon_config.rules[i];
        if (rule.kind == RULE_ACCEPTPROXY && prefix_matches(rule, c.v6, c.bytes))
            return true;
    }
    return false;
}

void admission_hold(int record, const sockaddr_storage &client)
{
    if (daemon_config.maxperclient > 0)
        set_worker_client(record, key_of(client));
}

bool admission_readmits(const sockaddr_storage &client)
{
    if (daemon_config.maxperclient > 0)
        set_own_client(key_of(client));
    return admits(client, daemon_config.maxperclient > 0 ? 1 : 0, true);
}
