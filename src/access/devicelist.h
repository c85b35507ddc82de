// The devicelist settings that the gateway pushes with its MAC filter.
#pragma once

#include <cstdint>

// Store the value as "%d" in devicelist.settings.level (auth) and commit,
// through a private context; the global one is not touched. 0 also when the
// package or its section "settings" is missing (nothing is written then;
// neither is created), -1 when no context could be allocated.
int uci_set_devicelist_level(int32_t level);
int uci_set_devicelist_auth(int32_t auth);
