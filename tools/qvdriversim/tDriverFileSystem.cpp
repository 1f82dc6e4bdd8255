#define FUSE_USE_VERSION 31
#include "tools/qvdriversim/tDriverFileSystem.h"

#include <fuse.h>

#include <cerrno>
#include <cstring>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

namespace {

tSimulatedDriver& driver() {
    return *static_cast<tSimulatedDriver*>(fuse_get_context()->private_data);
}

int getAttributes(const char* path, struct stat* attributes, fuse_file_info*) {
    const tNodeInfo info = driver().lookup(path);
    std::memset(attributes, 0, sizeof *attributes);
    switch (info.kind) {
        case tNodeKind::kMissing:
            return -ENOENT;
        case tNodeKind::kDirectory:
            attributes->st_mode = S_IFDIR | 0555;
            attributes->st_nlink = 2;
            return 0;
        case tNodeKind::kInterfacePath:
            attributes->st_mode = S_IFREG | 0444;
            break;
        case tNodeKind::kDeviceNode:
            attributes->st_mode = S_IFREG | 0666;
            break;
    }
    attributes->st_nlink = 1;
    attributes->st_size = static_cast<off_t>(info.size);
    return 0;
}

int readDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                  fuse_readdir_flags) {
    const tNodeInfo info = driver().lookup(path);
    if (info.kind != tNodeKind::kDirectory) {
        return info.kind == tNodeKind::kMissing ? -ENOENT : -ENOTDIR;
    }
    // No flags: value-initialised, as libfuse 3.14 (Debian 12) names no enumerator for 0.
    const fuse_fill_dir_flags none{};
    fill(buffer, ".", nullptr, 0, none);
    fill(buffer, "..", nullptr, 0, none);
    for (const std::string& entry : info.entries) {
        const std::string child = std::string(path) + (path[1] == '\0' ? "" : "/") + entry;
        struct stat attributes {};
        getAttributes(child.c_str(), &attributes, nullptr);
        fill(buffer, entry.c_str(), &attributes, 0, none);
    }
    return 0;
}

int openFile(const char* path, fuse_file_info* file) {
    uint64_t handle = 0;
    const int result = driver().open(path, file->flags, handle);
    if (result == 0) {
        file->fh = handle;
        // interfacePath reads reach the driver one for one, whatever size the file reports;
        // the node keeps the page cache, which shared mappings need.
        file->direct_io = driver().lookup(path).kind == tNodeKind::kInterfacePath ? 1 : 0;
    }
    return result;
}

int releaseFile(const char*, fuse_file_info* file) {
    driver().release(file->fh);
    return 0;
}

int readFile(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    return driver().read(file->fh, buffer, size, static_cast<uint64_t>(offset));
}

int writeFile(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    return driver().write(file->fh, buffer, size, static_cast<uint64_t>(offset));
}

int controlFile(const char*, int request, void* argument, fuse_file_info* file, unsigned int,
                void* data) {
    return driver().ioctl(file->fh, static_cast<uint32_t>(request),
                          reinterpret_cast<uintptr_t>(argument), data);
}

fuse_operations makeOperations() {
    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readdir = readDirectory;
    operations.open = openFile;
    operations.release = releaseFile;
    operations.read = readFile;
    operations.write = writeFile;
    operations.ioctl = controlFile;
    return operations;
}

}  // namespace

tDriverFileSystem::~tDriverFileSystem() {
    if (handlersSet_) {
        fuse_remove_signal_handlers(fuse_get_session(fuse_));
    }
    if (mounted_) {
        fuse_unmount(fuse_);
    }
    if (fuse_ != nullptr) {
        fuse_destroy(fuse_);
    }
}

bool tDriverFileSystem::mount(const std::string& mountDir, std::string& error) {
    static const fuse_operations kOperations = makeOperations();
    char program[] = "qvdriversim";
    char optionFlag[] = "-o";
    char options[] = "fsname=qvdriversim,subtype=qvdriversim";
    char* argv[] = {program, optionFlag, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_ = fuse_new(&args, &kOperations, sizeof kOperations, &driver_);
    // Option parsing may have copied the arguments into memory of its own.
    fuse_opt_free_args(&args);
    if (fuse_ == nullptr) {
        error = "cannot set up the FUSE file system";
        return false;
    }
    if (fuse_mount(fuse_, mountDir.c_str()) != 0) {
        error = "cannot mount the FUSE file system at " + mountDir;
        return false;
    }
    mounted_ = true;
    if (fuse_set_signal_handlers(fuse_get_session(fuse_)) != 0) {
        error = "cannot install the signal handlers";
        return false;
    }
    handlersSet_ = true;
    return true;
}

bool tDriverFileSystem::run(std::string& error) {
    // A positive result is the number of the signal that ended the loop.
    const int result = fuse_loop(fuse_);
    if (result < 0) {
        error = std::string("the FUSE loop failed: ") + std::strerror(-result);
        return false;
    }
    return true;
}

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5
