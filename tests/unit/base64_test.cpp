// The base64 decoder: RFC 4648, and every text it must refuse without
// touching its output.
#include "core/log.h"
#include "methods/base64.h"

#include "support/capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using testing_support::capture_stderr;

std::string encode(std::string_view bytes)
{
	static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	for (size_t i = 0; i < bytes.size(); i += 3) {
		size_t n = std::min<size_t>(3, bytes.size() - i);
		unsigned group = 0;
		for (size_t k = 0; k < 3; k++)
			group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
		for (size_t k = 0; k < 4; k++)
			out += k <= n ? alphabet[group >> (18 - 6 * k) & 63] : '=';
	}
	return out;
}

struct decoded {
	int result;
	std::string out; // the whole buffer
	std::string log;
};

decoded decode(const std::string &in, size_t out_size = 128)
{
	decoded d;
	d.out.assign(out_size, 'x');
	d.log = capture_stderr([&] { d.result = base64_decode(in.c_str(), d.out.data(), out_size); });
	return d;
}

// The log line's text after "base64_decode(<line>):".
std::string logged_text(const std::string &log)
{
	std::smatch m;
	if (!std::regex_search(log, m, std::regex(R"(^base64_decode\(\d+\):)")))
		return "no line: " + log;
	return m.suffix();
}

const std::string bad_character = ":Not a valid base64 string\n\n";
const std::string bad_shape = "vimb: not a valid base64 string\n\n";

class Base64 : public ::testing::Test {
protected:
	void SetUp() override
	{
		log_level = LOG_LEVEL_DEBUG;
		log_mode = LOG_MODE_STDERR;
	}
	void TearDown() override { log_mode = LOG_MODE_SYSLOG; }
};

TEST_F(Base64, DecodesTheVectorsOfRfc4648Silently)
{
	const std::pair<std::string, std::string> vectors[] = {
		{"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"},
		{"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"},
	};
	for (const auto &[text, plain] : vectors) {
		auto d = decode(text);
		EXPECT_EQ(d.result, static_cast<int>(plain.size())) << text;
		EXPECT_EQ(d.out.substr(0, plain.size() + 1), plain + '\0') << text;
		EXPECT_EQ(d.log, "") << text;
	}
}

// Three shifts put every byte value in each position of a group, and end the
// text with two, one and no pad characters.
TEST_F(Base64, EveryByteValueSurvivesARoundTripInEveryPosition)
{
	std::string all;
	for (int v = 0; v < 256; v++)
		all += static_cast<char>(v);
	for (size_t shift = 0; shift < 3; shift++) {
		std::string plain = all.substr(shift);
		auto d = decode(encode(plain), plain.size() + 1);
		ASSERT_EQ(d.result, static_cast<int>(plain.size())) << shift << d.log;
		EXPECT_EQ(d.out, plain + '\0') << shift;
	}
	// A zero byte is data like any other; the length says where the value ends.
	auto d = decode("AGE=");
	EXPECT_EQ(d.result, 2);
	EXPECT_EQ(d.out.substr(0, 3), std::string("\0a\0", 3));
}

TEST_F(Base64, ACharacterOutsideTheAlphabetIsNamedAndRefused)
{
	const std::pair<std::string, char> texts[] = {
		{"Zg==\n", '\n'}, {" Zg==", ' '}, {"Zm9v\r", '\r'}, {"Zm\t9v", '\t'},
		{"Zm9\x80", '\x80'}, {"Zm9\xff", '\xff'}, {"Zm-v", '-'}, {"Zm_v", '_'},
		{"Zm\xc3\xa9", '\xc3'}, // a UTF-8 letter
	};
	for (const auto &[text, bad] : texts) {
		auto d = decode(text);
		EXPECT_EQ(d.result, -1) << text;
		EXPECT_EQ(logged_text(d.log), std::string("\n") + bad + bad_character) << text;
		EXPECT_EQ(d.out, std::string(128, 'x')) << text;
	}
	// The character is found before the length is looked at.
	EXPECT_EQ(logged_text(decode("Zg=\n").log), "\n\n" + bad_character);
}

TEST_F(Base64, MisshapenTextIsRefusedWithTheGeneralLine)
{
	const std::string texts[] = {
		// not a multiple of four
		"Z", "Zg", "Zg=", "Zm9vY", "Zm9vYg=", "Zm9vYmFy=",
		// "=" other than as the last one or two characters
		"=Zg=", "Z=g=", "Zg=A", "Zg==Zg==", "Zm8=Zm9v",
		// three or four pad characters
		"Z===", "====", "Zm9vZ===",
	};
	for (const auto &text : texts) {
		auto d = decode(text);
		EXPECT_EQ(d.result, -1) << text;
		EXPECT_EQ(logged_text(d.log), bad_shape) << text;
		EXPECT_EQ(d.out, std::string(128, 'x')) << text;
	}
}

TEST_F(Base64, AValueMustFitTheBufferWithItsTerminator)
{
	auto d = decode(encode(std::string(127, 'a')));
	EXPECT_EQ(d.result, 127);
	EXPECT_EQ(d.out, std::string(127, 'a') + '\0');

	for (size_t n : {128, 129, 200}) {
		d = decode(encode(std::string(n, 'a')));
		EXPECT_EQ(d.result, -1) << n;
		EXPECT_EQ(logged_text(d.log), bad_shape) << n;
		EXPECT_EQ(d.out, std::string(128, 'x')) << n;
	}
	// Each pad count checked against the size it really decodes to.
	EXPECT_EQ(decode("Zm9vYg==", 5).result, 4);
	EXPECT_EQ(decode("Zm9vYg==", 4).result, -1);
	EXPECT_EQ(decode("Zm9vYmE=", 6).result, 5);
	EXPECT_EQ(decode("Zm9vYmE=", 5).result, -1);
	EXPECT_EQ(decode("", 1).result, 0);
	EXPECT_EQ(decode("", 0).result, -1);
}

// Buffers that end where a page without access begins: one byte read past
// the input's terminator or written past the output faults.
TEST_F(Base64, NeverReadsOrWritesPastItsBuffers)
{
	const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(map, MAP_FAILED);
	char *guard = static_cast<char *>(map) + page;
	ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);

	for (const std::string &plain : {std::string(), std::string("f"), std::string("fo"), std::string("foo"),
					 std::string("foobar"), std::string(127, '\xfe')}) {
		std::string text = encode(plain);
		char *out = guard - (plain.size() + 1);
		EXPECT_EQ(base64_decode(text.c_str(), out, plain.size() + 1), static_cast<int>(plain.size()));
		EXPECT_EQ(std::string(out, plain.size() + 1), plain + '\0');

		char *in = guard - (text.size() + 1);
		memcpy(in, text.c_str(), text.size() + 1);
		char buf[128];
		EXPECT_EQ(base64_decode(in, buf, sizeof(buf)), static_cast<int>(plain.size()));
	}
	// Refused for want of room: nothing of it is written.
	capture_stderr([&] { EXPECT_EQ(base64_decode("Zm9vYg==", guard - 4, 4), -1); });
	capture_stderr([&] { EXPECT_EQ(base64_decode("Zm9v", guard - 3, 3), -1); });
	munmap(map, 2 * page);
}

} // namespace
