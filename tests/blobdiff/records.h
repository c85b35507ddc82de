// Records for the blob and blobmsg drivers (driver.c): their encoding, the
// fixed-seed generator of mutated messages, and running a driver over a
// file of records. Shared by the differential test and the fuzz target.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
}

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace blobdiff {

using bytes = std::vector<uint8_t>;

struct policy_entry {
	int type;
	const char *name; // nullptr: an entry without a name
};

// Every type under one name, so each attribute meets every policy type.
inline const std::vector<policy_entry> &every_type()
{
	static const std::vector<policy_entry> p = {
		{BLOBMSG_TYPE_UNSPEC, "x"}, {BLOBMSG_TYPE_ARRAY, "x"}, {BLOBMSG_TYPE_TABLE, "x"},
		{BLOBMSG_TYPE_STRING, "x"}, {BLOBMSG_TYPE_INT64, "x"}, {BLOBMSG_TYPE_INT32, "x"},
		{BLOBMSG_TYPE_INT16, "x"},  {BLOBMSG_TYPE_INT8, "x"},  {BLOBMSG_TYPE_DOUBLE, "x"},
	};
	return p;
}

// A parse record: policy, flags (1: data is NULL) and payload.
inline bytes parse_record(const std::vector<policy_entry> &policy, const bytes &payload, int flags = 0)
{
	bytes r = {'P', static_cast<uint8_t>(policy.size())};
	for (const auto &e : policy) {
		r.push_back(static_cast<uint8_t>(e.type));
		if (!e.name) {
			r.push_back(0xff);
			r.push_back(0xff);
			continue;
		}
		std::string n = e.name;
		r.push_back(static_cast<uint8_t>(n.size() >> 8));
		r.push_back(static_cast<uint8_t>(n.size()));
		r.insert(r.end(), n.begin(), n.end());
	}
	r.push_back(static_cast<uint8_t>(flags));
	r.insert(r.end(), payload.begin(), payload.end());
	return r;
}

inline void append_framed(std::string &file, const bytes &rec)
{
	uint32_t n = static_cast<uint32_t>(rec.size());
	char sz[4] = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
		      static_cast<char>(n >> 24)};
	file.append(sz, 4);
	file.append(reinterpret_cast<const char *>(rec.data()), rec.size());
}

// The payload of a table that `fill` builds with the project's builders.
template <typename F>
bytes build(F fill)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	fill(&b);
	auto *p = static_cast<uint8_t *>(blob_data(b.head));
	bytes out(p, p + blob_len(b.head));
	blob_buf_free(&b);
	return out;
}

// xorshift64*: the same sequence on every machine and library.
class rng {
public:
	explicit rng(uint64_t seed) : s_(seed ? seed : 1) {}
	uint64_t next()
	{
		s_ ^= s_ >> 12;
		s_ ^= s_ << 25;
		s_ ^= s_ >> 27;
		return s_ * 0x2545F4914F6CDD1DULL;
	}
	size_t below(size_t n) { return n ? static_cast<size_t>(next() % n) : 0; }
	bool chance(int percent) { return below(100) < static_cast<size_t>(percent); }

private:
	uint64_t s_;
};

constexpr const char *sync_fields[] = {
	"ssid", "pswd", "mgmt", "txpwr_2g", "txpwr_5g", "hidden", "ch_2g",
	"ch_5g", "bw_2g", "bw_5g", "txbf", "gst_disab", "gst_ssid", "gst_pswd",
	"gst_mgmt", "flt_policy", "flt_list", "timezone", "ota_auto", "ota_time",
	"led_blue",
};

inline std::vector<policy_entry> sync_policy()
{
	std::vector<policy_entry> p;
	for (const char *f : sync_fields)
		p.push_back({BLOBMSG_TYPE_STRING, f});
	return p;
}

