#include "daemon/describeVerdict.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdint.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "daemon/tPidFileWalk.h"
#include "daemon/tPidParser.h"

namespace nQUORVAMONITORD_18_5 {
namespace {

// Appends to a fixed buffer, cutting what does not fit. Every byte that does not print, and the
// backslash, is written as \n, \r, \t, \\ or \xHH, so that what a user chose (a path component, a
// link's text, a file system's or a user's name) keeps the line one line and cannot move the
// terminal. The command's own words are printable ASCII and pass as they are.
class tLine {
  public:
    tLine(char* text, size_t size) : text_(text), size_(size) { text_[0] = '\0'; }

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...);

  private:
    void append(const unsigned char* bytes);

    char* text_;
    size_t size_;
    size_t used_ = 0;
};

void tLine::add(const char* format, ...) {
    char chunk[PATH_MAX + 128];
    va_list arguments;
    va_start(arguments, format);
    // The analyzer loses the va_start above when it has analysed another file first.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    (void)std::vsnprintf(chunk, sizeof chunk, format, arguments);
    va_end(arguments);
    append(reinterpret_cast<const unsigned char*>(chunk));
}

// The length of the printable character at bytes: printable ASCII but the backslash, or valid
// UTF-8 of a character that is neither a C1 control nor one that breaks or reorders a line on
// display. 0 for anything else, whose first byte is then escaped.
size_t printableLength(const unsigned char* bytes) {
    if (bytes[0] < 0x80) {
        return bytes[0] >= 0x20 && bytes[0] < 0x7f && bytes[0] != '\\' ? 1 : 0;
    }
    // The lead byte gives the length, its share of the code point, and the least code point of
    // that length (below it, an overlong form).
    size_t length = 4;
    uint32_t code = bytes[0] & 0x07U;
    uint32_t least = 0x10000;
    if ((bytes[0] & 0xe0) == 0xc0) {
        length = 2;
        code = bytes[0] & 0x1fU;
        least = 0x80;
    } else if ((bytes[0] & 0xf0) == 0xe0) {
        length = 3;
        code = bytes[0] & 0x0fU;
        least = 0x800;
    } else if ((bytes[0] & 0xf8) != 0xf0) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xc0) != 0x80) {
            return 0;  // the terminating NUL ends a sequence here too
        }
        code = (code << 6) | (bytes[i] & 0x3fU);
    }
    const bool invalid = code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff);
    // C1 controls (0x9b is a terminal's CSI); the line and paragraph separators, the embeddings
    // and overrides of bidirectional text, and its isolates.
    const bool control =
        code <= 0x9f || (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
    return invalid || control ? 0 : length;
}

// Writes byte as \n, \r, \t, \\ or \xHH.
void escape(unsigned char byte, char (&escaped)[5]) {
    const char* const kNamed = "\nn\rr\tt\\\\";
    for (const char* named = kNamed; *named != '\0'; named += 2) {
        if (static_cast<unsigned char>(*named) == byte) {
            (void)std::snprintf(escaped, sizeof escaped, "\\%c", named[1]);
            return;
        }
    }
    (void)std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
}

void tLine::append(const unsigned char* bytes) {
    while (*bytes != '\0') {
        size_t length = printableLength(bytes);
        const char* piece = reinterpret_cast<const char*>(bytes);
        size_t pieceLength = length;
        char escaped[5];
        if (length == 0) {
            escape(*bytes, escaped);
            length = 1;
            piece = escaped;
            pieceLength = std::strlen(escaped);
        }
        if (used_ + pieceLength >= size_) {
            break;  // cut before a character or an escape, never inside one
        }
        std::memcpy(text_ + used_, piece, pieceLength);
        used_ += pieceLength;
        bytes += length;
    }
    text_[used_] = '\0';
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
