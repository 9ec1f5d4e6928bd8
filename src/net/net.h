// Sockets: the listening socket, connections to backends and the relay.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/socket.h>

#include "common/clock.h"

inline constexpr int LISTEN_BACKLOG = 10;
// What a session's relay reads at most at once, each way: a bulk transfer
// costs a recv() and a send() per piece, and an idle session writes only the
// first page of each direction's buffer.
inline constexpr std::size_t RELAY_BUF_SIZE = 65536;
// The longest a session's end waits for its peers to take the last bytes and
// close their side.
inline constexpr int RELAY_LINGER_MS = 2000;

// Returns a non-blocking socket listening at the low 16 bits of port on
// address, an IPv4
// dotted-decimal or IPv6 literal (an IPv6 one takes IPv4 clients too where
// the address allows it), or on every local IPv4 address when address is
// empty; or -1 with errno set by the failing call, EINVAL for a text that is
// no address.
[[nodiscard]] int open_listener(std::int32_t port, const char *address = "", int backlog = LISTEN_BACKLOG);

// Returns a socket connected to address, an IPv4 dotted-decimal or IPv6
// literal, at the low 16 bits of port, or -1: with errno set by the failing
// call (ETIMEDOUT when timeout_ms passed first; 0 waits as long as the
// system does), or untouched when address is no such text. The socket
// blocks when timeout_ms is 0, and does not otherwise. Host names are not
// resolved.
[[nodiscard]] int connect_backend(const char *address, std::int32_t port, int timeout_ms = 0);

// The words for a failed connection's errno, as connect_backend() left it:
// the system's text, "timed out" for ETIMEDOUT (whose text differs between
// systems), and for 0 "not an IPv4 or IPv6 address".
[[nodiscard]] const char *connect_failure_text(int err);

// How a session ended.
enum session_end : int {
    END_CLIENT_CLOSED,
    END_BACKEND_CLOSED,
    END_IDLE_TIMEOUT,  // no byte moved either way for the idle limit
    END_ERROR,         // a transfer failed: error holds its errno
};

// What one session moved and how it ended.
struct session_stats {
    std::uint64_t from_client;   // bytes delivered to the backend
    std::uint64_t from_backend;  // bytes delivered to the client
    session_end end;
    int error;
};

// How a session is relayed beyond its two sockets. The defaults are the
// designed behaviour.
struct relay_options {
    int idle_ms = 0;         // no byte moved either way for this long ends the session; 0: no limit
    bool halfclose = false;  // a FIN ends its own direction alone, not the session
    int keepalive_s = 0;     // keepalive timers of relay_session's sockets; 0: the system's
    const std::uint8_t *prefix = nullptr;  // sent to the backend first (relay_session, relay_connected)
    std::size_t prefix_len = 0;
};

// Copies bytes both ways between two connected sockets until one side closes
// or no byte has moved either way for options.idle_ms (a side that does not
// read counts as no progress) (returns 0), or a transfer fails (returns -1,
// errno set by that transfer). With options.halfclose a side's FIN ends only
// the direction it sends: the other side is sent a FIN after the last byte,
// the other direction goes on, and the session ends when both directions
// have ended (returns 0), at the idle limit or on a failure. Then ends both
// in order: the bytes already read from one side are passed to the other,
// each side is sent a FIN, and what either still sends is dropped until both
// have closed or RELAY_LINGER_MS have passed. No call on either socket
// waits (their file status flags are left as they are), and none changes an
// option of either; neither is closed.
// When stats is not null it is filled in: its end names the side whose FIN
// ended the session (with halfclose, the second). One relay at a time in a
// process: the buffers are the process's own.
[[nodiscard]] int relay_streams(int client_fd, int backend_fd, const relay_options &options = {},
                                session_stats *stats = nullptr);

// Connects to the backend within connect_ms (connect_backend), turns on
// keepalive on both sockets, so that a peer that vanishes is noticed, with
// the timers of options.keepalive_s (set_keepalive_timers), and sends on both
// without Nagle delay (TCP_NODELAY) when they are TCP, confines the
// process to the two sockets (enter_session_sandbox) and relays the client's
// session to it (relay_streams, with options and stats). Returns -1 when the
// backend cannot be reached or the system refuses the confinement (stats
// then holds END_ERROR), otherwise what relay_streams returned. The backend
// socket is left for the worker's exit to close. The options.prefix_len bytes
// at options.prefix (a PROXY header) are sent to the backend before anything
// of the client's, and are not counted in stats.
[[nodiscard]] int relay_session(int client_fd, const char *address, std::int32_t port, int connect_ms,
                                const relay_options &options, session_stats *stats);

