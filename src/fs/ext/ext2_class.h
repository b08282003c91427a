#pragma once
// ext2, ext3 and ext4 volumes rebuilt from the superblock, the group descriptors, the inode tables and the
// directory blocks, without any driver. Every name a directory block holds is listed, removed names found in
// the blocks' slack among them (red); inodes no name points at are not. The steps run in the order declared.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "fs/ext/ext_block_map.h"
#include "fs/ext/ext_dir_entry.h"
#include "fs/ext/ext_entry_record.h"
#include "fs/ext/ext_group_desc.h"
#include "fs/ext/ext_inode.h"
#include "fs/ext/ext_superblock.h"
#include "io/volume_window.h"
#include "model/parser_base.h"
#include "model/result_tree.h"
#include "volumes/volume_entry.h"

namespace salvora {

class ext2Class final : public ParserBase {
  public:
    ext2Class() = default;
    ext2Class(const ext2Class&) = delete;
    ext2Class& operator=(const ext2Class&) = delete;

    // Bytes of the volume (its size text in MiB x 1,048,576); set by the scan before FindSuperblock. Sizes
    // read from disk are bounded by the larger of this and what the reader knows of the source.
    std::uint64_t volumeSize = 0;

    // Reads the volume from the entry's start sector. False without a reader.
    bool AttachVolume(readWriteInterface* reader, const VolumeEntry& volume);
    // The superblock at byte 1024, else the first copy found in 512-byte steps that sits where its group puts
    // it (a backup). False when there is none or the volume is 1536 bytes or less.
    bool FindSuperblock();
    // Reads the descriptor table after the superblock's block: one descriptor per group, the last partial
    // group counted, 64-byte steps when the volume has the 64bit feature.
    bool ReadGroupDescriptors();
    // Reads every group's inode table and keeps the used slots; "parsing group %d  of %d ".
    bool ReadInodeTables();
    // Walks the blocks of every directory inode (block maps and extent trees alike) and collects the names,
    // live and removed; "parsing inode entry %d  of %d ". Polls stopRequested per directory.
    bool ReadDirectories();
    // One record per name: the first name of an inode is keyed by its inode number, further names (hard
    // links, removed names) by kExtExtraNameBase + n. Key 2 is "ROOT". A directory keeps one name.
    bool BuildInodeMap();
    // Children chained under their parent directory's record, in key order.
    bool LinkParentsAndChildren();
    // "ROOT" and its shown children (folders and regular files; links and devices stay out).
    bool FillResultTree();

    const std::map<EntryId, ExtEntryRecord>& InodeMap() const { return map_; }
    const ExtEntryRecord* Record(EntryId id) const;
    const ExtSuperblock& Superblock() const { return sb_; }
    std::uint64_t SuperblockOffset() const { return superblockOffset_; }
    std::uint32_t BlockBytes() const { return blockBytes_; }
    std::uint64_t GroupCount() const { return groups_.size(); }
    const std::vector<ExtGroupDesc>& Groups() const { return groups_; }
    ItemId RootItem() const { return rootItem_; }
    // The tree shows folders and regular files; other inodes are named and linked but not shown.
    static bool Shown(const ExtEntryRecord& record);

    // ParserBase
    EntryId RootEntry() const override { return kExtRootInode; }
    std::optional<EntryId> FirstChild(EntryId id) const override;
    std::optional<EntryId> NextSibling(EntryId id) const override;
    std::string EntryName(EntryId id) const override;
    void RenameEntry(EntryId id, const std::string& name) override;
    bool IsDeleted(EntryId id) const override;
    std::uint64_t ClaimedVolumeBytes() const override {
        return sb_.magic == 0xEF53 && sb_.blockCount < (UINT64_MAX >> 16) ? sb_.blockCount * sb_.BlockBytes() : 0;
    }
    bool IsFolder(EntryId id) const override;
    bool IsSaveFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFile(EntryId id) const override;
    std::optional<std::string> LinkTarget(EntryId id) const override;
    // Blocks as runs at their file offsets, holes between them; inline data and short link targets resident.
    std::optional<EntryContent> Content(EntryId id) override;
    // Superblock, group descriptors, inode tables, every directory, the map and the tree.
    ScanOutcome Scan(const ScanRequest& request) override;
    readWriteInterface* Source() const override { return reader_; }
    std::uint64_t EntrySizeBytes(EntryId id) const override;
    std::string FormatEntrySize(EntryId id) const override;
    EntryTexts FormatEntryTimes(EntryId id) const override;
    CopyResult ExtractFile(EntryId id, const std::string& destPath) override;
    std::optional<StagedCopy> StageFile(EntryId id, const std::string& destPath, std::uint64_t maxBytes) override;
    StoredTimes EntryStoredTimes(EntryId id) override;
    // The groups' block bitmaps, read when first asked.
    const AllocationMap* Allocation() override;

