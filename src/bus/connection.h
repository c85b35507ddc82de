// Finding the gateway, connecting to its vimbd, publishing our object, and
// reconnecting every 10 s after a failure or a lost connection.
#pragma once

#include "ubus.h"

extern struct ubus_context *vimb_ctx;
extern struct uloop_timeout vimb_connect_timer;

int vimb_init();
int vimb_connect_timer_set(int seconds);
void vimb_connection_lost(struct ubus_context *ctx);
void vimb_reconnect_timer_handler(struct uloop_timeout *timer);

constexpr int GW_ADDR_SIZE = 17;
constexpr int OBJECT_NAME_SIZE = 128;

// The steps of an attempt, for their own tests. 0 on success.
int get_vimb_ip(char (&ip)[GW_ADDR_SIZE], struct sockaddr_in &addr);
int get_gw_ip(char (&gw)[GW_ADDR_SIZE]);
int get_ip_address(char (&name)[OBJECT_NAME_SIZE]);