// relay_session for a backend connection already made (backend_fd).
[[nodiscard]] int relay_connected(int client_fd, int backend_fd, const relay_options &options,
                                  session_stats *stats);

// The keepalive timers of a session's two sockets, TCP ones with keepalive
// on: the first probe after idle_s seconds without traffic, the next ones
// idle_s / KEEPALIVE_PROBES seconds apart (1 at least), and the peer given up
// when KEEPALIVE_PROBES in a row go unanswered: about twice idle_s after the
// last byte. 0 returns at once: the system's timers stay. Refusals are
// ignored (a socket that is not TCP keeps what it has). Only before the
// session sandbox, which refuses these options.
inline constexpr int KEEPALIVE_PROBES = 3;
void set_keepalive_timers(int client_fd, int backend_fd, int idle_s);

// The longest text format_endpoint() makes, with its NUL: "[", an IPv6
// address of up to 45 characters, "]:" and five digits.
inline constexpr std::size_t ENDPOINT_TEXT_LEN = 56;

// Writes address, an IPv4 or IPv6 socket address, into buf (size bytes at
// most, NUL included) as a.b.c.d:port for IPv4 and for an IPv4-mapped IPv6
// address, and as [address]:port for any other IPv6 one; "?" for another
// family. Returns the length of the text, which is cut short to fit size.
std::size_t format_endpoint(const sockaddr *address, char *buf, std::size_t size);
// The same for an address text as configured and a port's low 16 bits: an
// IPv6 literal (one with a colon) in brackets, any other text as it stands.
std::size_t format_endpoint(const char *address, std::int32_t port, char *buf, std::size_t size);

// ---- The PROXY header (proxy.cpp) ----
//
// The header that tells a backend, ahead of a session's first byte, which
// client the session is for and which address and port that client reached:
// version 1 is one text line, version 2 binary. A header is read only from
// a client the operator trusts to send one, and checked in full before a
// byte after it is read.

// The longest version 1 line, its CR LF included.
inline constexpr std::size_t PROXY_V1_MAX = 107;
// Room for any header written: a version 1 line at its longest (version 2
// with two IPv6 addresses takes 52 bytes).
inline constexpr std::size_t PROXY_HEADER_MAX = PROXY_V1_MAX;
// What the reader holds at once: enough to decide on any header it takes.
inline constexpr std::size_t PROXY_READ_MAX = 108;

// Writes the header of version (1 or 2) for a TCP connection from source
// to destination, IPv4 or IPv6 socket addresses (IPv4-mapped ones written
// as IPv4), into buf. Returns its length, or 0 for another version or
// family, or a buf shorter than PROXY_HEADER_MAX.
std::size_t write_proxy_header(int version, const sockaddr *source, const sockaddr *destination, std::uint8_t *buf,
                               std::size_t size);

// What a header said: the client (source) and the address it reached
// (destination); or, for version 2's LOCAL command and version 1's UNKNOWN,
// that the connection's own addresses stand (local).
struct proxy_addresses {
    bool local;
    sockaddr_storage source;
    sockaddr_storage destination;
};

// Scans the first size bytes a client sent. Returns the length of the
// header they begin with once they hold enough of it to decide (version 2's
// TLVs after the addresses need not be there yet: they are skipped), 0
// while they are the proper beginning of a header, or -1 when they cannot
// begin one, with *why saying what is wrong. Reads no byte past size.
[[nodiscard]] long scan_proxy_header(const std::uint8_t *data, std::size_t size, proxy_addresses &out,
                                     const char **why);

// Reads a header, version 1 or 2, from fd before timeout_ms have passed:
// exactly its bytes, so the first byte after it is the session's own.
// Returns 0, or -1 with *why saying why the client must be refused (a
// header that is malformed, cut short by the client's close, or late).
[[nodiscard]] int read_proxy_header(int fd, int timeout_ms, proxy_addresses &out, const char **why);
