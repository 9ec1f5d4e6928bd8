// The checker's reading of a configuration file.
#pragma once

#include <cstdio>

#include "config/config.h"

// Parses file as parse_config does and writes to warnings one line for each
// setting that the daemon accepts but that will not work as meant, naming
// name and the line concerned. Returns what parse_config returned.
[[nodiscard]] config_result check_config(std::FILE *file, const char *name, std::FILE *warnings);

// Whether the daemon can listen as daemon_config, as parse_config left it,
// says: not with a localaddress that is neither an IPv4 nor an IPv6 address
// (it reports the failure and ends with status 1).
[[nodiscard]] bool can_listen_as_configured();
