// The device's network mode and hardware model, read once at start-up.
#pragma once

#include <cstdint>

constexpr int MODEL_SIZE = 16;

struct device_config {
	uint8_t is_router;
	uint8_t is_wifiap;
	uint8_t is_whc_re;
	uint8_t is_lanap;
	char model[MODEL_SIZE];
};

extern device_config cfg;

int config_get_netmode();
int config_get_model();
int config_refresh();
