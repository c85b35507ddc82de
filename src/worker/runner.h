// Starting commands: supervised children (run_cmd) and synchronous readers.
#pragma once

#include "worker.h"

struct env_item {
	char *name;
	char *value;
	char *pair; // "name=value", handed to putenv in the child
};

struct env_list {
	env_item *items;
	int count;
};

struct uevent {
	char *action;
	char *subsys; // points into the list that holds the "subsys" entry
};

// The bound of each command that the synchronous readers run: at its end
// the command's process group is killed and the reader fails as if the
// command could not be started.
constexpr int command_time_limit_s = 3;

// Starts the command in its own process group, which the slot's time-out
// kills whole.
void run_cmd(worker *slot);

// What every handler does to start a command: takes the lowest free slot
// (worker_get), gives it argv, no environment, `timeout` seconds and
// task_complete, and starts it with run_cmd. argv is borrowed only until this
// returns. NULL when no slot is free (worker_get has logged it; the caller
// logs and replies its own text); nothing is started then.
worker *worker_start(const char **argv, int32_t timeout);
// The same for a slot the caller has already taken.
void worker_launch(worker *slot, const char **argv, int32_t timeout);

int uevent_add_env(env_list *list, char *text, uevent *ev);
void uevent_free(env_list *list);

char *get_cmd_result(const char *cmd, char *buf, int len);
char *get_cmd_result_slow(const char *cmd, char *buf, int len);
int kestrad_run_cmd(const char *cmd, char *buf, int len);
