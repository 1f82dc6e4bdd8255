#include "daemon/tPidParser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace nQUORVAMONITORD_18_5 {
namespace {

// Formatted stream extraction is the reference the parser must agree with.
bool streamExtract(const std::string& text, int& pid) {
    std::istringstream stream(text);
    stream >> pid;
    return !stream.fail();
}

bool parseWhole(const std::string& text, int& pid) {
    tPidParser parser;
    parser.feed(text.data(), text.size());
    return parser.finish(pid);
}

bool parseByteByByte(const std::string& text, int& pid) {
    tPidParser parser;
    for (char c : text) {
        if (!parser.feed(&c, 1)) {
            break;
        }
    }
    return parser.finish(pid);
}

TEST(tPidParserTest, AgreesWithFormattedStreamInput) {
    const char* const texts[] = {
        "42",
        "  42\n",
        "\t\n\v\f\r 42",
        "42abc",
        "42 17",
        "+42",
        "-42",
        "",
        "   ",
        "abc",
        "+",
        "-",
        "+-42",
        "- 42",
        "0",
        "-0",
        "007",
        "2147483647",
        "2147483648",
        "-2147483648",
        "-2147483649",
        "99999999999999999999",
        "4.2",
        "0x10",
        "\00142",  // a control character, then 42
        "\n\n42\n\n",
        "1e5",
        "00000000000000000000000012",
    };
    for (const char* text : texts) {
        int expected = -7;
        const bool expectedOk = streamExtract(text, expected);
        int whole = -7;
        int pieces = -7;
        EXPECT_EQ(parseWhole(text, whole), expectedOk) << '"' << text << '"';
        EXPECT_EQ(parseByteByByte(text, pieces), expectedOk) << '"' << text << '"';
        if (expectedOk) {
            EXPECT_EQ(whole, expected) << '"' << text << '"';
            EXPECT_EQ(pieces, expected) << '"' << text << '"';
        }
    }
}

TEST(tPidParserTest, SettlesWithoutReadingFurther) {
    tPidParser parser;
    EXPECT_TRUE(parser.feed("   ", 3));
    EXPECT_TRUE(parser.feed("12", 2));
    EXPECT_FALSE(parser.feed("3x", 2));
    EXPECT_FALSE(parser.feed("456", 3));  // already settled: ignored
    int pid = 0;
    ASSERT_TRUE(parser.finish(pid));
    EXPECT_EQ(pid, 123);
}

TEST(tPidParserTest, EndlessDigitsFailAsSoonAsOutOfRange) {
    tPidParser parser;
    const std::string digits(1000, '9');
    EXPECT_FALSE(parser.feed(digits.data(), digits.size()));
    int pid = 5;
    EXPECT_FALSE(parser.finish(pid));
    EXPECT_EQ(pid, 5);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
