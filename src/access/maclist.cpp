#include "maclist.h"

#include "../config/uci_helpers.h"
#include "../core/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr const char wireless[] = "wireless";

// Lines of the comparison's per-section steps carry the comparison's name.
constexpr const char check_name[] = "checkMacList";

int log_length(std::string_view s)
{
	return s.size() > INT32_MAX ? INT32_MAX : static_cast<int>(s.size());
}

// Changes go by name through the global context, so that the commit can
// replay them on the file as it is then. `change` is uci_set, uci_add_list
// or uci_delete; their results are looked at by the commit.
void change_option(int (*change)(struct uci_context *, struct uci_ptr *), struct uci_section *s,
		   const char *option, const char *value = nullptr)
{
	struct uci_ptr ptr = {};
	ptr.package = wireless;
	ptr.section = s->e.name;
	ptr.option = option;
	ptr.value = value;
	change(uci_ctx, &ptr);
}

// Without overwrite: the store re-reads the file under its lock and applies
// only our changes, so what others committed meanwhile stays. 0, or -1
// with `fail` (when given) saying why.
int commit_and_free(uci_failure *fail = nullptr)
{
	errno = 0;
	int r = uci_commit(uci_ctx, &uci_package, false);
	int sys_err = r == UCI_ERR_IO ? errno : 0;
	uci_unload(uci_ctx, uci_package);
	config_free();
	if (r == UCI_OK)
		return 0;
	if (fail)
		*fail = {"commit", r, sys_err};
	return -1;
}

// The current entries of a section's maclist: a list, one string, or none.
struct current_entries {
	struct uci_option *option;

	bool contains(std::string_view entry) const
	{
		if (option->type == UCI_TYPE_STRING)
			return entry == option->v.string;
		struct uci_element *e;
		uci_foreach_element(&option->v.list, e) {
			if (entry == e->name)
				return true;
		}
		return false;
	}
};

// One LAN AP interface against the requested filter text and list text;
// true at the first difference.
bool section_differs(struct uci_section *s, const char *filter, std::string_view list)
{
	const char *current = uci_lookup_option_string(uci_ctx, s, "macfilter");
	if (!current) {
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, "option macfilter of wireless iface default to disabled \n");
		current = "disabled";
	}
	// "macfliter": the device's spelling, kept in both lines
	if (strcmp(current, filter) != 0) {
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, "option macfliter %s -> %s ,changed! \n", current, filter);
		return true;
	}
	KLOG_AS(LOG_LEVEL_DEBUG, check_name, "option macfliter %s NOT change! \n", filter);

	struct uci_option *maclist = uci_lookup_option(uci_ctx, s, "maclist");
	int current_count = 0;
	if (!maclist) {
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, " option maclist is null \n");
		if (list.size() >= 2) {
			KLOG_AS(LOG_LEVEL_DEBUG, check_name, " got new maclist! \n");
			return true;
		}
	} else if (maclist->type == UCI_TYPE_LIST) {
		struct uci_element *e;
		uci_foreach_element(&maclist->v.list, e) {
			KLOG_AS(LOG_LEVEL_DEBUG, check_name, "   cur maclist foreach %s \n", e->name);
			current_count++;
		}
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, "   cur maclist cnt %d \n", current_count);
	} else {
		current_count = 1;
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, "   cur maclist cnt %d \n", current_count);
	}

	// Without a maclist option only a list of at most one character gets
	// here, and such a list has no entries.
	int requested_count = 0;
	bool all_found = maclist_for_each(list, [&](std::string_view entry) {
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, "get one of macList:%.*s\n", log_length(entry), entry.data());
		requested_count++;
		current_entries have{maclist};
		if (have.contains(entry))
			return true;
		if (maclist->type == UCI_TYPE_LIST)
			KLOG_AS(LOG_LEVEL_DEBUG, check_name, " %.*s not find in cfg! \n", log_length(entry),
				entry.data());
		return false;
	});
	if (!all_found)
		return true;

	if (current_count != requested_count) {
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, " maclist cnt change, %d -> %d! \n", current_count,
			requested_count);
		return true;
	}
	return false;
}

} // namespace

