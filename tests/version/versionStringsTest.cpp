#include "version/versionStrings.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace {

TEST(versionStringsTest, NineKeysInOrderThenNull) {
    const char* const keys[] = {
        "nQVVersion_CompanyName",      "nQVVersion_LegalCopyright",  "nQVVersion_ProductName",
        "nQVVersion_OriginalFilename", "nQVVersion_FileDescription", "nQVVersion_ProductVersion",
        "nQVVersion_FileVersion",      "nQVVersion_InternalName",    "nQVVersion_Comments"};
    const char* const* strings = versionStrings();
    for (int i = 0; i < 9; ++i) {
        ASSERT_NE(strings[i], nullptr);
        const std::string entry(strings[i]);
        EXPECT_EQ(entry.substr(0, entry.find('=')), keys[i]);
        EXPECT_GT(entry.size(), entry.find('=') + 1) << "empty value for " << keys[i];
    }
    EXPECT_EQ(strings[9], nullptr);
}

TEST(versionStringsTest, FixedValues) {
    const char* const* strings = versionStrings();
    EXPECT_STREQ(strings[1],
                 "nQVVersion_LegalCopyright=Copyright (C) 2026 Quorva Systems. Released under "
                 "the MIT License.");
    EXPECT_STREQ(strings[2], "nQVVersion_ProductName=QUORVAMONITORD");
    EXPECT_STREQ(strings[3], "nQVVersion_OriginalFilename=quorvamonitord");
    EXPECT_STREQ(strings[5], "nQVVersion_ProductVersion=18.5.0f0");
    EXPECT_STREQ(strings[6], "nQVVersion_FileVersion=18.5.0f0");
    EXPECT_STREQ(strings[7], "nQVVersion_InternalName=QUORVAMONITORD 18.5.0f0");
}

TEST(versionStringsTest, CommentsHoldBuildTimeAndConfiguration) {
    const std::string comments(versionStrings()[8]);
    const std::regex form(
        "nQVVersion_Comments=[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}, "
        "quorvamonitord/linuxU/[a-z0-9_]+/(gcc|clang)/[a-z]+");
    EXPECT_TRUE(std::regex_match(comments, form)) << comments;
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
