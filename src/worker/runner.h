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

void run_cmd(worker *slot);

int uevent_add_env(env_list *list, char *text, uevent *ev);
void uevent_free(env_list *list);

char *get_cmd_result(const char *cmd, char *buf, int len);
char *get_cmd_result_slow(const char *cmd, char *buf, int len);
int kestrad_run_cmd(const char *cmd, char *buf, int len);
