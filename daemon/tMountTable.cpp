#include "daemon/tMountTable.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

namespace nQUORVAMONITORD_18_5 {

tMountTable gMountTable;
char tMountTable::text_[tMountTable::kTableBytes];

namespace {

constexpr const char* kKeptFileSystems[] = {"btrfs", "devtmpfs", "ext2",  "ext3", "ext4", "f2fs",
                                            "ramfs", "rootfs",   "tmpfs", "xfs",  "zfs"};
constexpr const char kOverlay[] = "overlay";

// A piece of the table's text.
struct tText {
    const char* data = nullptr;
    size_t size = 0;

    bool is(const char* word) const {
        return std::strlen(word) == size && std::memcmp(word, data, size) == 0;
    }
    bool startsWith(const char* word) const {
        const size_t length = std::strlen(word);
        return length <= size && std::memcmp(word, data, length) == 0;
    }
};

// The fields of one line that judging needs. A line reads "id parent major:minor root
// mount-point options [optional fields] - type source super-options"; the kernel escapes blanks
// in every field that could hold them, so blanks separate fields and a lone "-" ends the
// optional ones.
struct tLine {
    uint64_t id = 0;
    tText mountPoint;
    tText type;
    tText superOptions;
};

// Takes the next blank-separated field of [at, end).
tText nextField(const char*& at, const char* end) {
    tText field{at, 0};
    while (at < end && *at != ' ') {
        ++at;
    }
    field.size = static_cast<size_t>(at - field.data);
    if (at < end) {
        ++at;
    }
    return field;
}

bool parseLine(const char* at, const char* end, tLine& line) {
    const tText id = nextField(at, end);
    if (id.size == 0 || id.size > 19) {
        return false;
    }
    line.id = 0;
    for (size_t i = 0; i < id.size; ++i) {
        if (id.data[i] < '0' || id.data[i] > '9') {
            return false;
        }
        line.id = line.id * 10 + static_cast<uint64_t>(id.data[i] - '0');
    }
    (void)nextField(at, end);  // parent
    (void)nextField(at, end);  // major:minor
    (void)nextField(at, end);  // root
    line.mountPoint = nextField(at, end);
    while (at < end && !nextField(at, end).is("-")) {
    }
    line.type = nextField(at, end);
    (void)nextField(at, end);  // source
    line.superOptions = nextField(at, end);
    return line.mountPoint.size != 0 && line.type.size != 0;
}

// Calls visit(line) for every whole line of text; stops when it returns false.
template <typename tVisit>
void forEachLine(const char* text, size_t size, tVisit visit) {
    const char* at = text;
    const char* const end = text + size;
    while (at < end) {
        const char* lineEnd =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        if (lineEnd == nullptr) {
            return;  // cut at the buffer's end
        }
        tLine line;
        if (parseLine(at, lineEnd, line) && !visit(line)) {
            return;
        }
        at = lineEnd + 1;
    }
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// Undoes the table's escapes (a backslash and three octal digits) into out, NUL-terminated;
// false when the result does not fit.
bool unescape(tText text, char (&out)[PATH_MAX]) {
    size_t length = 0;
    for (size_t i = 0; i < text.size; ++i) {
        char c = text.data[i];
        if (c == '\\' && i + 3 < text.size && isOctal(text.data[i + 1]) &&
            isOctal(text.data[i + 2]) && isOctal(text.data[i + 3])) {
            c = static_cast<char>((text.data[i + 1] - '0') * 64 + (text.data[i + 2] - '0') * 8 +
                                  (text.data[i + 3] - '0'));
            i += 3;
        }
        if (length + 1 >= sizeof out) {
            return false;
        }
        out[length++] = c;
    }
    out[length] = '\0';
    return true;
}

bool isKeptType(tText type) {
    for (const char* kept : kKeptFileSystems) {
        if (type.is(kept)) {
            return true;
        }
    }
    return false;
}

// Whether the layer at path (escaped, as in the overlay's options) lies on a kept file system
// other than an overlay: judged by the mount whose mount point is the longest prefix of the path,
// the last one in the table when several share it.
bool layerIsKept(const char* text, size_t size, tText escaped) {
    char layer[PATH_MAX];
    if (!unescape(escaped, layer) || layer[0] != '/' || std::strchr(layer, '\\') != nullptr) {
        return false;  // cannot be placed
    }
    size_t longest = 0;
    bool found = false;
    bool kept = false;
    forEachLine(text, size, [&](const tLine& line) {
        char point[PATH_MAX];
        if (!unescape(line.mountPoint, point)) {
            return true;
        }
        size_t length = std::strlen(point);
        if (length == 1) {
            length = 0;  // "/" is a prefix of every path
        } else if (std::strncmp(point, layer, length) != 0 ||
                   (layer[length] != '\0' && layer[length] != '/')) {
            return true;
        }
        if (!found || length >= longest) {
            found = true;
            longest = length;
            kept = isKeptType(line.type);
        }
        return true;
    });
    return found && kept;
}

// Whether every layer an overlay's super options name is kept, and there is at least one.
bool layersAreKept(const char* text, size_t size, tText options) {
    bool anyLayer = false;
    const char* at = options.data;
    const char* const end = options.data + options.size;
    while (at < end) {
        const char* optionEnd = at;
        while (optionEnd < end && *optionEnd != ',') {
            ++optionEnd;
        }
        const tText option{at, static_cast<size_t>(optionEnd - at)};
        at = optionEnd + (optionEnd < end ? 1 : 0);
        const char* const names[] = {
            "lowerdir=", "upperdir=", "workdir=", "lowerdir+=", "datadir+="};
        for (const char* name : names) {
            if (!option.startsWith(name)) {
                continue;
            }
            // lowerdir lists its layers with ':' (and "::" before data-only ones); a ':' within
            // a path is escaped.
            const bool list = std::strcmp(name, "lowerdir=") == 0;
            const char* layer = option.data + std::strlen(name);
            const char* const valueEnd = option.data + option.size;
            while (layer < valueEnd) {
                const char* layerEnd = layer;
                while (layerEnd < valueEnd && (!list || *layerEnd != ':')) {
                    ++layerEnd;
                }
                if (layerEnd != layer) {
                    anyLayer = true;
                    if (!layerIsKept(text, size,
                                     tText{layer, static_cast<size_t>(layerEnd - layer)})) {
                        return false;
                    }
                }
                layer = layerEnd + 1;
            }
        }
    }
    return anyLayer;
}

void copyType(tText type, char (&out)[tMountTable::kTypeBytes]) {
    const size_t length = type.size < sizeof out - 1 ? type.size : sizeof out - 1;
    std::memcpy(out, type.data, length);
    out[length] = '\0';
}

}  // namespace

tMountTable::tAnswer tMountTable::judge(uint64_t mountId, char (&type)[kTypeBytes]) {
    type[0] = '\0';
    if (table_ < 0) {
        table_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        if (table_ < 0) {
            return tAnswer::kRefused;
        }
        current_ = false;
    } else {
        pollfd changed{table_, POLLPRI, 0};
        if (::poll(&changed, 1, 0) != 0) {
            current_ = false;  // changed, or it cannot be told
            knownCount_ = 0;
        }
    }
    for (size_t i = 0; i < knownCount_; ++i) {
        if (known_[i].id == mountId) {
            std::memcpy(type, known_[i].type, sizeof type);
            return known_[i].kept ? tAnswer::kKept : tAnswer::kRefused;
        }
    }
    if (!current_) {
        if (readInWalk_) {
            return tAnswer::kChanging;
        }
        readInWalk_ = true;
        if (!read()) {
            return tAnswer::kRefused;
        }
    }

    bool kept = false;
    forEachLine(text_, size_, [&](const tLine& line) {
        if (line.id != mountId) {
            return true;
        }
        copyType(line.type, type);
        kept = isKeptType(line.type) ||
               (line.type.is(kOverlay) && whole_ && layersAreKept(text_, size_, line.superOptions));
        return false;
    });
    if (knownCount_ < kMostKnownMounts) {
        tKnownMount& known = known_[knownCount_++];
        known.id = mountId;
        known.kept = kept;
        std::memcpy(known.type, type, sizeof type);
    }
    return kept ? tAnswer::kKept : tAnswer::kRefused;
}

bool tMountTable::read() {
    size_ = 0;
    whole_ = false;
    if (::lseek(table_, 0, SEEK_SET) != 0) {
        return false;
    }
    for (;;) {
        if (size_ == sizeof text_) {
            current_ = true;  // as much as fits
            return true;
        }
        const ssize_t count = ::read(table_, text_ + size_, sizeof text_ - size_);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            whole_ = true;
            current_ = true;
            return true;
        }
        size_ += static_cast<size_t>(count);
    }
}

}  // namespace nQUORVAMONITORD_18_5
