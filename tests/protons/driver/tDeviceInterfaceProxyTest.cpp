#include "protons/driver/linuxU/tDeviceInterfaceProxy.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/protons/enumeration/childProcess.h"
#include "tests/protons/enumeration/tProcDriverTree.h"
#include "tests/support/tDriverSimulator.h"
#include "tools/qvdriversim/deviceRequests.h"

namespace nQUORVAMONITORD_18_5::nZORFEL000 {
namespace {

// A class that also derives virtually from the interface converts to it unambiguously only if
// the proxy's own base is virtual as well.
class tSecondFace : public virtual iInterfaceProxy {};
class tBothFaces : public tDeviceInterfaceProxy, public tSecondFace {};
static_assert(std::is_convertible_v<tBothFaces*, iInterfaceProxy*>);

// Records calls of open so that openInterface can be seen to reach an override.
class tRecordingProxy : public tDeviceInterfaceProxy {
  public:
    void open(const char* path, tStatusRecord& status) override {
        openedPath = path;
        tDeviceInterfaceProxy::open(path, status);
    }
    std::string openedPath;
};

int openDescriptorCount() {
    int count = 0;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return -1;
    }
    while (readdir(directory) != nullptr) {
        ++count;
    }
    closedir(directory);
    return count;
}

bool isOpenDescriptor(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// The permission column ("r--s", "rw-s", ...) of the mapping that starts at address.
std::string mappingPermissions(const void* address) {
    char start[32];
    snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(address));
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.rfind(start, 0) == 0) {
            return line.substr(line.find(' ') + 1, 4);
        }
    }
    return "";
}

class tDeviceInterfaceProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qvProxyTestXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        ASSERT_EQ(chmod(directory_.c_str(), 0755), 0);
        pageSize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    }

    void TearDown() override {
        for (const std::string& file : files_) {
            unlink(file.c_str());
        }
        rmdir(directory_.c_str());
    }

    // A file in the test directory holding content.
    std::string makeFile(const std::string& name, const std::string& content, mode_t mode = 0644) {
        std::string path = directory_ + "/" + name;
        files_.push_back(path);
        std::ofstream(path, std::ios::binary) << content;
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }

    // A file of four pages; every byte of page i is 'A' + i.
    std::string makePagedFile() {
        std::string content;
        for (char page = 'A'; page < 'E'; ++page) {
            content.append(pageSize_, page);
        }
        return makeFile("pages", content);
    }

    std::string directory_;
    std::vector<std::string> files_;
    size_t pageSize_ = 0;
    tStatusRecord status_;
};

