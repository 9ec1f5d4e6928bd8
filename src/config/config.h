// The configuration file: its record, its parser and the start-up summary.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

inline constexpr int MAX_SERVERS = 10;
// An address text: the longest IPv6 literal (an IPv4-mapped one, 45
// characters) and the NUL.
inline constexpr int SERVER_ADDR_LEN = 46;
inline constexpr int CONFIG_TOKEN_LEN = 512;  // 511 characters and the NUL

// The optional settings: their defaults, which keep the designed behaviour
// where there is one, and the ranges the daemon holds them to.
inline constexpr int DEFAULT_CONNECT_TIMEOUT = 3;  // seconds
inline constexpr int MIN_CONNECT_TIMEOUT = 1;
inline constexpr int MAX_CONNECT_TIMEOUT = 60;
inline constexpr int MAX_IDLE_TIMEOUT = 2000000;  // seconds, about 23 days: held in milliseconds
inline constexpr int DEFAULT_BACKLOG = 10;
inline constexpr int MAX_BACKLOG = 65535;
// Seconds before the first keepalive probe: the most Linux takes (FreeBSD
// takes more); 0, the default, keeps the system's timers.
inline constexpr int MAX_KEEPALIVE = 32767;
// When every backend is busy: share the first one, share the least loaded,
// or wait for one to come free, at most queuetimeout seconds.
enum share_mode : std::int32_t { SHARE_FIRST, SHARE_LEAST, SHARE_NONE };
inline constexpr int DEFAULT_QUEUE_TIMEOUT = 30;  // seconds
inline constexpr int MIN_QUEUE_TIMEOUT = 1;
inline constexpr int MAX_QUEUE_TIMEOUT = 3600;
inline constexpr int MAX_CHECK_INTERVAL = 3600;  // seconds; 0: every client probes

// An allow, deny or acceptproxy line: an IPv4 or IPv6 prefix. An IPv4 one,
// or an IPv4-mapped IPv6 one, is held as IPv4, so that it matches IPv4
// clients however the listener sees them.
enum rule_kind : std::uint8_t { RULE_ALLOW, RULE_DENY, RULE_ACCEPTPROXY };
struct address_rule {
    rule_kind kind;
    bool v6;
    std::uint8_t prefix;         // bits that must match: 0-32 or 0-128
    std::uint8_t address[16];    // IPv4 in the first 4 bytes; host bits zero
};
inline constexpr int MAX_ADDRESS_RULES = 256;
inline constexpr int MAX_PER_CLIENT = 4096;

struct config_record {
    std::int32_t maxclients;
    std::int32_t localport;
    std::int32_t serverport;
    char servers[MAX_SERVERS][SERVER_ADDR_LEN];
    std::int32_t server_count;
    // The address the daemon listens on, an IPv4 or IPv6 literal; empty:
    // every local IPv4 address.
    char localaddress[SERVER_ADDR_LEN];
    std::int32_t connecttimeout;  // seconds a backend connection may take
    std::int32_t idletimeout;     // seconds a session may move nothing; 0: no limit
    std::int32_t backlog;         // of the listening socket
    bool sessionlog;              // a line for each session's end and each refusal
    bool halfclose;               // each direction of a session ends on its own FIN
    std::int32_t keepalive;       // seconds before the first keepalive probe; 0: the system's timers
    share_mode share;             // what a client does when every backend is busy
    std::int32_t queuetimeout;    // seconds a client waits for a free backend (share none)
    bool whenfull_wait;           // at maxclients: leave clients in the listen queue
    std::int32_t checkinterval;   // seconds between health checks; 0: none
    // The front door: allow, deny and acceptproxy lines in the order of the
    // file, the sessions one client may hold (0: no limit), and the PROXY
    // header sent to backends (0: none, 1 or 2: its version).
    address_rule rules[MAX_ADDRESS_RULES];
    std::int32_t rule_count;
    std::int32_t maxperclient;
    std::int32_t proxyprotocol;
};

// Filled once by the launcher before it forks; every later process reads its
// own copy.
extern config_record daemon_config;

// The fixed configuration path, chosen when the program is built.
extern const char CONFIG_PATH[];

enum config_result : int {
    CONFIG_OK = 0,
    CONFIG_OPEN_FAILED = 1,
    CONFIG_NO_LOCALPORT = 2,
    CONFIG_NO_SERVERPORT = 3,
    CONFIG_NO_MAXCLIENTS = 4,
    CONFIG_NO_SERVERS = 5,
    CONFIG_TOKEN_TOO_LONG = 6,
    CONFIG_ADDR_TOO_LONG = 7,
    CONFIG_TOO_MANY_SERVERS = 8,
    CONFIG_LOCALADDR_TOO_LONG = 9,
    CONFIG_BAD_ADDRESS_RULE = 10,
    CONFIG_TOO_MANY_RULES = 11,
};

