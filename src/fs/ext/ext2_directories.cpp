// The directory walk and the records built from the names it finds.
#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "fs/ext/ext2_class.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::size_t kStatusEvery = 256;

// The directory entry's file type as an inode type (0 when unknown).
std::uint16_t TypeFromFileType(std::uint8_t fileType) {
    static constexpr std::uint16_t kTypes[8] = {0, 0x8000, 0x4000, 0x2000, 0x6000, 0x1000, 0xC000, 0xA000};
    return fileType < 8 ? kTypes[fileType] : 0;
}

}  // namespace

void ext2Class::ReadDirectory(const DirInode& dir, std::unordered_set<std::uint64_t>& walked) {
    const ExtDirRules rules{sb_.inodeCount, std::max<std::uint32_t>(sb_.firstInode, 3), sb_.HasFileType()};
    const ExtBlockReader read = [this](std::uint64_t block, std::vector<std::uint8_t>& out) {
        return ReadBlock(block, out);
    };
    const auto runs = MapExtBlocks(dir.blockMap, dir.flags & kExtFlagExtents, Limits(dir.size), read);
    std::vector<std::uint8_t> block;
    std::vector<ExtDirName> found;
    if (!dir.inUse && (runs.empty() || runs.front().logicalBlock != 0)) return;
    for (const ExtBlockRun& run : runs) {
        if (run.unwritten) continue;
        for (std::uint64_t i = 0; i < run.blockCount; ++i) {
            const std::uint64_t physical = run.physicalBlock + i;
            const bool first = run.logicalBlock + i == 0;
            const bool seen = walked.count(physical) != 0;
            const bool read = !seen && ReadBlock(physical, block);
            if (!seen && !read && dir.inUse && physical < blockLimit_) NoteUnreadableFolder(dir.inode);
            // A removed directory's blocks may have gone to another one since: its first block must still
            // open with its own "." record.
            if (first && !dir.inUse &&
                !(read && ExtDirBlockOpensWithDot(block, dir.inode, rules.hasFileType)))
                return;
            if (!read) continue;
            walked.insert(physical);
            found.clear();
            WalkExtDirBlock(block, rules, first && (dir.flags & kExtFlagIndex), found);
            for (ExtDirName& name : found) {
                name.deleted = name.deleted || !dir.inUse;
                names_.push_back({std::move(name), dir.inode});
            }
        }
    }
}

void ext2Class::ReadInlineDirectory(const DirInode& dir) {
    // The parent's inode number, then records up to the block map's end; records go on, as a chain of their
    // own, in the attribute that holds the rest.
    constexpr std::size_t kParentBytes = 4;
    const Bytes data(dir.inlineData);
    if (data.size() <= kParentBytes) return;
    const ExtDirRules rules{sb_.inodeCount, std::max<std::uint32_t>(sb_.firstInode, 3), sb_.HasFileType()};
    std::vector<ExtDirName> found;
    const std::size_t inMap = std::min(data.size(), kExtBlockMapBytes);
    WalkExtDirBlock(data.subspan(kParentBytes, inMap - kParentBytes), rules, false, found);
    if (data.size() > inMap) WalkExtDirBlock(data.subspan(inMap), rules, false, found);
    for (ExtDirName& name : found) {
        name.deleted = name.deleted || !dir.inUse;
        names_.push_back({std::move(name), dir.inode});
    }
}

bool ext2Class::ReadDirectories() {
    names_.clear();
    unreadableFolders_.clear();
    if (blockLimit_ == 0) return false;
    // Live directories first: where a removed directory's blocks went to a live one, the live one reads them.
    std::stable_partition(dirs_.begin(), dirs_.end(), [](const DirInode& d) { return d.inUse; });
    std::unordered_set<std::uint64_t> walked;  // each block is read as a directory block once
    const auto count = static_cast<std::int64_t>(dirs_.size());
    Status().SetProgressRange(0, count);
    char status[80];
    for (std::size_t i = 0; i < dirs_.size(); ++i) {
        if (i % kStatusEvery == 0) {
            if (PollStop(stopRequested)) break;
            std::snprintf(status, sizeof status, "parsing inode entry %d  of %d ", static_cast<int>(i + 1),
                          static_cast<int>(count));
            Status().SetStatus(status);
            Status().SetProgressPos(static_cast<std::int64_t>(i));
        }
        if (dirs_[i].flags & kExtFlagInlineData)
            ReadInlineDirectory(dirs_[i]);
        else
            ReadDirectory(dirs_[i], walked);
    }
    Status().SetProgressPos(count);
    return !names_.empty();
}

