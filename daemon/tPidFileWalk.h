// Finds out who could have chosen what a pid file says. Its path is resolved from "/" one
// component at a time, each opened with O_PATH | O_NOFOLLOW and stat'ed, and a symbolic link is
// read and its text walked in turn instead of being followed by the kernel. Whoever owns a
// directory walked, a link followed or the file itself can choose what the file names, and so can
// anyone else allowed to write to one of them. Root and the daemon's own user are trusted.
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace nQUORVAMONITORD_18_5 {

class tPidFileWalk {
  public:
    // Most symbolic links followed in one walk, as the kernel allows.
    static constexpr int kMaxLinks = 40;

    tPidFileWalk();
    tPidFileWalk(const tPidFileWalk&) = delete;
    tPidFileWalk& operator=(const tPidFileWalk&) = delete;

    // Walks path (a relative one from the working directory, with the directories above it) and
    // opens the regular file it names for reading; returns the descriptor, which the caller
    // closes, or -1. Nothing but a regular file is ever opened for reading: -1 when the path does
    // not resolve to one within kMaxLinks links, when it is too long, or when the file opened is
    // not the one judged.
    int openFile(const char* path);

    // After openFile: someone other than root and the daemon's user may write to the file or
    // replace an entry on its way (a directory they may write to, unless it is sticky), or more
    // than one such user owns a part of the way. Nothing the file says may be trusted.
    bool untrusted() const { return untrusted_ || controllerCount_ > 1; }

    // After openFile, when not untrusted: exactly one user other than root and the daemon's
    // owns a part of the way; the file may only name a process of controller().
    bool controlled() const { return controllerCount_ == 1; }
    uid_t controller() const { return controller_; }

  private:
    // Opens "/" as the directory to walk from and judges it; false on failure.
    bool startAtRoot(int& directory);
    void judge(const struct stat& info);
    void noteOwner(uid_t owner);
    bool othersMayWrite(const struct stat& info) const;
    // Replaces the walked part of pending_, up to rest, by the target of the link at link.
    bool substituteLink(int link, const char* rest);

    const uid_t ownUser_;
    const gid_t ownGroup_;
    bool untrusted_ = false;
    int controllerCount_ = 0;
    uid_t controller_ = 0;
    // The part of the path still to walk; then the target of a link being read.
    char pending_[PATH_MAX];
    char target_[PATH_MAX];
};

}  // namespace nQUORVAMONITORD_18_5
