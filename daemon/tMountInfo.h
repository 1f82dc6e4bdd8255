// Looks mounts up in a table in the form of /proc/self/mountinfo, read from a descriptor from its
// start, in pieces, whatever its size: it holds one line at a time, never the table.
//
// A line reads "id parent major:minor root mount-point options [optional fields] - type source
// super-options"; the kernel escapes blanks and backslashes in every field that could hold them
// (a backslash and three octal digits), so blanks separate fields and a lone "-" ends the
// optional ones. A line longer than kLineBytes is skipped, and the read that met it is not whole.
//
// A mount is kept when its type is one of kKeptFileSystems (see tMountTable), or when it is an
// overlay whose every layer is kept. The layers are read from its super options (lowerdir split
// on ':', upperdir, workdir, lowerdir+, datadir+) and each is judged by the mount whose mount
// point is the longest prefix of its path, the last one in the table when several share it, in
// one whole read of the table. A layer's path is taken as the text its creator gave: one that is
// relative or holds a backslash, more than kMostLayers layers, or an overlay that names none,
// refuse the overlay, and so does a layer on another overlay.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace nQUORVAMONITORD_18_5 {

class tMountInfo {
  public:
    enum class tAnswer : uint8_t { kKept, kRefused, kUnknown };

    static constexpr size_t kTypeBytes = 16;
    static constexpr size_t kLineBytes = 8192;
    static constexpr size_t kMostLayers = 64;
    // Reads of the table for one mount that is not in a whole read of it: it is pinned by the
    // caller, so only a mount detached from the tree stays out of every read.
    static constexpr int kMostReadsForOneMount = 3;

    // Whether a file system of this type is kept by itself (an overlay is judged by its layers).
    static bool isKeptType(const char* type, size_t length);

    // Judges the mount with id in the table at table, reading it at most reads times (the count
    // is lowered by every read). type gets the mount's type, cut to 15 characters, or empty when
    // the mount was not found. kUnknown when the table could not be read, or reads ran out.
    tAnswer judge(int table, uint64_t id, char (&type)[kTypeBytes], int& reads);

  private:
    struct tLayer {
        uint16_t at;  // in layers_
        uint16_t length;
        uint16_t longest;  // of the mount points placed so far
        bool placed;
        bool kept;
    };

    // Reads the table from its start and calls visit(line, size) for every line that fits, its
    // newline replaced by a NUL; stops early when visit returns false. False when the table could
    // not be read; skipped counts the lines too long to hold.
    template <typename tVisit>
    bool forEachLine(int table, size_t& skipped, tVisit visit);
    // Takes the layers out of an overlay's super options into layers_; false when they refuse it.
    bool takeLayers(const char* options, size_t size);
    // Places every layer on the longest mount point above it in one whole read of the table.
    tAnswer judgeLayers(int table, int& reads);

    char line_[kLineBytes];
    // An overlay's layers' paths, unescaped and NUL-terminated one after the other.
    char layers_[kLineBytes];
    tLayer layer_[kMostLayers];
    size_t layerCount_ = 0;
};

}  // namespace nQUORVAMONITORD_18_5
