/*
 * uloop: the single-threaded event loop (epoll). Descriptor watches,
 * monotonic timeouts and child-process watches; every exited child is reaped.
 */
#ifndef LIBUBOX_ULOOP_H
#define LIBUBOX_ULOOP_H

#include <sys/time.h>
#include <sys/types.h>
#include <stdbool.h>
#include <stdint.h>
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ULOOP_READ         (1 << 0)
#define ULOOP_WRITE        (1 << 1)
#define ULOOP_EDGE_TRIGGER (1 << 2)
#define ULOOP_BLOCKING     (1 << 3)
#define ULOOP_EVENT_MASK   (ULOOP_READ | ULOOP_WRITE)

struct uloop_fd;
struct uloop_timeout;
struct uloop_process;

typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);
typedef void (*uloop_process_handler)(struct uloop_process *c, int ret);

struct uloop_fd {
	uloop_fd_handler cb;
	int fd;
	bool eof;
	bool error;
	bool registered;
	uint8_t flags;
};

struct uloop_timeout {
	struct list_head list;
	bool pending;
	uloop_timeout_handler cb;
	struct timeval time;
};

struct uloop_process {
	struct list_head list;
	bool pending;
	uloop_process_handler cb;
	pid_t pid;
};

extern bool uloop_cancelled;

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);

int uloop_timeout_add(struct uloop_timeout *timeout);
int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
int uloop_timeout_cancel(struct uloop_timeout *timeout);
int uloop_timeout_remaining(struct uloop_timeout *timeout);

int uloop_process_add(struct uloop_process *p);
int uloop_process_delete(struct uloop_process *p);

int uloop_init(void);
int uloop_run_timeout(int timeout);
void uloop_end(void);
void uloop_done(void);

static inline int uloop_run(void)
{
	return uloop_run_timeout(-1);
}

#ifdef __cplusplus
}
#endif

#endif
