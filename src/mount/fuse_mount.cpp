#define FUSE_USE_VERSION 35
#include "mount/fuse_mount.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

extern char** environ;

namespace salvora {

// Files read without an open (the kernel's no-open mode) keep their content here, the last few used, so that the
// reads of one large file do not each work out where its bytes lie again.
class NodeHandles {
public:
    explicit NodeHandles(MountTree& tree) : tree_(tree) {}
    ~NodeHandles() {
        for (const auto& [node, entry] : byNode_) tree_.Release(entry.first);
    }
    // 0 with the error in error when the node cannot be opened.
    std::uint64_t Get(MountNode node, int& error) {
        {
            std::lock_guard lock(mutex_);
            if (const auto found = byNode_.find(node); found != byNode_.end()) {
                order_.splice(order_.begin(), order_, found->second.second);
                return found->second.first;
            }
        }
        std::uint64_t handle = 0;
        error = tree_.Open(node, handle);
        if (error != 0) return 0;
        std::lock_guard lock(mutex_);
        if (const auto found = byNode_.find(node); found != byNode_.end()) {  // another thread was quicker
            tree_.Release(handle);
            return found->second.first;
        }
        order_.push_front(node);
        byNode_.emplace(node, std::make_pair(handle, order_.begin()));
        if (byNode_.size() > kKept) {
            const MountNode oldest = order_.back();
            order_.pop_back();
            tree_.Release(byNode_[oldest].first);
            byNode_.erase(oldest);
        }
        return handle;
    }

private:
    static constexpr std::size_t kKept = 64;
    MountTree& tree_;
    std::mutex mutex_;
    std::list<MountNode> order_;
    std::unordered_map<MountNode, std::pair<std::uint64_t, std::list<MountNode>::iterator>> byNode_;
};

// Small files of a folder just listed are read ahead and stored in the kernel's page cache (FUSE's notify
// store): a walk that reads every file (tar, cp -a, thumbnails) then finds them there instead of waking this
// process once per file, which on a two-core machine costs more than the reading. A file with any unreadable
// byte is left to the read itself, which answers EIO.
class CachePusher {
public:
    explicit CachePusher(MountTree& tree) : tree_(tree), pushed_(tree.NodeCount(), false) {}
    ~CachePusher() { Stop(); }

    void Start(fuse_session* session) {
        session_ = session;
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    // Files a listing has just handed to the kernel.
    void Offer(const std::vector<MountNode>& nodes) {
        {
            std::lock_guard lock(mutex_);
            for (MountNode node : nodes) {
                if (queue_.size() >= kMaxQueued) break;
                if (pushed_[node]) continue;
                pushed_[node] = true;
                queue_.push_back({node, 0});
            }
        }
        wake_.notify_one();
    }
    static bool Wanted(const struct stat& st) {
        return S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kMaxBytes;
    }

private:
    struct Item {
        MountNode node;
        int tries;
    };
    static constexpr off_t kMaxBytes = 128 << 10;
    static constexpr std::size_t kMaxQueued = 16384;
    static constexpr int kMaxTries = 40;

    void Run() {
        std::vector<std::uint8_t> buf;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            Item item = queue_.front();
            queue_.pop_front();
            lock.unlock();
            if (!Push(item.node, buf) && ++item.tries < kMaxTries) {
                // The kernel makes a listed file's inode only when the lister reads the reply: try again soon.
                std::this_thread::sleep_for(std::chrono::microseconds(250));
                lock.lock();
                queue_.push_back(item);
                continue;
            }
            lock.lock();
        }
    }
    // False when the kernel does not know the node yet.
    bool Push(MountNode node, std::vector<std::uint8_t>& buf) {
        const struct stat st = tree_.Attr(node);
        std::uint64_t handle = 0;
        if (tree_.Open(node, handle) != 0) return true;
        buf.resize(static_cast<std::size_t>(st.st_size));
        const long read = tree_.Read(handle, 0, buf);
        tree_.Release(handle);
        if (read != st.st_size) return true;
        fuse_bufvec data = FUSE_BUFVEC_INIT(buf.size());
        data.buf[0].mem = buf.data();
        return fuse_lowlevel_notify_store(session_, static_cast<fuse_ino_t>(node) + 1, 0, &data,
                                          fuse_buf_copy_flags{}) != -ENOENT;
    }

