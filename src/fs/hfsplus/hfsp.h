#pragma once
// HFS+ (and HFSX) volumes rebuilt from the volume header and the catalog B-tree, without any driver. Catalog
// nodes are read in node order (or, in a volume scan, wherever a leaf lies), not by descending the tree, so
// leaves no longer linked in are read too. Entries whose folder is gone hang under "ORPHAN_ENTRY".
// The steps run in the order declared.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/hfsplus/hfs_btree_node.h"
#include "fs/hfsplus/hfs_catalog_record.h"
#include "fs/hfsplus/hfs_entry_record.h"
#include "fs/hfsplus/hfs_volume_header.h"
#include "io/volume_window.h"
#include "model/parser_base.h"
#include "model/result_tree.h"
#include "volumes/volume_entry.h"

namespace salvora {

class HFSP final : public ParserBase {
  public:
    HFSP() = default;
    HFSP(const HFSP&) = delete;
    HFSP& operator=(const HFSP&) = delete;

    // Bytes of the volume that a volume scan reads, at least: AttachVolume sets it from the size text (MiB)
    // when it is still 0; a readable header's size counts when it is larger (the size text is cut down to
    // whole MiB). Never more than the source holds.
    std::uint64_t volumeSize = 0;

    // Reads the volume from the entry's start sector; inserts and expands the "ROOT" item. False without a
    // reader.
    bool AttachVolume(readWriteInterface* reader, const VolumeEntry& volume);
    // The header at byte 1024. False without a reader, on a failed read, or when the signature is neither
    // "H+" nor "HX".
    bool ReadVolumeHeader();
    // Standard mode: every node of the catalog file, found through all its extents (the eight of the header,
    // then the catalog's extents-overflow records). False for an unusable block size or catalog header node.
    bool ReadCatalogNodes();
    // Other modes: the whole volume read in pieces, every piece that looks like a catalog leaf kept, wherever
    // it lies. Shows "BlockSize not valid .Aborting.." and returns false when no whole node fits.
    bool ScanCatalogNodes();
    // Loads the data-fork records of the extents-overflow file (once). A damaged file only means no records;
    // false only when there is no usable volume header.
    bool ReadExtentsOverflowHeader();
    // One HfsEntryRecord per folder and file record of the leaves found; hard links take their content from
    // the private folder's "iNode<link ID>".
    void ParseLeafRecords();
    // "ORPHAN_ENTRY" added; children chained under their folder in key order.
    void LinkParentsAndChildren();
    // "ROOT" and the entries of the root folder (ID 2): "found folder at Node %lld", "found file at Node
    // %lld".
    void FillResultTree();
    // Creation, access and modification times in local time, and the permission text.
    EntryTexts FormatEntryDetails(EntryId id) const;

    const HfsVolumeHeader& Header() const { return header_; }
    std::size_t NodeCount() const { return nodes_.size(); }
    const std::map<EntryId, HfsEntryRecord>& EntryMap() const { return map_; }
    const HfsEntryRecord* Record(EntryId id) const;
    ItemId RootItem() const { return rootItem_; }
    // Volume byte runs of a fork: its eight extents, then the extents-overflow records of fileId, cut at the
    // logical size and at the end of the volume.
    struct ByteRun {
        std::uint64_t offset = 0;
        std::uint64_t bytes = 0;
    };
    std::vector<ByteRun> ForkRuns(const HfsExtents& extents, std::uint64_t logicalSize, std::uint32_t fileId,
                                  bool resourceFork = false) const;

    // ParserBase
    EntryId RootEntry() const override { return kHfsRootFolderId; }
    std::optional<EntryId> FirstChild(EntryId id) const override;
    std::optional<EntryId> NextSibling(EntryId id) const override;
    std::string EntryName(EntryId id) const override;
    void RenameEntry(EntryId id, const std::string& name) override;
    bool IsDeleted(EntryId id) const override;
    std::uint64_t ClaimedVolumeBytes() const override {
        return header_.BlockSizeValid() ? std::uint64_t{header_.totalBlocks} * header_.blockSize : 0;
    }
    bool IsFolder(EntryId id) const override;
    bool IsSaveFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFile(EntryId id) const override;
    std::optional<std::string> LinkTarget(EntryId id) const override;
    std::optional<EntryContent> Content(EntryId id) override;
    // Standard reads the catalog's own nodes, Deep every piece of the volume that looks like a catalog leaf.
    ScanOutcome Scan(const ScanRequest& request) override;
    readWriteInterface* Source() const override { return reader_; }
    std::uint64_t EntrySizeBytes(EntryId id) const override;
    std::string FormatEntrySize(EntryId id) const override;
    EntryTexts FormatEntryTimes(EntryId id) const override { return FormatEntryDetails(id); }
    StoredTimes EntryStoredTimes(EntryId id) override;
    // The blocks that files the catalog links and the volume's own files claim, found when first asked.
    const AllocationMap* Allocation() override;

  private:
    struct CatalogNode {
        std::uint64_t position = 0;  // volume byte offset of the node's first byte
        std::int64_t forkNode = -1;  // node number in the catalog file, or -1 for a node a volume scan found
        std::int8_t kind = 0;
        std::vector<std::uint16_t> offsets;
    };

    std::uint64_t VolumeBytes() const;
    std::uint64_t ScanBytes() const;
    bool ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count);
    bool ReadFork(const std::vector<ByteRun>& runs, std::uint64_t at, std::uint8_t* out, std::uint32_t count);
    bool ReadCatalogHeader(const std::vector<ByteRun>& runs, HfsBTreeHeader& header);
    bool ReadNode(const CatalogNode& node, std::vector<std::uint8_t>& out);
    void AddRecord(HfsCatalogRecord&& r, const CatalogNode& node, std::uint16_t offset);
    void ResolveHardLinks();
    void Link(const std::vector<bool>& forceOrphan);
    void BreakFolderLinkCircles();
    void Append(EntryId parent, EntryId child, std::map<EntryId, EntryId>& lastChild);

    readWriteInterface* reader_ = nullptr;
    VolumeWindow window_;
    VolumeEntry volume_;
    HfsVolumeHeader header_{};
    bool headerRead_ = false;
    std::uint32_t nodeBytes_ = 0;
    std::vector<CatalogNode> nodes_;
    std::vector<ByteRun> catalogRuns_;
    bool overflowLoaded_ = false;
    // Data-fork records of the extents-overflow file by (file ID, first fork block).
    std::map<std::pair<std::uint32_t, std::uint32_t>, HfsExtents> overflow_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, HfsExtents> resourceOverflow_;
    std::map<EntryId, HfsEntryRecord> map_;
    EntryId nextExtraKey_ = kHfsExtraKeyBase;
    bool folderLinks_ = false;  // some folder hard link found its folder
    ItemId rootItem_ = kNoItem;
    std::optional<AllocationMap> allocation_;
    bool allocationTried_ = false;
};

}  // namespace salvora
