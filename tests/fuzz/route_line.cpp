// The `route -n` line reader on any line: the gateway it reads is the
// line's second column, cut to the buffer and terminated, and only for a
// default route.
#include "bus/route_line.h"
#include "fuzz_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_log_to_null();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string line(reinterpret_cast<const char *>(data), size);
	line.resize(strnlen(line.c_str(), line.size()));

	char gw[GW_ADDR_SIZE + 8];
	memset(gw, 0x5a, sizeof(gw));
	auto &field = reinterpret_cast<char(&)[GW_ADDR_SIZE]>(gw);
	bool found = default_route(line.c_str(), field);
	for (size_t i = GW_ADDR_SIZE; i < sizeof(gw); i++) {
		if (gw[i] != 0x5a)
			abort(); // written past the buffer
	}

	// The same reading done plainly: white-space separated columns.
	std::istringstream cols(line);
	std::string dest, gateway, mask;
	bool three = static_cast<bool>(cols >> dest >> gateway >> mask);
	bool header = line.compare(0, 11, "Destination") == 0;
	bool want = three && !header && dest.compare(0, 7, "0.0.0.0") == 0 &&
		    mask.substr(0, 127).compare(0, 7, "0.0.0.0") == 0 && dest.size() <= 19;
	if (found != want) {
		// sscanf cuts a long destination at 19 characters and reads on from
		// there: only the plain reading of short columns is compared.
		if (dest.size() <= 19 && gateway.size() <= 31)
			abort();
		return 0;
	}
	if (found) {
		if (memchr(gw, 0, GW_ADDR_SIZE) == nullptr)
			abort(); // not terminated
		if (gateway.size() <= 31 && std::string(gw) != gateway.substr(0, GW_ADDR_SIZE - 1))
			abort();
	}
	return 0;
}
