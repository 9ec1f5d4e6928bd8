#include "config/config.h"

#ifndef DOVRA_CONFIG_PATH
#error "DOVRA_CONFIG_PATH must name the configuration file"
#endif

extern const char CONFIG_PATH[] = DOVRA_CONFIG_PATH;
