// Finds out who could have chosen what a pid file says. Its path is resolved from "/" one
// component at a time, each opened with O_PATH | O_NOFOLLOW and looked at with statx, and a
// symbolic link is read and its text walked in turn instead of being followed by the kernel.
// The file found is then opened for reading by its name in the directory reached, with openat2
// refusing links and mount crossings, and kept only if it is the very file judged. Between the look
// and that open only someone allowed to add entries to the directory could put something else
// in its place; that is opened without blocking or becoming a controlling terminal, then closed
// unread. A file mounted on its name is reopened through its O_PATH descriptor instead.
//
// Whoever owns a directory walked, a link followed or the file itself can choose what the file
// names (a controller), and so can anyone else allowed to write to one of them:
// - the owner of each of them is a controller;
// - where a directory or the file has an access ACL, a named user granted write (through the
//   mask) is a controller too, and a named group or the owning group granted write counts as a
//   foreign-group writer unless it is root's group or the daemon's;
// - write for everyone, or for a group other than root's and the daemon's, makes the file
//   untrusted; a sticky directory is the exception (only an entry's owner, judged with the entry,
//   or the directory's owner may replace an entry there), and only a directory can be sticky.
// Root and the daemon's own user are trusted and never counted as controllers. An ACL is read
// only when the group bits (the ACL's mask, when there is one) allow writing; a file system
// without ACLs (EOPNOTSUPP) and an inode without one (ENODATA) are judged by their mode, and any
// other failure to read the ACL makes the file untrusted.
//
// Only file systems that the kernel keeps by itself, on a local disk or in memory, are walked:
// tmpfs, ramfs, rootfs, devtmpfs, ext2, ext3, ext4, xfs, btrfs, f2fs, zfs and overlay. It is an
// allow-list: proc, sysfs, debugfs, cgroup, autofs, FUSE, NFS, CIFS, 9p and every other type are
// refused. A FUSE server (which any user may run, with allow_other) reports whatever owners it
// likes and can hold a request forever, a network file system can block on a server that is
// gone, and a pseudo file system has files whose reading has side effects. The type is taken
// from /proc/self/mountinfo by the mount id that statx reports, so the file system itself is
// never asked (fstatfs would send a FUSE server a request it can leave unanswered): statx uses
// AT_STATX_DONT_SYNC, which answers from the kernel's cached attributes, and the type of an
// entry's mount is settled before anything inside it is looked up or read. The table is consulted
// where the mount changes on the way; what it says of up to 16 mounts is kept until the table
// changes, which its file, held open for the process's life, reports at once (poll, POLLPRI). A
// component on a refused file system ends the walk as if it did not exist.
//
// Intermediate components are opened with O_DIRECTORY as well, which makes the kernel mount a
// pending automount there, as a plain open of the path would; a symbolic link then fails with
// ENOTDIR and is opened again without O_DIRECTORY.
#pragma once

#include <limits.h>
#include <stdint.h>
#include <sys/types.h>

struct statx;

namespace nQUORVAMONITORD_18_5 {

class tPidFileWalk {
  public:
    // Most symbolic links followed in one walk, as the kernel allows.
    static constexpr int kMaxLinks = 40;

    // Whom the file that was opened may name.
    enum class tNamable {
        kNoOne,    // someone other than root and the daemon's user may write to it or replace an
                   // entry on its way, or two such users control the way: nothing it says counts
        kAnyone,   // only root and the daemon's user control it
        kOneUser,  // one other user, controller, controls it: only a process of that user
    };

    struct tOpened {
        int fd = -1;  // open for reading; the caller closes it
        tNamable namable = tNamable::kNoOne;
        uid_t controller = 0;
    };

    tPidFileWalk();
    tPidFileWalk(const tPidFileWalk&) = delete;
    tPidFileWalk& operator=(const tPidFileWalk&) = delete;

    // Walks path (a relative one from the working directory, with the directories above it) and
    // opens the regular file it names for reading. fd is -1 when the path does not resolve to a
    // regular file within kMaxLinks links, when it is too long, when a component lies on a file
    // system that is not walked, or when the file opened is not the one judged: nothing but a
    // regular file is ever opened for reading.
    tOpened openFile(const char* path);

  private:
    // Copies path, made absolute, into pending_; false when it does not fit.
    bool assemblePath(const char* path);
    // Opens "/" as root_ and judges it; false on failure.
    bool startAtRoot();
    // Walks the next component of next_ below directory_: follows a link, enters a directory, or
    // opens the regular file at the end into file. False when the walk is over.
    bool step(int& file);
    // Closes directory_ unless it is root_.
    void leaveDirectory();
    // Opens the component name below directory without following it: as a directory when more
    // follows, else (and for a link) as the entry itself. Fills info; -1 on failure.
    int openComponent(int directory, const char* name, bool last, struct statx& info);
    // True when the entry's mount is one the walk reads from; one look per mount on the way.
    bool onKeptFileSystem(const struct statx& info);
    // Takes in who may write to a directory or the file, open at fd.
    void judge(int fd, const struct statx& info);
    void judgeAcl(int fd, uint32_t group);
    void noteOwner(uid_t owner);
    bool foreignGroup(gid_t group) const { return group != 0 && group != ownGroup_; }
    // Opens the judged regular file, name in directory_ and open at entry with O_PATH, for
    // reading; -1 unless it is the one judged.
    int openJudged(int entry, const char* name, const struct statx& judged) const;
    // Replaces the walked part of pending_, up to rest, by the target of the link at link.
    bool substituteLink(int link, const char* rest);

    const uid_t ownUser_;
    const gid_t ownGroup_;
    bool untrusted_ = false;
    int controllerCount_ = 0;
    uid_t controller_ = 0;
    // "/", held for the whole walk; the directory being walked and its mount, which the open
    // descriptor keeps from being reused.
    int root_ = -1;
    uint64_t rootMount_ = 0;
    int directory_ = -1;
    uint64_t directoryMount_ = 0;
    // The path still to walk, from next_ on, and the links followed so far.
    char pending_[PATH_MAX];
    char* next_ = pending_;
    int links_ = 0;
};

}  // namespace nQUORVAMONITORD_18_5
