// The built daemon needs the C library alone: its dynamic section names no other shared library.
// Read from the ELF file itself, as the loader reads it.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/sanitizedBuild.h"

namespace {

bool readFile(const char* path, std::vector<char>& bytes) {
    std::ifstream file(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return file.good() || file.eof();
}

template <typename T>
bool readAt(const std::vector<char>& bytes, uint64_t offset, T& value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
}

// The DT_NEEDED entries of a 64-bit ELF file, in order. False when the file is not one or its
// dynamic section cannot be read.
bool neededLibraries(const std::vector<char>& bytes, std::vector<std::string>& names) {
    Elf64_Ehdr header;
    if (!readAt(bytes, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
        return false;
    }
    bool foundDynamic = false;
    for (uint16_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        if (!readAt(bytes, header.e_shoff + uint64_t{i} * sizeof(Elf64_Shdr), section)) {
            return false;
        }
        if (section.sh_type != SHT_DYNAMIC) {
            continue;
        }
        Elf64_Shdr strings;
        if (!readAt(bytes, header.e_shoff + uint64_t{section.sh_link} * sizeof(Elf64_Shdr),
                    strings)) {
            return false;
        }
        foundDynamic = true;
        for (uint64_t at = 0; at + sizeof(Elf64_Dyn) <= section.sh_size; at += sizeof(Elf64_Dyn)) {
            Elf64_Dyn entry;
            if (!readAt(bytes, section.sh_offset + at, entry)) {
                return false;
            }
            if (entry.d_tag == DT_NULL) {
                break;
            }
            if (entry.d_tag != DT_NEEDED) {
                continue;
            }
            const uint64_t nameOffset = strings.sh_offset + entry.d_un.d_val;
            if (nameOffset >= bytes.size()) {
                return false;
            }
            const char* name = bytes.data() + nameOffset;
            names.emplace_back(name, strnlen(name, bytes.size() - nameOffset));
        }
    }
    return foundDynamic;
}

TEST(sharedLibrariesTest, DaemonNeedsTheCLibraryAlone) {
#if defined(QV_SANITIZED_BUILD)
    GTEST_SKIP() << "a sanitizer build links the sanitizer's runtime and the C++ runtime it needs";
#endif
    std::vector<char> bytes;
    ASSERT_TRUE(readFile(QV_DAEMON_PATH, bytes)) << QV_DAEMON_PATH;
    std::vector<std::string> names;
    ASSERT_TRUE(neededLibraries(bytes, names)) << "no dynamic section in " << QV_DAEMON_PATH;
    EXPECT_EQ(names, std::vector<std::string>{"libc.so.6"});
}

// Guards the reader: a program of this suite built the ordinary way needs the C++ runtime.
TEST(sharedLibrariesTest, ReaderSeesTheCxxRuntimeOfATestBinary) {
    std::vector<char> bytes;
    ASSERT_TRUE(readFile("/proc/self/exe", bytes));
    std::vector<std::string> names;
    ASSERT_TRUE(neededLibraries(bytes, names));
    EXPECT_NE(std::find(names.begin(), names.end(), "libstdc++.so.6"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "libc.so.6"), names.end());
}

TEST(sharedLibrariesTest, ReaderRefusesWhatIsNotAWholeElfFile) {
    std::vector<std::string> names;
    const std::vector<char> text{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'};
    EXPECT_FALSE(neededLibraries(text, names));
    EXPECT_FALSE(neededLibraries({}, names));

    // The ELF header alone: the section headers it points to are missing.
    std::vector<char> bytes;
    ASSERT_TRUE(readFile("/proc/self/exe", bytes));
    bytes.resize(sizeof(Elf64_Ehdr));
    EXPECT_FALSE(neededLibraries(bytes, names));
    EXPECT_TRUE(names.empty());
}

}  // namespace
