// The parser's steps, for the checker, which explains a file by them; the
// daemon has no use for them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "config/config.h"

// One step of the parser: a keyword it acted on, with the value it took, or
// a word in keyword position that it skipped. Lines count from 1; LF, CR LF
// and CR alone each end one.
struct config_event {
    config_keyword keyword;  // KEYWORD_NONE for a skipped word
    int line;                // of the keyword, or of the skipped word
    bool has_value;          // false when the input ended first: the keyword was its own value
    std::string text;        // the value as taken, or the skipped word, up to a NUL byte
};

// parse_config(file), appending each step of the parse to events (when not
// null), in the order of the file.
[[nodiscard]] config_result parse_config(std::FILE *file, std::vector<config_event> *events);
