#include "connection.h"

#include "objects.h"
#include "route_line.h"

#include "../config/device.h"
#include "../core/log.h"
#include "../core/options.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

struct ubus_context *vimb_ctx;
struct uloop_timeout vimb_connect_timer = {.cb = vimb_reconnect_timer_handler};

namespace {

constexpr uint16_t vimbd_port = 784;
constexpr int retry_seconds = 10;
constexpr const char route_cmd[] = "route -n";
constexpr const char lan_ifname[] = "br-lan";

// The published object's name points here for as long as it is published.
char object_name[OBJECT_NAME_SIZE];

struct pipe_closer {
	void operator()(FILE *f) const { pclose(f); }
};

struct ubus_object *object_for_mode()
{
	if (cfg.is_router)
		return &kestrad_master_vimb_object;
	if (cfg.is_wifiap)
		return &kestrad_vimb_object;
	if (cfg.is_whc_re)
		return &kestrad_re_vimb_object;
	return &kestrad_lanAP_vimb_object;
}

// dst = a then b, cut to the buffer and always terminated.
template <size_t N>
void cut_copy(char (&dst)[N], std::string_view a, std::string_view b = {})
{
	size_t na = std::min(a.size(), N - 1);
	size_t nb = std::min(b.size(), N - 1 - na);
	memcpy(dst, a.data(), na);
	memcpy(dst + na, b.data(), nb);
	dst[na + nb] = 0;
}

void publish(struct ubus_object *obj)
{
	obj->name = object_name;
	if (obj->type && obj->type->id)
		obj->type->id = 0; // registered afresh on the new connection
	if (kestrad_add_object(obj) == 0)
		KLOG_AS(LOG_LEVEL_DEBUG, "vimb_reconnect_timer_handler", "model[%s],push object success\n", cfg.model);
	else
		KLOG_AS(LOG_LEVEL_ERR, "vimb_reconnect_timer_handler", "model[%s],push object failed\n", cfg.model);
}

} // namespace

int vimb_connect_timer_set(int seconds)
{
	KLOG_NOTICE("set vimb connect timer,vimb will connect next %d sec", seconds);
	return uloop_timeout_set(&vimb_connect_timer, seconds * 1000);
}

int vimb_init()
{
	return vimb_connect_timer_set(1);
}

void vimb_connection_lost(struct ubus_context *ctx)
{
	KLOG_ERR("vimb connection lost,trying reinit vimb,uloop_fd_delete(ctx),vimb will reconnect in 10 sec\n");
	if (ctx)
		uloop_fd_delete(&ctx->sock);
	vimb_connect_timer_set(retry_seconds);
}

int get_gw_ip(char (&gw)[GW_ADDR_SIZE])
{
	std::unique_ptr<FILE, pipe_closer> fp(popen(route_cmd, "r"));
	if (!fp) {
		int err = errno;
		KLOG_ERR("popen cmd:%s error:[%d]%s\n", route_cmd, err, strerror(err));
		return -1;
	}
	char *line = nullptr;
	size_t cap = 0;
	bool found = false;
	for (;;) {
		errno = 0;
		if (getline(&line, &cap, fp.get()) < 0) {
			if (errno == EINTR) {
				clearerr(fp.get());
				continue;
			}
			break;
		}
		if (default_route(line, gw)) {
			found = true;
			break;
		}
	}
	free(line);
	return found ? 0 : -1;
}

int get_vimb_ip(char (&ip)[GW_ADDR_SIZE], struct sockaddr_in &addr)
{
	memset(ip, 0, sizeof(ip));
	if (static_vimbd_ip) {
		snprintf(ip, sizeof(ip), "%s", static_vimbd_ip);
		KLOG_DEBUG("get static ip :%s\n", ip);
		// a longer text would have been cut: refuse it rather than guess
		if (strlen(static_vimbd_ip) >= sizeof(ip)) {
			KLOG_ERR("ip[%s] format error\n", static_vimbd_ip);
			return -1;
		}
	} else if (get_gw_ip(ip) != 0) {
		return -1;
	}
	memset(&addr, 0, sizeof(addr));
	addr.sin_family = AF_INET;
	addr.sin_port = htons(vimbd_port);
	if (!ipv4_from_text(ip, &addr.sin_addr)) {
		KLOG_ERR("ip[%s] format error\n", ip);
		return -1;
	}
	return 0;
}

int get_ip_address(char (&name)[OBJECT_NAME_SIZE])
{
	memset(name, 0, sizeof(name));
	struct ifreq ifr = {};
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", lan_ifname);
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		int err = errno;
		KLOG_ERR("create socket error no:[%d]%s\n", err, strerror(err));
		return -1;
	}
	int ret = 0;
	if (ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
		struct sockaddr_in sin;
		memcpy(&sin, &ifr.ifr_addr, sizeof(sin));
		snprintf(name, sizeof(name), "%s", inet_ntoa(sin.sin_addr));
		KLOG_DEBUG("get local address[%s] of ifname[%s]\n", name, lan_ifname);
	} else {
		int err = errno;
		KLOG_ERR("ioctl error no:[%d]%s\n", err, strerror(err));
		ret = -1;
	}
	close(fd);
	return ret;
}

void vimb_reconnect_timer_handler(struct uloop_timeout *)
{
	if (vimb_ctx) {
		ubus_free(vimb_ctx);
		vimb_ctx = nullptr;
	}

	char ip[GW_ADDR_SIZE];
	struct sockaddr_in addr;
	if (get_vimb_ip(ip, addr) != 0) {
		KLOG_ERR("get vimbd host ip error\n");
	} else if (!(vimb_ctx = vimb_connect(&addr))) {
		KLOG_ERR("failed to connect,trying reconnect vimbd after %d seconds\n", retry_seconds);
	} else {
		uloop_fd_add(&vimb_ctx->sock, ULOOP_READ | ULOOP_BLOCKING);
		vimb_ctx->connection_lost = vimb_connection_lost;

		char lan[OBJECT_NAME_SIZE];
		get_ip_address(lan);
		cut_copy(object_name, lan, "-@kestrad");
		publish(object_for_mode());
	}
	if (!vimb_ctx)
		vimb_connect_timer_set(retry_seconds);
}