// Names of the seeds below in assorted types, a repeated name and an entry
// without a name.
inline std::vector<policy_entry> mixed_policy()
{
	return {
		{BLOBMSG_TYPE_STRING, "s"}, {BLOBMSG_TYPE_INT32, "n"},   {BLOBMSG_TYPE_TABLE, "t"},
		{BLOBMSG_TYPE_ARRAY, "a"},  {BLOBMSG_TYPE_UNSPEC, "s"},  {BLOBMSG_TYPE_INT8, "b"},
		{BLOBMSG_TYPE_INT64, "w"},  {BLOBMSG_TYPE_DOUBLE, "d"},  {BLOBMSG_TYPE_INT16, "h"},
		{BLOBMSG_TYPE_STRING, nullptr}, {BLOBMSG_TYPE_STRING, ""}, {BLOBMSG_TYPE_TABLE, "x"},
		{BLOBMSG_TYPE_STRING, "a_rather_longer_field_name"},
	};
}

inline std::vector<bytes> seeds()
{
	std::vector<bytes> s;
	s.push_back(build([](struct blob_buf *b) {
		for (const char *f : sync_fields)
			blobmsg_add_string(b, f, (std::string("value-of-") + f).c_str());
	}));
	s.push_back(build([](struct blob_buf *b) {
		blobmsg_add_string(b, "s", "text");
		blobmsg_add_u32(b, "n", 7);
		void *t = blobmsg_open_table(b, "t");
		blobmsg_add_string(b, "inner", "v");
		blobmsg_add_u8(b, "b", 1);
		void *a = blobmsg_open_array(b, "a");
		blobmsg_add_string(b, nullptr, "one");
		blobmsg_add_u32(b, nullptr, 2);
		blobmsg_close_array(b, a);
		blobmsg_close_table(b, t);
		a = blobmsg_open_array(b, "a");
		blobmsg_add_string(b, nullptr, "e");
		blobmsg_add_u16(b, nullptr, 3);
		blobmsg_close_array(b, a);
		blobmsg_add_u8(b, "b", 0);
		blobmsg_add_u64(b, "w", 0x0102030405060708ULL);
		blobmsg_add_double(b, "d", 1.5);
		blobmsg_add_u16(b, "h", 513);
		blobmsg_add_string(b, "", "nameless");
		blobmsg_add_string(b, "a_rather_longer_field_name", "");
	}));
	s.push_back(build([](struct blob_buf *b) {
		for (int t = BLOBMSG_TYPE_UNSPEC; t <= BLOBMSG_TYPE_LAST; t++) {
			static const uint8_t value[9] = {0x80, 1, 2, 3, 4, 5, 6, 7, 0};
			static const unsigned len[] = {3, 0, 0, 2, 8, 4, 2, 1, 8};
			if (t == BLOBMSG_TYPE_ARRAY || t == BLOBMSG_TYPE_TABLE) {
				blobmsg_close_table(b, blobmsg_open_nested(b, "x", t == BLOBMSG_TYPE_ARRAY));
				continue;
			}
			blobmsg_add_field(b, t, "x", t == BLOBMSG_TYPE_STRING ? "a" : reinterpret_cast<const char *>(value),
					  len[t]);
		}
	}));
	s.push_back(build([](struct blob_buf *b) {
		// Plain blob attributes among blobmsg ones, as libubus messages carry.
		blob_put_u32(b, 3, 9);
		blobmsg_add_string(b, "s", "after");
		blob_put_string(b, 4, "method");
		void *t = blob_nest_start(b, 7);
		blobmsg_add_u32(b, "n", 1);
		blob_nest_end(b, t);
		blobmsg_add_u32(b, "n", 2);
	}));
	return s;
}