    MountTree& tree_;
    fuse_session* session_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    std::vector<bool> pushed_;  // offered once: a later listing of the same folder adds nothing
    bool stop_ = false;
    std::thread thread_;
};

class FuseMount {
public:
    explicit FuseMount(MountTree& t) : tree(&t), handles(t), pusher(t) {}
    MountTree* tree = nullptr;
    NodeHandles handles;
    CachePusher pusher;
    std::string mountpoint;
    fuse_session* session = nullptr;
    bool mounted = false;
    std::thread loop;
    std::atomic<bool> ended{false};
    bool served = false;
    bool noOpen = false;     // the kernel reads files without opening them
    bool noOpenDir = false;  // and lists folders without opening them
};

namespace {

// The kernel numbers the root 1; nodes count from 0.
constexpr fuse_ino_t Ino(MountNode node) { return static_cast<fuse_ino_t>(node) + 1; }

FuseMount& Mount(fuse_req_t req) { return *static_cast<FuseMount*>(fuse_req_userdata(req)); }

// Nothing below the mount ever changes: the kernel may keep names and attributes as long as it likes.
constexpr double kForever = 86400;

std::optional<MountNode> NodeOf(fuse_req_t req, fuse_ino_t ino) {
    if (ino == 0 || ino - 1 >= Mount(req).tree->NodeCount()) return std::nullopt;
    return static_cast<MountNode>(ino - 1);
}

void Init(void* userdata, fuse_conn_info* conn) {
    // Listings carry the attributes (a walk then needs no lookup per file), and a file is read without an open
    // and a release around it: on a tree of small files those round trips are most of the time.
    if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
    conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    if (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) {
        conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
        static_cast<FuseMount*>(userdata)->noOpen = true;
    }
    if (conn->capable & FUSE_CAP_NO_OPENDIR_SUPPORT) {
        conn->want |= FUSE_CAP_NO_OPENDIR_SUPPORT;
        static_cast<FuseMount*>(userdata)->noOpenDir = true;
    }
}

fuse_entry_param Entry(MountTree& tree, MountNode node) {
    fuse_entry_param e{};
    e.ino = Ino(node);
    e.attr = tree.Attr(node);
    e.attr.st_ino = e.ino;
    e.attr_timeout = kForever;
    e.entry_timeout = kForever;
    return e;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    MountTree& tree = *Mount(req).tree;
    const auto folder = NodeOf(req, parent);
    if (!folder || !tree.IsFolder(*folder)) return static_cast<void>(fuse_reply_err(req, ENOTDIR));
    const auto node = tree.Lookup(*folder, name);
    if (!node) {
        fuse_entry_param none{};  // a negative entry, kept as long as the others
        none.entry_timeout = kForever;
        return static_cast<void>(fuse_reply_entry(req, &none));
    }
    const fuse_entry_param e = Entry(tree, *node);
    fuse_reply_entry(req, &e);
}

void GetAttr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    const auto node = NodeOf(req, ino);
    if (!node) return static_cast<void>(fuse_reply_err(req, ENOENT));
    struct stat st = Mount(req).tree->Attr(*node);
    st.st_ino = ino;
    fuse_reply_attr(req, &st, kForever);
}

void ReadLink(fuse_req_t req, fuse_ino_t ino) {
    const auto node = NodeOf(req, ino);
    if (!node) return static_cast<void>(fuse_reply_err(req, ENOENT));
    std::string target;
    if (const int error = Mount(req).tree->ReadLink(*node, target); error != 0)
        return static_cast<void>(fuse_reply_err(req, -error));
    fuse_reply_readlink(req, target.c_str());
}

void OpenDir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const auto node = NodeOf(req, ino);
    if (!node) return static_cast<void>(fuse_reply_err(req, ENOENT));
    if (!Mount(req).tree->IsFolder(*node)) return static_cast<void>(fuse_reply_err(req, ENOTDIR));
    // As for files: one round trip fewer per folder, and the kernel keeps what it listed either way.
    if (Mount(req).noOpenDir) return static_cast<void>(fuse_reply_err(req, ENOSYS));
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

// Entries from `off` on (0: ".", 1: "..", then the children), as many as fit in size bytes.
void ReadDirAny(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, bool plus) {
    MountTree& tree = *Mount(req).tree;
    const auto folder = NodeOf(req, ino);
    if (!folder || !tree.IsFolder(*folder)) return static_cast<void>(fuse_reply_err(req, ENOTDIR));
    const std::vector<MountNode>& children = tree.Children(*folder);
    std::vector<char> buf(size);
    std::size_t used = 0;
    std::vector<MountNode> offered;
    for (auto at = static_cast<std::size_t>(std::max<off_t>(off, 0)); at < children.size() + 2; ++at) {
        const MountNode node = at < 2 ? *folder : children[at - 2];
        const char* name = at == 0 ? "." : at == 1 ? ".." : tree.Name(node).c_str();
        fuse_entry_param e = Entry(tree, node);
        std::size_t n;
        if (plus) {
            // "." and ".." are not looked up by the kernel: their entries carry no node.
            if (at < 2) e = fuse_entry_param{}, e.attr.st_mode = S_IFDIR, e.attr.st_ino = at == 0 ? Ino(node) : 1;
            n = fuse_add_direntry_plus(req, buf.data() + used, size - used, name, &e, static_cast<off_t>(at + 1));
        } else {
            n = fuse_add_direntry(req, buf.data() + used, size - used, name, &e.attr, static_cast<off_t>(at + 1));
        }
        if (n > size - used) break;
        used += n;
        if (plus && at >= 2 && CachePusher::Wanted(e.attr)) offered.push_back(node);
    }
    FuseMount& mount = Mount(req);  // the reply frees req
    fuse_reply_buf(req, buf.data(), used);
    if (!offered.empty()) mount.pusher.Offer(offered);
}

void ReadDir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    ReadDirAny(req, ino, size, off, false);
}

