// blobmsg_parse: policy matching, and refusal of every malformed shape
// without reading a byte past the buffer (the data ends at a guard page).
extern "C" {
#include <libubox/blobmsg.h>
}

#include "blobdiff/records.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Places data so that its last byte is the last readable one.
class guarded {
public:
	explicit guarded(const bytes &data)
	{
		page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
		map_ = static_cast<uint8_t *>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE,
						   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
		mprotect(map_ + page_, page_, PROT_NONE);
		ptr_ = map_ + page_ - data.size();
		if (!data.empty())
			memcpy(ptr_, data.data(), data.size());
		len_ = static_cast<unsigned int>(data.size());
	}
	~guarded() { munmap(map_, 2 * page_); }
	guarded(const guarded &) = delete;
	guarded &operator=(const guarded &) = delete;
	void *data() const { return ptr_; }
	unsigned int len() const { return len_; }

private:
	size_t page_;
	uint8_t *map_;
	uint8_t *ptr_;
	unsigned int len_;
};

bytes be32(uint32_t v)
{
	return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
		static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const auto &p : parts)
		out.insert(out.end(), p.begin(), p.end());
	return out;
}

using blobdiff::build; // the payload of a table built with the real builder

enum { P_A, P_B, P_NUM, P_ANY, __P_MAX };
constexpr struct blobmsg_policy policy[] = {
	{"a", BLOBMSG_TYPE_STRING},
	{"bb", BLOBMSG_TYPE_STRING},
	{"num", BLOBMSG_TYPE_INT32},
	{"any", BLOBMSG_TYPE_UNSPEC},
};
static_assert(ARRAY_SIZE(policy) == __P_MAX);

// The parsed table points into the guarded copy, which lives as long.
struct parsed {
	explicit parsed(const bytes &data) : g(data)
	{
		result = blobmsg_parse(policy, __P_MAX, tb, g.data(), g.len());
	}
	guarded g;
	struct blob_attr *tb[__P_MAX];
	int result;
};

TEST(BlobmsgParse, FindsFieldsByNameAndTypeInAnyOrder)
{
	bytes data = build([](struct blob_buf *b) {
		blobmsg_add_u32(b, "num", 7);
		blobmsg_add_string(b, "bb", "second");
		blobmsg_add_string(b, "a", "first");
		blobmsg_add_u8(b, "any", 1);
	});
	guarded g(data);
	struct blob_attr *tb[__P_MAX];
	ASSERT_EQ(blobmsg_parse(policy, __P_MAX, tb, g.data(), g.len()), 0);
	EXPECT_STREQ(blobmsg_get_string(tb[P_A]), "first");
	EXPECT_STREQ(blobmsg_get_string(tb[P_B]), "second");
	EXPECT_EQ(blobmsg_get_u32(tb[P_NUM]), 7u);
	EXPECT_EQ(blobmsg_get_u8(tb[P_ANY]), 1);
}

TEST(BlobmsgParse, WrongTypeIsAbsentFirstDuplicateWinsNamesMatchExactly)
{
	bytes data = build([](struct blob_buf *b) {
		blobmsg_add_u32(b, "a", 1);        // wrong type
		blobmsg_add_string(b, "bb", "one");
		blobmsg_add_string(b, "bb", "two"); // later duplicate
		blobmsg_add_string(b, "b", "short");
		blobmsg_add_string(b, "bbb", "long");
		blobmsg_add_string(b, "nu", "prefix");
	});
	parsed p(data);
	ASSERT_EQ(p.result, 0);
	EXPECT_EQ(p.tb[P_A], nullptr);
	EXPECT_STREQ(blobmsg_get_string(p.tb[P_B]), "one");
	EXPECT_EQ(p.tb[P_NUM], nullptr);
	EXPECT_EQ(p.tb[P_ANY], nullptr);
}

// Each entry takes the first attribute that fits it, whether or not another
// entry of the same name has already taken one.
TEST(BlobmsgParse, EveryEntryOfARepeatedNameIsFilled)
{
	enum { D_S1, D_OTHER, D_ANY, D_S2, D_NUM, __D_MAX };
	constexpr struct blobmsg_policy dup[] = {
		{"x", BLOBMSG_TYPE_STRING},
		{"other", BLOBMSG_TYPE_STRING},
		{"x", BLOBMSG_TYPE_UNSPEC},
		{"x", BLOBMSG_TYPE_STRING},
		{"x", BLOBMSG_TYPE_INT32},
	};
	static_assert(ARRAY_SIZE(dup) == __D_MAX);

	bytes data = build([](struct blob_buf *b) {
		blobmsg_add_u8(b, "x", 5);           // only the unspec entry fits
		blobmsg_add_string(b, "x", "first"); // both string entries
		blobmsg_add_string(b, "x", "second"); // later duplicate: nobody
		blobmsg_add_u32(b, "x", 9);
	});
	guarded g(data);
	struct blob_attr *tb[__D_MAX];
	ASSERT_EQ(blobmsg_parse(dup, __D_MAX, tb, g.data(), g.len()), 0);
	ASSERT_NE(tb[D_ANY], nullptr);
	EXPECT_EQ(blobmsg_get_u8(tb[D_ANY]), 5);
	ASSERT_NE(tb[D_S1], nullptr);
	ASSERT_NE(tb[D_S2], nullptr);
	EXPECT_STREQ(blobmsg_get_string(tb[D_S1]), "first");
	EXPECT_EQ(tb[D_S2], tb[D_S1]);
	ASSERT_NE(tb[D_NUM], nullptr);
	EXPECT_EQ(blobmsg_get_u32(tb[D_NUM]), 9u);
	EXPECT_EQ(tb[D_OTHER], nullptr);

	// Past the size whose name lengths are measured once, the same holds.
	std::vector<struct blobmsg_policy> big(80, {"pad", BLOBMSG_TYPE_STRING});
	big[3] = {"x", BLOBMSG_TYPE_STRING};
	big[70] = {"x", BLOBMSG_TYPE_STRING};
	std::vector<struct blob_attr *> tbig(big.size());
	ASSERT_EQ(blobmsg_parse(big.data(), static_cast<int>(big.size()), tbig.data(), g.data(), g.len()), 0);
	EXPECT_EQ(tbig[3], tb[D_S1]);
	EXPECT_EQ(tbig[70], tb[D_S1]);
}

