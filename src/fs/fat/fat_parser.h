#pragma once
// What Fat16Class and Fat32Class share: the record vector, the directory walk with its duplicate maps,
// visited set and loop guards, the tree links, the top level of the result tree, the list texts and file
// extraction. The two classes add their boot-sector checks, their FAT lookups and their root directories.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_dir_slot.h"
#include "fs/fat/fat_entry_record.h"
#include "fs/fat/fat_names.h"
#include "io/volume_window.h"
#include "model/parser_base.h"
#include "model/result_tree.h"
#include "volumes/volume_entry.h"

namespace salvora {

class FatParser : public ParserBase {
  public:
    ~FatParser() override = default;
    FatParser(const FatParser&) = delete;
    FatParser& operator=(const FatParser&) = delete;

    // Reads the volume from the entry's start sector. Every size read from disk is bounded by the larger of
    // the entry's size and what the reader knows of the source. Always true.
    bool AttachReader(readWriteInterface* reader, const VolumeEntry& volume);

    virtual bool CheckBootSector() = 0;
    virtual bool ReadFatTable() = 0;
    virtual bool ReadRootDirectory() = 0;

    // Walks the root and every directory below it, live and deleted entries alike. Returns the number of
    // records; the overload also hands back a copy of them (they stay in the parser either way). Polls
    // stopRequested at every directory cluster and keeps what was found.
    std::size_t FindEntriesRecursively();
    void FindEntriesRecursively(std::vector<FatEntryRecord>& out);
    // Links first child / next sibling in index order. Volume labels stay out of the tree.
    void MaintainTreeInVector();
    void LinkSibling(std::uint32_t index);
    // Inserts "ROOT" (item data: record 0) and the first level below it, deleted entries in kDeletedColour.
    void CreateTreeStructure();
    ItemId RootItem() const { return rootItem_; }

    // The next cluster of a chain, or EndOfChain() (also for 0, 1 and anything beyond the table or the
    // volume).
    std::uint32_t NextCluster(std::uint32_t cluster);
    virtual std::uint32_t EndOfChain() const = 0;

    const std::vector<FatEntryRecord>& Entries() const { return entries_; }
    const FatEntryRecord* Record(EntryId id) const;

    bool BootValid() const { return bootValid_; }
    const FatBootSector& Boot() const { return boot_; }
    std::uint64_t ClusterBytes() const { return clusterBytes_; }
    // Byte offset of cluster 2 in the volume.
    std::uint64_t DataStart() const { return dataStart_; }
    // Clusters numbered 2 .. ClusterLimit() - 1 lie inside the table and the volume.
    std::uint32_t ClusterLimit() const { return clusterLimit_; }

    // ParserBase
    EntryId RootEntry() const override { return 0; }
    std::optional<EntryId> FirstChild(EntryId id) const override;
    std::optional<EntryId> NextSibling(EntryId id) const override;
    std::string EntryName(EntryId id) const override;
    void RenameEntry(EntryId id, const std::string& name) override;
    bool IsDeleted(EntryId id) const override;
    std::uint64_t ClaimedVolumeBytes() const override {
        return bootValid_ ? boot_.TotalSectors() * boot_.bytesPerSector : 0;
    }
    bool IsFolder(EntryId id) const override;
    bool IsSaveFolder(EntryId id) const override;
    bool IsWalkFolder(EntryId id) const override;
    bool IsWalkFile(EntryId id) const override;
    std::uint64_t EntrySizeBytes(EntryId id) const override;
    std::string FormatEntrySize(EntryId id) const override;
    EntryTexts FormatEntryTimes(EntryId id) const override;
    StoredTimes EntryStoredTimes(EntryId id) override;
    // The chain as runs; a deleted file whose chain is gone (and every file of a drive read as formatted)
    // reads on from its first cluster, marked inferred.
    std::optional<EntryContent> Content(EntryId id) override;
    // Standard: boot sector, FAT, root, every folder below it, the tree; Advanced: RunAdvanced with the
    // request's candidate and sectors per cluster.
    ScanOutcome Scan(const ScanRequest& request) override;
    // Attaches to the volume, checks the boot sector and looks for FAT copies.
    std::optional<DamagedVolumeSearch> SearchDamagedVolume(readWriteInterface* source, const VolumeEntry& volume,
                                                           int maxFileSystems) override;
    readWriteInterface* Source() const override { return reader_; }
    // Clusters the FAT in use marks (and those whose entry no copy could give); none for a drive read as
    // formatted or an advanced run without a FAT copy.
    const AllocationMap* Allocation() override;

