// Reading the UCI store: a global context for package walks, and a
// self-contained reader of single options.
#pragma once

#include <uci.h>

#include <memory>
#include <span>

extern struct uci_context *uci_ctx;
extern struct uci_package *uci_package;

// Why a load or a commit failed: libuci's error, and for an I/O error the
// errno of the system call that failed (0 when there was none).
struct uci_failure {
	const char *step; // "load" or "commit"
	int uci_err;
	int sys_err;
};

// libuci's text for one of its error codes.
const char *uci_error_text(int err);

// Loads a package into a fresh global context (freeing the previous one);
// NULL on failure, with nothing left open and, given `fail`, why.
struct uci_package *config_init_package(const char *name, uci_failure *fail = nullptr);
void config_free();

// Copies option `option` of the section named `section` into buf (at most
// len - 1 characters, the rest of the len bytes zeroed). Returns buf, or
// buf untouched when no section has that name, or NULL on failure.
char *uci_get_option(const char *package, const char *section, const char *option, char *buf,
		     int len);

// uci_get_option for a secret: the whole stored value is compared with
// `value` instead of being copied cut, and its debug line shows "***".
// 1 equal, 0 different, -1 where uci_get_option fails; a missing section
// reads as an empty value.
int uci_option_compare_secret(const char *package, const char *section, const char *option,
			      const char *value);

// A context of the caller's own, freed with every package loaded through it
// on every path out.
struct uci_context_deleter {
	void operator()(struct uci_context *ctx) const { uci_free_context(ctx); }
};
using private_context = std::unique_ptr<struct uci_context, uci_context_deleter>;

// One option's new value; both texts borrowed for the call.
struct uci_assignment {
	const char *option;
	const char *value;
};

// Sets each option of package.section through ctx (which loads the package
// on the first set) and commits the package once, so the file holds all of
// the new values or none of them. 0, or -1 with the failed step ("load",
// "set", "commit") logged under `func`'s name as log_uci_failure does;
// nothing is written then. An empty `values` writes nothing and gives 0.
int uci_set_options(struct uci_context *ctx, const char *func, const char *package, const char *section,
		    std::span<const uci_assignment> values);

// The level-3 line of a failed step, under `func`'s name:
// "<package> <step> failed: <libuci's text>[ (<errno text>)]".
void log_uci_failure(const char *func, const char *package, const uci_failure &fail);