TEST(BlobmsgParse, EmptyOrNullPayloadIsInvalidAndClearsTheTable)
{
	struct blob_attr *tb[__P_MAX];
	for (auto &t : tb)
		t = reinterpret_cast<struct blob_attr *>(0x1);
	EXPECT_EQ(blobmsg_parse(policy, __P_MAX, tb, nullptr, 10), -EINVAL);
	for (auto *t : tb)
		EXPECT_EQ(t, nullptr);
	char dummy = 0;
	EXPECT_EQ(blobmsg_parse(policy, __P_MAX, tb, &dummy, 0), -EINVAL);
}

TEST(BlobmsgParse, PlainBlobAttributesAreSkipped)
{
	bytes data = cat({
		be32(0x03000007), {'h', 'i', 0, 0},                     // plain string
		be32(0x8300000a), {0, 1, 'a', 0, 'v', 0, 0, 0},         // "a" = "v"
	});
	parsed p(data);
	ASSERT_EQ(p.result, 0);
	EXPECT_STREQ(blobmsg_get_string(p.tb[P_A]), "v");
}

TEST(BlobmsgParse, TableContentsAreNotCheckedHere)
{
	// A table whose inside is garbage still parses; the field is found.
	bytes data = cat({
		be32(0x82000010), {0, 3, 'a', 'n', 'y', 0, 0, 0}, be32(0x83000002),
	});
	parsed p(data);
	ASSERT_EQ(p.result, 0);
	EXPECT_NE(p.tb[P_ANY], nullptr);
}

// Shapes the checks refuse: the whole parse fails, as on the device.
struct malformed {
	const char *what;
	bytes data;
};

class BlobmsgParseMalformed : public ::testing::TestWithParam<malformed> {};

TEST_P(BlobmsgParseMalformed, IsRefused)
{
	EXPECT_EQ(parsed(GetParam().data).result, -1) << GetParam().what;
}

const bytes ok_a = cat({be32(0x8300000a), {0, 1, 'a', 0, 'v', 0, 0, 0}});

INSTANTIATE_TEST_SUITE_P(Shapes, BlobmsgParseMalformed, ::testing::Values(
	malformed{"length below the header size", be32(0x83000003)},
	malformed{"name header does not fit", cat({be32(0x83000005), {0, 0, 0, 0}})},
	malformed{"name length past the attribute", cat({be32(0x83000008), {0, 9, 'a', 0}})},
	malformed{"name without terminator", cat({be32(0x8300000a), {0, 1, 'a', 'x', 'v', 0, 0, 0}})},
	malformed{"name padding does not fit", cat({be32(0x83000009), {0, 2, 'a', 'b', 0, 0, 0, 0}})},
	malformed{"type above double", cat({be32(0x89000009), {0, 1, 'a', 0, 1, 0, 0, 0}})},
	malformed{"string without terminator", cat({be32(0x8300000a), {0, 1, 'a', 0, 'v', 'w', 0, 0}})},
	malformed{"empty string value", cat({be32(0x83000008), {0, 1, 'a', 0}})},
	malformed{"plain string attribute without value", be32(0x03000004)},
	malformed{"bad attribute after a good one", cat({ok_a, be32(0x8300000a), {0, 1, 'a', 'x', 'v', 0, 0, 0}})},
	malformed{"int8 of two bytes", cat({be32(0x8700000a), {0, 1, 'a', 0, 1, 2, 0, 0}})},
	malformed{"int16 of one byte", cat({be32(0x86000009), {0, 1, 'a', 0, 1, 0, 0, 0}})},
	malformed{"int32 of three bytes", cat({be32(0x8500000b), {0, 3, 'n', 'u', 'm', 0, 0, 0, 1, 2, 3, 0}})},
	malformed{"int64 of four bytes", cat({be32(0x8400000c), {0, 1, 'a', 0, 1, 2, 3, 4}})},
	malformed{"double of seven bytes", cat({be32(0x8800000f), {0, 1, 'a', 0, 1, 2, 3, 4, 5, 6, 7, 0}})}));

