// start_bench: what a script pays per call of a short-lived command.
//
//   start_bench RUNS LABEL COMMAND... [--- LABEL COMMAND...]...
//
// Runs every command RUNS times with fork, exec and wait, in rounds of one
// run each so that all share the same load, and prints per command the
// median and mean time per run and the ratio of its median to the first
// command's, and the same of the CPU time the child itself used, which a
// loaded machine disturbs less. A command that fails ends the benchmark: a
// fast failure would measure nothing.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct command {
	std::string label;
	std::vector<char *> argv; // NULL-terminated, borrowed from main's argv
	std::vector<double> us;
	std::vector<double> cpu_us;
};

double now_us()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double tv_us(const struct timeval &tv)
{
	return static_cast<double>(tv.tv_sec) * 1e6 + static_cast<double>(tv.tv_usec);
}

// One run, its output discarded; the time from fork to reaped child, or a
// negative number when it did not exit with 0; the child's CPU time in *cpu.
double run_once(const command &c, int devnull, double *cpu)
{
	double start = now_us();
	pid_t pid = fork();
	if (pid < 0)
		return -1;
	if (pid == 0) {
		dup2(devnull, STDIN_FILENO);
		dup2(devnull, STDOUT_FILENO);
		execvp(c.argv[0], c.argv.data());
		_exit(127);
	}
	int status = 0;
	struct rusage ru = {};
	while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
	}
	double took = now_us() - start;
	*cpu = tv_us(ru.ru_utime) + tv_us(ru.ru_stime);
	return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void usage()
{
	fputs("Usage: start_bench RUNS LABEL COMMAND... [--- LABEL COMMAND...]...\n", stderr);
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 4) {
		usage();
		return 1;
	}
	long runs = strtol(argv[1], nullptr, 10);
	if (runs <= 0) {
		usage();
		return 1;
	}
	std::vector<command> commands;
	for (int i = 2; i < argc;) {
		command c;
		c.label = argv[i++];
		while (i < argc && strcmp(argv[i], "---") != 0)
			c.argv.push_back(argv[i++]);
		i++; // past "---"
		if (c.argv.empty()) {
			usage();
			return 1;
		}
		c.argv.push_back(nullptr);
		c.us.reserve(static_cast<size_t>(runs));
		commands.push_back(std::move(c));
	}
	int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (devnull < 0) {
		perror("start_bench: /dev/null");
		return 1;
	}
	// A few unmeasured rounds bring the files into the page cache.
	for (long round = -5; round < runs; round++) {
		for (auto &c : commands) {
			double cpu = 0;
			double us = run_once(c, devnull, &cpu);
			if (us < 0) {
				fprintf(stderr, "start_bench: %s failed\n", c.label.c_str());
				return 1;
			}
			if (round >= 0) {
				c.us.push_back(us);
				c.cpu_us.push_back(cpu);
			}
		}
	}
	double base = median(commands.front().us);
	double cpu_base = median(commands.front().cpu_us);
	printf("%-12s %12s %12s %8s %12s %8s   (%ld runs each)\n", "command", "median us", "mean us", "ratio",
	       "cpu us", "ratio", runs);
	for (const auto &c : commands) {
		double mean = 0;
		for (double us : c.us)
			mean += us;
		mean /= static_cast<double>(c.us.size());
		double med = median(c.us);
		double cpu = median(c.cpu_us);
		printf("%-12s %12.1f %12.1f %8.2f %12.1f %8.2f\n", c.label.c_str(), med, mean, med / base, cpu,
		       cpu_base > 0 ? cpu / cpu_base : 0.0);
	}
	return 0;
}
