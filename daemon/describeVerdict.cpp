#include "daemon/describeVerdict.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "daemon/tPidFileWalk.h"
#include "daemon/tPidParser.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

// Appends to a fixed buffer, cutting what does not fit.
class tLine {
  public:
    tLine(char* text, size_t size) : text_(text), size_(size) { text_[0] = '\0'; }

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...);

  private:
    char* text_;
    size_t size_;
};

void tLine::add(const char* format, ...) {
    const size_t used = std::strlen(text_);
    va_list arguments;
    va_start(arguments, format);
    // The analyzer loses the va_start above when it has analysed another file first.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vsnprintf(text_ + used, size_ - used, format, arguments);
    va_end(arguments);
}

// "user NAME" when the user has a name, else "uid N".
void addUser(tLine& line, unsigned uid) {
    const passwd* entry = ::getpwuid(uid);
    if (entry != nullptr) {
        line.add("user %s", entry->pw_name);
    } else {
        line.add("uid %u", uid);
    }
}

void addGroup(tLine& line, unsigned gid) {
    const group* entry = ::getgrgid(gid);
    if (entry != nullptr) {
        line.add("group %s", entry->gr_name);
    } else {
        line.add("gid %u", gid);
    }
}

const char* typeName(unsigned mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFLNK:
            return "a symbolic link";
        case S_IFIFO:
            return "a FIFO";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        default:
            return "of an unknown type";
    }
}

// Why: the reason, at its place.
void addReason(tLine& line, const tVerdict& verdict) {
    const char* where = verdict.where != nullptr ? verdict.where : "?";
    switch (verdict.reason) {
        case tReason::kUsed:
            break;
        case tReason::kMissing:
            line.add("%s does not exist", where);
            break;
        case tReason::kNotADirectory:
            line.add("%s is %s, not a directory", where, typeName(verdict.mode));
            break;
        case tReason::kNotARegularFile:
            line.add("%s is %s, not a regular file", where, typeName(verdict.mode));
            break;
        case tReason::kFileSystemNotRead:
            if (std::strcmp(verdict.fileSystem, "overlay") == 0) {
                line.add("%s is on an overlay with a layer not on a file system the daemon reads",
                         where);
            } else if (verdict.fileSystem[0] != '\0') {
                line.add("%s is on %s, a file system the daemon does not read", where,
                         verdict.fileSystem);
            } else {
                line.add("%s is on a mount the mount table does not show", where);
            }
            break;
        case tReason::kMountsChanging:
            line.add("mounts were made or removed while %s was walked (this time only)", where);
            break;
        case tReason::kWritableByEveryone:
            line.add("%s is writable by everyone (mode %04o)", where, verdict.mode & 07777);
            break;
        case tReason::kWritableByGroup:
            line.add("%s is writable by ", where);
            addGroup(line, verdict.id);
            if (verdict.byAcl) {
                line.add(" (an ACL entry)");
            } else {
                line.add(" (mode %04o)", verdict.mode & 07777);
            }
            break;
        case tReason::kAclUnreadable:
            line.add("%s has an ACL that cannot be read (%s)", where,
                     std::strerror(static_cast<int>(verdict.id)));
            break;
        case tReason::kTwoControllers:
            line.add("two users control its way: ");
            addUser(line, verdict.user);
            line.add(" at %s, and ", verdict.userWhere != nullptr ? verdict.userWhere : "?");
            addUser(line, verdict.id);
            line.add(" at %s%s", where, verdict.byAcl ? " (an ACL entry)" : "");
            break;
        case tReason::kTooManyLinks:
            line.add("more than %d symbolic links on its way (at %s)", tPidFileWalk::kMaxLinks,
                     where);
            break;
        case tReason::kPathTooLong:
            line.add("its path, or one resolved on its way, is too long (at %s)", where);
            break;
        case tReason::kWalkTooLong:
            line.add("its way takes more than %d components (at %s)", tPidFileWalk::kMaxComponents,
                     where);
            break;
        case tReason::kUnreachable:
            line.add("%s cannot be opened (%s)", where,
                     std::strerror(static_cast<int>(verdict.id)));
            break;
        case tReason::kReplaced:
            line.add("%s was replaced while it was judged (this time only)", where);
            break;
        case tReason::kTooLarge:
            line.add("no number is complete within its first %zu bytes", kMaxPidFileBytes);
            break;
        case tReason::kNotANumber:
            line.add("it does not start with a process id");
            break;
        case tReason::kNotAProcessId:
            line.add("it holds %d, which would address a process group, not a process",
                     verdict.pid);
            break;
        case tReason::kDaemonItself:
            line.add("it names the process that judges it");
            break;
        case tReason::kProcessGone:
            line.add("it names process %d, which does not exist", verdict.pid);
            break;
        case tReason::kOtherUsersProcess:
            line.add("it names process %d of ", verdict.pid);
            addUser(line, verdict.id);
            line.add(", but only processes of ");
            addUser(line, verdict.user);
            line.add(" may be named (they control %s)",
                     verdict.userWhere != nullptr ? verdict.userWhere : "?");
            break;
    }
}

}  // namespace

void describeVerdict(const char* path, const tVerdict& verdict, bool named, unsigned namedUser,
                     char* text, size_t size) {
    tLine line(text, size);
    line.add("pid file %s ", path);
    if (!verdict.used()) {
        line.add(verdict.droppedAtStartUp() ? "will be dropped at start-up: "
                                            : "will be skipped: ");
        addReason(line, verdict);
        return;
    }
    if (verdict.ownerBound) {
        line.add("is used for processes of ");
        addUser(line, verdict.user);
        line.add(" only (they control %s)", verdict.userWhere != nullptr ? verdict.userWhere : "?");
    } else {
        line.add("is used for any process");
    }
    line.add(": it names process %d", verdict.pid);
    if (named) {
        line.add(" (");
        addUser(line, namedUser);
        line.add("), which would get SIGTERM");
    } else {
        line.add(", which does not exist now: SIGTERM would go nowhere");
    }
}

}  // namespace nQUORVAMONITORD_18_5
