#include "protons/enumeration/linuxU/tDeviceInterfaceIterator.h"

#include <glob.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/protons/enumeration/childProcess.h"
#include "tests/protons/enumeration/tProcDriverTree.h"

// This binary links with --wrap=glob: every glob call of the iterator lands here, is recorded and
// passed on to the C library, and can be made to fail the way glob fails when memory runs out.
namespace {

struct tGlobCall {
    int calls = 0;
    std::string pattern;
    int flags = -1;
    bool hadErrorCallback = false;
    bool failNext = false;
};

tGlobCall gGlob;

}  // namespace

extern "C" int __real_glob(const char* pattern, int flags, int (*onError)(const char*, int),
                           glob_t* matches);

extern "C" int __wrap_glob(const char* pattern, int flags, int (*onError)(const char*, int),
                           glob_t* matches) {
    ++gGlob.calls;
    gGlob.pattern = pattern;
    gGlob.flags = flags;
    gGlob.hadErrorCallback = onError != nullptr;
    const int result = __real_glob(pattern, flags, onError, matches);
    if (gGlob.failNext) {
        gGlob.failNext = false;
        // Whatever the real search allocated stays in matches, as it can after a failure.
        return GLOB_NOSPACE;
    }
    return result;
}

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

constexpr const char* kFirstName = "morvelkestrak_morvelkestrak";
constexpr const char* kSecondName = "morvelpandk_morvelsondrapand";

class tDeviceInterfaceIteratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree_.mounted()) << tree_.error();
        gGlob = tGlobCall{};
    }
    void TearDown() override { EXPECT_EQ(tree_.error(), ""); }

    tProcDriverTree tree_;
    tStatusRecord status_;
};

TEST_F(tDeviceInterfaceIteratorTest, SearchesWithEscapedBackslashOnlyDirectoriesAndNoCallback) {
    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kSecondName, status_);
    EXPECT_EQ(gGlob.calls, 1);
    EXPECT_EQ(gGlob.pattern,
              std::string("/proc/driver/qv/*/deviceInterfaces/") + kSecondName + "\\\\*");
    EXPECT_EQ(gGlob.flags, GLOB_ONLYDIR);
    EXPECT_FALSE(gGlob.hadErrorCallback);
}

TEST_F(tDeviceInterfaceIteratorTest, OverlongNameIsCutToTheBuffer) {
    const std::string name(5000, 'n');
    tDeviceInterfaceIterator iterator;
    iterator.findInterface(name.c_str(), status_);
    EXPECT_EQ(gGlob.pattern.size(), 4095u);
    EXPECT_EQ(gGlob.pattern.rfind("/proc/driver/qv/*/deviceInterfaces/nnn", 0), 0u);
    EXPECT_TRUE(iterator.atEnd());
    EXPECT_EQ(status_.code, kStatusSuccess);
}

TEST_F(tDeviceInterfaceIteratorTest, MissingDriverDirectoryIsNoMatchAndNoError) {
    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kFirstName, status_);
    EXPECT_TRUE(iterator.atEnd());
    EXPECT_EQ(status_.code, kStatusSuccess);
}

TEST_F(tDeviceInterfaceIteratorTest, FindsOnlyTheNamePresent) {
    const std::string second = tree_.makeInterface("dev0", std::string(kSecondName) + "\\0");

    tDeviceInterfaceIterator first;
    first.findInterface(kFirstName, status_);
    EXPECT_TRUE(first.atEnd());

    tDeviceInterfaceIterator found;
    found.findInterface(kSecondName, status_);
    ASSERT_FALSE(found.atEnd());
    EXPECT_EQ(std::string(found.currentPath()), second);
    EXPECT_EQ(status_.code, kStatusSuccess);
}

TEST_F(tDeviceInterfaceIteratorTest, FirstMatchInByteOrderOfTheFullPath) {
    // Created in the reverse of the expected order, so creation order cannot pass for sorting.
    tree_.makeInterface("b", std::string(kFirstName) + "\\0");
    tree_.makeInterface("a", std::string(kFirstName) + "\\z");
    const std::string expected = tree_.makeInterface("a", std::string(kFirstName) + "\\Z");

    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kFirstName, status_);
    ASSERT_FALSE(iterator.atEnd());
    EXPECT_EQ(std::string(iterator.currentPath()), expected);
}

