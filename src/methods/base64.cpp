#include "base64.h"

#include "../core/log.h"

#include <array>
#include <climits>
#include <cstring>

namespace {

constexpr unsigned char not_base64 = 0xff;
constexpr unsigned char pad_mark = 0xfe;

constexpr std::array<unsigned char, 256> make_values()
{
	std::array<unsigned char, 256> v{};
	v.fill(not_base64);
	for (int i = 0; i < 26; i++) {
		v['A' + i] = static_cast<unsigned char>(i);
		v['a' + i] = static_cast<unsigned char>(26 + i);
	}
	for (int i = 0; i < 10; i++)
		v['0' + i] = static_cast<unsigned char>(52 + i);
	v['+'] = 62;
	v['/'] = 63;
	v['='] = pad_mark;
	return v;
}

constexpr auto values = make_values();

unsigned char value_of(char c)
{
	return values[static_cast<unsigned char>(c)];
}

} // namespace

int base64_decode(const char *in, char *out, size_t out_size)
{
	size_t len = strlen(in);
	for (size_t i = 0; i < len; i++) {
		if (value_of(in[i]) == not_base64) {
			KLOG_ERR("\n%c:Not a valid base64 string\n", in[i]);
			return -1;
		}
	}

	// Pads only close the text: "x==" or "xx=" as its last group.
	size_t pads = 0;
	while (pads < len && pads < 3 && in[len - 1 - pads] == '=')
		pads++;
	bool whole_groups = len % 4 == 0 && pads <= 2 && !memchr(in, '=', len - pads);
	size_t decoded = whole_groups ? len / 4 * 3 - pads : 0;
	if (!whole_groups || decoded >= out_size || decoded > INT_MAX) {
		KLOG_ERR("vimb: not a valid base64 string\n");
		return -1;
	}

	size_t n = 0;
	for (size_t i = 0; i < len; i += 4) {
		unsigned a = value_of(in[i]), b = value_of(in[i + 1]);
		unsigned c = in[i + 2] == '=' ? 0 : value_of(in[i + 2]);
		unsigned d = in[i + 3] == '=' ? 0 : value_of(in[i + 3]);
		unsigned group = a << 18 | b << 12 | c << 6 | d;
		char bytes[3] = {static_cast<char>(group >> 16), static_cast<char>(group >> 8 & 0xff),
				 static_cast<char>(group & 0xff)};
		size_t take = i + 4 < len ? 3 : 3 - pads;
		memcpy(out + n, bytes, take);
		n += take;
	}
	out[n] = 0;
	return static_cast<int>(n);
}
