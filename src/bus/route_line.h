// Reading the default gateway off one line of `route -n`.
#pragma once

#include "connection.h"

// True when the line is the default route (destination and mask both start
// with "0.0.0.0"); gw then holds its gateway column, cut to GW_ADDR_SIZE - 1
// characters and terminated. Header lines and lines of fewer than three
// columns are false and leave gw untouched. `line` must be terminated; the
// columns are read up to 19, 31 and 127 characters. Logs at level 7 under
// get_gw_ip's name.
bool default_route(const char *line, char (&gw)[GW_ADDR_SIZE]);