const char *macfilter_text(int32_t type)
{
	switch (type) {
	case 2:
		return "deny";
	case 1:
		return "allow";
	default:
		return "disabled";
	}
}

bool is_wifi_iface(const struct uci_section *s, iface_type_match match)
{
	if (!s->type)
		return false;
	if (match == iface_type_match::exact)
		return strcmp(s->type, "wifi-iface") == 0;
	return strncmp(s->type, "wifi-iface", 10) == 0;
}

bool is_guest_2g(const struct uci_section *s)
{
	return s->e.name && strncmp(s->e.name, "guest_2G", 8) == 0;
}

namespace {

// The option as a string that begins with one of the prefixes, else NULL
// with the test that failed logged under `caller`: `missing` without the
// option, `other` (given its value) with another one.
const char *option_with_prefix(struct uci_context *ctx, struct uci_section *s, const char *caller,
			       const char *option, std::initializer_list<const char *> prefixes,
			       const char *missing, const char *other)
{
	const char *value = uci_lookup_option_string(ctx, s, option);
	if (!value) {
		KLOG_AS(LOG_LEVEL_DEBUG, caller, "%s", missing);
		return nullptr;
	}
	for (const char *prefix : prefixes) {
		if (strncmp(value, prefix, strlen(prefix)) == 0)
			return value;
	}
	KLOG_AS(LOG_LEVEL_DEBUG, caller, other, value);
	return nullptr;
}

} // namespace

bool has_lan_ap_options(struct uci_context *ctx, struct uci_section *s, const char *caller,
			lan_ap_options &out)
{
	out.ifname = option_with_prefix(ctx, s, caller, "ifname", {"wl1", "wl0"}, "option ifname of wireless iface\n",
					"option ifname:%s,continue\n");
	if (!out.ifname)
		return false;
	out.network = option_with_prefix(ctx, s, caller, "network", {"lan"}, "option network of wireless iface\n",
					 "option network:%s ,continue \n");
	if (!out.network)
		return false;
	out.mode = option_with_prefix(ctx, s, caller, "mode", {"ap"}, "option mode of wireless iface \n",
				      "option mode:%s ,continue \n");
	return out.mode != nullptr;
}

bool checkMacList(const char *filter, const char *list)
{
	uci_failure fail;
	return compareMacList(filter, list, fail) == maclist_check::changed;
}

maclist_check compareMacList(const char *filter, const char *list, uci_failure &fail)
{
	uci_package = config_init_package(wireless, &fail);
	if (!uci_package) {
		KLOG_AS(LOG_LEVEL_ERR, check_name, "Failed to load network config\n");
		return maclist_check::unreadable;
	}

	bool differs = false;
	struct uci_element *e;
	uci_foreach_element(&uci_package->sections, e) {
		struct uci_section *s = uci_to_section(e);
		if (!is_wifi_iface(s, iface_type_match::exact))
			continue;
		if (is_guest_2g(s)) {
			KLOG_AS(LOG_LEVEL_DEBUG, check_name, "option name:%s,continue\n", e->name);
			continue;
		}
		lan_ap_options opt;
		if (!has_lan_ap_options(uci_ctx, s, check_name, opt))
			continue;
		KLOG_AS(LOG_LEVEL_DEBUG, check_name,
			"check maclist option of wifi-iface mode:%s network:%s ifname:%s name:%s \n", opt.mode,
			opt.network, opt.ifname, e->name);
		if (section_differs(s, filter, list ? list : "")) {
			differs = true;
			break;
		}
	}
	config_free();

	if (differs)
		KLOG_AS(LOG_LEVEL_ERR, check_name, " maclist %s change! \n", "DO");
	else
		KLOG_AS(LOG_LEVEL_DEBUG, check_name, " maclist %s change! \n", "NOT");
	return differs ? maclist_check::changed : maclist_check::unchanged;
}

