#include "mount/mount_tree.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "scan/file_saver.h"
#include "scan/list_rows.h"

namespace salvora {
namespace {

constexpr int kMaxNameTries = 1 << 20;

struct Walked {
    EntryId entry;
    std::size_t parent;  // index in the walk; npos for the root's children
    bool folder;
    bool kept;
};

bool FileMatches(ParserBase& parser, const Selection* selection, bool deletedOnly, EntryId entry,
                 const std::string& path) {
    const bool deleted = parser.IsDeleted(entry);
    if (deletedOnly && !deleted) return false;
    if (!selection || selection->Empty()) return true;
    std::optional<std::time_t> modified;
    if (selection->modifiedAfter || selection->modifiedBefore)
        if (const auto t = parser.EntryStoredTimes(entry).modified) modified = t->tv_sec;
    std::optional<Verdict> verdict;
    if (!selection->verdicts.empty()) verdict = parser.Judge(entry).verdict;
    return selection->Matches(path, deleted, parser.EntrySizeBytes(entry), modified, verdict);
}

}  // namespace

MountTree::MountTree(ParserBase& parser, const MountTreeOptions& options)
    : parser_(parser),
      uid_(options.uid),
      gid_(options.gid),
      parserMutex_(options.parserLock ? *options.parserLock : ownLock_) {
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    const bool filtered = options.deletedOnly || (options.selection && !options.selection->Empty());

    // The walk of `list`.
    std::vector<Walked> walked;
    WalkListOrder(parser, [&](const ListWalkStep& step) {
        const bool kept = step.folder ? !filtered
                                      : FileMatches(parser, options.selection, options.deletedOnly, step.entry, step.path);
        walked.push_back({step.entry, step.parent == kNoWalkParent ? kNone : step.parent, step.folder, kept});
    });
    // A kept file keeps the folders leading to it.
    if (filtered)
        for (std::size_t i = 0; i < walked.size(); ++i) {
            if (walked[i].folder || !walked[i].kept) continue;
            for (std::size_t p = walked[i].parent; p != kNone && !walked[p].kept; p = walked[p].parent)
                walked[p].kept = true;
        }

    // An entry without a stored time shows when the mount began, as a save leaves the time it was written.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto fill = [&](Node& node, EntryId entry, Kind kind) {
        node.entry = entry;
        node.kind = kind;
        node.deleted = parser.IsDeleted(entry);
        const StoredTimes times = parser.EntryStoredTimes(entry);
        node.mtime = times.modified.value_or(now);
        node.atime = times.accessed.value_or(node.mtime);
        node.ctime = times.changed.value_or(node.mtime);
    };
    nodes_.reserve(walked.size() + 1);
    nodes_.emplace_back();
    fill(nodes_[0], parser.RootEntry(), Kind::Folder);

    std::vector<MountNode> placed(walked.size(), kMountRoot);
    for (std::size_t i = 0; i < walked.size(); ++i) {
        const Walked& w = walked[i];
        if (!w.kept) continue;
        const MountNode parent = w.parent == kNone ? kMountRoot : placed[w.parent];
        const std::string base = SavedName(parser.EntryName(w.entry));
        // As a save: sibling folders of one name become one; anything else of a taken name is numbered.
        std::string name = base;
        std::optional<MountNode> merged;
        for (int n = 1; n < kMaxNameTries; ++n) {
            const auto taken = nodes_[parent].byName.find(name);
            if (taken == nodes_[parent].byName.end()) break;
            if (w.folder && nodes_[taken->second].kind == Kind::Folder) {
                merged = taken->second;
                break;
            }
            name = Numbered(base, n, !w.folder);
        }
        if (merged) {
            placed[i] = *merged;
            continue;
        }
        const auto id = static_cast<MountNode>(nodes_.size());
        nodes_.emplace_back();
        Node& node = nodes_.back();
        std::optional<std::string> target = w.folder ? std::nullopt : parser.LinkTarget(w.entry);
        fill(node, w.entry, w.folder ? Kind::Folder : target ? Kind::Link : Kind::File);
        node.size = target ? target->size() : w.folder ? 0 : parser.EntrySizeBytes(w.entry);
        node.name = name;
        nodes_[parent].children.push_back(id);
        nodes_[parent].byName.emplace(std::move(name), id);
        placed[i] = id;
    }
}

std::optional<MountNode> MountTree::Lookup(MountNode folder, std::string_view name) const {
    const auto& byName = nodes_[folder].byName;
    const auto found = byName.find(std::string(name));
    if (found == byName.end()) return std::nullopt;
    return found->second;
}

