// A FUSE file system for the tests: one file, disk.img, that serves an image read-only and fails with EIO every
// read that touches a chosen byte range, as a worn card does. Reads go straight through (no page cache), so
// each read the program makes is one read here.
//
//   failing_disk_fs IMAGE MOUNTPOINT START:LENGTH... [-f]
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Range {
    std::uint64_t start, length;
};
int imageFd = -1;
off_t imageSize = 0;
std::vector<Range> bad;
constexpr const char* kName = "/disk.img";

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = imageSize;
    return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    return 0;
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info*) {
    const auto from = static_cast<std::uint64_t>(offset);
    for (const Range& r : bad)
        if (from < r.start + r.length && r.start < from + size) return -EIO;
    const ssize_t n = ::pread(imageFd, buf, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    imageFd = ::open(argv[1], O_RDONLY);
    if (imageFd < 0) return 1;
    imageSize = ::lseek(imageFd, 0, SEEK_END);
    std::vector<char*> args{argv[0], argv[2]};
    for (int i = 3; i < argc; ++i) {
        char* colon = std::strchr(argv[i], ':');
        if (argv[i][0] != '-' && colon) {
            bad.push_back({std::strtoull(argv[i], nullptr, 0), std::strtoull(colon + 1, nullptr, 0)});
        } else {
            args.push_back(argv[i]);
        }
    }
    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.read = Read;
    int fuseArgc = static_cast<int>(args.size());
    return fuse_main(fuseArgc, args.data(), &ops, nullptr);
}