namespace {

// Lines of the two walks carry the names of the writers they were.
constexpr const char del_name[] = "delMacList";
constexpr const char set_name[] = "setMacList";

// delMacList's changes on the loaded package.
void clear_filters()
{
	struct uci_element *e;
	uci_foreach_element(&uci_package->sections, e) {
		struct uci_section *s = uci_to_section(e);
		if (!is_wifi_iface(s, iface_type_match::writer_prefix) || is_guest_2g(s))
			continue;
		if (const char *filter = uci_lookup_option_string(uci_ctx, s, "macfilter")) {
			KLOG_AS(LOG_LEVEL_DEBUG, del_name, "uci_lookup_option_string :macfilter:%s section:%s\n", filter,
				e->name);
			change_option(uci_set, s, "macfilter", "disabled");
		}
		if (uci_lookup_option(uci_ctx, s, "maclist")) {
			KLOG_AS(LOG_LEVEL_DEBUG, del_name,
				"uci_lookup_option_string :section:%s has option maclist, del it\n", e->name);
			change_option(uci_delete, s, "maclist");
		}
	}
}

// setMacList's changes on the loaded package.
void write_filters(int32_t type, const char *mac_list)
{
	const char *filter = macfilter_text(type);
	struct uci_element *e;
	uci_foreach_element(&uci_package->sections, e) {
		struct uci_section *s = uci_to_section(e);
		if (!is_wifi_iface(s, iface_type_match::writer_prefix) || is_guest_2g(s))
			continue;
		lan_ap_options opt;
		if (!has_lan_ap_options(uci_ctx, s, set_name, opt))
			continue;
		KLOG_AS(LOG_LEVEL_DEBUG, set_name,
			"get option of wireless iface mode:%s network:%s ifname:%s name:%s,will set list\n", opt.mode,
			opt.network, opt.ifname, e->name);
		change_option(uci_set, s, "macfilter", filter);
		maclist_for_each(mac_list, [&](std::string_view piece) {
			KLOG_AS(LOG_LEVEL_DEBUG, set_name, "prtStart:%p,ptrend:%p\n",
				static_cast<const void *>(piece.data()),
				static_cast<const void *>(piece.data() + piece.size()));
			KLOG_AS(LOG_LEVEL_DEBUG, set_name, "get one of macList:%.*s\n", log_length(piece),
				piece.data());
			// uci_add_list wants a terminated copy of each piece
			char *entry = strndup(piece.data(), piece.size());
			if (!entry)
				return false;
			change_option(uci_add_list, s, "maclist", entry);
			free(entry);
			return true;
		});
	}
}

} // namespace

void delMacList()
{
	KLOG_DEBUG("del_maclist_info\n");
	uci_package = config_init_package(wireless);
	if (!uci_package) {
		KLOG_ERR("Failed to load network config\n");
		return;
	}
	clear_filters();
	commit_and_free();
}

void setMacList(int32_t type, const char *mac_list)
{
	if (!mac_list)
		return;
	uci_package = config_init_package(wireless);
	if (!uci_package) {
		KLOG_DEBUG("Failed to load network config\n");
		return;
	}
	write_filters(type, mac_list);
	commit_and_free();
}

int rewriteMacList(int32_t type, const char *mac_list, uci_failure &fail)
{
	KLOG_AS(LOG_LEVEL_DEBUG, del_name, "del_maclist_info\n");
	uci_package = config_init_package(wireless, &fail);
	if (!uci_package) {
		KLOG_AS(LOG_LEVEL_ERR, del_name, "Failed to load network config\n");
		if (mac_list)
			KLOG_AS(LOG_LEVEL_DEBUG, set_name, "Failed to load network config\n");
		return -1;
	}
	clear_filters();
	if (mac_list)
		write_filters(type, mac_list);
	return commit_and_free(&fail);
}
