#include "tools/qvdriversim/textCodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {
namespace {

TEST(textCodecTest, HexDecodesPairsAndIgnoresSeparators) {
    std::string bytes;
    ASSERT_TRUE(decodeHex("0x0a0B", bytes));
    EXPECT_EQ(bytes, "\x0a\x0b");
    ASSERT_TRUE(decodeHex("00:ff 7f", bytes));
    EXPECT_EQ(bytes, std::string("\x00\xff\x7f", 3));
    ASSERT_TRUE(decodeHex("", bytes));
    EXPECT_EQ(bytes, "");
    EXPECT_FALSE(decodeHex("abc", bytes));
    EXPECT_FALSE(decodeHex("0g", bytes));
    EXPECT_EQ(encodeHex(std::string("\x00\xff\x10", 3)), "00ff10");
}

TEST(textCodecTest, EscapesDecodeAndBadOnesAreRefused) {
    std::string bytes;
    ASSERT_TRUE(decodeEscapes("a\\\\b\\n\\r\\t\\0\\x41\\xfF", bytes));
    EXPECT_EQ(bytes, std::string("a\\b\n\r\t\0A\xff", 9));
    for (const char* bad : {"\\", "x\\q", "\\x4", "\\x", "\\xg0"}) {
        EXPECT_FALSE(decodeEscapes(bad, bytes)) << bad;
    }
}

TEST(textCodecTest, LogEscapingKeepsOneFieldPerValue) {
    EXPECT_EQ(escapeForLog("/qv/d/name\\0"), "/qv/d/name\\0");
    EXPECT_EQ(escapeForLog(std::string("a b\n\x7f\x00", 6)), "a\\x20b\\x0a\\x7f\\x00");
}

TEST(textCodecTest, NumbersAreDecimalOrHexWithinTheLimit) {
    uint64_t value = 7;
    ASSERT_TRUE(parseNumber("0", 10, value));
    EXPECT_EQ(value, 0u);
    ASSERT_TRUE(parseNumber("0x1F", 31, value));
    EXPECT_EQ(value, 31u);
    ASSERT_TRUE(parseNumber("18446744073709551615", std::numeric_limits<uint64_t>::max(), value));
    EXPECT_EQ(value, std::numeric_limits<uint64_t>::max());
    ASSERT_TRUE(parseNumber("65535", 65535, value));
    value = 7;
    for (const char* bad : {"", "0x", "-1", "+1", "1a", "0x1g", " 1", "65536"}) {
        EXPECT_FALSE(parseNumber(bad, 65535, value)) << bad;
    }
    EXPECT_FALSE(parseNumber("18446744073709551616", std::numeric_limits<uint64_t>::max(), value));
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(hexNumber(0x0FE57AF7, 8), "0x0fe57af7");
    EXPECT_EQ(hexNumber(0xFF01, 8), "0x0000ff01");
    EXPECT_EQ(hexNumber(0x1122334455667788ull, 8), "0x1122334455667788");
}

}  // namespace
}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
