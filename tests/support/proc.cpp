#include "proc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <time.h>
#include <unistd.h>

namespace testing_support {

namespace {
// Fields after the command name, which may itself hold spaces and ')'.
bool read_stat(pid_t pid, char &state, pid_t &ppid)
{
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
	FILE *f = fopen(path, "r");
	if (!f)
		return false;
	char line[1024];
	bool ok = fgets(line, sizeof(line), f) != nullptr;
	fclose(f);
	if (!ok)
		return false;
	const char *p = strrchr(line, ')');
	int pp;
	if (!p || sscanf(p + 1, " %c %d", &state, &pp) != 2)
		return false;
	ppid = pp;
	return true;
}
} // namespace

std::vector<child_info> children_of(pid_t parent)
{
	std::vector<child_info> out;
	DIR *d = opendir("/proc");
	if (!d)
		return out;
	while (struct dirent *e = readdir(d)) {
		char *end;
		long pid = strtol(e->d_name, &end, 10);
		if (*end || pid <= 0)
			continue;
		char state;
		pid_t ppid;
		if (read_stat(static_cast<pid_t>(pid), state, ppid) && ppid == parent)
			out.push_back({static_cast<pid_t>(pid), state});
	}
	closedir(d);
	return out;
}

int zombies_of(pid_t parent)
{
	int n = 0;
	for (const auto &c : children_of(parent))
		n += c.state == 'Z';
	return n;
}

bool process_alive(pid_t pid)
{
	char state;
	pid_t ppid;
	return read_stat(pid, state, ppid) && state != 'Z' && state != 'X';
}

bool reaped(pid_t pid)
{
	char state;
	pid_t ppid;
	return !read_stat(pid, state, ppid) || ppid != getpid();
}

bool all_reaped(const std::vector<pid_t> &pids)
{
	for (pid_t p : pids) {
		if (!reaped(p))
			return false;
	}
	return true;
}

double wall_clock_s()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long long monotonic_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

double time_scale()
{
	static const double scale = [] {
		const char *v = getenv("KESTRAD_TIME_SCALE");
		double f = v ? strtod(v, nullptr) : 1;
		return f >= 1 ? f : 1;
	}();
	return scale;
}

long long scaled_ms(long long ms)
{
	return static_cast<long long>(static_cast<double>(ms) * time_scale());
}

bool wait_until(const std::function<bool()> &pred, int ms)
{
	long long end = monotonic_ms() + scaled_ms(ms);
	for (;;) {
		if (pred())
			return true;
		if (monotonic_ms() >= end)
			return false;
		usleep(1000);
	}
}

} // namespace testing_support
