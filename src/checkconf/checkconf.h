// The checker's reading of a configuration file.
#pragma once

#include <cstdio>

#include "config/config.h"

// Parses file as parse_config does and writes to warnings one line for each
// setting that the daemon accepts but that will not work as meant, naming
// name and the line concerned. Returns what parse_config returned.
[[nodiscard]] config_result check_config(std::FILE *file, const char *name, std::FILE *warnings);
