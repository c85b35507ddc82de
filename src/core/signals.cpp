#include "signals.h"

#include "log.h"

#include <csignal>
#include <unistd.h>

namespace {
constexpr int exit_signals[] = {SIGINT, SIGTERM, SIGUSR1};

void set_disposition(int signo, void (*handler)(int))
{
	struct sigaction sa = {};
	sa.sa_handler = handler;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = 0;
	sigaction(signo, &sa, nullptr);
}
} // namespace

// Runs at any point, also inside a log call or a blocking read: it logs
// through the lock-free path and leaves with _exit, touching no stdio.
void marovela_signal_handler(int signo)
{
	if (log_level >= LOG_LEVEL_ERR)
		log_async_(LOG_LEVEL_ERR, __func__, __LINE__, "got signal(%d)", signo);
	_exit(0);
}

void signals_install()
{
	for (int signo : exit_signals)
		set_disposition(signo, marovela_signal_handler);
	set_disposition(SIGPIPE, SIG_IGN);
}