std::optional<MountNode> MountTree::Resolve(std::string_view path) const {
    MountNode node = kMountRoot;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty()) continue;
        if (!IsFolder(node)) return std::nullopt;
        const auto next = Lookup(node, part);
        if (!next) return std::nullopt;
        node = *next;
    }
    return node;
}

struct stat MountTree::Attr(MountNode node) const {
    const Node& n = nodes_[node];
    struct stat st {};
    st.st_ino = node + 1;
    switch (n.kind) {
        case Kind::Folder: st.st_mode = S_IFDIR | 0555; st.st_nlink = 2; break;
        case Kind::File: st.st_mode = S_IFREG | 0444; st.st_nlink = 1; break;
        case Kind::Link: st.st_mode = S_IFLNK | 0777; st.st_nlink = 1; break;
    }
    st.st_uid = uid_;
    st.st_gid = gid_;
    st.st_size = static_cast<off_t>(n.size);
    st.st_blksize = 4096;
    st.st_blocks = static_cast<blkcnt_t>((n.size + 511) / 512);
    st.st_atim = n.atime;
    st.st_mtim = n.mtime;
    st.st_ctim = n.ctime;
    return st;
}

int MountTree::ReadLink(MountNode node, std::string& target) const {
    if (nodes_[node].kind != Kind::Link) return -EINVAL;
    std::lock_guard lock(parserMutex_);
    target = parser_.LinkTarget(nodes_[node].entry).value_or(std::string{});
    return 0;
}

int MountTree::Open(MountNode node, std::uint64_t& handle) {
    const Node& n = nodes_[node];
    if (n.kind == Kind::Folder) return -EISDIR;
    std::optional<EntryContent> content;
    {
        std::lock_guard lock(parserMutex_);
        content = parser_.Content(n.entry);
    }
    if (!content) {
        if (n.size != 0) return -EIO;
        content.emplace();
    }
    std::lock_guard lock(handlesMutex_);
    handle = nextHandle_++;
    open_.emplace(handle, std::make_shared<const EntryContent>(std::move(*content)));
    return 0;
}

long MountTree::Read(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> out) {
    std::shared_ptr<const EntryContent> content;
    {
        std::lock_guard lock(handlesMutex_);
        const auto found = open_.find(handle);
        if (found == open_.end()) return -EBADF;
        content = found->second;
    }
    // Content that ends short of its size reads as unreadable there, never as a short read.
    const std::uint64_t stated = content->size;
    if (offset >= stated) return 0;
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), stated - offset));
    ContentRead read;
    {
        std::lock_guard lock(parserMutex_);
        read = ReadContent(parser_.Source(), *content, offset, out.first(length));
    }
    if (!read.unreadable.empty() || read.bytes != length) return -EIO;
    return static_cast<long>(length);
}

void MountTree::Release(std::uint64_t handle) {
    std::lock_guard lock(handlesMutex_);
    open_.erase(handle);
}

int MountTree::GetXattr(MountNode node, std::string_view name, std::string& value) {
    const Node& n = nodes_[node];
    if (name == kDeletedXattr) {
        value = n.deleted ? "1" : "0";
        return 0;
    }
    if (name == kVerdictXattr) {
        std::lock_guard lock(parserMutex_);
        value = VerdictName(parser_.Judge(n.entry).verdict);
        return 0;
    }
    if (name == kRunsXattr && n.kind == Kind::File) {
        std::optional<EntryContent> content;
        {
            std::lock_guard lock(parserMutex_);
            content = parser_.Content(n.entry);
        }
        value.clear();
        if (!content) return 0;
        char line[96];
        for (const ContentRun& run : content->runs) {
            if (run.kind == RunKind::Source)
                std::snprintf(line, sizeof line, "%" PRIu64 "+%" PRIu64 " at %" PRIu64 "\n", run.fileOffset,
                              run.length, run.at);
            else
                std::snprintf(line, sizeof line, "%" PRIu64 "+%" PRIu64 " %s\n", run.fileOffset, run.length,
                              run.kind == RunKind::Hole ? "hole" : "resident");
            value += line;
        }
        return 0;
    }
    return -ENODATA;
}

std::vector<std::string> MountTree::ListXattr(MountNode node) const {
    std::vector<std::string> names{kVerdictXattr, kDeletedXattr};
    if (nodes_[node].kind == Kind::File) names.emplace_back(kRunsXattr);
    return names;
}

}  // namespace salvora
