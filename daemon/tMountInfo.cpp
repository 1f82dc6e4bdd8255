#include "daemon/tMountInfo.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace {

constexpr const char* kKeptFileSystems[] = {"btrfs", "devtmpfs", "ext2",  "ext3", "ext4", "f2fs",
                                            "ramfs", "rootfs",   "tmpfs", "xfs",  "zfs"};
constexpr const char kOverlay[] = "overlay";
// The options of an overlay that name its layers.
constexpr const char* kLayerOptions[] = {
    "lowerdir=", "upperdir=", "workdir=", "lowerdir+=", "datadir+="};

// A piece of a line.
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

// The fields of one line that judging needs.
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

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// Undoes the table's escapes (a backslash and three octal digits) into out, NUL-terminated;
// the length written, or capacity when the result does not fit.
size_t unescape(tText text, char* out, size_t capacity) {
    size_t length = 0;
    for (size_t i = 0; i < text.size; ++i) {
        char c = text.data[i];
        if (c == '\\' && i + 3 < text.size && isOctal(text.data[i + 1]) &&
            isOctal(text.data[i + 2]) && isOctal(text.data[i + 3])) {
            c = static_cast<char>((text.data[i + 1] - '0') * 64 + (text.data[i + 2] - '0') * 8 +
                                  (text.data[i + 3] - '0'));
            i += 3;
        }
        if (length + 1 >= capacity) {
            return capacity;
        }
        out[length++] = c;
    }
    out[length] = '\0';
    return length;
}

void copyType(tText type, char (&out)[tMountInfo::kTypeBytes]) {
    const size_t length = type.size < sizeof out - 1 ? type.size : sizeof out - 1;
    std::memcpy(out, type.data, length);
    out[length] = '\0';
}

}  // namespace

bool tMountInfo::isKeptType(const char* type, size_t length) {
    const tText text{type, length};
    for (const char* kept : kKeptFileSystems) {
        if (text.is(kept)) {
            return true;
        }
    }
    return false;
}

template <typename tVisit>
bool tMountInfo::forEachLine(int table, size_t& skipped, tVisit visit) {
    if (::lseek(table, 0, SEEK_SET) != 0) {
        return false;
    }
    size_t held = 0;        // the start of a line, at the front of line_
    bool skipping = false;  // within a line too long to hold
    for (;;) {
        const ssize_t count = ::read(table, line_ + held, sizeof line_ - held);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            skipped += held != 0 ? 1 : 0;  // a last line without its newline is not whole
            return true;
        }
        const size_t end = held + static_cast<size_t>(count);
        size_t start = 0;
        for (char* newline;
             (newline = static_cast<char*>(std::memchr(line_ + start, '\n', end - start)));) {
            const size_t size = static_cast<size_t>(newline - (line_ + start));
            *newline = '\0';
            if (!skipping && !visit(line_ + start, size)) {
                return true;
            }
            skipping = false;
            start += size + 1;
        }
        held = end - start;
        if (held == sizeof line_) {
            skipped += skipping ? 0 : 1;
            skipping = true;
            held = 0;
        } else {
            std::memmove(line_, line_ + start, held);
        }
    }
}

tMountInfo::tAnswer tMountInfo::judge(int table, uint64_t id, char (&type)[kTypeBytes],
                                      int& reads) {
    type[0] = '\0';
    for (int attempt = 0; attempt < kMostReadsForOneMount; ++attempt) {
        if (reads <= 0) {
            return tAnswer::kUnknown;
        }
        --reads;
        size_t skipped = 0;
        bool found = false;
        bool kept = false;
        bool layered = false;
        const bool read = forEachLine(table, skipped, [&](const char* text, size_t size) {
            tLine line;
            if (!parseLine(text, text + size, line) || line.id != id) {
                return true;
            }
            found = true;
            copyType(line.type, type);
            kept = isKeptType(line.type.data, line.type.size);
            layered = line.type.is(kOverlay) &&
                      takeLayers(line.superOptions.data, line.superOptions.size);
            return false;
        });
        if (!read) {
            return tAnswer::kUnknown;
        }
        if (found) {
            return kept ? tAnswer::kKept : layered ? judgeLayers(table, reads) : tAnswer::kRefused;
        }
        if (skipped != 0) {
            return tAnswer::kRefused;  // perhaps its line, which no read will hold
        }
    }
    return tAnswer::kRefused;  // detached from the tree
}

