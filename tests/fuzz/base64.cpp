// base64_decode on any text and buffer size: it refuses or decodes within
// the buffer, and what it decodes encodes back to the text.
#include "methods/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encode(const unsigned char *p, size_t n)
{
	std::string out;
	for (size_t i = 0; i < n; i += 3) {
		uint32_t v = p[i] << 16 | (i + 1 < n ? p[i + 1] << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
		out += alphabet[v >> 18 & 63];
		out += alphabet[v >> 12 & 63];
		out += i + 1 < n ? alphabet[v >> 6 & 63] : '=';
		out += i + 2 < n ? alphabet[v & 63] : '=';
	}
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	// The first byte picks the buffer: 1 to 256 bytes.
	size_t out_size = static_cast<size_t>(data[0]) + 1;
	std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
	in = in.substr(0, strnlen(in.c_str(), in.size()));

	// Exactly out_size bytes, so that ASan sees a write past them; canaries
	// show a write where -1 promises none.
	auto *out = static_cast<char *>(malloc(out_size));
	memset(out, 0x5a, out_size);
	int n = base64_decode(in.c_str(), out, out_size);
	if (n < 0) {
		for (size_t i = 0; i < out_size; i++) {
			if (out[i] != 0x5a)
				abort(); // written although refused
		}
	} else {
		if (static_cast<size_t>(n) >= out_size || out[n] != 0)
			abort(); // past the room, or not terminated
		// The text of these bytes, but for the unused low bits of the last
		// character before the pads, which are not checked.
		std::string again = encode(reinterpret_cast<unsigned char *>(out), static_cast<size_t>(n));
		size_t pads = n % 3 ? 3 - n % 3 : 0;
		if (again.size() != in.size())
			abort();
		for (size_t i = 0; i < in.size(); i++) {
			if (again[i] != in[i] && !(pads && i == in.size() - pads - 1))
				abort();
		}
	}
	free(out);
	return 0;
}
