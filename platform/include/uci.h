/*
 * libuci: the UCI configuration store, one file per package.
 *
 * Changes stage as the device's do: each change is kept in the package's
 * `delta` list until uci_save appends it to SAVEDIR/PACKAGE, and every load
 * replays what the delta directories (uci_add_delta_path, in order) and
 * then the save directory hold for that package; with UCI_FLAG_SAVED_DELTA
 * (set in a new context) the replayed changes are also kept in
 * `saved_delta`. uci_commit writes the file on disk with every staged
 * change for the package and the context's own, and empties SAVEDIR/PACKAGE.
 *
 * An anonymous section is named "cfg" + its count among the package's
 * sections (two hex digits or more) + four hex digits of its type's hash:
 * the name is its place in the file. After a commit the context's sections
 * carry the names the written file gives them. A commit whose change was
 * meant for an anonymous section that another writer has moved since fails
 * with UCI_ERR_NOTFOUND and writes nothing.
 *
 * Values may hold any byte but NUL. uci_lookup_ptr with a string refuses
 * control characters other than tab, CR and LF in it (UCI_ERR_PARSE), as
 * the device's does; uci_set and uci_add_list store what they are given.
 */
#ifndef UCI_H
#define UCI_H

#include <stdbool.h>
#include <stdio.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define UCI_CONFDIR "/etc/config"
#define UCI_SAVEDIR "/tmp/.uci"
#define UCI_CONF2DIR "/var/run/uci"
#define UCI_DIRMODE 0700
#define UCI_FILEMODE 0600

enum {
	UCI_OK = 0,
	UCI_ERR_MEM,
	UCI_ERR_INVAL,
	UCI_ERR_NOTFOUND,
	UCI_ERR_IO,
	UCI_ERR_PARSE,
	UCI_ERR_DUPLICATE,
	UCI_ERR_UNKNOWN,
	UCI_ERR_LAST
};

struct uci_list {
	struct uci_list *next;
	struct uci_list *prev;
};

enum uci_type {
	UCI_TYPE_UNSPEC = 0,
	UCI_TYPE_DELTA = 1,
	UCI_TYPE_PACKAGE = 2,
	UCI_TYPE_SECTION = 3,
	UCI_TYPE_OPTION = 4,
	UCI_TYPE_PATH = 5,
	UCI_TYPE_BACKEND = 6,
	UCI_TYPE_ITEM = 7,
	UCI_TYPE_HOOK = 8,
};

enum uci_option_type {
	UCI_TYPE_STRING = 0,
	UCI_TYPE_LIST = 1,
};

struct uci_element {
	struct uci_list list;
	enum uci_type type;
	char *name;
};

enum uci_flags {
	UCI_FLAG_STRICT = (1 << 0),      /* the parser refuses what it cannot read */
	UCI_FLAG_PERROR = (1 << 1),      /* parse errors are printed */
	UCI_FLAG_EXPORT_NAME = (1 << 2), /* exports name anonymous sections */
	UCI_FLAG_SAVED_DELTA = (1 << 3), /* loads keep staged changes in saved_delta */
};

enum uci_command {
	UCI_CMD_ADD,
	UCI_CMD_REMOVE,
	UCI_CMD_CHANGE,
	UCI_CMD_RENAME,
	UCI_CMD_REORDER,
	UCI_CMD_LIST_ADD,
	UCI_CMD_LIST_DEL,
	__UCI_CMD_MAX,
	__UCI_CMD_LAST = __UCI_CMD_MAX - 1
};

/* One change; e.name is the option, or NULL for a change to the section. */
struct uci_delta {
	struct uci_element e;
	enum uci_command cmd;
	char *section;
	char *value;
	/* private: the section was anonymous when the change was made */
	bool positional;
};

struct uci_context {
	struct uci_list root; /* loaded packages */
	char *confdir;
	char *savedir;
	/* a package's file here replaces the one in confdir; NULL: none */
	char *conf2dir;
	struct uci_list delta_path; /* uci_element, name = directory */
	enum uci_flags flags;
	int err;
	const char *func;
	/* where the last parse error was found */
	const char *err_reason;
	int err_line;
	int err_byte;
	char err_text[128];
};

struct uci_package {
	struct uci_element e;
	struct uci_list sections;
	struct uci_context *ctx;
	bool has_delta;
	char *path;
	int n_section;
	struct uci_list delta;       /* changes not yet saved */
	struct uci_list saved_delta; /* staged changes replayed by the load */
	/* private: one hash of name and type per section, as last read or
	 * written by this context */
	unsigned long long *shape;
	int n_shape;
};

struct uci_section {
	struct uci_element e;
	struct uci_list options;
	struct uci_package *package;
	bool anonymous;
	char *type;
};

