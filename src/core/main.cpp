// kestrad: start-up, then everything happens in the event loop.
extern "C" {
#include <libubox/uloop.h>
}

#include "log.h"
#include "options.h"
#include "signals.h"
#include "../bus/connection.h"
#include "../config/device.h"
#include "../worker/worker.h"

#include <cstdio>

int main(int argc, char **argv)
{
	log_init();

	options opts = {};
	switch (parse_options(argc, argv, opts)) {
	case options_result::run:
		break;
	case options_result::usage:
		print_usage(argv[0]);
		return 1;
	case options_result::bad_gateway:
		return 1;
	}

	signals_install();

	if (opts.daemon_mode)
		KLOG_AS(LOG_LEVEL_NOTICE, "deamon_mode", "set to deamon mode");

	if (worker_init() != 0) {
		KLOG_ERR("worker init error, exit\n");
		return -1;
	}

	config_refresh(); // on failure the flags stay 0: the LAN-AP object

	uloop_init();
	vimb_init(); // the first attempt comes from the loop, 1 s from now
	uloop_run_timeout(-1);
	return 0;
}
