// The access method's MAC list against its writer: after delMacList and
// setMacList have written a list, checkMacList finds the configuration
// unchanged, except for a list text of 2 to 16 characters, which has no
// entries and counts as a change every time. The first byte picks the
// filter mode and the starting `wireless`; the rest is the list text.
//
// Runs as root: the process takes a mount namespace of its own with a tmpfs
// over /etc, so the host's files are never touched.
#include "access/maclist.h"
#include "config/uci_helpers.h"
#include "fuzz_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *starting_files[] = {
	// one LAN AP interface, no filter yet
	"config wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'ap'\n",
	// lists and a single-string maclist already there, a guest interface
	"config wifi-device 'wifi0'\n\toption channel '6'\n\n"
	"config wifi-iface 'lan_2g'\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'ap'\n"
	"\toption macfilter 'allow'\n\tlist maclist '02:00:00:00:00:01'\n\tlist maclist '02:00:00:00:00:02'\n\n"
	"config wifi-iface 'guest_2G'\n\toption ifname 'wl02'\n\toption network 'lan'\n\toption mode 'ap'\n"
	"\toption macfilter 'deny'\n\tlist maclist 'zz'\n\n"
	"config wifi-iface 'lan_5g'\n\toption ifname 'wl11'\n\toption network 'lan'\n\toption mode 'ap'\n"
	"\toption macfilter 'deny'\n\toption maclist '02:00:00:00:00:03'\n",
	// anonymous interfaces
	"config wifi-iface\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'ap'\n\n"
	"config wifi-iface\n\toption ifname 'wl11'\n\toption network 'lan'\n\toption mode 'ap'\n"
	"\toption macfilter 'deny'\n",
	// no LAN AP interface: nothing is written, nothing ever differs
	"config wifi-iface 'sta'\n\toption ifname 'wl01'\n\toption network 'lan'\n\toption mode 'sta'\n",
};
constexpr size_t no_lan_ap = 3;

void write_wireless(const char *text)
{
	int fd = open("/etc/config/wireless", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0 || write(fd, text, strlen(text)) != static_cast<ssize_t>(strlen(text)))
		abort();
	close(fd);
}

void check_split(const std::string &list)
{
	std::string joined;
	size_t pieces = 0;
	maclist_for_each(list, [&](std::string_view e) {
		joined.append(pieces ? ";" : "").append(e);
		pieces++;
		return true;
	});
	if (list.size() <= 16) {
		if (pieces)
			abort();
	} else if (joined != list || pieces != static_cast<size_t>(std::count(list.begin(), list.end(), ';')) + 1) {
		abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_log_to_null();
	if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("tmpfs", "/etc", "tmpfs", 0, "size=16m") != 0 || mkdir("/etc/config", 0755) != 0) {
		perror("fuzz_maclist: a private /etc (run as root)");
		exit(2);
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	auto type = static_cast<int32_t>(data[0] & 3);
	size_t variant = (data[0] >> 2) % (sizeof(starting_files) / sizeof(starting_files[0]));
	std::string list(reinterpret_cast<const char *>(data + 1), size - 1);
	list.resize(strnlen(list.c_str(), list.size()));

	check_split(list);

	write_wireless(starting_files[variant]);
	delMacList();
	setMacList(type, list.c_str());
	bool changed = checkMacList(macfilter_text(type), list.c_str());
	bool always_changed = variant != no_lan_ap && list.size() >= 2 && list.size() <= 16;
	if (changed != always_changed)
		abort();
	return 0;
}
