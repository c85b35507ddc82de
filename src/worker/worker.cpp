#include "worker.h"

#include "../core/log.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>

extern "C" {
#include <libubox/utils.h>
}

worker *wk;

namespace {
// The log lines print slot addresses as 32-bit hex, as the device does.
unsigned int addr32(const void *p)
{
	return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(p));
}
} // namespace

int worker_init()
{
	wk = static_cast<worker *>(calloc(WORKER_COUNT, sizeof(worker)));
	if (!wk)
		return -1;
	for (int i = 0; i < WORKER_COUNT; i++) {
		wk[i].proc.pid = -1;
		wk[i].in_use = false;
		wk[i].timer.cb = worker_timeout_cb;
		KLOG_DEBUG("wk[%d]: %08x\n", i, addr32(&wk[i]));
	}
	return 0;
}

worker *worker_get()
{
	if (!wk)
		return nullptr;
	for (int i = 0; i < WORKER_COUNT; i++) {
		if (wk[i].in_use)
			continue;
		wk[i].in_use = true;
		KLOG_DEBUG("[%d] 0x%x\n", i, addr32(&wk[i]));
		return &wk[i];
	}
	KLOG_DEBUG("Not available worker\n");
	return nullptr;
}

int worker_put(worker *slot)
{
	if (!slot)
		return 0;
	KLOG_DEBUG("0x%x, use:%s, pid:%d\n", addr32(slot), slot->in_use ? "true" : "false",
		slot->proc.pid);
	if (!slot->in_use)
		return 0;
	if (slot->timer.pending)
		uloop_timeout_cancel(&slot->timer);
	if (slot->proc.pending)
		uloop_process_delete(&slot->proc);
	slot->in_use = false;
	slot->proc.pid = -1;
	return 0;
}

int kill_process(worker *slot)
{
	KLOG_DEBUG("0x%x pid[%d]\n", addr32(slot), slot->proc.pid);
	if (slot->proc.pid > 0) {
		// the child leads its own group (run_cmd): its children go with it
		if (kill(-slot->proc.pid, SIGKILL) < 0)
			kill(slot->proc.pid, SIGKILL);
		slot->proc.pid = -1;
	}
	if (slot->proc.pending && slot->proc.cb)
		slot->proc.cb(&slot->proc, 0);
	return worker_put(slot);
}

void worker_timeout_cb(struct uloop_timeout *timer)
{
	worker *slot = container_of(timer, worker, timer);
	if (!slot->in_use)
		return;
	kill_process(slot);
}

void task_complete(struct uloop_process *proc, int)
{
	worker_put(container_of(proc, worker, proc));
}

int worker_done()
{
	if (!wk)
		return 0;
	for (int i = 0; i < WORKER_COUNT; i++) {
		if (wk[i].in_use)
			kill_process(&wk[i]);
	}
	free(wk);
	wk = nullptr;
	return 0;
}