inline constexpr std::array<const char *, 12> config_error_text = {
    "No error",
    "Unable to open file",
    "undefined localport",
    "undefined serverport",
    "undefined maxclients",
    "undefined servers",
    "token too long",
    "server address too long",
    "too many servers",
    "local address too long",
    "allow, deny or acceptproxy is not an address or prefix",
    "too many allow, deny and acceptproxy lines",
};
static_assert(config_error_text.size() == CONFIG_TOO_MANY_RULES + 1);

// The keywords, in the order in which the parser tests every word against
// them. The first three and server must be given; the others are optional.
enum config_keyword : int {
    KEYWORD_LOCALPORT,
    KEYWORD_SERVERPORT,
    KEYWORD_MAXCLIENTS,
    KEYWORD_SERVER,
    KEYWORD_LOCALADDRESS,
    KEYWORD_CONNECTTIMEOUT,
    KEYWORD_IDLETIMEOUT,
    KEYWORD_BACKLOG,
    KEYWORD_SESSIONLOG,
    KEYWORD_HALFCLOSE,
    KEYWORD_KEEPALIVE,
    KEYWORD_SHARE,
    KEYWORD_QUEUETIMEOUT,
    KEYWORD_WHENFULL,
    KEYWORD_CHECKINTERVAL,
    KEYWORD_ALLOW,
    KEYWORD_DENY,
    KEYWORD_MAXPERCLIENT,
    KEYWORD_PROXYPROTOCOL,
    KEYWORD_ACCEPTPROXY,
    KEYWORD_NONE,
};

inline constexpr std::array<const char *, KEYWORD_NONE> config_keywords = {
    "localport",
    "serverport",
    "maxclients",
    "server",
    "localaddress",
    "connecttimeout",
    "idletimeout",
    "backlog",
    "sessionlog",
    "halfclose",
    "keepalive",
    "share",
    "queuetimeout",
    "whenfull",
    "checkinterval",
    "allow",
    "deny",
    "maxperclient",
    "proxyprotocol",
    "acceptproxy",
};

// Opens path for reading without waiting for a FIFO's writer. Returns the
// stream, or null when the file cannot be opened.
[[nodiscard]] std::FILE *open_config(const char *path);

// Parses file from its start into daemon_config. Returns CONFIG_OK, or the
// code of the first problem found; prints nothing.
[[nodiscard]] config_result parse_config(std::FILE *file);

// Parses the file at path into daemon_config as parse_config does, or returns
// CONFIG_OPEN_FAILED when it cannot be opened.
[[nodiscard]] config_result read_config(const char *path);

// An optional setting's number as the parser reads it: an optional sign and
// the decimal digits after it, as atoi() reads them, but never wrapped: a
// number beyond the int range counts as beyond the bound on its side. held
// says which bound, if any, the value was held to: -1 the low one, 1 the high
// one, 0 none. The checker words its warnings from the same reading.
struct bounded_number {
    int value;
    int held;
};
[[nodiscard]] bounded_number read_number(const char *text, int low, int high);

// Reads text, "ADDRESS" or "ADDRESS/BITS" (an IPv4 dotted-decimal or IPv6
// literal; a bare address is a /32 or /128), into rule, its host bits
// cleared; kind is left alone. Returns false for any other text. *host_bits
// tells whether the text had host bits set (the checker warns about it).
[[nodiscard]] bool parse_prefix(const char *text, address_rule &rule, bool *host_bits = nullptr);
// Whether an IPv4 (v6 false, 4 bytes) or IPv6 (16 bytes) address lies in
// rule's prefix. The caller gives an IPv4-mapped address as IPv4.
[[nodiscard]] bool prefix_matches(const address_rule &rule, bool v6, const std::uint8_t *address);
// Whether every address of inner lies in outer.
[[nodiscard]] bool prefix_covers(const address_rule &outer, const address_rule &inner);
// "10.0.0.0/8", "2001:db8::/32": a rule's prefix as text, always with its
// bits, in buf (at least PREFIX_TEXT_LEN bytes).
inline constexpr std::size_t PREFIX_TEXT_LEN = 50;
void format_prefix(const address_rule &rule, char *buf, std::size_t size);

// Prints the settings of daemon_config on standard output as the daemon shows
// them at start, without a final line feed. An optional setting is shown only
// when it differs from its default.
void print_config_summary();