// Offsets of every attribute header in a sound payload, nested ones too.
inline void header_offsets(const bytes &p, size_t from, size_t to, std::vector<size_t> &out, int depth = 0)
{
	size_t o = from;
	while (o + 4 <= to && depth < 8) {
		auto *a = reinterpret_cast<const struct blob_attr *>(p.data() + o);
		size_t raw = blob_raw_len(a);
		if (raw < 4 || o + raw > to)
			return;
		out.push_back(o);
		if (blob_is_extended(a) && raw >= 6) {
			size_t nl = static_cast<size_t>(p[o + 4]) << 8 | p[o + 5];
			size_t d = o + 4 + ((2 + nl + 1 + 3) & ~size_t(3));
			int t = static_cast<int>(blob_id(a));
			if ((t == BLOBMSG_TYPE_TABLE || t == BLOBMSG_TYPE_ARRAY) && d <= o + raw)
				header_offsets(p, d, o + raw, out, depth + 1);
		}
		o += (raw + 3) & ~size_t(3);
	}
}

inline void put_be(bytes &p, size_t at, uint64_t v, int n)
{
	for (int i = n - 1; i >= 0 && at + static_cast<size_t>(i) < p.size(); i--, v >>= 8)
		p[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v);
}

// One to four mutations, aimed mostly at headers, names and ends.
inline bytes mutate(bytes p, rng &r)
{
	std::vector<size_t> hdrs;
	header_offsets(p, 0, p.size(), hdrs);
	int n = 1 + static_cast<int>(r.below(4));
	for (int k = 0; k < n && !p.empty(); k++) {
		size_t h = hdrs.empty() ? 0 : hdrs[r.below(hdrs.size())];
		size_t raw = h + 4 <= p.size() ? (static_cast<size_t>(p[h + 1]) << 16 | p[h + 2] << 8 | p[h + 3]) : 0;
		static const int deltas[] = {-8, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 8};
		switch (r.below(13)) {
		case 0: // a length near the real one, or past the end
			put_be(p, h + 1, raw + static_cast<size_t>(deltas[r.below(12)]), 3);
			break;
		case 1:
			put_be(p, h + 1, r.chance(50) ? r.below(12) : p.size() - h + r.below(9) - 4, 3);
			break;
		case 2: // type and extended flag
			if (h < p.size())
				p[h] = static_cast<uint8_t>(r.chance(70) ? (p[h] & 0x80) | r.below(11) : r.next());
			break;
		case 3:
			if (h < p.size())
				p[h] ^= 0x80;
			break;
		case 4: { // the name length
			size_t nl = h + 6 <= p.size() ? (static_cast<size_t>(p[h + 4]) << 8 | p[h + 5]) : 0;
			static const size_t pick[] = {0, 1, 0xffff, 0x100};
			put_be(p, h + 4, r.chance(60) ? nl + static_cast<size_t>(deltas[r.below(12)]) : pick[r.below(4)], 2);
			break;
		}
		case 5: // cut short
			p.resize(r.below(p.size()));
			break;
		case 6: // cut inside the chosen attribute
			if (h < p.size())
				p.resize(h + r.below(std::min(p.size() - h, raw + 1)));
			break;
		case 7: { // a terminator or padding byte made non-zero, or zero
			size_t at = h + raw - 1 + (r.chance(50) ? r.below(4) : 0);
			if (h + raw > 0 && at < p.size())
				p[at] ^= static_cast<uint8_t>(1 + r.below(255));
			break;
		}
		case 8:
			if (h + 6 < p.size())
				p[h + 6 + r.below(std::min<size_t>(p.size() - h - 6, 8))] = r.chance(50) ? 0 : 'z';
			break;
		case 9: { // bytes appended
			size_t m = 1 + r.below(8);
			while (m--)
				p.push_back(static_cast<uint8_t>(r.chance(50) ? 0 : r.next()));
			break;
		}
		case 10: { // a range removed or inserted
			size_t at = r.below(p.size()), m = 1 + r.below(5);
			if (r.chance(50))
				p.erase(p.begin() + static_cast<long>(at), p.begin() + static_cast<long>(std::min(p.size(), at + m)));
			else
				p.insert(p.begin() + static_cast<long>(at), m, static_cast<uint8_t>(r.next()));
			break;
		}
		case 11:
			p[r.below(p.size())] ^= static_cast<uint8_t>(1u << r.below(8));
			break;
		default:
			p[r.below(p.size())] = static_cast<uint8_t>(r.next());
			break;
		}
	}
	return p;
}

