#include "daemon/tMountInfo.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace nQUORVAMONITORD_18_5 {
namespace {

using tAnswer = tMountInfo::tAnswer;

// A table line for mount id, of type, on point, with super options.
std::string line(int id, const std::string& point, const std::string& type,
                 const std::string& options = "rw") {
    return std::to_string(id) + " 1 0:" + std::to_string(id) + " / " + point +
           " rw,relatime shared:1 - " + type + " src " + options + "\n";
}

// The table text in a file of its own, as /proc/self/mountinfo is read: from its start, in pieces.
int tableFile(const std::string& text) {
    const int fd = memfd_create("mountinfo", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    return fd;
}

struct tRow {
    const char* name;
    std::string table;
    tAnswer answer;
    std::string type;
};

// What the table says of mount 9, over the tables an overlay's judgement must read right.
TEST(tMountInfoTest, JudgesTheMountByItsLineAndAnOverlayByWhereEachLayerLies) {
    const std::string base = line(1, "/", "ext4") + line(2, "/run", "tmpfs") +
                             line(3, "/home/u/fuse", "fuse.sshfs") + line(4, "/o1", "overlay");
    const std::string layers = "lowerdir=/run/l1:/run/l2,upperdir=/run/u,workdir=/run/w";
    const std::string tooLong(tMountInfo::kLineBytes, 'x');
    const std::vector<tRow> rows = {
        {"kept type", base + line(9, "/m", "xfs"), tAnswer::kKept, "xfs"},
        {"refused type", base + line(9, "/m", "nfs4"), tAnswer::kRefused, "nfs4"},
        {"not in the table", base, tAnswer::kRefused, ""},
        {"overlay of kept layers", base + line(9, "/m", "overlay", layers), tAnswer::kKept,
         "overlay"},
        {"upper layer on FUSE",
         base + line(9, "/m", "overlay", "lowerdir=/run/l,upperdir=/home/u/fuse/u,workdir=/run/w"),
         tAnswer::kRefused, "overlay"},
        {"second of several lower layers on FUSE",
         base + line(9, "/m", "overlay", "lowerdir=/run/l:/home/u/fuse/l,upperdir=/run/u"),
         tAnswer::kRefused, "overlay"},
        {"an escaped ':' keeps a lower layer whole",
         base + line(9, "/m", "overlay", "lowerdir=/home/u/fuse\\072/l"), tAnswer::kKept,
         "overlay"},
        {"a layer on another overlay", base + line(9, "/m", "overlay", "lowerdir=/o1/l"),
         tAnswer::kRefused, "overlay"},
        {"relative layer", base + line(9, "/m", "overlay", "lowerdir=run/l"), tAnswer::kRefused,
         "overlay"},
        {"no layer named", base + line(9, "/m", "overlay", "rw,xino=off"), tAnswer::kRefused,
         "overlay"},
        {"two mounts on one point: the last counts, FUSE",
         base + line(5, "/data", "tmpfs") + line(6, "/data", "fuse") +
             line(9, "/m", "overlay", "lowerdir=/data/l"),
         tAnswer::kRefused, "overlay"},
        {"two mounts on one point: the last counts, tmpfs",
         base + line(5, "/data", "fuse") + line(6, "/data", "tmpfs") +
             line(9, "/m", "overlay", "lowerdir=/data/l"),
         tAnswer::kKept, "overlay"},
        {"a prefix that is no parent: /runaway is not below /run",
         base + line(5, "/runaway", "fuse") + line(9, "/m", "overlay", "lowerdir=/runaway/l"),
         tAnswer::kRefused, "overlay"},
        {"overlay in a table with a line too long to read",
         base + line(5, "/" + tooLong, "fuse") + line(9, "/m", "overlay", layers),
         tAnswer::kRefused, "overlay"},
        {"a line too long elsewhere leaves a plain mount judged",
         base + line(5, "/" + tooLong, "fuse") + line(9, "/m", "tmpfs"), tAnswer::kKept, "tmpfs"},
        {"type cut to 15 characters", base + line(9, "/m", "fuse.a-long-server-name"),
         tAnswer::kRefused, "fuse.a-long-ser"},
    };
    const auto info = std::make_unique<tMountInfo>();
    for (const tRow& row : rows) {
        const int table = tableFile(row.table);
        char type[tMountInfo::kTypeBytes];
        int reads = 8;
        EXPECT_EQ(info->judge(table, 9, type, reads), row.answer) << row.name;
        EXPECT_EQ(type, row.type) << row.name;
        close(table);
    }
}

// A table of any size is read in pieces: a mount on the last of 5,000 lines is found, and reads
// that run out, or a table that cannot be read, leave the mount unknown.
TEST(tMountInfoTest, ReadsATableOfAnySizeWithinItsBudget) {
    std::string text;
    for (int id = 1; id <= 5000; ++id) {
        text += line(id, "/m/" + std::to_string(id), id == 5000 ? "tmpfs" : "fuse");
    }
    const auto info = std::make_unique<tMountInfo>();
    const int table = tableFile(text);
    char type[tMountInfo::kTypeBytes];
    int reads = 1;
    EXPECT_EQ(info->judge(table, 5000, type, reads), tAnswer::kKept);
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(info->judge(table, 5000, type, reads), tAnswer::kUnknown);
    reads = 8;
    EXPECT_EQ(info->judge(table, 6000, type, reads), tAnswer::kRefused);
    EXPECT_EQ(reads, 8 - tMountInfo::kMostReadsForOneMount) << "a missing mount is read again";
    close(table);
    EXPECT_EQ(info->judge(table, 5000, type, reads), tAnswer::kUnknown);
}

}  // namespace
}  // namespace nQUORVAMONITORD_18_5
