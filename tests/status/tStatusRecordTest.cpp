#include "status/tStatusRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

TEST(tStatusRecordTest, CreationDeclaresSizeAndSuccess) {
    tStatusRecord record;
    EXPECT_EQ(sizeof(record), 216u);
    EXPECT_EQ(record.structSize, kStatusRecordSize);
    EXPECT_EQ(record.code, 0);
    EXPECT_EQ(record.component[0], '\0');
    EXPECT_EQ(record.file[0], '\0');
    EXPECT_EQ(record.line, 0u);
    EXPECT_EQ(record.extra, 0u);
    EXPECT_FALSE(record.isFatal());
}

TEST(tStatusRecordTest, SuccessIgnoresZeroAndTakesAnythingElse) {
    tStatusRecord record;
    record.extra = 77;
    EXPECT_FALSE(record.setCode(0, "comp", "a.cpp", 3));
    EXPECT_EQ(record.code, 0);
    EXPECT_EQ(record.line, 0u);
    EXPECT_EQ(record.extra, 77u);
    EXPECT_STREQ(record.file, "");

    tStatusRecord warned;
    EXPECT_TRUE(warned.setCode(5, "comp", "w.cpp", 4));
    EXPECT_EQ(warned.code, 5);
    EXPECT_FALSE(warned.isFatal());
}

TEST(tStatusRecordTest, WarningGivesWayOnlyToAnError) {
    tStatusRecord record;
    ASSERT_TRUE(record.setCode(5, "warn", "warn.cpp", 10));
    EXPECT_FALSE(record.setCode(7, "other", "other.cpp", 11));
    EXPECT_FALSE(record.setCode(0, "other", "other.cpp", 12));
    EXPECT_EQ(record.code, 5);
    EXPECT_STREQ(record.file, "warn.cpp");

    record.extra = 9;
    EXPECT_TRUE(record.setCode(kStatusNotFound, "err", "err.cpp", 20));
    EXPECT_EQ(record.code, kStatusNotFound);
    EXPECT_STREQ(record.component, "err");
    EXPECT_STREQ(record.file, "err.cpp");
    EXPECT_EQ(record.line, 20u);
    EXPECT_EQ(record.extra, 0u);
    EXPECT_TRUE(record.isFatal());
}

TEST(tStatusRecordTest, FirstErrorAndItsSiteStay) {
    tStatusRecord record;
    ASSERT_TRUE(record.setCode(kStatusNotFound, "first", "first.cpp", 1));
    EXPECT_FALSE(record.setCode(kStatusOsFault, "second", "second.cpp", 2));
    EXPECT_FALSE(record.setCode(3, "second", "second.cpp", 2));
    EXPECT_FALSE(record.setCode(0, "second", "second.cpp", 2));
    EXPECT_EQ(record.code, kStatusNotFound);
    EXPECT_STREQ(record.component, "first");
    EXPECT_STREQ(record.file, "first.cpp");
    EXPECT_EQ(record.line, 1u);
}

TEST(tStatusRecordTest, SmallDeclaredSizeWritesOnlyTheCode) {
    tStatusRecord record;
    record.structSize = 215;
    std::memset(record.component, 'c', sizeof record.component);
    std::memset(record.file, 'f', sizeof record.file);
    record.line = 123;
    record.extra = 456;
    EXPECT_TRUE(record.setCode(kStatusOsFault, "quorvamonitord", "x.cpp", 9));
    EXPECT_EQ(record.code, kStatusOsFault);
    EXPECT_EQ(std::string(record.component, sizeof record.component), std::string(10, 'c'));
    EXPECT_EQ(std::string(record.file, sizeof record.file), std::string(101, 'f'));
    EXPECT_EQ(record.line, 123u);
    EXPECT_EQ(record.extra, 456u);
}

TEST(tStatusRecordTest, ComponentKeepsNineCharactersAndPadsWithNul) {
    tStatusRecord record;
    std::memset(record.component, 'x', sizeof record.component);
    ASSERT_TRUE(record.setCode(-1, kComponentName, "f.cpp", 1));
    EXPECT_EQ(std::string(record.component, sizeof record.component),
              std::string("quorvamon\0", 10));

    tStatusRecord empty;
    std::memset(empty.component, 'x', sizeof empty.component);
    std::memset(empty.file, 'y', sizeof empty.file);
    ASSERT_TRUE(empty.setCode(-1, "", "ab", 1));
    EXPECT_EQ(std::string(empty.component, sizeof empty.component), std::string(10, '\0'));
    EXPECT_EQ(std::string(empty.file, sizeof empty.file), "ab" + std::string(99, '\0'));
}

TEST(tStatusRecordTest, PathOfOneHundredCharactersIsStoredWhole) {
    std::string path;
    for (int i = 0; path.size() < 100; ++i) {
        path += static_cast<char>('a' + i % 26);
    }
    tStatusRecord record;
    ASSERT_TRUE(record.setCode(-1, "c", path.c_str(), 1));
    EXPECT_EQ(std::string(record.file), path);
    EXPECT_EQ(record.file[100], '\0');
}

TEST(tStatusRecordTest, LongerPathKeepsHeadAndTailAroundTwoDots) {
    for (size_t size : {101u, 180u, 4000u}) {
        std::string path;
        for (size_t i = 0; i < size; ++i) {
            path += static_cast<char>('A' + i % 26);
        }
        tStatusRecord record;
        ASSERT_TRUE(record.setCode(-1, "c", path.c_str(), 1));
        const std::string stored(record.file);
        EXPECT_EQ(stored.size(), 100u);
        EXPECT_EQ(stored, path.substr(0, 49) + ".." + path.substr(size - 49)) << size;
        EXPECT_EQ(record.file[100], '\0');
    }
}

TEST(tStatusRecordTest, MacroRecordsThisComponentAndSite) {
    tStatusRecord record;
    const uint64_t line = __LINE__ + 1;
    QV_SET_STATUS(record, kStatusIoError);
    EXPECT_EQ(record.code, kStatusIoError);
    EXPECT_STREQ(record.component, "quorvamon");
    EXPECT_EQ(record.line, line);
    // Recorded paths are relative to the project root, never absolute build paths.
    EXPECT_STREQ(record.file, "tests/status/tStatusRecordTest.cpp");
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