TEST_F(tDeviceInterfaceIteratorTest, MatchesOnlyNameBackslashSuffixDirectoriesOneLevelDown) {
    const std::string name = kFirstName;
    tree_.makeInterface("dev0", name);                                      // no backslash
    tree_.makeInterface("dev0", name + "x\\1");                             // longer name
    tree_.makeInterface("dev0", "x" + name + "\\1");                        // prefixed name
    tree_.makeDirectory("qv/dev0/inner/deviceInterfaces/" + name + "\\1");  // too deep
    tree_.makeDirectory("qv/dev0/interfaces/" + name + "\\1");              // wrong parent
    tree_.makeDirectory(name + "\\1");                                      // outside qv
    // A regular file with a matching name is not a directory.
    tree_.writeFile(tree_.makeDirectory("qv/dev1/deviceInterfaces") + "/" + name + "\\file", "");
    {
        tDeviceInterfaceIterator iterator;
        iterator.findInterface(kFirstName, status_);
        EXPECT_TRUE(iterator.atEnd());
    }

    // An empty suffix is a match.
    const std::string bare = tree_.makeInterface("dev2", name + "\\");
    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kFirstName, status_);
    ASSERT_FALSE(iterator.atEnd());
    EXPECT_EQ(std::string(iterator.currentPath()), bare);
    EXPECT_EQ(status_.code, kStatusSuccess);
}

TEST_F(tDeviceInterfaceIteratorTest, SearchesEvenWhenTheRecordHoldsAnError) {
    const std::string entry = tree_.makeInterface("dev0", std::string(kFirstName) + "\\0");
    ASSERT_TRUE(QV_SET_STATUS(status_, kStatusOsFault));

    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kFirstName, status_);
    ASSERT_FALSE(iterator.atEnd());
    EXPECT_EQ(std::string(iterator.currentPath()), entry);
    EXPECT_EQ(status_.code, kStatusOsFault);
}

TEST_F(tDeviceInterfaceIteratorTest, UnreadableDeviceDirectoryIsSkippedNotAFailure) {
    tree_.makeDirectory("qv/locked/deviceInterfaces/" + std::string(kFirstName) + "\\0");
    tree_.makeDirectory("qv/locked", 0);
    const std::string open = tree_.makeInterface("open", std::string(kFirstName) + "\\0");

    // Root reads any directory, so the search runs as an ordinary user.
    const int outcome = runInChild(true, [&] {
        tStatusRecord status;
        tDeviceInterfaceIterator iterator;
        iterator.findInterface(kFirstName, status);
        if (status.code != kStatusSuccess) {
            return 1;
        }
        if (iterator.atEnd()) {
            return 2;
        }
        return open == iterator.currentPath() ? 0 : 3;
    });
    EXPECT_EQ(outcome, 0);
}

TEST_F(tDeviceInterfaceIteratorTest, FailedSearchSetsEnumerationFailedAndEndsTheIterator) {
    tree_.makeInterface("dev0", std::string(kFirstName) + "\\0");
    gGlob.failNext = true;

    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kFirstName, status_);
    EXPECT_TRUE(iterator.atEnd());
    EXPECT_EQ(status_.code, kStatusEnumerationFailed);
    EXPECT_STREQ(status_.component, "quorvamon");
    EXPECT_NE(std::string(status_.file).find("tDeviceInterfaceIterator.cpp"), std::string::npos);
    // The matches glob left behind are freed here (the leak checker watches this).
    iterator.release();
    EXPECT_TRUE(iterator.atEnd());
}

TEST_F(tDeviceInterfaceIteratorTest, ReleaseEndsTheIteratorAndMaySearchAgain) {
    const std::string entry = tree_.makeInterface("dev0", std::string(kFirstName) + "\\0");
    tDeviceInterfaceIterator iterator;
    iterator.findInterface(kFirstName, status_);
    ASSERT_FALSE(iterator.atEnd());
    iterator.release();
    EXPECT_TRUE(iterator.atEnd());
    iterator.release();

    // A repeated search replaces the earlier matches without leaking them.
    iterator.findInterface(kFirstName, status_);
    iterator.findInterface(kFirstName, status_);
    ASSERT_FALSE(iterator.atEnd());
    EXPECT_EQ(std::string(iterator.currentPath()), entry);
    // The destructor frees these matches; the sanitizer build reports a leak or a double free.
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