// A random program of builder calls (driver.c's 'B' records).
inline bytes build_program(rng &r)
{
	bytes b = {'B'};
	auto name = [&] {
		static const char *names[] = {"", "x", "name", "a_rather_longer_field_name", "n\x01"};
		if (r.chance(10)) {
			b.push_back(0xff);
			return;
		}
		std::string n = names[r.below(5)];
		if (r.chance(5))
			n.assign(r.below(200), 'q');
		b.push_back(static_cast<uint8_t>(n.size()));
		b.insert(b.end(), n.begin(), n.end());
	};
	int ops = 1 + static_cast<int>(r.below(12));
	for (int k = 0; k < ops; k++) {
		switch (r.below(11)) {
		case 0: b.push_back('s'); name(); name(); break;
		case 1:
			b.push_back('n');
			name();
			b.push_back(static_cast<uint8_t>(r.below(5)));
			for (int i = 0; i < 8; i++)
				b.push_back(static_cast<uint8_t>(r.next()));
			break;
		case 2: {
			b.push_back('f');
			name();
			b.push_back(static_cast<uint8_t>(r.below(12)));
			size_t len = r.below(12);
			b.push_back(static_cast<uint8_t>(len));
			for (size_t i = 0; i < len; i++)
				b.push_back(static_cast<uint8_t>(r.chance(30) ? 0 : r.next()));
			break;
		}
		case 3: b.push_back(r.chance(50) ? 't' : 'a'); name(); break;
		case 4: case 5: b.push_back('c'); break;
		case 6: b.push_back('u'); b.push_back(static_cast<uint8_t>(r.below(130))); for (int i = 0; i < 8; i++) b.push_back(static_cast<uint8_t>(r.next())); break;
		case 7: b.push_back('S'); b.push_back(static_cast<uint8_t>(r.below(10))); name(); break;
		case 8: {
			b.push_back('r');
			b.push_back(static_cast<uint8_t>(r.below(10)));
			size_t len = r.below(9);
			b.push_back(static_cast<uint8_t>(len));
			for (size_t i = 0; i < len; i++)
				b.push_back(static_cast<uint8_t>(r.next()));
			break;
		}
		case 9: b.push_back('N'); b.push_back(static_cast<uint8_t>(r.below(10))); break;
		default: b.push_back('i'); b.push_back(static_cast<uint8_t>(r.below(4))); break;
		}
	}
	return b;
}

// `count` records from `seed`: mutated seeds against the three policies,
// and one in twenty a builder program.
inline std::vector<bytes> generate(uint64_t seed, size_t count)
{
	rng r(seed);
	std::vector<bytes> base = seeds();
	std::vector<policy_entry> policies[] = {every_type(), sync_policy(), mixed_policy()};
	std::vector<bytes> out;
	out.reserve(count);
	while (out.size() < count) {
		if (r.chance(5)) {
			out.push_back(build_program(r));
			continue;
		}
		size_t s = r.below(base.size());
		bytes p = r.chance(3) ? base[s] : mutate(base[s], r);
		out.push_back(parse_record(policies[r.chance(50) ? (s == 0 ? 1 : 2) : r.below(3)], p));
	}
	return out;
}

// The command that builds driver.c against the device's libubox in
// prefix `ref` into `out`.
inline std::string device_driver_command(const std::string &source_dir, const std::string &ref,
					 const std::string &out)
{
	return "cc -O1 -w -I" + ref + "/include " + source_dir + "/tests/blobdiff/driver.c -o " + out + " -L" +
	       ref + "/lib -lubox -Wl,-rpath," + ref + "/lib";
}

} // namespace blobdiff
