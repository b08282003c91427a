#pragma once
// A scanned volume as a read-only file system: the tree `list` walks, named as a save names it (blanks trimmed,
// unsafe characters replaced, a later entry of a taken name numbered " (1)", sibling folders of one name merged),
// with the operations a FUSE front end needs as plain functions. Errors are negative errno values.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/parser_base.h"
#include "scan/selection.h"

namespace salvora {

using MountNode = std::uint32_t;
inline constexpr MountNode kMountRoot = 0;

struct MountTreeOptions {
    uid_t uid = 0;
    gid_t gid = 0;
    // Only the files it matches (on the path `list` prints) and the folders leading to them; null: every entry.
    const Selection* selection = nullptr;
    bool deletedOnly = false;
    // The lock every other user of the parser takes (the wizard's workers); null: the tree's own.
    std::mutex* parserLock = nullptr;
};

// The extended attributes every entry carries.
inline constexpr const char* kVerdictXattr = "user.salvora.verdict";
inline constexpr const char* kDeletedXattr = "user.salvora.deleted";
inline constexpr const char* kRunsXattr = "user.salvora.runs";  // files only

class MountTree {
public:
    // Walks the parser once. The parser and its source must outlive the tree; every later call into them goes
    // through one lock, so the functions below may be called from several threads.
    MountTree(ParserBase& parser, const MountTreeOptions& options);
    MountTree(const MountTree&) = delete;
    MountTree& operator=(const MountTree&) = delete;

    std::size_t NodeCount() const { return nodes_.size(); }
    std::optional<MountNode> Lookup(MountNode folder, std::string_view name) const;
    // "/", "/DCIM/IMG_0001.JPG"
    std::optional<MountNode> Resolve(std::string_view path) const;

    bool IsFolder(MountNode node) const { return nodes_[node].kind == Kind::Folder; }
    const std::string& Name(MountNode node) const { return nodes_[node].name; }
    // In the order `list` prints them.
    const std::vector<MountNode>& Children(MountNode folder) const { return nodes_[folder].children; }
    // The parser's entry behind the node (a merged folder: its first).
    EntryId Entry(MountNode node) const { return nodes_[node].entry; }
    struct stat Attr(MountNode node) const;

    // -EINVAL when the node is not a link.
    int ReadLink(MountNode node, std::string& target) const;

    // An open file's content, kept until Release. -EISDIR for a folder, -EIO when the parser cannot say
    // where the bytes lie.
    int Open(MountNode node, std::uint64_t& handle);
    // Bytes read into out (0 at or past the end), or -EIO when any byte of the range asked for cannot be read:
    // a short read would let the kernel fill the rest with zeros that look like the file.
    long Read(std::uint64_t handle, std::uint64_t offset, std::span<std::uint8_t> out);
    void Release(std::uint64_t handle);

    // -ENODATA for a name the node does not carry.
    int GetXattr(MountNode node, std::string_view name, std::string& value);
    std::vector<std::string> ListXattr(MountNode node) const;

private:
    enum class Kind : std::uint8_t { Folder, File, Link };
    struct Node {
        std::string name;
        EntryId entry = 0;
        Kind kind = Kind::File;
        bool deleted = false;
        std::uint64_t size = 0;
        timespec atime{}, mtime{}, ctime{};  // ctime: the stored change time, else mtime
        std::vector<MountNode> children;
        std::unordered_map<std::string, MountNode> byName;
    };

    ParserBase& parser_;
    uid_t uid_;
    gid_t gid_;
    std::vector<Node> nodes_;

    mutable std::mutex ownLock_;
    std::mutex& parserMutex_;  // the parser and its source reader are not safe for concurrent use
    std::mutex handlesMutex_;
    std::uint64_t nextHandle_ = 1;
    std::unordered_map<std::uint64_t, std::shared_ptr<const EntryContent>> open_;
};

}  // namespace salvora
