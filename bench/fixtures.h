// The fixed inputs the benchmarks and the cost counts share: a whc_sync
// request of 21 fields, a reply of nine, and an 80 kB wireless package.
#pragma once

#include <cstdio>
#include <string>

namespace bench_fixtures {

constexpr const char *sync_fields[] = {
	"ssid", "pswd", "mgmt", "txpwr_2g", "txpwr_5g", "hidden", "ch_2g",
	"ch_5g", "bw_2g", "bw_5g", "txbf", "gst_disab", "gst_ssid", "gst_pswd",
	"gst_mgmt", "flt_policy", "flt_list", "timezone", "ota_auto", "ota_time",
	"led_blue",
};
constexpr int n_sync_fields = sizeof(sync_fields) / sizeof(sync_fields[0]);

inline std::string sync_value(int i) { return std::string("value-of-") + sync_fields[i]; }

// A whc_quire-sized reply: nine strings.
template <typename Add> void nine_field_reply(Add add)
{
	add("wan_mac", "00:11:22:33:44:55");
	add("mac_2g", "00:11:22:33:44:56");
	add("mac_5g", "00:11:22:33:44:57");
	add("bh_rssi", "-52");
	add("bh_rate", "866");
	add("locale", "US");
	add("devid", "0123456789abcdef");
	add("initted", "1");
	add("return", "success");
}

// 4 radios and 64 interfaces of 32 MAC addresses each: about 80 kB.
inline std::string make_wireless()
{
	std::string text;
	for (int d = 0; d < 4; d++)
		text += "\nconfig wifi-device 'radio" + std::to_string(d) + "'\n\toption type 'mac80211'\n\toption channel '36'\n";
	char mac[32];
	for (int i = 0; i < 64; i++) {
		text += "\nconfig wifi-iface 'iface" + std::to_string(i) + "'\n";
		text += "\toption ifname 'wl" + std::to_string(i) + "'\n";
		text += "\toption network 'lan'\n\toption mode 'ap'\n";
		text += "\toption ssid 'Kestrel-Network-" + std::to_string(i) + "'\n";
		text += "\toption macfilter 'deny'\n";
		for (int m = 0; m < 32; m++) {
			snprintf(mac, sizeof(mac), "02:00:00:%02x:%02x:%02x", i, m, (i * m) & 0xff);
			text += std::string("\tlist maclist '") + mac + "'\n";
		}
	}
	return text + "\n";
}

} // namespace bench_fixtures