// Shapes that end the walk: the device's parse stops there without an
// error, keeping what it found before.
class BlobmsgParseCut : public ::testing::TestWithParam<malformed> {};

TEST_P(BlobmsgParseCut, EndsTheWalk)
{
	parsed p(GetParam().data);
	EXPECT_EQ(p.result, 0) << GetParam().what;
	EXPECT_EQ(p.tb[P_A] != nullptr, GetParam().data.size() > ok_a.size() && GetParam().data[0] == 0x83 &&
					      GetParam().data[3] == 0x0a) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlobmsgParseCut, ::testing::Values(
	malformed{"fewer bytes than a header", {0x83, 0x00, 0x00}},
	malformed{"length zero", be32(0x83000000)},
	malformed{"length runs past the buffer", cat({be32(0x83000010), {0, 1, 'a', 0}})},
	malformed{"length past the buffer after a good one", cat({ok_a, be32(0x83000020)})},
	malformed{"header cut after a good one", cat({ok_a, {0x83, 0}})},
	malformed{"last attribute without its padding", cat({be32(0x8300000a), {0, 1, 'a', 0, 'v', 0}})}));

// A valid message cut at every length: never a read past the cut, no
// error, and a field found only when the cut leaves it whole with its
// padding.
TEST(BlobmsgParse, EveryTruncationIsSafe)
{
	bytes data = build([](struct blob_buf *b) {
		blobmsg_add_string(b, "a", "first value");
		blobmsg_add_u32(b, "num", 42);
		blobmsg_add_string(b, "bb", "x");
		void *t = blobmsg_open_table(b, "any");
		blobmsg_add_string(b, "inner", "y");
		blobmsg_close_table(b, t);
	});
	size_t a_end = blob_pad_len(reinterpret_cast<const struct blob_attr *>(data.data()));
	for (size_t cut = 1; cut < data.size(); cut++) {
		bytes part(data.begin(), data.begin() + static_cast<long>(cut));
		parsed p(part);
		EXPECT_EQ(p.result, 0) << "cut at " << cut;
		EXPECT_EQ(p.tb[P_A] != nullptr, cut >= a_end) << "cut at " << cut;
		EXPECT_EQ(p.tb[P_ANY], nullptr) << "cut at " << cut;
	}
}

// As on the device, checking an attribute does not look inside a table;
// checking it as an array does.
TEST(BlobmsgCheckAttr, NestedContentsAreLeftToCheckArray)
{
	bytes good = build([](struct blob_buf *b) {
		void *t = blobmsg_open_table(b, "t");
		blobmsg_add_string(b, "k", "v");
		blobmsg_close_table(b, t);
	});
	guarded g(good);
	auto *table = static_cast<struct blob_attr *>(g.data());
	EXPECT_TRUE(blobmsg_check_attr(table, true));
	EXPECT_EQ(blobmsg_check_array(table, BLOBMSG_TYPE_UNSPEC), 1);
	EXPECT_EQ(blobmsg_check_array(table, BLOBMSG_TYPE_STRING), 1);
	EXPECT_EQ(blobmsg_check_array(table, BLOBMSG_TYPE_INT32), -1);

	bytes bad = cat({be32(0x82000010), {0, 1, 't', 0}, be32(0x83000008), {0, 1, 'k', 0}});
	guarded gb(bad);
	auto *bad_table = static_cast<struct blob_attr *>(gb.data());
	EXPECT_TRUE(blobmsg_check_attr(bad_table, true));
	EXPECT_EQ(blobmsg_check_array(bad_table, BLOBMSG_TYPE_UNSPEC), -1);
}

} // namespace

namespace {

// Where the device's libubox faults, the project's stays inside the buffer
// (docs/PLATFORM.md). blobdiff_test keeps these inputs away from the
// device's library.
TEST(DeviceFaults, HeaderShorterThanItselfHasNoPayload)
{
	// The device's blob_len() wraps around to about 4 GiB here, and a walk
	// over such a container runs off the buffer.
	guarded g(be32(0x03000002));
	auto *attr = static_cast<struct blob_attr *>(g.data());
	EXPECT_EQ(blob_len(attr), 0u);
	struct blob_attr *pos;
	size_t rem;
	int n = 0;
	blob_for_each_attr(pos, attr, rem)
		n++;
	EXPECT_EQ(n, 0);
}

TEST(DeviceFaults, NameLongerThanTheAttributeLeavesNoData)
{
	// Unchecked, the device's blobmsg_data_len() wraps around here.
	guarded g(cat({be32(0x83000008), {0, 9, 'a', 0}}));
	EXPECT_EQ(blobmsg_data_len(static_cast<struct blob_attr *>(g.data())), 0u);
}

TEST(DeviceFaults, ParseArrayWithoutPolicyReadsNoPolicy)
{
	// The device's reads the first policy entry even when there is none.
	guarded g(ok_a);
	EXPECT_EQ(blobmsg_parse_array(nullptr, 0, nullptr, g.data(), g.len()), 0);
}

} // namespace
