// The pool of supervised child-process slots.
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

#include <cstdint>

struct env_list;

constexpr int WORKER_COUNT = 20;

struct worker {
	bool in_use;
	const char **argv; // borrowed; must live until run_cmd returns
	env_list *env;     // borrowed; NULL: the daemon's environment
	int32_t timeout;   // seconds, 0: no limit
	struct uloop_process proc;
	struct uloop_timeout timer;
};

extern worker *wk;

int worker_init();
worker *worker_get();
int worker_put(worker *slot);
int kill_process(worker *slot);
void worker_timeout_cb(struct uloop_timeout *timer);
void task_complete(struct uloop_process *proc, int status);
int worker_done();