void ext2Class::AddName(const FoundName& found, MapBuilder& builder) {
    const ExtDirName& e = found.entry;
    // The root keeps "ROOT" and no parent; inode 0 is only what a removed record leaves.
    if (e.inode == kExtRootInode || (e.inode == 0 && !e.deleted)) return;
    const InodeSummary* inode = Summary(e.inode);
    const std::uint16_t listedType = TypeFromFileType(e.fileType);
    const bool typeAgrees =
        inode && (!sb_.HasFileType() || listedType == 0 || listedType == (inode->mode & kExtTypeMask));

    ExtEntryRecord r;
    r.name = e.name;
    r.inodeNumber = e.inode;
    r.parentInode = found.parent;
    r.deleted = e.deleted;
    // A removed name's inode serves it only while no one else holds the inode and the blocks are still
    // mapped.
    r.contentGone = e.deleted && (!typeAgrees || inode->linkCount != 0 || !inode->mapsBlocks);
    if (inode && !r.contentGone) {
        r.mode = inode->mode;
        r.size = inode->size;
    } else {
        r.mode = listedType ? listedType : (inode ? inode->mode : 0);
        if (!r.mode && e.fileType == 0 && !sb_.HasFileType()) r.mode = kExtTypeRegular;
    }
    if (inode && (!r.contentGone || inode->linkCount == 0)) {
        r.accessed.tv_sec = inode->accessed;
        r.changed.tv_sec = inode->changed;
        r.modified.tv_sec = inode->modified;
    }
    if (e.inode != 0) {
        const std::uint64_t group = (e.inode - 1) / sb_.inodesPerGroup;
        if (group < groups_.size()) r.inodeTableBlock = groups_[group].inodeTableBlock;
        r.indexInGroup = (e.inode - 1) % sb_.inodesPerGroup;
    }

    const bool directory = (r.mode & kExtTypeMask) == kExtTypeDirectory;
    const bool taken = inode ? builder.inodeTaken[static_cast<std::size_t>(inode - inodes_.data())]
                             : builder.takenWithoutSummary.count(e.inode) != 0;
    if (!r.contentGone && !taken) {
        if (inode)
            builder.inodeTaken[static_cast<std::size_t>(inode - inodes_.data())] = true;
        else
            builder.takenWithoutSummary.insert(e.inode);
        map_.emplace(e.inode, std::move(r));
    } else if (!(directory && !e.deleted && taken)) {
        // A directory keeps one live name; other names of it are listed without children.
        map_.emplace_hint(map_.end(), builder.nextExtraKey++, std::move(r));
    }
}

bool ext2Class::BuildInodeMap() {
    Status().SetStatus("clearing vector....");
    byInode_.clear();
    byExtraKey_.clear();
    map_.clear();
    ExtEntryRecord root;
    root.name = "ROOT";
    root.inodeNumber = kExtRootInode;
    root.mode = kExtTypeDirectory;
    if (const InodeSummary* inode = Summary(kExtRootInode)) {
        root.accessed.tv_sec = inode->accessed;
        root.changed.tv_sec = inode->changed;
        root.modified.tv_sec = inode->modified;
    }
    if (!groups_.empty()) root.inodeTableBlock = groups_[0].inodeTableBlock;
    root.indexInGroup = kExtRootInode - 1;
    map_.emplace(kExtRootInode, std::move(root));
    MapBuilder builder;
    builder.inodeTaken.assign(inodes_.size(), false);
    for (const FoundName& found : names_) AddName(found, builder);
    byInode_.clear();
    byExtraKey_.clear();
    for (auto& [key, record] : map_) {
        if (key >= kExtExtraNameBase) {
            byExtraKey_.push_back(&record);  // extra keys are handed out one after another
        } else {
            if (key >= byInode_.size()) byInode_.resize(key + 1, nullptr);
            byInode_[key] = &record;
        }
    }
    names_ = {};
    dirs_ = {};
    inodes_ = {};
    return map_.size() > 1;
}

}  // namespace salvora
