// Judges the mounts a pid-file walk meets: whether each holds a file system that the kernel keeps
// by itself, on a local disk or in memory, and so may be walked.
//
// The kept types are an allow-list: tmpfs, ramfs, rootfs, devtmpfs, ext2, ext3, ext4, xfs, btrfs,
// f2fs and zfs, and overlay when every layer it names lies on one of the others (see tMountInfo).
// proc, sysfs, debugfs, cgroup, autofs, FUSE, NFS, CIFS, 9p and every other type are refused: a
// FUSE server (which any user may run, with allow_other) reports whatever owners it likes and can
// hold a request forever, a network file system can block on a server that is gone, and a pseudo
// file system has files whose reading has side effects. An unknown type is one nobody has judged.
//
// A mount is judged by its identity while the walk holds a descriptor inside it, so it can neither
// go away unnoticed nor lend its id to another mount; what other mounts do meanwhile does not
// matter. Where the kernel gives every mount an id that it never gives to another (statx's
// STATX_MNT_ID_UNIQUE and statmount(), Linux 6.8), it is asked about that one mount, and what it
// says is remembered for the process's life. Elsewhere, or where a system-call filter refuses
// statmount, the mount is looked up by its id in /proc/self/mountinfo, read in pieces whatever its
// size; what is learned there is remembered until the table changes: the file, held open for the
// process's life, reports every mount and unmount (poll, POLLPRI). An overlay's layers are placed
// in that table on either way.
//
// The table is read at most kMostTableReadsInWalk times in one walk, whose cost a user's links
// could otherwise stretch over many mounts; a mount that cannot be judged then, or when the table
// cannot be read, is unknown this time, and neither kept nor refused.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "daemon/tMountInfo.h"

struct statx;

namespace nQUORVAMONITORD_18_5 {

class tMountTable {
  public:
    using tAnswer = tMountInfo::tAnswer;
    // How mounts are looked up: by asking the kernel where it can, or always in the table.
    enum class tLookup : uint8_t { kKernelWherePossible, kTableOnly };

    static constexpr size_t kTypeBytes = tMountInfo::kTypeBytes;
    static constexpr int kMostTableReadsInWalk = 8;
    static constexpr size_t kMostKnownMounts = 32;

    explicit tMountTable(tLookup lookup = tLookup::kKernelWherePossible) : lookup_(lookup) {}
    tMountTable(const tMountTable&) = delete;
    tMountTable& operator=(const tMountTable&) = delete;

    // The statx mask bit that asks for the mount ids judge takes: STATX_MNT_ID_UNIQUE where the
    // kernel is asked, else 0 (STATX_MNT_ID alone). Settled at its first call.
    unsigned idMask();

    // Starts a walk: its budget of table reads is full again.
    void beginWalk() { readsLeft_ = kMostTableReadsInWalk; }

    // Judges the mount that info (statx with idMask()) names. The caller holds a descriptor inside
    // it, taken before info, throughout. type gets the mount's file-system type (cut to 15
    // characters; empty when it could not be told).
    tAnswer judge(const struct statx& info, char (&type)[kTypeBytes]);

  private:
    struct tKnownMount {
        uint64_t id;
        bool kept;
        char type[kTypeBytes];
    };

    tAnswer judgeByKernel(uint64_t id, char (&type)[kTypeBytes]);
    tAnswer judgeInTable(uint64_t id, char (&type)[kTypeBytes]);
    // Opens the table, or forgets what was learned there if it changed; false when it cannot be
    // opened.
    bool openTable();
    const tKnownMount* known(uint64_t id) const;
    void remember(uint64_t id, tAnswer answer, const char (&type)[kTypeBytes]);

    const tLookup lookup_;
    bool settled_ = false;
    bool byKernel_ = false;
    int table_ = -1;
    int readsLeft_ = kMostTableReadsInWalk;
    // The mounts judged: by the kernel's ids, never reused, for good; or by the table's ids, until
    // the table changes. Replaced oldest first once full.
    tKnownMount known_[kMostKnownMounts] = {};
    size_t knownCount_ = 0;
    size_t nextKnown_ = 0;
    tMountInfo info_;
};

// The process's own, used by every walk.
extern tMountTable gMountTable;

}  // namespace nQUORVAMONITORD_18_5