bool tMountInfo::takeLayers(const char* options, size_t size) {
    layerCount_ = 0;
    size_t used = 0;
    const char* at = options;
    const char* const end = options + size;
    while (at < end) {
        const char* optionEnd = at;
        while (optionEnd < end && *optionEnd != ',') {
            ++optionEnd;
        }
        const tText option{at, static_cast<size_t>(optionEnd - at)};
        at = optionEnd + (optionEnd < end ? 1 : 0);
        for (const char* name : kLayerOptions) {
            if (!option.startsWith(name)) {
                continue;
            }
            // lowerdir lists its layers with ':' (and "::" before data-only ones); a ':' within a
            // path is escaped.
            const bool list = std::strcmp(name, "lowerdir=") == 0;
            const char* path = option.data + std::strlen(name);
            const char* const valueEnd = option.data + option.size;
            while (path < valueEnd) {
                const char* pathEnd = path;
                while (pathEnd < valueEnd && (!list || *pathEnd != ':')) {
                    ++pathEnd;
                }
                if (pathEnd != path) {
                    if (layerCount_ == kMostLayers) {
                        return false;
                    }
                    char* const layer = layers_ + used;
                    const size_t length = unescape(tText{path, static_cast<size_t>(pathEnd - path)},
                                                   layer, sizeof layers_ - used);
                    if (length == sizeof layers_ - used || layer[0] != '/' ||
                        std::strchr(layer, '\\') != nullptr) {
                        return false;  // cannot be placed
                    }
                    layer_[layerCount_++] = tLayer{static_cast<uint16_t>(used),
                                                   static_cast<uint16_t>(length), 0, false, false};
                    used += length + 1;
                }
                path = pathEnd + 1;
            }
        }
    }
    return layerCount_ != 0;
}

tMountInfo::tAnswer tMountInfo::judgeLayers(int table, int& reads) {
    if (reads <= 0) {
        return tAnswer::kUnknown;
    }
    --reads;
    size_t skipped = 0;
    const bool read = forEachLine(table, skipped, [&](const char* text, size_t size) {
        tLine line;
        char point[PATH_MAX];
        if (!parseLine(text, text + size, line)) {
            return true;
        }
        size_t length = unescape(line.mountPoint, point, sizeof point);
        if (length == sizeof point) {
            ++skipped;  // cannot be compared: as if not read
            return true;
        }
        length = length == 1 ? 0 : length;  // "/" is a prefix of every path
        for (size_t i = 0; i < layerCount_; ++i) {
            tLayer& layer = layer_[i];
            const char* const path = layers_ + layer.at;
            if (length > layer.length || std::memcmp(point, path, length) != 0 ||
                (path[length] != '\0' && path[length] != '/') ||
                (layer.placed && length < layer.longest)) {
                continue;
            }
            layer.placed = true;
            layer.longest = static_cast<uint16_t>(length);
            layer.kept = isKeptType(line.type.data, line.type.size);
        }
        return true;
    });
    if (!read) {
        return tAnswer::kUnknown;
    }
    if (skipped != 0) {
        return tAnswer::kRefused;  // a layer may lie on a mount not read
    }
    for (size_t i = 0; i < layerCount_; ++i) {
        if (!layer_[i].placed || !layer_[i].kept) {
            return tAnswer::kRefused;
        }
    }
    return tAnswer::kKept;
}

}  // namespace nQUORVAMONITORD_18_5