    // ---- advanced run, for a volume whose boot sector or tables are damaged
    // Sectors that start like the first sector of a FAT, in 10 MiB reads from offset 0, until `limit` hits
    // (below 1: 3) or Stop. Kept as the candidates of the advanced run.
    std::vector<std::uint64_t> FindFatTables(int limit);
    // The last FindFatTables saw the stop flag (and cleared it).
    bool SearchStopped() const { return searchStopped_; }
    // Geometry of the advanced run: 512-byte sectors, the chosen sectors per cluster (1..255). False for 0.
    bool SetDeepGeometry(unsigned sectorsPerCluster);
    // Reads chains from the FAT copy at fatOffset from now on; 0 means no FAT (every chain ends at once).
    bool SetFatForDeepScan(std::uint64_t fatOffset);
    // Tests every 32-byte slot of the volume; keeps the byte offsets of plausible entries and what they say
    // of where the data region starts. Polls stopRequested per block and keeps what it found.
    std::size_t ScanSectorsForEntries();
    // Records from the found slots: record 0 "DUMMY ENTRY" (the root), record 1 "ORPHAN ENTRY" for entries
    // whose folder is unknown; found folders are walked with their chains. Returns the number of records.
    std::size_t BuildEntriesFromScan();
    void BuildEntriesFromScan(std::vector<FatEntryRecord>& out);
    // The results page's advanced worker after the parser was attached: geometry, FAT candidate (0 past the
    // end of the list), scan, build, links and tree, with the worker's status texts.
    void RunAdvanced(std::size_t candidateIndex, unsigned sectorsPerCluster);
    // Found slots at or before this offset belong to the root; later ones without a known folder are orphans.
    std::uint64_t RootAreaEnd() const { return rootAreaEnd_; }

  protected:
    explicit FatParser(FatKind kind);

    // Raw table value of a cluster already known to lie below clusterLimit_.
    virtual std::uint32_t FatValue(std::uint32_t cluster) = 0;
    // The root directory: FAT16 holds it as a fixed area in memory, FAT32 as a chain from its root cluster.
    virtual const std::vector<std::uint8_t>* RootArea() const { return nullptr; }
    virtual std::uint32_t RootChainCluster() const { return 0; }
    // Advanced run: does this sector start like a FAT of this kind?
    virtual bool IsFatSignature(Bytes sector) const = 0;
    // Advanced run: load (or point the lookups at) `entries` FAT entries at fatOffset.
    virtual void LoadDeepFat(std::uint64_t fatOffset, std::uint64_t entries) = 0;
    // The fixed root directory area the boot sector states (FAT16), else {0, 0}.
    virtual std::pair<std::uint64_t, std::uint64_t> BootRootArea() const { return {0, 0}; }

    // Reads the boot sector and checks the common parameter block. False leaves bootValid_ false.
    bool ReadBootSector();
    // The larger of the set volume size and the source's length past the volume's start; 0 when neither is
    // known.
    std::uint64_t VolumeBound() const;
    // Sets clusterBytes_, dataStart_ and clusterLimit_ (tableEntries: entries the loaded or readable FAT
    // holds).
    void SetGeometry(std::uint64_t dataStart, std::uint64_t tableEntries, std::uint32_t hardLimit);
    bool ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count);
    // count bytes of the FAT in use (at fatStart) from offset into it. Where a sector of it cannot be read, the
    // same bytes are taken from another copy the boot sector lists (copyBytes apart; 0: none to try), and the
    // status line says so. False when some bytes could be read from no copy: they are zeros, ending the chains
    // through them early.
    bool ReadFat(std::uint64_t fatStart, std::uint64_t copyBytes, std::uint64_t offset, std::uint8_t* out,
                 std::size_t count);
    bool ReadCluster(std::uint32_t cluster, std::vector<std::uint8_t>& out);
    // Votes on the cluster size and data start over pairs of folders' "." slots: those the FAT search passed,
    // then the rest of the volume until the vote is clear.
    void InferGeometry(DamagedVolumeSearch& out);
    void VoteOnDots(std::uint64_t at, const std::uint8_t* data, std::uint64_t n);
    // With a valid boot sector: whether the volume was quick-formatted over older files (see DamagedVolumeSearch).
    void CheckQuickFormat(DamagedVolumeSearch& out);
    struct GeometryVote {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> recent;  // the last "." slots: offset, its cluster
        std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> votes;  // (cluster bytes, data start)
        std::size_t best = 0;
        std::vector<std::uint32_t> dotClusters;  // the clusters the first "." slots name
        std::uint64_t searchedTo = 0;
    } vote_;
    // The FAT entry of cluster lies on a sector that no copy of the FAT could give.
    bool FatEntryUnreadable(std::uint32_t cluster) const;