TEST_F(tDeviceInterfaceProxyTest, StartsClosedAndCloseOfAClosedProxyDoesNothing) {
    tDeviceInterfaceProxy proxy;
    EXPECT_EQ(proxy.descriptor, -1);
    EXPECT_FALSE(proxy.isOpen());
    const int before = openDescriptorCount();
    proxy.close();
    proxy.close();
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(tDeviceInterfaceProxyTest, OpensReadWriteCloseOnExec) {
    const std::string path = makeFile("node", "");
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    EXPECT_EQ(status_.code, kStatusSuccess);
    ASSERT_TRUE(proxy.isOpen());
    EXPECT_EQ(fcntl(proxy.descriptor, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(fcntl(proxy.descriptor, F_GETFD), FD_CLOEXEC);
}

TEST_F(tDeviceInterfaceProxyTest, SecondCloseLeavesOtherDescriptorsAlone) {
    const std::string path = makeFile("node", "");
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    ASSERT_TRUE(proxy.isOpen());
    const int fd = proxy.descriptor;
    proxy.close();
    EXPECT_EQ(proxy.descriptor, -1);
    EXPECT_FALSE(isOpenDescriptor(fd));

    // The freed number is taken again; a stale descriptor would close this one.
    const int other = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(other, fd);
    proxy.close();
    EXPECT_TRUE(isOpenDescriptor(other));
    ::close(other);
}

TEST_F(tDeviceInterfaceProxyTest, DestructionClosesThroughTheInterface) {
    const std::string path = makeFile("node", "");
    auto* proxy = new tDeviceInterfaceProxy;
    proxy->open(path.c_str(), status_);
    const int fd = proxy->descriptor;
    ASSERT_TRUE(isOpenDescriptor(fd));
    std::unique_ptr<iInterfaceProxy> owner(proxy);
    owner.reset();
    EXPECT_FALSE(isOpenDescriptor(fd));
}

TEST_F(tDeviceInterfaceProxyTest, OpenOfAMissingPathIsNotFound) {
    tDeviceInterfaceProxy proxy;
    proxy.open((directory_ + "/missing").c_str(), status_);
    EXPECT_EQ(proxy.descriptor, -1);
    EXPECT_EQ(status_.code, kStatusNotFound);
    EXPECT_STREQ(status_.component, "quorvamon");
    EXPECT_NE(std::string(status_.file).find("tDeviceInterfaceProxy.cpp"), std::string::npos);
}

TEST_F(tDeviceInterfaceProxyTest, OpenWithoutPermissionIsAccessDenied) {
    const std::string path = makeFile("node", "", 0600);
    // Root opens any file, so the open runs as an ordinary user.
    const int outcome = runInChild(true, [&] {
        tStatusRecord status;
        tDeviceInterfaceProxy proxy;
        proxy.open(path.c_str(), status);
        if (proxy.isOpen()) {
            return 1;
        }
        return status.code == kStatusAccessDenied ? 0 : 2;
    });
    EXPECT_EQ(outcome, 0);
}

TEST_F(tDeviceInterfaceProxyTest, OpenOnAnErroredRecordDoesNothing) {
    const std::string path = makeFile("node", "");
    ASSERT_TRUE(QV_SET_STATUS(status_, kStatusOsFault));
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    EXPECT_FALSE(proxy.isOpen());
    EXPECT_EQ(status_.code, kStatusOsFault);
}

TEST_F(tDeviceInterfaceProxyTest, ReopeningReplacesTheDescriptorWithoutLeaking) {
    const std::string first = makeFile("first", "");
    const std::string second = makeFile("second", "");
    tDeviceInterfaceProxy proxy;
    proxy.open(first.c_str(), status_);
    const int before = openDescriptorCount();
    proxy.open(second.c_str(), status_);
    EXPECT_EQ(status_.code, kStatusSuccess);
    EXPECT_EQ(openDescriptorCount(), before);

    struct stat opened {};
    struct stat expected {};
    ASSERT_EQ(fstat(proxy.descriptor, &opened), 0);
    ASSERT_EQ(stat(second.c_str(), &expected), 0);
    EXPECT_EQ(opened.st_ino, expected.st_ino);

    // A failed reopen leaves the proxy closed, not holding the old device.
    proxy.open((directory_ + "/missing").c_str(), status_);
    EXPECT_FALSE(proxy.isOpen());
    EXPECT_EQ(openDescriptorCount(), before - 1);
    EXPECT_EQ(status_.code, kStatusNotFound);
}

TEST_F(tDeviceInterfaceProxyTest, OpenInterfaceReachesAnOverriddenOpen) {
    const std::string path = makeFile("node", "");
    tRecordingProxy proxy;
    proxy.openInterface(path.c_str(), status_);
    EXPECT_EQ(proxy.openedPath, path);
    EXPECT_TRUE(proxy.isOpen());
}

TEST_F(tDeviceInterfaceProxyTest, ReadsAndWritesOnTheDescriptor) {
    const std::string path = makeFile("node", "");
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    EXPECT_EQ(proxy.write("hello", 5, status_), 5);
    ASSERT_EQ(lseek(proxy.descriptor, 0, SEEK_SET), 0);
    char buffer[16] = {};
    EXPECT_EQ(proxy.read(buffer, sizeof buffer, status_), 5);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(proxy.read(buffer, sizeof buffer, status_), 0);
    EXPECT_EQ(status_.code, kStatusSuccess);
}

TEST_F(tDeviceInterfaceProxyTest, ErroredRecordReadsAndWritesNothing) {
    const std::string path = makeFile("node", "data");
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    ASSERT_TRUE(QV_SET_STATUS(status_, kStatusOsFault));

    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(proxy.read(buffer, sizeof buffer, status_), 0);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, 'x'));
    EXPECT_EQ(lseek(proxy.descriptor, 0, SEEK_CUR), 0);

    EXPECT_EQ(proxy.write("more", 4, status_), 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4);
    EXPECT_EQ(status_.code, kStatusOsFault);
}

TEST_F(tDeviceInterfaceProxyTest, FailedReadOrWriteGivesMinusOneAndTheMappedErrno) {
    tDeviceInterfaceProxy proxy;
    char buffer[4];
    EXPECT_EQ(proxy.read(buffer, sizeof buffer, status_), -1);
    EXPECT_EQ(status_.code, kStatusNotFound);  // EBADF on the closed proxy

    tStatusRecord status;
    EXPECT_EQ(proxy.write(buffer, sizeof buffer, status), -1);
    EXPECT_EQ(status.code, kStatusNotFound);
}

TEST_F(tDeviceInterfaceProxyTest, RefusedRequestSetsTheMappedErrnoAndReturnsTheUntouchedResult) {
    const std::string path = makeFile("node", "");
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    char input[4] = {};
    char output[4] = {};
    // A regular file knows no device requests: ENOTTY.
    EXPECT_EQ(proxy.ioctl(0xC020FF10u, input, sizeof input, output, sizeof output, status_), 0u);
    EXPECT_EQ(status_.code, kStatusNotSupported);

    tDeviceInterfaceProxy closed;
    tStatusRecord status;
    EXPECT_EQ(closed.ioctl(0xC020FF10u, input, sizeof input, output, sizeof output, status), 0u);
    EXPECT_EQ(status.code, kStatusNotFound);
}

TEST_F(tDeviceInterfaceProxyTest, MapUsesOnlyTheLowSixteenBitsOfThePageIndex) {
    const std::string path = makePagedFile();
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    tMemoryMapping mapping{nullptr, 0};
    void* address = proxy.map(0x10003, pageSize_, 2, mapping, status_);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(status_.code, kStatusSuccess);
    EXPECT_EQ(mapping.address, address);
    EXPECT_EQ(mapping.length, pageSize_);
    const char* bytes = static_cast<const char*>(address);
    EXPECT_EQ(bytes[0], 'D');
    EXPECT_EQ(bytes[pageSize_ - 1], 'D');
    // Any access other than 1 maps read-only, shared.
    EXPECT_EQ(mappingPermissions(address), "r--s");

    proxy.unmap(mapping);
    EXPECT_EQ(mapping.address, nullptr);
    EXPECT_EQ(mapping.length, pageSize_);
    EXPECT_EQ(mappingPermissions(address), "");
}

TEST_F(tDeviceInterfaceProxyTest, AccessOneMapsSharedForWriting) {
    const std::string path = makePagedFile();
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    tMemoryMapping mapping{nullptr, 0};
    char* bytes = static_cast<char*>(proxy.map(1, pageSize_, kMapReadWrite, mapping, status_));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(mappingPermissions(bytes), "rw-s");
    bytes[0] = 'w';
    proxy.unmap(mapping);

    // Shared: the write reached the file.
    char first = 0;
    ASSERT_EQ(pread(proxy.descriptor, &first, 1, static_cast<off_t>(pageSize_)), 1);
    EXPECT_EQ(first, 'w');
}

TEST_F(tDeviceInterfaceProxyTest, FailedMapNullsTheAddressAndKeepsTheLength) {
    const std::string path = makePagedFile();
    tDeviceInterfaceProxy proxy;
    proxy.open(path.c_str(), status_);
    int marker = 0;
    tMemoryMapping mapping{&marker, 1234};
    EXPECT_EQ(proxy.map(0, 0, 2, mapping, status_), nullptr);  // EINVAL for length 0
    EXPECT_EQ(status_.code, kStatusInvalidParameter);
    EXPECT_EQ(mapping.address, nullptr);
    EXPECT_EQ(mapping.length, 1234u);

    // An errored record leaves the mapping alone.
    mapping = {&marker, 1234};
    EXPECT_EQ(proxy.map(0, pageSize_, 2, mapping, status_), nullptr);
    EXPECT_EQ(mapping.address, &marker);
    EXPECT_EQ(mapping.length, 1234u);

    // Unmapping nothing does nothing.
    tMemoryMapping empty{nullptr, 99};
    proxy.unmap(empty);
    EXPECT_EQ(empty.address, nullptr);
    EXPECT_EQ(empty.length, 99u);
}

// Against the driver simulator's device node: requests that fill the result field, and device
// memory whose pages tell themselves apart.
class tDeviceInterfaceProxySimulatedTest : public ::testing::Test {
  protected:
    static constexpr const char* kNodePath = "/proc/driver/qv/dev0/node";

    void SetUp() override {
        if (tDriverSimulator::toolPath().empty()) {
            GTEST_SKIP() << "built without the driver simulator";
        }
        std::string error;
        ASSERT_TRUE(tProcDriverTree::enterPrivateMountNamespace(error)) << error;
        simulator_.emplace();
        ASSERT_TRUE(simulator_->ready()) << simulator_->startError();
        proxy_.open(kNodePath, status_);
        ASSERT_TRUE(proxy_.isOpen());
    }

    // The simulator's log lines for the generic request number request.
    std::vector<std::string> requestLines(uint32_t request) const {
        char prefix[64];
        snprintf(prefix, sizeof prefix, "ioctl node=/qv/dev0/node request=0x%08x ", request);
        std::vector<std::string> lines;
        for (const std::string& line : simulator_->log()) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    std::optional<tDriverSimulator> simulator_;
    tDeviceInterfaceProxy proxy_;
    tStatusRecord status_;
};

TEST_F(tDeviceInterfaceProxySimulatedTest, RequestBlockDescribesTheBuffersAndResultIsCut) {
    char input[4] = {};
    char output[8] = {};
    EXPECT_EQ(proxy_.ioctl(nQVDRIVERSIM::kFillResultRequest, input, sizeof input, output,
                           sizeof output, status_),
              static_cast<uint32_t>(nQVDRIVERSIM::kFillResultValue));
    EXPECT_EQ(status_.code, kStatusSuccess);

    char expected[128];
    snprintf(expected, sizeof expected, "input=%p input-size=4 output=%p output-size=8 result=ok",
             static_cast<void*>(input), static_cast<void*>(output));
    const std::vector<std::string> lines = requestLines(nQVDRIVERSIM::kFillResultRequest);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];

    // The driver puts (inputSize << 32) | outputSize in the result; only outputSize comes back.
    EXPECT_EQ(proxy_.ioctl(nQVDRIVERSIM::kEchoSizesRequest, input, 3, output, 7, status_), 7u);
}

TEST_F(tDeviceInterfaceProxySimulatedTest, RefusedRequestReturnsTheResultLeftByTheDriver) {
    EXPECT_EQ(proxy_.ioctl(nQVDRIVERSIM::kFailingRequest, nullptr, 0, nullptr, 0, status_), 0u);
    EXPECT_EQ(status_.code, kStatusIoError);
    EXPECT_EQ(requestLines(nQVDRIVERSIM::kFailingRequest).size(), 1u);
}

TEST_F(tDeviceInterfaceProxySimulatedTest, ErroredRecordIssuesNoRequest) {
    ASSERT_TRUE(QV_SET_STATUS(status_, kStatusOsFault));
    EXPECT_EQ(proxy_.ioctl(nQVDRIVERSIM::kFillResultRequest, nullptr, 0, nullptr, 0, status_), 0u);
    EXPECT_TRUE(requestLines(nQVDRIVERSIM::kFillResultRequest).empty());

    // The log does show the request once the record is clean.
    tStatusRecord clean;
    proxy_.ioctl(nQVDRIVERSIM::kFillResultRequest, nullptr, 0, nullptr, 0, clean);
    EXPECT_EQ(requestLines(nQVDRIVERSIM::kFillResultRequest).size(), 1u);
}

TEST_F(tDeviceInterfaceProxySimulatedTest, MapsTheDevicePageOfTheLowSixteenBits) {
    const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    tMemoryMapping mapping{nullptr, 0};
    const auto* bytes =
        static_cast<const unsigned char*>(proxy_.map(0x10003, pageSize, 2, mapping, status_));
    ASSERT_NE(bytes, nullptr) << status_.code;
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[pageSize - 1], 3);
    EXPECT_EQ(mappingPermissions(bytes), "r--s");
    proxy_.unmap(mapping);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5::nZORFEL000
