#include "device.h"

#include "uci_helpers.h"

#include "../core/log.h"

#include <cstring>
#include <string_view>

device_config cfg;

namespace {

struct netmode_flag {
	std::string_view netmode;
	uint8_t device_config::*flag;
};

constexpr netmode_flag netmode_table[] = {
	{"wifiapmode", &device_config::is_wifiap},
	{"lanapmode", &device_config::is_lanap},
	{"whc_re", &device_config::is_whc_re},
};

void apply_netmode(std::string_view mode)
{
	for (const auto &entry : netmode_table) {
		if (mode == entry.netmode) {
			cfg.is_router = 0;
			cfg.*entry.flag = 1;
		}
	}
}

} // namespace

int config_get_netmode()
{
	uci_package = config_init_package("marovela");
	if (!uci_package) {
		KLOG_ERR("Failed to load marovela config\n");
		return 1;
	}
	cfg.is_router = 1;
	cfg.is_wifiap = cfg.is_lanap = cfg.is_whc_re = 0;

	struct uci_element *e;
	uci_foreach_element(&uci_package->sections, e) {
		struct uci_section *s = uci_to_section(e);
		if (strcmp(s->type, "core") != 0 || strcmp(e->name, "common") != 0)
			continue;
		const char *mode = uci_lookup_option_string(uci_ctx, s, "NETMODE");
		if (!mode)
			continue;
		KLOG_DEBUG("get NETMODE:%s\n", mode);
		apply_netmode(mode);
	}
	KLOG_NOTICE("config_get netmode parse:is_router[%d],is_wifiap[%d],is_lanap[%d],is_whc_re[%d]\n",
		    cfg.is_router, cfg.is_wifiap, cfg.is_lanap, cfg.is_whc_re);
	config_free();
	return 0;
}

// A model of 16 characters or more is cut to 15, keeping the terminator.
int config_get_model()
{
	uci_package = config_init_package("misc");
	if (!uci_package) {
		KLOG_ERR("Failed to load misc config\n");
		return 1;
	}
	struct uci_element *e;
	uci_foreach_element(&uci_package->sections, e) {
		if (strcmp(e->name, "hardware") != 0)
			continue;
		const char *model = uci_lookup_option_string(uci_ctx, uci_to_section(e), "model");
		if (!model)
			continue;
		memset(cfg.model, 0, sizeof(cfg.model));
		strncpy(cfg.model, model, sizeof(cfg.model) - 1);
		KLOG_DEBUG("config_get get model:%s\n", model);
	}
	config_free();
	return 0;
}

int config_refresh()
{
	if (config_get_netmode() != 0) {
		KLOG_ERR("get netmode error\n");
		return -1;
	}
	if (config_get_model() != 0) {
		KLOG_ERR("get model error\n");
		return -1;
	}
	return 0;
}