void ReadDirPlus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    ReadDirAny(req, ino, size, off, true);
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0)
        return static_cast<void>(fuse_reply_err(req, EROFS));
    const auto node = NodeOf(req, ino);
    if (!node) return static_cast<void>(fuse_reply_err(req, ENOENT));
    // The kernel reads without opens from now on when it can; the first read finds the content by its node.
    if (Mount(req).noOpen) return static_cast<void>(fuse_reply_err(req, ENOSYS));
    std::uint64_t handle = 0;
    if (const int error = Mount(req).tree->Open(*node, handle); error != 0)
        return static_cast<void>(fuse_reply_err(req, -error));
    fi->fh = handle;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
    FuseMount& mount = Mount(req);
    const auto node = NodeOf(req, ino);
    if (!node || off < 0) return static_cast<void>(fuse_reply_err(req, node ? EINVAL : ENOENT));
    std::uint64_t handle = fi->fh;
    if (handle == 0) {
        int error = 0;
        handle = mount.handles.Get(*node, error);
        if (handle == 0) return static_cast<void>(fuse_reply_err(req, -error));
    }
    std::vector<std::uint8_t> buf(size);
    const long read = mount.tree->Read(handle, static_cast<std::uint64_t>(off), buf);
    if (read < 0) return static_cast<void>(fuse_reply_err(req, static_cast<int>(-read)));
    fuse_reply_buf(req, reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(read));
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    if (fi->fh != 0) Mount(req).tree->Release(fi->fh);
    fuse_reply_err(req, 0);
}

void StatFs(fuse_req_t req, fuse_ino_t) {
    struct statvfs st {};
    st.f_bsize = st.f_frsize = 4096;
    st.f_files = Mount(req).tree->NodeCount();
    st.f_namemax = 255;
    st.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &st);
}

// size 0 asks for the length; a buffer too small is ERANGE.
void ReplyXattr(fuse_req_t req, const std::string& value, size_t size) {
    if (size == 0) return static_cast<void>(fuse_reply_xattr(req, value.size()));
    if (size < value.size()) return static_cast<void>(fuse_reply_err(req, ERANGE));
    fuse_reply_buf(req, value.data(), value.size());
}

void GetXattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
    const auto node = NodeOf(req, ino);
    if (!node) return static_cast<void>(fuse_reply_err(req, ENOENT));
    std::string value;
    if (const int error = Mount(req).tree->GetXattr(*node, name, value); error != 0)
        return static_cast<void>(fuse_reply_err(req, -error));
    ReplyXattr(req, value, size);
}

void ListXattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    const auto node = NodeOf(req, ino);
    if (!node) return static_cast<void>(fuse_reply_err(req, ENOENT));
    std::string names;
    for (const std::string& name : Mount(req).tree->ListXattr(*node)) names.append(name).push_back('\0');
    ReplyXattr(req, names, size);
}

// Every change is refused: the volume is evidence, and the mount only shows what a scan found.
void Refuse(fuse_req_t req) { fuse_reply_err(req, EROFS); }

const fuse_lowlevel_ops& Operations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.init = Init;
        o.lookup = Lookup;
        o.getattr = GetAttr;
        o.readlink = ReadLink;
        o.opendir = OpenDir;
        o.readdir = ReadDir;
        o.readdirplus = ReadDirPlus;
        o.open = Open;
        o.read = Read;
        o.release = Release;
        o.statfs = StatFs;
        o.getxattr = GetXattr;
        o.listxattr = ListXattr;
        o.setattr = [](fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { Refuse(req); };
        o.mknod = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { Refuse(req); };
        o.mkdir = [](fuse_req_t req, fuse_ino_t, const char*, mode_t) { Refuse(req); };
        o.unlink = [](fuse_req_t req, fuse_ino_t, const char*) { Refuse(req); };
        o.rmdir = [](fuse_req_t req, fuse_ino_t, const char*) { Refuse(req); };
        o.symlink = [](fuse_req_t req, const char*, fuse_ino_t, const char*) { Refuse(req); };
        o.rename = [](fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned int) { Refuse(req); };
        o.link = [](fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { Refuse(req); };
        o.write = [](fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) { Refuse(req); };
        o.create = [](fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { Refuse(req); };
        o.setxattr = [](fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { Refuse(req); };
        o.removexattr = [](fuse_req_t req, fuse_ino_t, const char*) { Refuse(req); };
        o.fallocate = [](fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { Refuse(req); };
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
    auto* mount = new FuseMount(tree);
    MountHandle handle(mount, Destroy);
    mount->mountpoint = mountpoint;
    mount->session = fuse_session_new(&args, &Operations(), sizeof(fuse_lowlevel_ops), mount);
    fuse_opt_free_args(&args);
    if (!mount->session) {
        error = "the FUSE session could not be set up";
        return none;
    }
    if (fuse_session_mount(mount->session, mountpoint.c_str()) != 0) {
        error = "mounting at " + mountpoint + " failed (see the fuse message above)";
        return none;
    }
    mount->mounted = true;
    return handle;
}

void ServeMount(FuseMount& mount) {
    if (mount.served || !mount.session) return;
    mount.served = true;
    mount.pusher.Start(mount.session);
    mount.loop = std::thread([&mount] {
        fuse_loop_config config{};
        config.clone_fd = 0;
        config.max_idle_threads = 10;
        fuse_session_loop_mt(mount.session, &config);
        mount.ended = true;
    });
}

bool MountEnded(const FuseMount& mount) { return mount.ended || !mount.session; }

void StopMount(FuseMount& mount) {
    if (!mount.session) return;
    if (mount.served && !mount.ended) {
        fuse_session_exit(mount.session);
        // Unmounting ends the connection, which wakes every thread of the loop.
        Unmount(mount.mountpoint);
    }
    if (mount.loop.joinable()) mount.loop.join();
    mount.pusher.Stop();
    if (mount.mounted) fuse_session_unmount(mount.session);  // nothing left to do when it is gone already
    fuse_session_destroy(mount.session);
    mount.session = nullptr;
    mount.ended = true;
}

}  // namespace salvora
