#include "protons/enumeration/linuxU/linuxDevEnumHelper.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "tests/protons/enumeration/childProcess.h"
#include "tests/protons/enumeration/tProcDriverTree.h"
#include "tests/support/tDriverSimulator.h"

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

constexpr const char* kName = "morvelpandk_morvelsondrapand";

class linuxDevEnumHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree_.mounted()) << tree_.error();
        // A recognisable record, so any byte written by a failed read shows.
        memset(&path_, 'q', sizeof path_);
        path_.length = 0;
        untouched_ = path_;
    }
    void TearDown() override { EXPECT_EQ(tree_.error(), ""); }

    // One interface whose interfacePath holds content.
    std::string makeInterface(const std::string& content) {
        const std::string directory = tree_.makeInterface("dev0", std::string(kName) + "\\0");
        return tree_.writeInterfacePath(directory, content);
    }

    void findAndRead() {
        iterator_.findInterface(kName, status_);
        ASSERT_FALSE(iterator_.atEnd());
        readInterfacePath(iterator_, path_, status_);
    }

    bool pathUntouched() const { return memcmp(&path_, &untouched_, sizeof path_) == 0; }

    tProcDriverTree tree_;
    tDeviceInterfaceIterator iterator_;
    tStatusRecord status_;
    tInterfacePath path_;
    tInterfacePath untouched_;
};

TEST_F(linuxDevEnumHelperTest, ReadsTheNodePathWithItsTerminator) {
    makeInterface("/dev/qv0");
    findAndRead();
    EXPECT_EQ(status_.code, kStatusSuccess);
    EXPECT_STREQ(path_.text, "/dev/qv0");
    EXPECT_EQ(path_.length, 9u);
}

TEST_F(linuxDevEnumHelperTest, ContentIsTakenVerbatim) {
    // A trailing newline stays (the later open of the node then fails); so do inner NULs.
    const std::string content("/dev/qv0\0x \n", 12);
    makeInterface(content);
    findAndRead();
    EXPECT_EQ(status_.code, kStatusSuccess);
    ASSERT_EQ(path_.length, 13u);
    EXPECT_EQ(std::string(path_.text, 12), content);
    EXPECT_EQ(path_.text[12], '\0');
}

TEST_F(linuxDevEnumHelperTest, EmptyContentGivesLengthOne) {
    makeInterface("");
    findAndRead();
    EXPECT_EQ(status_.code, kStatusSuccess);
    EXPECT_EQ(path_.text[0], '\0');
    EXPECT_EQ(path_.length, 1u);
}

TEST_F(linuxDevEnumHelperTest, AcceptsUpTo255Bytes) {
    const std::string content(255, 'p');
    makeInterface(content);
    findAndRead();
    EXPECT_EQ(status_.code, kStatusSuccess);
    EXPECT_EQ(path_.length, 256u);
    EXPECT_EQ(std::string(path_.text, 255), content);
    EXPECT_EQ(path_.text[255], '\0');
}

TEST_F(linuxDevEnumHelperTest, RefusesLongerContentWithoutTouchingTheRecord) {
    for (size_t size : {256u, 4096u, 10000u}) {
        SCOPED_TRACE(size);
        tStatusRecord status;
        makeInterface(std::string(size, 'p'));
        tDeviceInterfaceIterator iterator;
        iterator.findInterface(kName, status);
        ASSERT_FALSE(iterator.atEnd());
        readInterfacePath(iterator, path_, status);
        EXPECT_EQ(status.code, kStatusBufferTooSmall);
        EXPECT_TRUE(pathUntouched());
    }
}

TEST_F(linuxDevEnumHelperTest, ReadsTheFirstMatchOnly) {
    tree_.writeInterfacePath(tree_.makeInterface("dev1", std::string(kName) + "\\0"), "/dev/b");
    tree_.writeInterfacePath(tree_.makeInterface("dev0", std::string(kName) + "\\1"), "/dev/a");
    findAndRead();
    EXPECT_STREQ(path_.text, "/dev/a");
}

TEST_F(linuxDevEnumHelperTest, WarningDoesNotStopTheRead) {
    makeInterface("/dev/qv0");
    ASSERT_TRUE(status_.setCode(5, "test", "test.cpp", 1));
    findAndRead();
    EXPECT_EQ(status_.code, 5);
    EXPECT_STREQ(path_.text, "/dev/qv0");
}

