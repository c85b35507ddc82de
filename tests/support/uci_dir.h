// libuci contexts on a test's own directory: DIR holds the packages and
// DIR/.uci is the save directory, so nothing reaches the host's /etc/config
// or /tmp/.uci.
#pragma once

#include <uci.h>

#include <string>

namespace testing_support {

// A fresh context on dir; the caller frees it.
inline struct uci_context *uci_context_on(const std::string &dir)
{
	struct uci_context *ctx = uci_alloc_context();
	uci_set_confdir(ctx, dir.c_str());
	uci_set_savedir(ctx, (dir + "/.uci").c_str());
	return ctx;
}

enum class uci_change { set, add_list, remove };

// One change ("pkg.section.option=value") recorded in ctx; libuci's
// result. `package`, where given, is set to the package it changed.
inline int uci_apply(struct uci_context *ctx, const std::string &expr, uci_change op,
		     struct uci_package **package = nullptr)
{
	std::string copy = expr;
	struct uci_ptr ptr;
	int r = uci_lookup_ptr(ctx, &ptr, copy.data(), true);
	if (r == UCI_OK)
		r = op == uci_change::add_list ? uci_add_list(ctx, &ptr)
		    : op == uci_change::remove ? uci_delete(ctx, &ptr)
					       : uci_set(ctx, &ptr);
	if (package)
		*package = ptr.p;
	return r;
}

// One change and its commit, in a context of its own, as another writer
// would make it; libuci's result.
inline int uci_change_and_commit(const std::string &dir, const std::string &expr, uci_change op)
{
	struct uci_context *ctx = uci_context_on(dir);
	struct uci_package *p = nullptr;
	int r = uci_apply(ctx, expr, op, &p);
	if (r == UCI_OK)
		r = uci_commit(ctx, &p, false);
	uci_free_context(ctx);
	return r;
}

} // namespace testing_support
