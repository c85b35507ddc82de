// timeout: run a program under a time limit, keeping its process id.
//
// The tool execs the program in its own process, so whoever started it
// waits for and signals the program itself. Before that it makes itself the
// leader of a process group (unless it leads a session) and double-forks a
// timer that is nobody's child but init's (or the nearest subreaper's): the
// timer holds a pidfd of the program, sleeps on it until the limit and then
// signals the program's whole group, so that what the program started goes
// too; it leaves as soon as the program ends. The timer stays in the group,
// which keeps the group's id from being reused while it waits.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int exit_usage = 125;
constexpr int exit_cannot_run = 126;
constexpr int exit_not_found = 127;
constexpr int fallback_poll_ms = 20;

struct signal_name {
	std::string_view name;
	int signo;
};

constexpr signal_name signal_names[] = {
	{"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},
	{"ABRT", SIGABRT}, {"FPE", SIGFPE},   {"KILL", SIGKILL}, {"SEGV", SIGSEGV},
	{"PIPE", SIGPIPE}, {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"USR1", SIGUSR1},
	{"USR2", SIGUSR2}, {"CHLD", SIGCHLD}, {"CONT", SIGCONT}, {"STOP", SIGSTOP},
	{"TSTP", SIGTSTP}, {"TTIN", SIGTTIN}, {"TTOU", SIGTTOU},
};

struct limits {
	long long limit_ms = -1;
	int signo = SIGTERM;
	char **program = nullptr;
	bool own_group = false; // the program leads its process group
};

void usage()
{
	fputs("Usage: timeout [-s SIGNAL] SECONDS PROGRAM [ARGS...]\n"
	      "       timeout -t SECONDS -s SIGNAL PROGRAM [ARGS...]\n"
	      "Runs PROGRAM in this process, leading a process group of its own;\n"
	      "sends SIGNAL (default TERM) to that group after SECONDS (0: no\n"
	      "limit). SECONDS may have a fraction and a suffix s, m, h or d.\n",
	      stderr);
}

int parse_signal(std::string_view s)
{
	if (s.empty())
		return -1;
	if (s.find_first_not_of("0123456789") == std::string_view::npos) {
		if (s.size() > 2)
			return -1;
		int n = atoi(std::string(s).c_str());
		return n > 0 && n < NSIG ? n : -1;
	}
	if (s.substr(0, 3) == "SIG")
		s.remove_prefix(3);
	for (const auto &entry : signal_names) {
		if (entry.name == s)
			return entry.signo;
	}
	return -1;
}

long long parse_duration_ms(const char *text)
{
	if (!text || !*text || *text == '-' || *text == '+')
		return -1;
	char *end;
	errno = 0;
	double v = strtod(text, &end);
	if (errno || end == text || !std::isfinite(v) || v < 0)
		return -1;
	double scale = 1000;
	if (*end) {
		if (end[1])
			return -1;
		switch (*end) {
		case 's': break;
		case 'm': scale *= 60; break;
		case 'h': scale *= 3600; break;
		case 'd': scale *= 86400; break;
		default: return -1;
		}
	}
	double ms = std::ceil(v * scale);
	return ms > 1e15 ? static_cast<long long>(1e15) : static_cast<long long>(ms);
}

// Option value either attached ("-t5") or in the next argument.
const char *option_value(char **argv, int &i, int argc)
{
	if (argv[i][2])
		return argv[i] + 2;
	if (i + 1 >= argc)
		return nullptr;
	return argv[++i];
}

bool parse_args(int argc, char **argv, limits &out)
{
	int i = 1;
	for (; i < argc; i++) {
		std::string_view a = argv[i];
		if (a == "--") {
			i++;
			break;
		}
		if (a.size() < 2 || a[0] != '-')
			break;
		const char *value = option_value(argv, i, argc);
		if (!value)
			return false;
		if (a[1] == 't') {
			out.limit_ms = parse_duration_ms(value);
			if (out.limit_ms < 0)
				return false;
		} else if (a[1] == 's') {
			out.signo = parse_signal(value);
			if (out.signo < 0)
				return false;
		} else {
			return false;
		}
	}
	if (out.limit_ms < 0) {
		if (i >= argc)
			return false;
		out.limit_ms = parse_duration_ms(argv[i++]);
		if (out.limit_ms < 0)
			return false;
	}
	if (i >= argc)
		return false;
	out.program = argv + i;
	return true;
}

long long now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int poll_slice(long long left)
{
	return left > 60000 ? 60000 : static_cast<int>(left);
}

void close_all_but(int keep)
{
	if (keep > 0)
		syscall(SYS_close_range, 0U, static_cast<unsigned>(keep - 1), 0U);
	syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U);
}

// Without pidfds: a process that is gone or a zombie has ended.
bool process_ended(pid_t pid)
{
	if (kill(pid, 0) < 0 && errno == ESRCH)
		return true;
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
	FILE *f = fopen(path, "r");
	if (!f)
		return true;
	char line[512];
	bool zombie = false;
	if (fgets(line, sizeof(line), f)) {
		const char *paren = strrchr(line, ')');
		zombie = paren && paren[1] == ' ' && paren[2] == 'Z';
	}
	fclose(f);
	return zombie;
}

[[noreturn]] void run_timer(int pidfd, pid_t target, const limits &lim)
{
	prctl(PR_SET_NAME, "timeout-timer");
	close_all_but(pidfd);
	long long deadline = now_ms() + lim.limit_ms;

	for (;;) {
		long long left = deadline - now_ms();
		if (left <= 0)
			break;
		if (pidfd >= 0) {
			struct pollfd pfd = {pidfd, POLLIN, 0};
			int r = poll(&pfd, 1, poll_slice(left));
			if (r > 0)
				_exit(0);
			if (r < 0 && errno != EINTR)
				_exit(0);
		} else {
			if (process_ended(target))
				_exit(0);
			struct timespec ts = {0, fallback_poll_ms * 1000000L};
			nanosleep(&ts, nullptr);
		}
	}
	// the group's id is the program's pid
	if (lim.own_group)
		kill(-target, lim.signo);
	else if (pidfd >= 0)
		syscall(SYS_pidfd_send_signal, pidfd, lim.signo, nullptr, 0U);
	else if (!process_ended(target))
		kill(target, lim.signo);
	_exit(0);
}

// Returns once the timer runs on its own, detached from this process.
bool start_timer(const limits &lim)
{
	pid_t self = getpid();
	int pidfd = static_cast<int>(syscall(SYS_pidfd_open, self, 0U));

	pid_t first = fork();
	if (first < 0) {
		if (pidfd >= 0)
			close(pidfd);
		return false;
	}
	if (first == 0) {
		pid_t second = fork();
		if (second == 0)
			run_timer(pidfd, self, lim);
		_exit(second < 0 ? 1 : 0);
	}

	int status = 0;
	while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
	}
	if (pidfd >= 0)
		close(pidfd);
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char **argv)
{
	limits lim;
	if (!parse_args(argc, argv, lim)) {
		usage();
		return exit_usage;
	}
	if (lim.limit_ms > 0) {
		setpgid(0, 0);
		lim.own_group = getpgrp() == getpid();
	}
	if (lim.limit_ms > 0 && !start_timer(lim)) {
		fprintf(stderr, "timeout: cannot start the timer: %s\n", strerror(errno));
		return exit_usage;
	}
	execvp(lim.program[0], lim.program);
	int err = errno;
	fprintf(stderr, "timeout: %s: %s\n", lim.program[0], strerror(err));
	return err == ENOENT ? exit_not_found : exit_cannot_run;
}
