// Reading the UCI store: a global context for package walks, and a
// self-contained reader of single options.
#pragma once

#include <uci.h>

#include <memory>

extern struct uci_context *uci_ctx;
extern struct uci_package *uci_package;

// Loads a package into a fresh global context (freeing the previous one);
// NULL on failure, with nothing left open.
struct uci_package *config_init_package(const char *name);
void config_free();

// Copies option `option` of the section named `section` into buf (at most
// len - 1 characters, the rest of the len bytes zeroed). Returns buf, or
// buf untouched when no section has that name, or NULL on failure.
char *uci_get_option(const char *package, const char *section, const char *option, char *buf,
		     int len);

// A context of the caller's own, freed with every package loaded through it
// on every path out.
struct uci_context_deleter {
	void operator()(struct uci_context *ctx) const { uci_free_context(ctx); }
};
using private_context = std::unique_ptr<struct uci_context, uci_context_deleter>;
