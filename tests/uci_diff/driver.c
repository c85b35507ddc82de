/*
 * The same calls through whichever libuci this is linked against: the
 * project's or the device's. Reads commands from stdin, one a line, and
 * prints what each returned and the trees it walked, so that two runs of
 * one script can be compared byte for byte.
 *
 *   confdir DIR | savedir DIR | deltapath DIR | flags N
 *   load PKG | unload PKG | walk PKG | save PKG | commit PKG | overwrite PKG
 *   set|add_list|del_list|delete|rename|revert|get PTR
 *   add PKG TYPE | reorder PTR POS | parse PKG (load, print error, unload)
 *   new (a fresh context)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uci.h>

static struct uci_context *ctx;

static void put_text(const char *s)
{
	putchar('\'');
	for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
		if (*p < 0x20 || *p >= 0x7f || *p == '\'' || *p == '\\')
			printf("\\x%02x", *p);
		else
			putchar(*p);
	}
	putchar('\'');
}

static struct uci_package *loaded(const char *name)
{
	struct uci_element *e;
	uci_foreach_element(&ctx->root, e) {
		if (!strcmp(e->name, name))
			return uci_to_package(e);
	}
	return NULL;
}

static void walk_deltas(const char *what, struct uci_list *l)
{
	struct uci_element *e;
	uci_foreach_element(l, e) {
		struct uci_delta *d = uci_to_delta(e);
		printf("  %s %d %s", what, (int)d->cmd, d->section ? d->section : "-");
		printf(" %s ", e->name ? e->name : "-");
		if (d->value)
			put_text(d->value);
		else
			printf("-");
		putchar('\n');
	}
}

static void walk(struct uci_package *p)
{
	struct uci_element *se, *oe, *ie;
	printf(" package %s n=%d\n", p->e.name, p->n_section);
	uci_foreach_element(&p->sections, se) {
		struct uci_section *s = uci_to_section(se);
		printf("  config %s %s%s\n", s->type, se->name, s->anonymous ? " anon" : "");
		uci_foreach_element(&s->options, oe) {
			struct uci_option *o = uci_to_option(oe);
			if (o->type == UCI_TYPE_STRING) {
				printf("   option %s ", oe->name);
				put_text(o->v.string);
				putchar('\n');
				continue;
			}
			printf("   list %s", oe->name);
			uci_foreach_element(&o->v.list, ie) {
				putchar(' ');
				put_text(ie->name);
			}
			putchar('\n');
		}
	}
	walk_deltas("delta", &p->delta);
	walk_deltas("saved", &p->saved_delta);
}

static void report(const char *cmd, int r)
{
	printf("%s -> %d", cmd, r);
	/* Only a parse error's text: the device's carries a stale parse
	 * error into every later error of the process. */
	if (r == UCI_ERR_PARSE) {
		char *err = NULL;
		uci_get_errorstr(ctx, &err, "");
		printf(" [%s]", err ? err : "");
		free(err);
	}
	putchar('\n');
}

static void new_context(void)
{
	if (ctx)
		uci_free_context(ctx);
	ctx = uci_alloc_context();
	printf("flags %d\n", (int)ctx->flags);
}

int main(void)
{
	char line[8192];
	new_context();
	/* Each answer is flushed before the next command is read, for a
	 * process driving this through pipes (the round-trip fuzz target). */
	while (fflush(stdout) == 0 && fgets(line, sizeof(line), stdin)) {
		line[strcspn(line, "\n")] = 0;
		char *arg = strchr(line, ' ');
		if (arg)
			*arg++ = 0;
		else
			arg = line + strlen(line);
		const char *cmd = line;
		struct uci_package *p = NULL;
		struct uci_ptr ptr;
		int r;
		if (!*cmd || *cmd == '#')
			continue;
		printf("> %s %s\n", cmd, arg);
		if (!strcmp(cmd, "new")) {
			new_context();
		} else if (!strcmp(cmd, "confdir")) {
			report(cmd, uci_set_confdir(ctx, arg));
		} else if (!strcmp(cmd, "savedir")) {
			report(cmd, uci_set_savedir(ctx, arg));
		} else if (!strcmp(cmd, "deltapath")) {
			report(cmd, uci_add_delta_path(ctx, arg));
		} else if (!strcmp(cmd, "flags")) {
			ctx->flags = atoi(arg);
		} else if (!strcmp(cmd, "load") || !strcmp(cmd, "parse")) {
			r = uci_load(ctx, arg, &p);
			report(cmd, r);
			if (p && !strcmp(cmd, "load"))
				walk(p);
			if (p && !strcmp(cmd, "parse"))
				uci_unload(ctx, p);
		} else if (!strcmp(cmd, "unload")) {
			report(cmd, uci_unload(ctx, loaded(arg)));
		} else if (!strcmp(cmd, "walk")) {
			if ((p = loaded(arg)))
				walk(p);
		} else if (!strcmp(cmd, "save")) {
			report(cmd, uci_save(ctx, loaded(arg)));
		} else if (!strcmp(cmd, "commit") || !strcmp(cmd, "overwrite")) {
			p = loaded(arg);
			r = p ? uci_commit(ctx, &p, !strcmp(cmd, "overwrite")) : -1;
			/* Not walked: after a commit the device's context keeps the
			 * names it had, ours those a fresh load gives (a named
			 * difference). */
			report(cmd, r);
		} else if (!strcmp(cmd, "add")) {
			char *type = strchr(arg, ' ');
			struct uci_section *s = NULL;
			if (type)
				*type++ = 0;
			r = uci_add_section(ctx, loaded(arg), type ? type : "", &s);
			report(cmd, r);
			if (!r && s)
				printf(" added %s\n", s->e.name);
		} else if (!strcmp(cmd, "reorder")) {
			char *pos = strrchr(arg, ' ');
			if (pos)
				*pos++ = 0;
			r = uci_lookup_ptr(ctx, &ptr, arg, true);
			if (!r)
				r = ptr.s ? uci_reorder_section(ctx, ptr.s, pos ? atoi(pos) : 0) : -1;
			report(cmd, r);
		} else {
			int (*fn)(struct uci_context *, struct uci_ptr *) =
				!strcmp(cmd, "set") ? uci_set :
				!strcmp(cmd, "add_list") ? uci_add_list :
				!strcmp(cmd, "del_list") ? uci_del_list :
				!strcmp(cmd, "delete") ? uci_delete :
				!strcmp(cmd, "rename") ? uci_rename :
				!strcmp(cmd, "revert") ? uci_revert : NULL;
			r = uci_lookup_ptr(ctx, &ptr, arg, true);
			if (r) {
				report("lookup", r);
				continue;
			}
			printf(" ptr target=%d flags=%d s=%s o=%s\n", (int)ptr.target, (int)ptr.flags,
			       ptr.s ? ptr.s->e.name : "-", ptr.o ? ptr.o->e.name : "-");
			if (!fn)
				continue;
			report(cmd, fn(ctx, &ptr));
		}
	}
	uci_free_context(ctx);
	return 0;
}
