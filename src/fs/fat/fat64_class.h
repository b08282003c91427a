#pragma once
// The exFAT parser. Standard run: boot sector, the root by its FAT chain, every entry set below it (live and
// deleted), links, the first level of the result tree, extraction. Advanced run for damaged volumes: searches
// for FAT copies and heap starts (the advanced-input page's data), a scan for entry sets anywhere on the
// volume, and records rebuilt from the hits with the chosen FAT and heap offset.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/fat/exfat_entry_set.h"
#include "io/volume_window.h"
#include "model/parser_base.h"
#include "model/result_tree.h"
#include "volumes/volume_entry.h"

namespace salvora {

// What the advanced-input page shows after its exFAT searches, in combo order.

// maxFileSystems as the searches take it: values below 1 become 3.
int NormaliseMaxFileSystems(int maxFileSystems);

class Fat64Class : public ParserBase {
  public:
    Fat64Class() = default;
    Fat64Class(const Fat64Class&) = delete;
    Fat64Class& operator=(const Fat64Class&) = delete;

    // Reads the volume from the entry's start sector, as long as the entry says or the source holds.
    bool AttachReader(readWriteInterface* reader, const VolumeEntry& volume);

    // Standard run, in this order.
    bool CheckBootSector();    // unreadable: "cant read file"; false unless the sector is exFAT
    bool ReadRootDirectory();  // the root's whole chain (loop guard, cluster count, 256 MiB)
    std::size_t FindEntriesRecursively();
    void MaintainTreeInVector();
    void CreateTreeStructure();  // "ROOT" (item data: record 0) and the first level

    // Advanced-input page: one pass over the volume finds FAT copies (up to `limit`), sectors that open an
    // allocation bitmap with all ones, up-case tables, root folders (their bitmap and up-case entries) and every
    // entry set; InferGeometry then votes on the cluster size and heap start over what they say.
    void SearchVolume(int limit);
    // Attaches to the volume, CheckBootSector, the pass, the vote; heap candidates: the boot's heap offset (when
    // the boot sector passed), the inferred ones by their votes, then the all-ones hits.
    std::optional<DamagedVolumeSearch> SearchDamagedVolume(readWriteInterface* source, const VolumeEntry& volume,
                                                           int maxFileSystems) override;
    // The candidate at index i, 0 past the end.
    std::uint64_t FatCandidate(std::size_t i) const { return i < foundFats_.size() ? foundFats_[i] : 0; }
    std::uint64_t HeapCandidate(std::size_t i) const { return i < foundHeaps_.size() ? foundHeaps_[i] : 0; }

    // Advanced run.
    bool SetDeepGeometry(int sectorsPerClusterShift);  // false for a shift outside 0..16
    std::size_t ScanForEntrySets();
    std::size_t BuildEntriesFromScan(std::uint64_t heapOffset, std::uint64_t fatOffset);
    // SetDeepGeometry, ScanForEntrySets and, when both candidates are non-zero, BuildEntriesFromScan,
    // MaintainTreeInVector and CreateTreeStructure. False when nothing could be built.
    bool RunAdvanced(int sectorsPerClusterShift, std::size_t fatIndex, std::size_t heapIndex);
    const std::vector<std::uint64_t>& FoundEntrySets() const { return foundEntrySets_; }
    std::uint64_t RootEstimate() const { return rootEstimate_; }

    std::uint32_t NextCluster(std::uint32_t cluster);
    const std::vector<ExFatEntryRecord>& Records() const { return records_; }
    const ExFatEntryRecord* Record(EntryId id) const;
    void ClearRecords();
    bool BootValid() const { return boot_.has_value(); }
    std::uint64_t ClaimedVolumeBytes() const override {
        return boot_ && boot_->volumeLengthSectors < (UINT64_MAX >> 12)
                   ? boot_->volumeLengthSectors * boot_->BytesPerSector()
                   : 0;
    }
    std::uint64_t ClusterBytes() const { return clusterBytes_; }
    ItemId RootItem() const { return rootItem_; }

