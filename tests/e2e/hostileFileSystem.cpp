// A FUSE file system such as any user may mount when /etc/fuse.conf allows allow_other: it
// reports every entry as root's (a directory of mode 0755, files of mode 0644) and serves one
// file, main.pid, that holds the given text.
//
//   hostileFileSystem MOUNTPOINT MODE TEXT
//
// Started as root, it opens /dev/fuse, mounts at MOUNTPOINT with allow_other on behalf of the
// user nobody (as fusermount3 would), then serves as nobody. MODE "root" answers every request;
// MODE "stall" answers none, as a server that holds its callers forever. It prints "ready" once
// the kernel's first request (FUSE_INIT) has been answered. Ends by a signal.
#define FUSE_USE_VERSION 35

#include <fcntl.h>
#include <fuse.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uid_t kNobody = 65534;

std::string gText;
bool gStall = false;

void holdForever() {
    for (;;) {
        ::pause();
    }
}

void* initialize(fuse_conn_info*, fuse_config*) {
    std::printf("ready\n");
    std::fflush(stdout);
    return nullptr;
}

int getAttributes(const char* path, struct stat* info, fuse_file_info*) {
    if (gStall) {
        holdForever();
    }
    std::memset(info, 0, sizeof *info);
    if (std::strcmp(path, "/") == 0) {
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, "/main.pid") == 0) {
        info->st_mode = S_IFREG | 0644;
        info->st_nlink = 1;
        info->st_size = static_cast<off_t>(gText.size());
        return 0;
    }
    return -ENOENT;
}

int openFile(const char*, fuse_file_info*) {
    if (gStall) {
        holdForever();
    }
    return 0;
}

int readFile(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    if (gStall) {
        holdForever();
    }
    if (offset >= static_cast<off_t>(gText.size())) {
        return 0;
    }
    const size_t count = std::min(size, gText.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, gText.data() + offset, count);
    return static_cast<int>(count);
}

int fileSystemStatistics(const char*, struct statvfs* info) {
    if (gStall) {
        holdForever();
    }
    std::memset(info, 0, sizeof *info);
    return 0;
}

int extendedAttribute(const char*, const char*, char*, size_t) {
    if (gStall) {
        holdForever();
    }
    return -ENODATA;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hostileFileSystem MOUNTPOINT root|stall TEXT\n");
        return 2;
    }
    gStall = std::strcmp(argv[2], "stall") == 0;
    gText = argv[3];

    const int device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device < 0) {
        std::perror("hostileFileSystem: /dev/fuse");
        return 1;
    }
    const std::string options =
        "fd=" + std::to_string(device) + ",rootmode=40755,user_id=65534,group_id=65534,allow_other";
    if (::mount("hostile", argv[1], "fuse.hostile", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        std::perror("hostileFileSystem: mount");
        return 1;
    }
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        std::perror("hostileFileSystem: becoming nobody");
        return 1;
    }

    fuse_operations operations{};
    operations.init = initialize;
    operations.getattr = getAttributes;
    operations.open = openFile;
    operations.read = readFile;
    operations.statfs = fileSystemStatistics;
    operations.getxattr = extendedAttribute;
    char program[] = "hostileFileSystem";
    char* fuseArgv[] = {program, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, fuseArgv);
    fuse* session = fuse_new(&args, &operations, sizeof operations, nullptr);
    if (session == nullptr) {
        return 1;
    }
    // libfuse takes over a descriptor that is already mounted when given as /dev/fd/N.
    const std::string mounted = "/dev/fd/" + std::to_string(device);
    if (fuse_mount(session, mounted.c_str()) != 0) {
        fuse_destroy(session);
        return 1;
    }
    const int result = fuse_loop(session);
    fuse_unmount(session);
    fuse_destroy(session);
    return result == 0 ? 0 : 1;
}
