// The `route -n` line reader: which lines name the default gateway, and what
// lands in the fixed buffer.
#include "bus/route_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(RouteLine, DefaultRouteOnly)
{
	char gw[GW_ADDR_SIZE] = "untouched";
	EXPECT_FALSE(default_route("Kernel IP routing table\n", gw));
	EXPECT_FALSE(default_route("Destination     Gateway         Genmask         Flags Metric Ref    Use Iface\n", gw));
	EXPECT_FALSE(default_route("Destination 0.0.0.0 0.0.0.0\n", gw)); // a header, whatever follows
	EXPECT_FALSE(default_route("192.0.2.0       0.0.0.0         255.255.255.0   U     0      0        0 br-lan\n", gw));
	EXPECT_FALSE(default_route("0.0.0.0 192.0.2.1\n", gw)); // two columns
	EXPECT_FALSE(default_route("", gw));
	EXPECT_STREQ(gw, "untouched");

	EXPECT_TRUE(default_route("0.0.0.0         192.0.2.1       0.0.0.0         UG    0      0        0 br-lan\n", gw));
	EXPECT_STREQ(gw, "192.0.2.1");
	EXPECT_TRUE(default_route("\t0.0.0.0\t10.0.0.254\t0.0.0.0", gw));
	EXPECT_STREQ(gw, "10.0.0.254");
}

TEST(RouteLine, LongColumnsStayInTheBuffer)
{
	struct {
		char gw[GW_ADDR_SIZE];
		char guard[8];
	} b;
	memset(&b, 'x', sizeof(b));
	std::string gateway(31, '9'); // the longest column read whole
	ASSERT_TRUE(default_route(("0.0.0.0 " + gateway + " 0.0.0.0 UG").c_str(), b.gw));
	EXPECT_EQ(std::string(b.gw), gateway.substr(0, GW_ADDR_SIZE - 1));
	EXPECT_EQ(std::string(b.guard, sizeof(b.guard)), std::string(sizeof(b.guard), 'x'));
}

} // namespace
