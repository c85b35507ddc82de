// The wireless MAC filter: which interfaces it applies to, how a MAC list
// text splits into entries, the comparison with what the configuration
// holds, and its two writers.
#pragma once

#include "../config/uci_helpers.h"

#include <uci.h>

#include <cstdint>
#include <string_view>

// 2 "deny", 1 "allow", anything else "disabled". Static text.
const char *macfilter_text(int32_t type);

// The entries of a MAC list text: none for 16 characters or fewer, else the
// pieces between ';' (empty ones included), whole whatever their length.
// fn(std::string_view) is called per entry, in order, until it returns
// false; the views borrow from `list`. Returns false when fn stopped it.
template <typename F>
bool maclist_for_each(std::string_view list, F fn)
{
	constexpr size_t no_entries_max = 16;
	if (list.size() <= no_entries_max)
		return true;
	for (size_t start = 0;;) {
		size_t end = list.find(';', start);
		size_t stop = end == std::string_view::npos ? list.size() : end;
		// substr() could throw; start never passes the end here
		if (!fn(std::string_view(list.data() + start, stop - start)))
			return false;
		if (end == std::string_view::npos)
			return true;
		start = end + 1;
	}
}

// The section's type test: the comparison only reads and wants the type
// exactly; the writers skip a section without a type and compare the first
// 10 characters.
enum class iface_type_match { exact, writer_prefix };
bool is_wifi_iface(const struct uci_section *s, iface_type_match match);
bool is_guest_2g(const struct uci_section *s);

// The options a LAN AP interface must have; borrowed from the section.
struct lan_ap_options {
	const char *ifname;
	const char *network;
	const char *mode;
};

// ifname "wl1"/"wl0", network "lan", mode "ap", tested in that order; the
// failed test is logged at level 7 under `caller`'s name. ctx is the
// context that loaded s.
bool has_lan_ap_options(struct uci_context *ctx, struct uci_section *s, const char *caller,
			lan_ap_options &out);

// Whether a LAN AP interface of "wireless" holds another filter mode than
// `filter` or other entries than `list` (membership plus count); when the
// package cannot be loaded, `fail` says why. Uses and frees the global
// context of uci_helpers.h.
enum class maclist_check { unchanged, changed, unreadable };
maclist_check compareMacList(const char *filter, const char *list, uci_failure &fail);
// The same as true for changed only.
bool checkMacList(const char *filter, const char *list);

// Sets an existing macfilter of every non-guest wifi-iface to "disabled" and
// deletes its maclist; commits.
void delMacList();

// Sets macfilter of every LAN AP interface to the text of `type` and appends
// the entries of mac_list to its maclist; commits. A NULL mac_list does
// nothing. Both writers use and free the global context and commit only
// their own changes onto the file as it is at commit time.
void setMacList(int32_t type, const char *mac_list);

// delMacList's and setMacList's changes, with their log lines, in one load
// and one commit: the file holds the old filters or the new ones, never a
// mix. 0, or -1 with `fail` saying which step failed and why (nothing is
// written then).
int rewriteMacList(int32_t type, const char *mac_list, uci_failure &fail);
