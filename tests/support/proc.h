// What the process table says about our children.
#pragma once

#include <sys/types.h>
#include <functional>
#include <vector>

namespace testing_support {

// Children of `parent` that the kernel lists, with their state letter.
struct child_info {
	pid_t pid;
	char state;
};
std::vector<child_info> children_of(pid_t parent);
int zombies_of(pid_t parent);
bool process_alive(pid_t pid); // exists and is no zombie
// Our child `pid` is gone, zombie included: the pid names no process, or
// one that is not ours. A killed child is neither alive nor reaped until it
// has died and been waited for.
bool reaped(pid_t pid);
bool all_reaped(const std::vector<pid_t> &pids);

// Polls `pred` every millisecond until it holds or `ms` (times
// time_scale()) have passed.
bool wait_until(const std::function<bool()> &pred, int ms);
long long monotonic_ms();
// The wall clock in seconds, as the stand-ins stamp their records (`date`).
double wall_clock_s();

// $KESTRAD_TIME_SCALE, a factor of 1 or more for the bounds that tests put on
// times (an emulator is several times slower); 1 when unset or invalid.
double time_scale();
// `ms` times time_scale().
long long scaled_ms(long long ms);

} // namespace testing_support
