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
// - write for everyone, or for a group other than root's and the daemon's, refuses the file;
//   a sticky directory is the exception (only an entry's owner, judged with the entry, or the
//   directory's owner may replace an entry there), and only a directory can be sticky.
// Root and the daemon's own user are trusted and never counted as controllers; a second
// controller refuses the file. An ACL is read only when the group bits (the ACL's mask, when there
// is one) allow writing; a file system without ACLs (EOPNOTSUPP) and an inode without one
// (ENODATA) are judged by their mode, and any other failure to read the ACL (one of more than 1023
// entries, say) refuses the file.
//
// Only file systems that tMountTable keeps are walked; an entry's mount is judged by the mount id
// statx reports (AT_STATX_DONT_SYNC: the file system itself is never asked), while the entry is
// held open, before anything inside it is looked up or read.
//
// The work of one walk is bounded, whatever a user puts on the way: it ends at the first
// refusal; a "." costs nothing; every other component, a link's included, counts, and a walk of
// more than kMaxComponents, or through more than kMaxLinks links, is refused; a directory's ACL
// is read once; the mount table a few times at most (tMountTable).
//
// Intermediate components are opened with O_DIRECTORY, which makes the kernel mount a pending
// automount there as a plain open of the path would, but only while root and the daemon's user
// alone control the way. Once another user does, an automount point is left untriggered: it is
// then an autofs mount, refused like any file system not kept, so a user's link cannot make the
// daemon wait for a mount.
#pragma once

#include <limits.h>
#include <stdint.h>
#include <sys/types.h>

#include "daemon/tMountTable.h"
#include "daemon/tVerdict.h"

struct statx;

namespace nQUORVAMONITORD_18_5 {

class tPidFileWalk {
  public:
    // Most symbolic links followed in one walk, as the kernel allows.
    static constexpr int kMaxLinks = 40;
    // Most components looked up in one walk, those of link texts and ".." included: far more than
    // any real pid file's path needs, and a walk that costs a few milliseconds at most.
    static constexpr int kMaxComponents = 256;

    explicit tPidFileWalk(tMountTable& mounts = gMountTable);
    tPidFileWalk(const tPidFileWalk&) = delete;
    tPidFileWalk& operator=(const tPidFileWalk&) = delete;

    // Walks path (a relative one from the working directory, with the directories above it) to
    // the regular file it names and judges it. When the verdict is used, file is that file open
    // for reading (the caller closes it); otherwise -1, and nothing but a regular file was ever
    // opened for reading. The verdict's places point into this walk.
    tVerdict open(const char* path, int& file);

  private:
    // Ends the walk with reason at the current place, unless it is already over; returns false.
    bool refuse(tReason reason);
    // The place being judged: the components walked so far.
    const char* here() const { return walkedLength_ == 0 ? "/" : walked_; }
    // Copies path, made absolute, into pending_; false when it does not fit.
    bool assemblePath(const char* path);
    // Opens "/" as root_ and judges it; false when the walk is over.
    bool startAtRoot();
    // Walks the next component of next_ below directory_: follows a link, enters a directory, or
    // opens the regular file at the end into file. False when the walk is over.
    bool step(int& file);
    // Closes directory_ unless it is root_.
    void leaveDirectory();
    // Opens the component name below directory without following it, as a directory when more
    // follows and the way is root's; fills info. -1 on failure, errno set.
    int openComponent(int directory, const char* name, bool last, struct statx& info) const;
    // True when the entry's mount is one the walk reads from; refuses the file otherwise.
    bool onKeptFileSystem(const struct statx& info);
    // Takes in who may write to a directory or the file, open at fd; false when that refuses it.
    bool judge(int fd, const struct statx& info);
    bool judgeAcl(int fd, const struct statx& info);
    bool noteController(uid_t user, bool byAcl);
    bool foreignGroup(gid_t group) const { return group != 0 && group != ownGroup_; }
    // Opens the judged regular file, name in directory_ and open at entry with O_PATH, for
    // reading; -1 unless it is the one judged.
    int openJudged(int entry, const char* name, const struct statx& judged) const;
    // Replaces the walked part of pending_, up to rest, by the target of the link at link.
    bool substituteLink(int link, const char* rest);

    const uid_t ownUser_;
    const gid_t ownGroup_;
    tMountTable& mounts_;
    // The statx mask bit for the kind of mount id mounts_ takes.
    unsigned idMask_ = 0;
    tVerdict verdict_;
    int controllers_ = 0;
    // "/", held for the whole walk; the directory being walked and its mount, which the open
    // descriptor keeps from being reused.
    int root_ = -1;
    uint64_t rootMount_ = 0;
    int directory_ = -1;
    uint64_t directoryMount_ = 0;
    // The path still to walk, from next_ on; the links and components walked so far. The
    // buffers are written only as far as a walk needs: each page of them that the daemon's stack
    // holds counts in its memory for good.
    char pending_[PATH_MAX];
    char* next_ = pending_;
    int links_ = 0;
    int components_ = 0;
    // The place reached, as a path from "/", and where the controller was found.
    char walked_[PATH_MAX];
    size_t walkedLength_ = 0;
    char controllerWhere_[PATH_MAX];
    // The directories and file whose ACL was read in this walk.
    struct tInode {
        uint32_t major;
        uint32_t minor;
        uint64_t inode;
    };
    tInode aclRead_[kMaxComponents + 1];
    int aclReadCount_ = 0;
};

}  // namespace nQUORVAMONITORD_18_5
