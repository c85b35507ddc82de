// Encoding of blob and blobmsg attributes, byte for byte.
extern "C" {
#include <libubox/blobmsg.h>
}

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

class BlobBuf : public ::testing::Test {
protected:
	void SetUp() override { blob_buf_init(&b, 0); }
	void TearDown() override { blob_buf_free(&b); }

	bytes head() const
	{
		auto *p = reinterpret_cast<const uint8_t *>(b.head);
		return bytes(p, p + blob_raw_len(b.head));
	}

	// The container header followed by the given attribute bytes.
	static bytes with_head(const bytes &body)
	{
		uint32_t len = 4 + static_cast<uint32_t>(body.size());
		bytes out = {0, static_cast<uint8_t>(len >> 16), static_cast<uint8_t>(len >> 8),
			     static_cast<uint8_t>(len)};
		out.insert(out.end(), body.begin(), body.end());
		return out;
	}

	struct blob_buf b = {};
};

TEST_F(BlobBuf, InitGivesAnEmptyContainerOfTheId)
{
	EXPECT_EQ(head(), (bytes{0x00, 0x00, 0x00, 0x04}));
	blob_buf_init(&b, 5);
	EXPECT_EQ(head(), (bytes{0x05, 0x00, 0x00, 0x04}));
	EXPECT_EQ(blob_len(b.head), 0u);
}

TEST_F(BlobBuf, StringsWithOddEvenAndEmptyNames)
{
	blobmsg_add_string(&b, "a", "b");   // name header 2+1+1 = 4
	blobmsg_add_string(&b, "ab", "");   // name header 2+2+1 = 5 -> 8
	blobmsg_add_string(&b, "", "xyz");  // name header 2+0+1 = 3 -> 4
	EXPECT_EQ(head(), with_head({
		0x83, 0x00, 0x00, 0x0a, 0x00, 0x01, 'a', 0x00, 'b', 0x00, 0x00, 0x00,
		0x83, 0x00, 0x00, 0x0d, 0x00, 0x02, 'a', 'b', 0x00, 0x00, 0x00, 0x00,
		0x00, 0x00, 0x00, 0x00,
		0x83, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x00, 'x', 'y', 'z', 0x00,
	}));
}

TEST_F(BlobBuf, LongerNameNeedsNoPaddingWhenItFillsTheWord)
{
	blobmsg_add_string(&b, "return", "success"); // 2+6+1 = 9 -> 12
	EXPECT_EQ(head(), with_head({
		0x83, 0x00, 0x00, 0x18, 0x00, 0x06, 'r', 'e', 't', 'u', 'r', 'n',
		0x00, 0x00, 0x00, 0x00, 's', 'u', 'c', 'c', 'e', 's', 's', 0x00,
	}));
}

TEST_F(BlobBuf, IntegersOfEachWidthAreBigEndian)
{
	blobmsg_add_u8(&b, "x", 1);
	blobmsg_add_u16(&b, "x", 0x1234);
	blobmsg_add_u32(&b, "x", 0xdeadbeef);
	blobmsg_add_u64(&b, "x", 0x0102030405060708ULL);
	EXPECT_EQ(head(), with_head({
		0x87, 0x00, 0x00, 0x09, 0x00, 0x01, 'x', 0x00, 0x01, 0x00, 0x00, 0x00,
		0x86, 0x00, 0x00, 0x0a, 0x00, 0x01, 'x', 0x00, 0x12, 0x34, 0x00, 0x00,
		0x85, 0x00, 0x00, 0x0c, 0x00, 0x01, 'x', 0x00, 0xde, 0xad, 0xbe, 0xef,
		0x84, 0x00, 0x00, 0x10, 0x00, 0x01, 'x', 0x00,
		0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
	}));
	auto *first = static_cast<struct blob_attr *>(blob_data(b.head));
	EXPECT_EQ(blobmsg_get_u8(first), 1);
	EXPECT_EQ(blobmsg_get_u16(blob_next(first)), 0x1234);
	EXPECT_EQ(blobmsg_get_u32(blob_next(blob_next(first))), 0xdeadbeefu);
	EXPECT_EQ(blobmsg_get_u64(blob_next(blob_next(blob_next(first)))), 0x0102030405060708ULL);
}

