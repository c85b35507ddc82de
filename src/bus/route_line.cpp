#include "route_line.h"

#include "../core/log.h"

#include <cstdio>
#include <cstring>

bool default_route(const char *line, char (&gw)[GW_ADDR_SIZE])
{
	char dest[20], gateway[32], mask[128];
	if (strncmp(line, "Destination", 11) == 0)
		return false;
	if (sscanf(line, "%19s %31s %127s", dest, gateway, mask) < 3)
		return false;
	if (strncmp(dest, "0.0.0.0", 7) != 0 || strncmp(mask, "0.0.0.0", 7) != 0) {
		KLOG_AS(LOG_LEVEL_DEBUG, "get_gw_ip", "not default gw,dest:%s,mask:%s,gw:%s continue\n", dest, mask,
			gateway);
		return false;
	}
	KLOG_AS(LOG_LEVEL_DEBUG, "get_gw_ip", "get default gw,dest:%s,mask:%s,gw:%s\n", dest, mask, gateway);
	// route -n never prints a gateway longer than an address; one that does
	// is cut to the field and left to inet_aton to judge.
	size_t n = strnlen(gateway, sizeof(gw) - 1);
	memcpy(gw, gateway, n);
	gw[n] = 0;
	return true;
}