    // ParserBase
    EntryId RootEntry() const override { return 0; }
    std::optional<EntryId> FirstChild(EntryId id) const override;
    std::optional<EntryId> NextSibling(EntryId id) const override;
    std::string EntryName(EntryId id) const override;
    void RenameEntry(EntryId id, const std::string& name) override;
    bool IsDeleted(EntryId id) const override;
    bool IsFolder(EntryId id) const override;
    bool IsSaveFolder(EntryId id) const override;
    bool IsWalkFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFile(EntryId id) const override;
    std::uint64_t EntrySizeBytes(EntryId id) const override;
    std::string FormatEntrySize(EntryId id) const override;
    EntryTexts FormatEntryTimes(EntryId id) const override;
    // FAT-chain files follow the chain; contiguous files, deleted files whose chain ends after the first
    // cluster, and everything on a drive read as formatted, read consecutive clusters.
    StoredTimes EntryStoredTimes(EntryId id) override;
    std::optional<EntryContent> Content(EntryId id) override;
    // Standard: the steps above with the worker's status texts (message boxes are the caller's); Advanced: RunAdvanced with the request's shift, FAT copy and heap.
    ScanOutcome Scan(const ScanRequest& request) override;
    readWriteInterface* Source() const override { return reader_; }
    // The allocation bitmap the root names (an advanced run: the root the search found); none for a drive read
    // as formatted.
    const AllocationMap* Allocation() override;

  private:
    struct DirFrame {
        std::vector<std::uint8_t> data;
        std::vector<std::uint32_t> clusters;
        std::size_t pos = 0;
        std::uint32_t parent = 0;
        std::unordered_map<std::uint32_t, std::uint32_t> directoryByCluster;
    };

    std::uint64_t VolumeBound() const;
    std::uint64_t HeapBytes() const { return advancedMode_ ? chosenHeap_ : heapOffsetBytes_; }
    std::uint64_t ClusterOffset(std::uint32_t cluster) const;
    bool ReadAt(std::uint64_t offset, void* buffer, std::uint64_t count);
    void SetClusterGeometry(std::uint64_t clusterBytes);
    std::uint32_t AppendRecord(ExFatEntryRecord record);
    void AppendSyntheticRoot(bool withOrphan);
    std::vector<std::uint32_t> DirectoryClusters(std::uint32_t first, bool fatChain,
                                                 std::uint64_t lengthBytes, bool isRoot);
    bool ReadClusters(const std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& out);
    bool OpenDirectory(DirFrame& frame, std::uint32_t first, bool fatChain, std::uint64_t lengthBytes,
                       bool isRoot);
    void WalkFrames(std::vector<DirFrame>& stack, bool deep);
    // Entry sets (and the root's marks) in view, whose first n bytes are at volume offset pos.
    void ScanSlots(std::uint64_t pos, Bytes view, std::uint64_t n, bool collect);
    void InferGeometry(DamagedVolumeSearch& out);
    // Entries whose place agrees with cluster size c and heap start h (see InferGeometry).
    std::size_t GeometryVotes(std::uint64_t c, std::uint64_t h);

    readWriteInterface* reader_ = nullptr;
    VolumeWindow window_;
    VolumeEntry volume_;
    std::optional<ExFatBoot> boot_;
    std::uint64_t clusterBytes_ = 0;
    std::uint32_t clusterLimit_ = 2;  // clusters 2 .. clusterLimit_ - 1 lie inside the volume
    std::uint64_t fatOffsetBytes_ = 0;
    std::uint64_t heapOffsetBytes_ = 0;
    std::uint64_t chosenHeap_ = 0;
    int advancedMode_ = 0;
    std::uint64_t lookupCount_ = 0;
    std::uint32_t lastFatValue_ = 0;

    std::vector<std::uint8_t> fatCache_;
    std::uint64_t fatCacheStart_ = 0;
    bool fatCacheValid_ = false;

    DirFrame root_;
    bool rootRead_ = false;
    std::vector<ExFatEntryRecord> records_;
    std::vector<std::uint32_t> lastChild_;
    std::unordered_set<std::uint32_t> visitedClusters_;
    std::unordered_set<std::uint64_t> processedOffsets_;
    std::vector<std::uint64_t> foundEntrySets_;
    std::vector<std::uint64_t> foundFats_;
    std::vector<std::uint64_t> foundHeaps_;
    // What the search pass saw for the geometry vote: folders' entry sets (where, first cluster, length), roots
    // (their first sector with the bitmap and up-case entries), up-case tables' first sectors.
    struct FolderHit {
        std::uint64_t at;
        std::uint32_t firstCluster;
        std::uint64_t length;
    };
    struct RootHit {
        std::uint64_t at;
        std::uint32_t bitmapCluster;
        std::uint64_t bitmapBytes;
        std::uint32_t upcaseCluster;
        std::uint64_t upcaseBytes;
    };
    std::vector<FolderHit> folderHits_;
    std::vector<RootHit> rootHits_;
    std::vector<std::uint64_t> upcaseHits_;
    bool setsComplete_ = false;  // foundEntrySets_ covers the whole volume: the advanced run need not scan again
    std::uint64_t rootEstimate_ = 0;
    bool labelFound_ = false;
    ItemId rootItem_ = kNoItem;
    std::optional<AllocationMap> allocation_;
    bool allocationTried_ = false;
};

}  // namespace salvora