TEST_F(BlobBuf, NestedTablesAndArrays)
{
	void *t = blobmsg_open_table(&b, "t");
	blobmsg_add_string(&b, "k", "v");
	void *a = blobmsg_open_array(&b, "ar");
	blobmsg_add_u8(&b, nullptr, 1);
	blobmsg_close_array(&b, a);
	blobmsg_close_table(&b, t);
	blobmsg_add_u8(&b, "z", 0);

	EXPECT_EQ(head(), with_head({
		// table "t": header 4, name 4, string 12, array 24
		0x82, 0x00, 0x00, 0x2c, 0x00, 0x01, 't', 0x00,
		0x83, 0x00, 0x00, 0x0a, 0x00, 0x01, 'k', 0x00, 'v', 0x00, 0x00, 0x00,
		// array "ar": header 4, name 2+2+1 -> 8, one int8 of 9 -> 12
		0x81, 0x00, 0x00, 0x18, 0x00, 0x02, 'a', 'r', 0x00, 0x00, 0x00, 0x00,
		0x87, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
		0x87, 0x00, 0x00, 0x09, 0x00, 0x01, 'z', 0x00, 0x00, 0x00, 0x00, 0x00,
	}));
}

TEST_F(BlobBuf, PlainBlobAttributesAndNesting)
{
	void *n = blob_nest_start(&b, 1);
	blob_put_u32(&b, 6, 0x01020304);
	blob_put_string(&b, 3, "hi");
	blob_nest_end(&b, n);
	blob_put_u8(&b, 4, 7);
	EXPECT_EQ(head(), with_head({
		0x01, 0x00, 0x00, 0x14,
		0x06, 0x00, 0x00, 0x08, 0x01, 0x02, 0x03, 0x04,
		0x03, 0x00, 0x00, 0x07, 'h', 'i', 0x00, 0x00,
		0x04, 0x00, 0x00, 0x05, 0x07, 0x00, 0x00, 0x00,
	}));
	EXPECT_FALSE(blob_is_extended(static_cast<struct blob_attr *>(blob_data(b.head))));
}

TEST_F(BlobBuf, ReinitReusesStorageAndForgetsContents)
{
	blobmsg_add_string(&b, "a", "b");
	void *storage = b.buf;
	blob_buf_init(&b, 0);
	EXPECT_EQ(b.buf, storage);
	blobmsg_add_string(&b, "c", "d");
	EXPECT_EQ(head(), with_head({
		0x83, 0x00, 0x00, 0x0a, 0x00, 0x01, 'c', 0x00, 'd', 0x00, 0x00, 0x00,
	}));
}

TEST_F(BlobBuf, GrowingKeepsOpenNestsAndEarlierData)
{
	void *t = blobmsg_open_table(&b, "big");
	std::string value(100, 'v');
	for (int i = 0; i < 200; i++)
		ASSERT_EQ(blobmsg_add_string(&b, "k", value.c_str()), 0);
	blobmsg_close_table(&b, t);

	auto *table = static_cast<struct blob_attr *>(blob_data(b.head));
	EXPECT_EQ(blob_pad_len(table) + 4, blob_raw_len(b.head));
	int count = 0;
	struct blob_attr *cur;
	size_t rem;
	blobmsg_for_each_attr(cur, table, rem) {
		EXPECT_STREQ(blobmsg_name(cur), "k");
		EXPECT_EQ(std::string(blobmsg_get_string(cur)), value);
		count++;
	}
	EXPECT_EQ(count, 200);
}

TEST_F(BlobBuf, AccessorsSeeNameTypeAndValue)
{
	blobmsg_add_string(&b, "name", "value");
	auto *attr = static_cast<struct blob_attr *>(blob_data(b.head));
	EXPECT_TRUE(blob_is_extended(attr));
	EXPECT_EQ(blobmsg_type(attr), BLOBMSG_TYPE_STRING);
	EXPECT_STREQ(blobmsg_name(attr), "name");
	EXPECT_STREQ(blobmsg_get_string(attr), "value");
	EXPECT_EQ(blobmsg_data_len(attr), 6u);
	EXPECT_TRUE(blobmsg_check_attr(attr, true));
	EXPECT_EQ(blobmsg_get_string(nullptr), nullptr);
}

} // namespace
