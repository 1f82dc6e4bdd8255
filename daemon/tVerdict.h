// What the daemon makes of one pid file: used, for any process or only for one user's, or refused
// for one reason, at one place. The daemon acts on the verdict alone and never reports the reason;
// quorvamonitord-check prints it.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace nQUORVAMONITORD_18_5 {

enum class tReason : uint8_t {
    kUsed,  // not refused
    // The walk to the file.
    kMissing,             // where does not exist
    kNotADirectory,       // where is on the way but not a directory; mode: what it is
    kNotARegularFile,     // where is the file named but not a regular file; mode: what it is
    kFileSystemNotRead,   // where lies on a file system of type fileSystem, not read
    kMountNotJudged,      // where's mount could not be judged this time (see tMountTable)
    kWritableByEveryone,  // where; mode: its mode
    kWritableByGroup,     // where; id: the group; byAcl: by an ACL entry, else by the mode
    kAclUnreadable,       // where has an ACL that cannot be read (too large, or an I/O error)
    kTwoControllers,      // user and id control the way; where: the place of id
    kTooManyLinks,        // more than tPidFileWalk::kMaxLinks symbolic links
    kPathTooLong,         // the path, or one resolved on the way, exceeds PATH_MAX
    kWalkTooLong,         // more than tPidFileWalk::kMaxComponents components
    kUnreachable,         // where cannot be looked up or opened; id: the error number
    kReplaced,            // the file was replaced between its judgement and its opening
    // Its content.
    kTooLarge,       // no number complete within kMaxPidFileBytes
    kNotANumber,     // no number in the int range at its start, or a read error
    kNotAProcessId,  // pid is 0 or negative (a process group, or every process)
    kDaemonItself,   // pid is the daemon's own
    // The process it names, when the file is used.
    kProcessGone,        // ownerBound, and no process has the id pid
    kOtherUsersProcess,  // ownerBound, and neither the real uid (id) nor the saved one of pid is
                         // user
};

struct tVerdict {
    tReason reason = tReason::kUsed;
    // Used: only processes whose real or saved uid is user may be named.
    bool ownerBound = false;
    // The one other user who controls the file (ownerBound, or the first of kTwoControllers).
    uid_t user = 0;
    // The group, the second user, the error number or a process's real uid (see tReason).
    uint32_t id = 0;
    bool byAcl = false;
    uint32_t mode = 0;
    // The type of a file system not read, cut to 15 characters; empty when the mount table could
    // not tell it.
    char fileSystem[16] = "";
    // The place concerned, as the walk resolved it; valid while the walk that made the verdict
    // exists and walks nothing else. Where user came from, for a message.
    const char* where = nullptr;
    const char* userWhere = nullptr;
    // The process id read, once the content was.
    int pid = 0;

    bool used() const { return reason == tReason::kUsed; }

    // True when the daemon drops the file at start-up: nothing can be read there now or the path
    // leads nowhere it will read. A file refused for who may write to it, or for what it says, is
    // kept, and judged again at every notification.
    bool droppedAtStartUp() const {
        return reason == tReason::kMissing || reason == tReason::kNotADirectory ||
               reason == tReason::kNotARegularFile || reason == tReason::kFileSystemNotRead ||
               reason == tReason::kTooManyLinks || reason == tReason::kPathTooLong ||
               reason == tReason::kWalkTooLong || reason == tReason::kUnreachable;
    }
};

}  // namespace nQUORVAMONITORD_18_5