TEST_F(linuxDevEnumHelperTest, ErroredRecordOpensNothing) {
    const std::string file = makeInterface("/dev/qv0");
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_NE(watch, -1);
    ASSERT_NE(inotify_add_watch(watch, file.c_str(), IN_OPEN), -1);
    alignas(inotify_event) char events[4 * (sizeof(inotify_event) + NAME_MAX + 1)];

    iterator_.findInterface(kName, status_);
    ASSERT_FALSE(iterator_.atEnd());
    tStatusRecord errored;
    ASSERT_TRUE(QV_SET_STATUS(errored, kStatusOsFault));
    readInterfacePath(iterator_, path_, errored);
    EXPECT_EQ(read(watch, events, sizeof events), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(pathUntouched());
    EXPECT_EQ(errored.code, kStatusOsFault);
    EXPECT_NE(std::string(errored.file).find("linuxDevEnumHelperTest.cpp"), std::string::npos);

    // The watch does see an open when the record is clean.
    readInterfacePath(iterator_, path_, status_);
    EXPECT_GT(read(watch, events, sizeof events), 0);
    EXPECT_STREQ(path_.text, "/dev/qv0");
    close(watch);
}

TEST_F(linuxDevEnumHelperTest, MissingFileIsNotFound) {
    tree_.makeInterface("dev0", std::string(kName) + "\\0");
    findAndRead();
    EXPECT_EQ(status_.code, kStatusNotFound);
    EXPECT_STREQ(status_.component, "quorvamon");
    EXPECT_NE(std::string(status_.file).find("linuxDevEnumHelper.h"), std::string::npos);
    EXPECT_TRUE(pathUntouched());
}

TEST_F(linuxDevEnumHelperTest, RefusedOpenIsNotFoundNotAccessDenied) {
    tree_.writeInterfacePath(tree_.makeInterface("dev0", std::string(kName) + "\\0"), "/dev/qv0",
                             0600);
    // Root opens any file, so the read runs as an ordinary user.
    const int outcome = runInChild(true, [&] {
        tStatusRecord status;
        iterator_.findInterface(kName, status);
        if (iterator_.atEnd()) {
            return 1;
        }
        readInterfacePath(iterator_, path_, status);
        if (status.code != kStatusNotFound) {
            return 2;
        }
        return pathUntouched() ? 0 : 3;
    });
    EXPECT_EQ(outcome, 0);
}

TEST_F(linuxDevEnumHelperTest, ReadErrorIsIoError) {
    // A directory opens for reading but fails every read (EISDIR).
    tree_.makeDirectory("qv/dev0/deviceInterfaces/" + std::string(kName) + "\\0/interfacePath");
    findAndRead();
    EXPECT_EQ(status_.code, kStatusIoError);
    EXPECT_TRUE(pathUntouched());
}

// The driver simulator serves /proc/driver through FUSE, which can refuse opens and reads even
// for root and counts every attempt.
class linuxDevEnumHelperSimulatedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (tDriverSimulator::toolPath().empty()) {
            GTEST_SKIP() << "built without the driver simulator";
        }
        std::string error;
        ASSERT_TRUE(tProcDriverTree::enterPrivateMountNamespace(error)) << error;
        memset(&path_, 'q', sizeof path_);
        path_.length = 0;
        untouched_ = path_;
    }

    // Starts the simulator with one interface of kName described by settings, then reads it.
    void serveAndRead(const std::string& settings) {
        simulator_.emplace("device dev0\ninterface " + std::string(kName) + "\\0\n" + settings);
        ASSERT_TRUE(simulator_->ready()) << simulator_->startError();
        iterator_.findInterface(kName, status_);
        ASSERT_FALSE(iterator_.atEnd());
        readInterfacePath(iterator_, path_, status_);
    }

    // Log lines of opens of interfacePath that ended with result.
    int openAttempts(const std::string& result) const {
        int count = 0;
        for (const std::string& line : simulator_->log()) {
            if (line.rfind("open interfacePath ", 0) == 0 &&
                line.find(" result=" + result) != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

    std::optional<tDriverSimulator> simulator_;
    tDeviceInterfaceIterator iterator_;
    tStatusRecord status_;
    tInterfacePath path_;
    tInterfacePath untouched_;
};

TEST_F(linuxDevEnumHelperSimulatedTest, TenRefusedOpensThenNotFound) {
    serveAndRead("open-errno EACCES\n");
    EXPECT_EQ(status_.code, kStatusNotFound);
    EXPECT_EQ(memcmp(&path_, &untouched_, sizeof path_), 0);
    EXPECT_EQ(openAttempts("EACCES"), 10);
    EXPECT_EQ(openAttempts("ok"), 0);
}

TEST_F(linuxDevEnumHelperSimulatedTest, TenthOpenMaySucceed) {
    serveAndRead("path /dev/qv0\nopen-errno EACCES 9\n");
    EXPECT_EQ(status_.code, kStatusSuccess);
    EXPECT_STREQ(path_.text, "/dev/qv0");
    EXPECT_EQ(openAttempts("EACCES"), 9);
    EXPECT_EQ(openAttempts("ok"), 1);
}

TEST_F(linuxDevEnumHelperSimulatedTest, FailedReadIsIoError) {
    serveAndRead("path /dev/qv0\nread-errno EIO\n");
    EXPECT_EQ(status_.code, kStatusIoError);
    EXPECT_EQ(memcmp(&path_, &untouched_, sizeof path_), 0);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
