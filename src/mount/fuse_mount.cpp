#define FUSE_USE_VERSION 35
#include "mount/fuse_mount.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace salvora {

class FuseMount {
public:
    MountTree* tree = nullptr;
    std::string mountpoint;
    fuse* session = nullptr;
    std::thread loop;
    std::atomic<bool> ended{false};
    bool served = false;
};

namespace {

MountTree& Tree() { return *static_cast<MountTree*>(fuse_get_context()->private_data); }

std::optional<MountNode> NodeAt(const char* path) { return Tree().Resolve(path); }

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
    // Listings always carry the attributes: a walk (cp -a, tar, thumbnails) then needs no lookup per file.
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    // Nothing below the mount ever changes: the kernel may keep names, attributes and pages as long as it likes.
    cfg->use_ino = 1;
    cfg->kernel_cache = 1;
    cfg->entry_timeout = 86400;
    cfg->attr_timeout = 86400;
    cfg->negative_timeout = 86400;
    return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    const auto node = NodeAt(path);
    if (!node) return -ENOENT;
    *st = Tree().Attr(*node);
    return 0;
}

int ReadLink(const char* path, char* buf, size_t size) {
    const auto node = NodeAt(path);
    if (!node) return -ENOENT;
    std::string target;
    if (const int error = Tree().ReadLink(*node, target); error != 0) return error;
    if (size == 0) return -EINVAL;
    const std::size_t n = std::min(target.size(), size - 1);
    std::memcpy(buf, target.data(), n);
    buf[n] = '\0';
    return 0;
}

int OpenDir(const char* path, fuse_file_info* fi) {
    const auto node = NodeAt(path);
    if (!node) return -ENOENT;
    if (!Tree().IsFolder(*node)) return -ENOTDIR;
    fi->fh = *node;
    return 0;
}

int ReadDir(const char*, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags flags) {
    MountTree& tree = Tree();
    const auto folder = static_cast<MountNode>(fi->fh);
    const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
    const auto fillFlags = plus ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
    struct stat self = tree.Attr(folder);
    fill(buf, ".", plus ? &self : nullptr, 0, fillFlags);
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const MountNode child : tree.Children(folder)) {
        struct stat st = tree.Attr(child);
        if (fill(buf, tree.Name(child).c_str(), &st, 0, fillFlags) != 0) break;
    }
    return 0;
}

int Open(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) return -EROFS;
    const auto node = NodeAt(path);
    if (!node) return -ENOENT;
    std::uint64_t handle = 0;
    if (const int error = Tree().Open(*node, handle); error != 0) return error;
    fi->fh = handle;
    fi->keep_cache = 1;
    return 0;
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    if (offset < 0) return -EINVAL;
    const long read = Tree().Read(fi->fh, static_cast<std::uint64_t>(offset),
                                  std::span(reinterpret_cast<std::uint8_t*>(buf), size));
    return static_cast<int>(read);
}

int Release(const char*, fuse_file_info* fi) {
    Tree().Release(fi->fh);
    return 0;
}

int StatFs(const char*, struct statvfs* st) {
    *st = {};
    st->f_bsize = st->f_frsize = 4096;
    st->f_files = Tree().NodeCount();
    st->f_namemax = 255;
    st->f_flag = ST_RDONLY;
    return 0;
}

int GetXattr(const char* path, const char* name, char* value, size_t size) {
    const auto node = NodeAt(path);
    if (!node) return -ENOENT;
    std::string text;
    if (const int error = Tree().GetXattr(*node, name, text); error != 0) return error;
    if (size == 0) return static_cast<int>(text.size());
    if (size < text.size()) return -ERANGE;
    std::memcpy(value, text.data(), text.size());
    return static_cast<int>(text.size());
}

int ListXattr(const char* path, char* list, size_t size) {
    const auto node = NodeAt(path);
    if (!node) return -ENOENT;
    std::string names;
    for (const std::string& name : Tree().ListXattr(*node)) names.append(name).push_back('\0');
    if (size == 0) return static_cast<int>(names.size());
    if (size < names.size()) return -ERANGE;
    std::memcpy(list, names.data(), names.size());
    return static_cast<int>(names.size());
}

// Every change is refused: the volume is evidence, and the mount only shows what a scan found.
int Refuse1(const char*) { return -EROFS; }
int Refuse2(const char*, const char*) { return -EROFS; }
int RefuseMode(const char*, mode_t) { return -EROFS; }

