// Log lines are formatted as in the daemon, with the fuzzer's bytes in
// them, and thrown away: libFuzzer and the sanitizers keep the real stderr.
#pragma once

#include "core/log.h"

#include <cstdio>

inline void fuzz_log_to_null()
{
	log_mode = LOG_MODE_STDERR;
	log_level = LOG_LEVEL_DEBUG;
	if (FILE *null = fopen("/dev/null", "w"))
		stderr = null;
}