    FatKind kind_;
    readWriteInterface* reader_ = nullptr;
    VolumeWindow window_;
    VolumeEntry volume_;
    FatBootSector boot_{};
    bool bootValid_ = false;
    std::uint64_t clusterBytes_ = 0;
    std::uint64_t dataStart_ = 0;
    std::uint32_t clusterLimit_ = 2;
    std::vector<FatEntryRecord> entries_;
    ByteRanges unreadableFat_;  // offsets in the FAT in use that no copy could give
    ItemId rootItem_ = kNoItem;

  private:
    struct DirFrame;
    struct DeepFrame;
    void EstimateDataStart();
    void HandleFoundSlot(std::uint64_t offset, std::vector<std::uint8_t>& window);
    void WalkDeep(std::vector<DeepFrame>& stack);
    bool LoadDeepBlock(DeepFrame& frame);
    FatEntryRecord NamedRecord(Bytes slot, LongNameRun& run);
    bool LoadBlock(DirFrame& frame);
    void WalkSlot(std::vector<DirFrame>& stack);
    std::uint32_t AddRecord(FatEntryRecord record);
    // Long names cut at a cluster's end: the record with its first pieces, and runs that ended with no short
    // entry after them; joined by checksum and order once every slot was seen.
    struct CutName {
        std::uint32_t record;
        std::uint8_t checksum;
        std::size_t taken;
        std::u16string units;
    };
    void NoteCut(std::uint32_t index);
    void KeepDangling(const LongNameRun& run);
    void JoinCutNames();
    std::optional<CutName> lastCut_;
    std::vector<CutName> cutNames_;
    std::vector<std::vector<LongNamePiece>> danglingRuns_;
    // Folders known only by the "." slot opening their first cluster (their own entry is gone): offset, the
    // cluster it names, the parent's from "..". Walked as "Folder at cluster N" below the lost entries, and
    // named when their entry turns up.
    struct DotFolder {
        std::uint64_t at;
        std::uint32_t self;
        std::uint32_t parent;
    };
    std::vector<DotFolder> dotFolders_;
    std::unordered_map<std::uint32_t, std::uint32_t> unnamedFolders_;  // first cluster -> record
    void WalkUnnamedFolders();
    // The slot tests of the advanced run over n bytes read at volume offset pos (any geometry), and what the
    // run's geometry then keeps of them.
    void ScanSlots(std::uint64_t pos, const std::uint8_t* data, std::uint64_t n);
    void ClearSlots();
    void ApplyGeometryToSlots();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> allSlots_;  // offset, the cluster a short slot names
    bool slotsComplete_ = false;  // the search pass saw every slot: the advanced run need not read them again
    // Once every slot was seen: unnamed folders whose ".." names a folder found go below it.
    void PlaceUnnamedFolders();
    // AddRecord, but a folder entry whose cluster an unnamed folder holds names that one (keeping its children).
    std::uint32_t AddFound(FatEntryRecord record);
    // The cluster after `cluster` continues a folder without a chain: the block is full and the next cluster
    // opens with a slot a folder holds.
    bool FolderGoesOn(const std::vector<std::uint8_t>& block, std::uint32_t next);
    // A live folder took over a deleted one's cluster: the deleted one's children move to it.
    void HandOverChildren(std::uint32_t from, std::uint32_t to);

    std::vector<bool> visitedClusters_;     // directory clusters read in this run, one bit per cluster
    std::vector<std::uint32_t> lastChild_;  // link cache: last child linked under each record

    std::optional<AllocationMap> allocation_;

    // advanced run
    bool advancedRun_ = false;
    int advancedMode_ = 0;
    bool searchStopped_ = false;
    bool deepFat_ = false;             // a FAT copy was chosen
    std::uint64_t bootDataStart_ = 0;  // from a boot sector that passed, before the run changed anything
    bool bootDataStartKnown_ = false;
    std::vector<std::uint64_t> foundFats_;
    std::vector<std::uint64_t> foundSlots_;
    std::unordered_set<std::uint64_t> processedOffsets_;
    std::unordered_map<std::uint64_t, std::uint32_t> dataStartVotes_;  // from "." slots of folder clusters
    std::uint64_t rootHint_ = 0;  // FAT32: first volume-label or Recycle Bin slot
    bool rootHintFound_ = false;
    std::uint64_t rootAreaEnd_ = 0;
    std::uint64_t deepRootOffset_ = 0;  // the root directory the run walks first
    std::uint64_t deepRootBytes_ = 0;   // FAT16 fixed area; 0: FAT32 chain from deepRootCluster_
    std::uint32_t deepRootCluster_ = 0;
};

}  // namespace salvora