const fuse_operations& Operations() {
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.init = Init;
        o.getattr = GetAttr;
        o.readlink = ReadLink;
        o.opendir = OpenDir;
        o.readdir = ReadDir;
        o.open = Open;
        o.read = Read;
        o.release = Release;
        o.statfs = StatFs;
        o.getxattr = GetXattr;
        o.listxattr = ListXattr;
        o.mknod = [](const char*, mode_t, dev_t) { return -EROFS; };
        o.mkdir = RefuseMode;
        o.unlink = Refuse1;
        o.rmdir = Refuse1;
        o.symlink = Refuse2;
        o.rename = [](const char*, const char*, unsigned int) { return -EROFS; };
        o.link = Refuse2;
        o.chmod = [](const char*, mode_t, fuse_file_info*) { return -EROFS; };
        o.chown = [](const char*, uid_t, gid_t, fuse_file_info*) { return -EROFS; };
        o.truncate = [](const char*, off_t, fuse_file_info*) { return -EROFS; };
        o.write = [](const char*, const char*, size_t, off_t, fuse_file_info*) { return -EROFS; };
        o.create = [](const char*, mode_t, fuse_file_info*) { return -EROFS; };
        o.setxattr = [](const char*, const char*, const char*, size_t, int) { return -EROFS; };
        o.removexattr = Refuse2;
        o.utimens = [](const char*, const timespec*, fuse_file_info*) { return -EROFS; };
        o.fallocate = [](const char*, int, off_t, off_t, fuse_file_info*) { return -EROFS; };
        return o;
    }();
    return ops;
}

bool OnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Lazily, so that a file still open below the mount does not keep it from going.
void Unmount(const std::string& mountpoint) {
    if (::geteuid() == 0) {
        ::umount2(mountpoint.c_str(), MNT_DETACH);
        return;
    }
    const char* argv[] = {"fusermount3", "-u", "-q", "-z", "--", mountpoint.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "fusermount3", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void Destroy(FuseMount* mount) {
    if (!mount) return;
    StopMount(*mount);
    delete mount;
}

}  // namespace

std::string CheckMountPoint(const std::string& mountpoint) {
    struct stat st {};
    if (::stat(mountpoint.c_str(), &st) != 0) {
        if (errno == ENOENT) return "mount point " + mountpoint + " does not exist: make an empty folder for it";
        return "mount point " + mountpoint + " cannot be used: " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) return "mount point " + mountpoint + " is not a folder";
    if (DIR* dir = ::opendir(mountpoint.c_str())) {
        bool empty = true;
        while (const dirent* e = ::readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                empty = false;
                break;
            }
        ::closedir(dir);
        if (!empty) return "mount point " + mountpoint + " is not empty: mount on an empty folder";
    } else {
        return "mount point " + mountpoint + " cannot be read: " + std::strerror(errno);
    }
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENODEV || error == ENXIO)
            return "FUSE is not available here (/dev/fuse is missing): install fuse3 (apt install fuse3) and "
                   "load the fuse module (modprobe fuse)";
        return std::string("/dev/fuse cannot be opened: ") + std::strerror(error) +
               " (a container needs --device /dev/fuse)";
    }
    ::close(fd);
    if (::geteuid() != 0 && !OnPath("fusermount3"))
        return "fusermount3 was not found: install it with apt install fuse3";
    return {};
}

MountHandle MountTreeAt(MountTree& tree, const std::string& mountpoint, std::string& error) {
    MountHandle none(nullptr, Destroy);
    error = CheckMountPoint(mountpoint);
    if (!error.empty()) return none;
    std::vector<std::string> words{"salvora", "-o", "ro,default_permissions,fsname=salvora,subtype=salvora"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse* session = fuse_new(&args, &Operations(), sizeof(fuse_operations), &tree);
    fuse_opt_free_args(&args);
    if (!session) {
        error = "the FUSE session could not be set up";
        return none;
    }
    if (fuse_mount(session, mountpoint.c_str()) != 0) {
        fuse_destroy(session);
        error = "mounting at " + mountpoint + " failed (see the fuse message above)";
        return none;
    }
    auto* mount = new FuseMount;
    mount->tree = &tree;
    mount->mountpoint = mountpoint;
    mount->session = session;
    return MountHandle(mount, Destroy);
}

void ServeMount(FuseMount& mount) {
    if (mount.served || !mount.session) return;
    mount.served = true;
    mount.loop = std::thread([&mount] {
        fuse_loop_config config{};
        config.clone_fd = 0;
        config.max_idle_threads = 10;
        fuse_loop_mt(mount.session, &config);
        mount.ended = true;
    });
}

bool MountEnded(const FuseMount& mount) { return mount.ended || !mount.session; }

void StopMount(FuseMount& mount) {
    if (!mount.session) return;
    if (mount.served && !mount.ended) {
        fuse_exit(mount.session);
        // Unmounting ends the connection, which wakes every thread of the loop.
        Unmount(mount.mountpoint);
    }
    if (mount.loop.joinable()) mount.loop.join();
    fuse_unmount(mount.session);  // nothing left to do when it is gone already
    fuse_destroy(mount.session);
    mount.session = nullptr;
    mount.ended = true;
}

}  // namespace salvora