struct uci_option {
	struct uci_element e;
	struct uci_section *section;
	enum uci_option_type type;
	union {
		struct uci_list list;
		char *string;
	} v;
};

struct uci_ptr {
	enum uci_type target;
	enum {
		UCI_LOOKUP_DONE = (1 << 0),
		UCI_LOOKUP_COMPLETE = (1 << 1),
		UCI_LOOKUP_EXTENDED = (1 << 2),
	} flags;

	struct uci_package *p;
	struct uci_section *s;
	struct uci_option *o;
	struct uci_element *last;

	const char *package;
	const char *section;
	const char *option;
	const char *value;
};

#define list_to_element(ptr) \
	((struct uci_element *)((char *)(ptr) - offsetof(struct uci_element, list)))

#define uci_foreach_element(_list, _ptr) \
	for (_ptr = list_to_element((_list)->next); &_ptr->list != (_list); \
	     _ptr = list_to_element(_ptr->list.next))

#define uci_foreach_element_safe(_list, _tmp, _ptr) \
	for (_ptr = list_to_element((_list)->next), _tmp = list_to_element(_ptr->list.next); \
	     &_ptr->list != (_list); _ptr = _tmp, _tmp = list_to_element(_ptr->list.next))

#define uci_list_empty(list) ((list)->next == (list))

#define uci_to_package(ptr) ((struct uci_package *)((char *)(ptr) - offsetof(struct uci_package, e)))
#define uci_to_section(ptr) ((struct uci_section *)((char *)(ptr) - offsetof(struct uci_section, e)))
#define uci_to_option(ptr) ((struct uci_option *)((char *)(ptr) - offsetof(struct uci_option, e)))
#define uci_to_delta(ptr) ((struct uci_delta *)((char *)(ptr) - offsetof(struct uci_delta, e)))

struct uci_context *uci_alloc_context(void);
void uci_free_context(struct uci_context *ctx);

int uci_set_confdir(struct uci_context *ctx, const char *dir);
int uci_set_savedir(struct uci_context *ctx, const char *dir);
/* The override directory (NULL: none): a package whose file is there loads
 * from it and commits to it, instead of confdir. */
int uci_set_conf2dir(struct uci_context *ctx, const char *dir);
/* Adds a directory whose staged changes every load replays before the save
 * directory's (as `uci -P` does with the save directory it replaces). */
int uci_add_delta_path(struct uci_context *ctx, const char *dir);

int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package);
int uci_unload(struct uci_context *ctx, struct uci_package *p);

int uci_lookup_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str, bool extended);
int uci_set(struct uci_context *ctx, struct uci_ptr *ptr);
int uci_add_list(struct uci_context *ctx, struct uci_ptr *ptr);
int uci_del_list(struct uci_context *ctx, struct uci_ptr *ptr);
int uci_delete(struct uci_context *ctx, struct uci_ptr *ptr);
/* Appends the package's unsaved changes to SAVEDIR/PACKAGE. */
int uci_save(struct uci_context *ctx, struct uci_package *p);
/* Drops the staged changes of ptr's package, section or option (and the
 * context's unsaved ones for the package) and reloads the package into
 * ptr->p. */
int uci_revert(struct uci_context *ctx, struct uci_ptr *ptr);
/* Appends an anonymous section; *res (may be NULL) is borrowed from the tree. */
int uci_add_section(struct uci_context *ctx, struct uci_package *p, const char *type,
		    struct uci_section **res);
/* Renames ptr's section or option to ptr->value; UCI_ERR_DUPLICATE if the
 * name is taken. A renamed anonymous section is named from then on. */
int uci_rename(struct uci_context *ctx, struct uci_ptr *ptr);
/* Moves a section to position pos (0 first; past the end appends). */
int uci_reorder_section(struct uci_context *ctx, struct uci_section *s, int pos);
int uci_commit(struct uci_context *ctx, struct uci_package **p, bool overwrite);

struct uci_section *uci_lookup_section(struct uci_context *ctx, struct uci_package *p,
				       const char *name);
struct uci_option *uci_lookup_option(struct uci_context *ctx, struct uci_section *s,
				     const char *name);
const char *uci_lookup_option_string(struct uci_context *ctx, struct uci_section *s,
				     const char *name);

int uci_export(struct uci_context *ctx, FILE *stream, struct uci_package *package, bool header);
/* Reads a package from a stream, as a load reads a file (single: `package`
 * lines are ignored; otherwise each starts a new package). */
int uci_import(struct uci_context *ctx, FILE *stream, const char *name, struct uci_package **package,
	       bool single);

void uci_perror(struct uci_context *ctx, const char *str);
void uci_get_errorstr(struct uci_context *ctx, char **dest, const char *str);

#ifdef __cplusplus
}
#endif

#endif
