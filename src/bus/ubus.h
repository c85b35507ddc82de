// <libubus.h> for the daemon's C++: include this, never <libubus.h> itself.
// The device's libubus.h pulls in libubox headers outside its own extern "C",
// and they carry none of their own; included here first with C linkage, they
// are empty when libubus.h includes them again.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubox/utils.h>
}

#include <libubus.h>
