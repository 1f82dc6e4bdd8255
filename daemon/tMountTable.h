// What /proc/self/mountinfo says of the mounts a pid-file walk meets: whether each holds a file
// system that the kernel keeps by itself, on a local disk or in memory, and so may be walked.
//
// The kept types are an allow-list: tmpfs, ramfs, rootfs, devtmpfs, ext2, ext3, ext4, xfs, btrfs,
// f2fs and zfs, and overlay when every layer it names lies on one of the others. proc, sysfs,
// debugfs, cgroup, autofs, FUSE, NFS, CIFS, 9p and every other type are refused: a FUSE server
// (which any user may run, with allow_other) reports whatever owners it likes and can hold a
// request forever, a network file system can block on a server that is gone, and a pseudo file
// system has files whose reading has side effects. An unknown type is one nobody has judged.
//
// An overlay's layers are read from its mount options (lowerdir, upperdir, workdir, lowerdir+,
// datadir+) and each is judged by the mount whose mount point is the longest prefix of its path in
// the same table, the last one mounted there when several are. A layer's path is taken as the
// text its creator gave: one that is relative, holds a backslash, lies on another overlay, or
// cannot be placed, refuses the overlay, as does an overlay that names no layer.
//
// The table is read whole into a static buffer, at most once per walk, and kept until it
// changes: its file, held open for the process's life, reports every mount and unmount in this
// mount namespace (poll, POLLPRI). What it says of up to 16 mounts is remembered meanwhile. A
// mount id passes to another mount only once its mount is gone, which is such a change. A table
// that changes again within one walk refuses the file walked; one larger than the buffer answers
// for the mounts it holds, refuses overlays and everything it does not hold.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace nQUORVAMONITORD_18_5 {

class tMountTable {
  public:
    enum class tAnswer : uint8_t { kKept, kRefused, kChanging };

    static constexpr size_t kTypeBytes = 16;

    // Starts a walk: the table is read at most once until the next call.
    void beginWalk() { readInWalk_ = false; }

    // Judges the mount with mountId. The caller holds a descriptor inside it, taken before this
    // call, so a mount that took the id of one remembered is always seen as a change. type gets
    // the mount's file-system type (cut to 15 characters; empty when not found).
    tAnswer judge(uint64_t mountId, char (&type)[kTypeBytes]);

  private:
    struct tKnownMount {
        uint64_t id;
        bool kept;
        char type[kTypeBytes];
    };

    static constexpr size_t kMostKnownMounts = 16;
    static constexpr size_t kTableBytes = size_t{256} * 1024;

    // Reads the table into text_; false when it cannot be read.
    bool read();

    int table_ = -1;
    bool current_ = false;  // text_ holds the table as it is
    bool whole_ = false;    // and all of it
    bool readInWalk_ = false;
    size_t knownCount_ = 0;
    tKnownMount known_[kMostKnownMounts] = {};
    size_t size_ = 0;
    // Static, and so zero-filled storage that costs nothing in the executable and no memory until
    // a page of it is written.
    static char text_[kTableBytes];
};

// The process's own, used by every walk.
extern tMountTable gMountTable;

}  // namespace nQUORVAMONITORD_18_5
