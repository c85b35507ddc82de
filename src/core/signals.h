// Signal dispositions of the daemon.
#pragma once

[[noreturn]] void marovela_signal_handler(int signo);

// SIGINT, SIGTERM and SIGUSR1 end the process with status 0; SIGPIPE is
// ignored so that a peer closing a socket or pipe only fails the write.
void signals_install();
