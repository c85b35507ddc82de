// The devicelist settings that the gateway pushes with its MAC filter.
#pragma once

#include <cstdint>

// Store the value as "%d" in devicelist.settings.level (auth) and commit,
// through a private context; the global one is not touched. Neither the
// package nor its section "settings" is created. 0 once the value is
// committed; -1 when no context could be allocated, or when the package or
// section is missing or the commit failed (logged at level 3 with why;
// nothing is written then).
int uci_set_devicelist_level(int32_t level);
int uci_set_devicelist_auth(int32_t auth);