  private:
    // Not a folder, a volume with blocks; says on the status line when a removed file has nothing left.
    bool Copyable(EntryId id, const std::string& destPath);
    ExtEntryRecord* MutableRecord(EntryId id) {
        return const_cast<ExtEntryRecord*>(static_cast<const ext2Class*>(this)->Record(id));
    }
    // What the scan keeps of a used inode slot.
    struct InodeSummary {
        std::uint32_t inode = 0;
        std::uint16_t mode = 0;
        std::uint16_t linkCount = 0;
        bool mapsBlocks = false;
        std::uint64_t size = 0;
        std::int64_t accessed = 0, changed = 0, modified = 0;
    };
    struct DirInode {
        std::uint32_t inode = 0;
        std::uint32_t flags = 0;
        std::uint64_t size = 0;
        bool inUse = false;
        std::array<std::uint8_t, kExtBlockMapBytes> blockMap{};
        std::vector<std::uint8_t> inlineData;  // the entries of a directory kept in its inode
    };
    struct FoundName {
        ExtDirName entry;
        std::uint32_t parent = 0;
    };

    std::uint64_t VolumeBound() const;
    bool ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count);
    // A link's target: in the inode's block map when short (a fast link), else in its first block.
    std::optional<std::string> ReadLinkTarget(const ExtEntryRecord& record);
    // The record's inode as stored, from the last read when it is the same one.
    const std::vector<std::uint8_t>& InodeSlot(const ExtEntryRecord& record);
    bool ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out);
    ExtMapLimits Limits(std::uint64_t sizeBytes) const;
    void ReadGroupTable(std::uint64_t group);
    void ReadDirectory(const DirInode& dir, std::unordered_set<std::uint64_t>& walked);
    void ReadInlineDirectory(const DirInode& dir);
    const InodeSummary* Summary(std::uint32_t inode) const;
    // What BuildInodeMap keeps while it adds names.
    struct MapBuilder {
        std::vector<bool> inodeTaken;  // by index in inodes_: a name holds the inode's key
        std::unordered_set<std::uint32_t> takenWithoutSummary;
        EntryId nextExtraKey = kExtExtraNameBase;
    };
    void AddName(const FoundName& found, MapBuilder& builder);
    std::optional<EntryId> ShownFrom(EntryId id) const;

    readWriteInterface* reader_ = nullptr;
    VolumeWindow window_;
    VolumeEntry volume_;
    ExtSuperblock sb_{};
    std::vector<std::uint8_t> slot_;
    std::uint64_t slotAt_ = UINT64_MAX;
    std::uint64_t superblockOffset_ = 0;
    std::uint32_t blockBytes_ = 0;
    std::uint64_t blockLimit_ = 0;  // blocks that lie inside both the superblock's count and the volume
    std::vector<ExtGroupDesc> groups_;
    std::vector<InodeSummary> inodes_;  // by inode number
    std::vector<DirInode> dirs_;
    std::vector<FoundName> names_;
    std::map<EntryId, ExtEntryRecord> map_;
    // The records of map_ by key, for the results side's lookups (several per listed entry); filled when
    // map_ is complete. Pointers into a std::map stay valid.
    std::vector<ExtEntryRecord*> byInode_;
    std::vector<ExtEntryRecord*> byExtraKey_;
    ItemId rootItem_ = kNoItem;
    std::optional<AllocationMap> allocation_;
};

}  // namespace salvora
