// The configuration file: its record, its parser and the start-up summary.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline constexpr int MAX_SERVERS = 10;
inline constexpr int SERVER_ADDR_LEN = 20;    // 19 characters and the NUL
inline constexpr int CONFIG_TOKEN_LEN = 512;  // 511 characters and the NUL

struct config_record {
    std::int32_t maxclients;
    std::int32_t localport;
    std::int32_t serverport;
    char servers[MAX_SERVERS][SERVER_ADDR_LEN];
    std::int32_t server_count;
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
};

inline constexpr std::array<const char *, 9> config_error_text = {
    "No error",
    "Unable to open file",
    "undefined localport",
    "undefined serverport",
    "undefined maxclients",
    "undefined servers",
    "token too long",
    "server address too long",
    "too many servers",
};
static_assert(config_error_text.size() == CONFIG_TOO_MANY_SERVERS + 1);

// The keywords, in the order in which the parser tests every word against
// them.
enum config_keyword : int {
    KEYWORD_LOCALPORT,
    KEYWORD_SERVERPORT,
    KEYWORD_MAXCLIENTS,
    KEYWORD_SERVER,
    KEYWORD_NONE,
};

inline constexpr std::array<const char *, KEYWORD_NONE> config_keywords = {
    "localport",
    "serverport",
    "maxclients",
    "server",
};

// One step of the parser, as the checker needs it to explain the file: a
// keyword it acted on, with the value it took, or a word in keyword position
// that it skipped. Lines count from 1; LF, CR LF and CR alone each end one.
struct config_event {
    config_keyword keyword;  // KEYWORD_NONE for a skipped word
    int line;                // of the keyword, or of the skipped word
    bool has_value;          // false when the input ended first: the keyword was its own value
    std::string text;        // the value as taken, or the skipped word, up to a NUL byte
};

// Opens path for reading without waiting for a FIFO's writer. Returns the
// stream, or null when the file cannot be opened.
[[nodiscard]] std::FILE *open_config(const char *path);

// Parses file from its start into daemon_config. Returns CONFIG_OK, or the
// code of the first problem found; prints nothing. When events is not null,
// each step of the parse is appended to it, in the order of the file.
[[nodiscard]] config_result parse_config(std::FILE *file, std::vector<config_event> *events);

// Parses the file at path into daemon_config as parse_config does, or returns
// CONFIG_OPEN_FAILED when it cannot be opened.
[[nodiscard]] config_result read_config(const char *path);

// Parses file as parse_config does and writes to warnings one line for each
// setting that the daemon accepts but that will not work as meant, naming
// name and the line concerned. Returns what parse_config returned.
[[nodiscard]] config_result check_config(std::FILE *file, const char *name, std::FILE *warnings);

// Prints the settings of daemon_config on standard output as the daemon shows
// them at start, without a final line feed.
void print_config_summary();

// Parses CONFIG_PATH; on CONFIG_OK also marks the configured backends free in
// the status table and prints the settings summary and the start line.
[[nodiscard]] config_result load_config();
