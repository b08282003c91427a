#include "fs/fat/fat_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "fs/fat/fat_dir_slot.h"
#include "fs/fat/fat_dos_time.h"
#include "fs/fat/fat_list_texts.h"
#include "io/pause_gate.h"
#include "io/write_all.h"
#include "volumes/bare_volume.h"

namespace salvora {
namespace {

constexpr const char* kRootName = "DUMMY ENTRY";
constexpr const char* kRootItemText = "ROOT";
constexpr std::uint32_t kMaxRecords = 0xFFFFFFF0;
// Directories deeper than this give their parent's cluster buffer back and read it again on return.
constexpr std::size_t kBufferedDepth = 64;
constexpr std::uint32_t kStatusEvery = 1024;

std::optional<timespec> LocalTime(std::uint16_t date, std::uint16_t time) {
    const auto when = DosToLocalTime(date, time);
    if (!when) return std::nullopt;
    timespec ts{};
    ts.tv_sec = *when;
    return ts;
}

}  // namespace

// One directory being walked: where it stands in its blocks (the FAT16 root area, or its clusters one at a
// time) and what it carries between slots (the long-name run, the first clusters seen).
struct FatParser::DirFrame {
    std::uint32_t dirIndex = 0;
    bool fixedArea = false;  // the FAT16 root: one block from memory
    bool dotCheck = false;   // the first slot of the first cluster must be "."
    bool freeEndsCluster = false;
    std::uint32_t cluster = 0;  // current cluster (chain frames)
    std::uint64_t blocks = 0;   // blocks loaded so far
    bool loaded = false;
    bool reload = false;  // the block was given back while a deep child was walked
    bool done = false;
    std::vector<std::uint8_t> block;
    std::size_t slot = 0;
    LongNameRun run;
    std::unordered_map<std::uint32_t, std::uint32_t> byFirstCluster;
};

FatParser::FatParser(FatKind kind) : kind_(kind) {}

bool FatParser::AttachReader(readWriteInterface* reader, const VolumeEntry& volume) {
    reader_ = reader;
    volume_ = volume;
    window_ = VolumeWindow::Over(reader, volume.startSector * kSectorBytes, volume.sizeBytes);
    bootValid_ = false;
    return true;
}

std::uint64_t FatParser::VolumeBound() const {
    std::uint64_t sourceBytes = 0;
    if (reader_ && reader_->sourceLength > window_.First()) sourceBytes = reader_->sourceLength - window_.First();
    return std::max(volume_.sizeBytes, sourceBytes);
}

bool FatParser::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) {
    return window_.ReadAt(offset, {static_cast<std::uint8_t*>(buffer), count});
}

bool FatParser::ReadFat(std::uint64_t fatStart, std::uint64_t copyBytes, std::uint64_t offset, std::uint8_t* out,
                        std::size_t count) {
    ByteRanges missing;
    if (window_.ReadAt(fatStart + offset, {out, count}, &missing)) return true;
    const std::uint64_t first = std::uint64_t{boot_.reservedSectors} * boot_.bytesPerSector;
    bool whole = true;
    for (const ByteRange& bad : missing) {
        std::uint8_t* dest = out + (bad.offset - fatStart - offset);
        bool mended = false;
        for (unsigned k = 0; k < boot_.fatCount && copyBytes != 0 && !mended; ++k) {
            const std::uint64_t copy = first + k * copyBytes;
            if (copy != fatStart) mended = window_.ReadAt(copy + (bad.offset - fatStart), {dest, bad.length});
        }
        if (!mended) {
            std::fill_n(dest, bad.length, std::uint8_t{0});
            // A cached FAT reads a block again on every miss: each range is noted once.
            const std::uint64_t at = bad.offset - fatStart;
            const bool noted = std::any_of(unreadableFat_.begin(), unreadableFat_.end(),
                                           [&](const ByteRange& r) { return r.offset == at; });
            if (!noted) unreadableFat_.push_back({at, bad.length});
        }
        whole = whole && mended;
    }
    Status().SetStatus(whole ? "Parts of the FAT could not be read: they were read from its copy."
                             : "Parts of the FAT could not be read from any copy: files that pass through them "
                               "are read on as if contiguous and saved damaged.");
    return whole;
}

bool FatParser::ReadBootSector() {
    bootValid_ = false;
    bootDataStartKnown_ = false;
    std::vector<std::uint8_t> sector(kBootSectorBytes);
    ByteRanges missing;
    bool ok = window_.ReadAt(0, sector, &missing);
    boot_ = DecodeFatBootSector(sector);
    if (!ok && !missing.empty() && missing.front().offset < kBootSectorBytes &&
        window_.ReadAt(kFat32BackupSector * kSectorBytes, sector)) {
        // FAT32 keeps a copy of its boot sector; FAT12 and FAT16 have none, and sector 6 of theirs is no BPB.
        if (const FatBootSector backup = DecodeFatBootSector(sector);
            backup.sectorsPerFat16 == 0 && backup.sectorsPerFat32 != 0) {
            boot_ = backup;
            ok = true;
            Status().SetStatus("The boot sector could not be read: its backup at sector 6 was used.");
        }
    }
    return ok;
}

void FatParser::SetGeometry(std::uint64_t dataStart, std::uint64_t tableEntries, std::uint32_t hardLimit) {
    clusterBytes_ = boot_.ClusterBytes();
    dataStart_ = dataStart;
    if (bootValid_) {
        // Kept for an advanced run, which replaces the rest of the geometry.
        bootDataStart_ = dataStart;
        bootDataStartKnown_ = true;
    }
    std::uint64_t limit = std::min<std::uint64_t>(tableEntries, hardLimit);
    std::uint64_t bound = VolumeBound();
    if (bound == 0) bound = boot_.TotalSectors() * boot_.bytesPerSector;
    if (bound != 0 && clusterBytes_ != 0) {
        const std::uint64_t volumeClusters = bound > dataStart ? (bound - dataStart) / clusterBytes_ : 0;
        limit = std::min(limit, volumeClusters + 2);
    }
    clusterLimit_ = static_cast<std::uint32_t>(std::max<std::uint64_t>(limit, 2));
}

bool FatParser::ReadCluster(std::uint32_t cluster, std::vector<std::uint8_t>& out) {
    out.assign(clusterBytes_, 0);
    if (cluster < 2 || cluster >= clusterLimit_) return false;
    return ReadAt(dataStart_ + (cluster - 2) * clusterBytes_, out.data(),
                  static_cast<std::uint32_t>(clusterBytes_));
}

std::uint32_t FatParser::NextCluster(std::uint32_t cluster) {
    if (formattedDrive) return EndOfChain();
    if (advancedMode_ != 0 && !deepFat_) return EndOfChain();
    if (cluster < 2 || cluster >= clusterLimit_) return EndOfChain();
    const std::uint32_t value = FatValue(cluster);
    if (value < 2 || value >= clusterLimit_) return EndOfChain();
    return value;
}

bool FatParser::FatEntryUnreadable(std::uint32_t cluster) const {
    const std::uint64_t width = kind_ == FatKind::Fat32 ? 4 : 2;
    const std::uint64_t at = std::uint64_t{cluster} * width;
    return std::any_of(unreadableFat_.begin(), unreadableFat_.end(),
                       [&](const ByteRange& r) { return at + width > r.offset && at < r.offset + r.length; });
}

std::uint32_t FatParser::AddRecord(FatEntryRecord record) {
    if (entries_.size() >= kMaxRecords) return kNoRecord;
    record.selfIndex = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(std::move(record));
    return entries_.back().selfIndex;
}

// ---- directory walk
// --------------------------------------------------------------------------------------------

bool FatParser::LoadBlock(DirFrame& f) {
    if (f.fixedArea) {
        const auto* area = RootArea();
        if (f.blocks > 0 && !f.reload) return false;
        if (!area || area->empty()) return false;
        f.block = *area;
    } else if (f.reload) {
        ReadCluster(f.cluster, f.block);
    } else {
        std::uint32_t next = f.cluster;
        if (f.blocks > 0 && FatEntryUnreadable(f.cluster)) {
            // No copy of the FAT says where the folder goes on: a folder ends in a free slot, so one whose
            // cluster is full is guessed to go on in the next cluster.
            bool full = true;
            for (std::size_t at = 0; at + kSlotBytes <= f.block.size() && full; at += kSlotBytes)
                full = f.block[at] != kSlotFree;
            if (!full) return false;
            next = f.cluster + 1;
            NoteUnreadableFolder(f.dirIndex);  // what follows may not be the folder's: it is named
        } else if (f.blocks > 0) {
            next = NextCluster(f.cluster);
            if (next == EndOfChain()) return false;
        }
        // A cluster read before (a loop, a cross-link, a folder pointing at an ancestor) ends this chain.
        if (next < 2 || next >= clusterLimit_ || visitedClusters_[next]) return false;
        visitedClusters_[next] = true;
        f.cluster = next;
        if (!ReadCluster(next, f.block)) NoteUnreadableFolder(f.dirIndex);
        if (f.blocks == 0 && f.dotCheck && u8(f.block, 0) != kSlotDot) return false;
    }
    if (!f.reload) {
        ++f.blocks;
        f.slot = 0;
    }
    f.reload = false;
    f.loaded = true;
    return true;
}

void FatParser::WalkSlot(std::vector<DirFrame>& stack) {
    DirFrame& f = stack.back();
    const Bytes slot = Bytes(f.block).subspan(f.slot, kSlotBytes);
    f.slot += kSlotBytes;
    const FatDirSlot d = DecodeFatDirSlot(slot);

    if (d.firstByte == kSlotFree) {
        if (f.freeEndsCluster) f.slot = f.block.size();
        return;
    }
    if (d.IsLongName()) {
        f.run.Add(slot);
        return;
    }
    if (d.firstByte == kSlotDot) return;  // "." and ".." of a subdirectory
    if (!ShortSlotPlausible(slot, d, VolumeBound())) {
        f.run.Clear();
        return;
    }

    FatEntryRecord record = RecordFromSlot(d);
    record.parentIndex = f.dirIndex;
    // A run of deleted long-name slots before a live short entry is left over from an older file.
    if (!f.run.Empty() && !(f.run.FirstDeleted() && !d.IsDeleted())) {
        record.name = f.run.Assemble();
        record.deleted = (f.run.FirstDeleted() || d.IsDeleted()) ? kDeletedItself : 0;
    } else {
        record.name = ShortEntryName(slot, kind_);
        record.deleted = d.IsDeleted() ? kDeletedItself : 0;
    }
    f.run.Clear();
    // Deleting a folder marks only the folder's own slot; everything below it went with it.
    if (record.deleted == 0 && f.dirIndex < entries_.size() && entries_[f.dirIndex].deleted != 0)
        record.deleted = kDeletedWithFolder;

    if (!IsFatDirectoryAttribute(d.attributes)) {
        AddRecord(std::move(record));
        return;
    }
    const std::uint32_t first = d.FirstCluster();
    std::optional<std::uint32_t> deletedTwin;
    if (first >= 2) {
        // Two entries of one directory naming the same first cluster: when both are live or both deleted they
        // are one folder, named by the later entry. A deleted folder whose cluster a live one took over (a
        // renamed or re-created folder) is listed as well, and the content belongs to the live one.
        const auto it = f.byFirstCluster.find(first);
        if (it != f.byFirstCluster.end()) {
            FatEntryRecord& earlier = entries_[it->second];
            if ((earlier.deleted != 0) == (record.deleted != 0)) {
                earlier.name = std::move(record.name);
                earlier.deleted = record.deleted;
                return;
            }
            if (record.deleted != 0) {
                AddRecord(std::move(record));
                return;
            }
            deletedTwin = it->second;
        }
    }
    const std::uint32_t index = AddRecord(std::move(record));
    if (index == kNoRecord || first < 2 || first >= clusterLimit_) return;
    if (deletedTwin) {
        HandOverChildren(*deletedTwin, index);
        f.byFirstCluster[first] = index;
        return;
    }
    f.byFirstCluster.emplace(first, index);
    if (visitedClusters_[first]) return;

    const bool freeEnds = kind_ == FatKind::Fat32;
    if (stack.size() >= kBufferedDepth) {
        f.block.clear();
        f.block.shrink_to_fit();
        f.reload = true;
        f.loaded = false;
    }
    DirFrame child;
    child.dirIndex = index;
    child.cluster = first;
    child.dotCheck = true;
    child.freeEndsCluster = freeEnds;
    stack.push_back(std::move(child));  // f is not used past this point
}

void FatParser::HandOverChildren(std::uint32_t from, std::uint32_t to) {
    // The walk is depth first: the deleted folder's subtree is what was added after it, and each record's
    // folder comes before the record.
    std::vector<bool> inside(entries_.size(), false);
    inside[from] = true;
    for (std::size_t i = from + 1; i < entries_.size(); ++i) {
        FatEntryRecord& r = entries_[i];
        if (i == to || r.parentIndex >= i || !inside[r.parentIndex]) continue;
        inside[i] = true;
        if (r.parentIndex == from) r.parentIndex = to;
        if (r.deleted == kDeletedWithFolder && entries_[r.parentIndex].deleted == 0) r.deleted = 0;
    }
}

std::size_t FatParser::FindEntriesRecursively() {
    entries_.clear();
    unreadableFolders_.clear();
    lastChild_.clear();
    visitedClusters_.assign(clusterLimit_, false);

    std::vector<DirFrame> stack;
    DirFrame root;
    root.dirIndex = 0;
    if (const auto* area = RootArea(); area && !area->empty()) {
        root.fixedArea = true;
    } else if (const std::uint32_t rootCluster = RootChainCluster(); rootCluster >= 2) {
        root.cluster = rootCluster;
    } else {
        root.done = true;
    }
    stack.push_back(std::move(root));

    bool rootRecorded = false;
    while (!stack.empty()) {
        DirFrame& f = stack.back();
        if (!f.loaded) {
            if (PollStop(stopRequested) || f.done || !LoadBlock(f)) {
                if (stopRequested.load()) break;
                stack.pop_back();
                continue;
            }
            if (!rootRecorded) {
                // Record 0 is the root itself; it carries the fields of the root directory's first slot.
                FatEntryRecord rootRecord = RecordFromSlot(DecodeFatDirSlot(f.block));
                rootRecord.name = kRootName;
                AddRecord(std::move(rootRecord));
                rootRecorded = true;
            }
        }
        if (f.slot + kSlotBytes > f.block.size()) {
            f.loaded = false;
            continue;
        }
        WalkSlot(stack);
    }
    if (!rootRecorded) {
        FatEntryRecord rootRecord;
        rootRecord.attributes = kAttrDirectory;
        rootRecord.name = kRootName;
        AddRecord(std::move(rootRecord));
    }
    visitedClusters_ = {};
    return entries_.size();
}

void FatParser::FindEntriesRecursively(std::vector<FatEntryRecord>& out) {
    FindEntriesRecursively();
    out = entries_;
}

// ---- tree
// ------------------------------------------------------------------------------------------------------

void FatParser::MaintainTreeInVector() {
    const std::size_t count = entries_.size();
    for (auto& r : entries_) {
        r.firstChild = kNoRecord;
        r.nextSibling = kNoRecord;
    }
    lastChild_.assign(count, kNoRecord);
    Status().SetProgressRange(0, 1000);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 4096 == 0) Status().SetProgressPos(static_cast<std::int64_t>(i * 1000 / count));
        FatEntryRecord& r = entries_[i];
        if (r.IsVolumeLabel() && i != 0) continue;
        const std::uint32_t parent = r.parentIndex;
        if (parent >= count || parent == i) continue;
        if (entries_[parent].firstChild == kNoRecord) {
            entries_[parent].firstChild = static_cast<std::uint32_t>(i);
            lastChild_[parent] = static_cast<std::uint32_t>(i);
        } else {
            LinkSibling(static_cast<std::uint32_t>(i));
        }
    }
    Status().SetProgressPos(1000);
}

void FatParser::LinkSibling(std::uint32_t index) {
    if (index >= entries_.size()) return;
    const std::uint32_t parent = entries_[index].parentIndex;
    if (parent >= entries_.size() || parent == index) return;
    const std::uint32_t first = entries_[parent].firstChild;
    if (first == kNoRecord || first == index) return;
    if (lastChild_.size() != entries_.size()) {
        // Called on its own: find the end of the chain the slow way, guarding against a chain that loops.
        lastChild_.assign(entries_.size(), kNoRecord);
        std::uint32_t last = first;
        for (std::size_t steps = 0; steps < entries_.size(); ++steps) {
            if (last == index) return;
            const std::uint32_t next = entries_[last].nextSibling;
            if (next == kNoRecord || next >= entries_.size()) break;
            last = next;
        }
        lastChild_[parent] = last;
    }
    std::uint32_t& last = lastChild_[parent];
    if (last == kNoRecord) last = first;
    if (last == index) return;
    entries_[last].nextSibling = index;
    last = index;
}

void FatParser::CreateTreeStructure() {
    if (!tree) return;
    rootItem_ = tree->InsertItem(kNoItem, kRootItemText, true, EntryId{0});
    const std::size_t count = entries_.size();
    char status[64];
    for (std::size_t i = 1; i < count; ++i) {
        if (i % kStatusEvery == 1 || i + 1 == count) {
            std::snprintf(status, sizeof status, "filling entry =%d in tree", static_cast<int>(i));
            Status().SetStatus(status);
        }
        const FatEntryRecord& r = entries_[i];
        if (r.parentIndex != 0 || r.attributes == kAttrLongName || r.IsVolumeLabel()) continue;
        const ItemId item = tree->InsertItem(rootItem_, r.name, r.IsDirectory(), EntryId{i});
        if (r.deleted) tree->SetTextColour(item, DeletedColour());
    }
    tree->Expand(rootItem_);
}

// ---- results side
// ----------------------------------------------------------------------------------------------

const FatEntryRecord* FatParser::Record(EntryId id) const {
    return id < entries_.size() ? &entries_[id] : nullptr;
}

std::optional<EntryId> FatParser::FirstChild(EntryId id) const {
    const auto* r = Record(id);
    if (!r || r->firstChild == kNoRecord || r->firstChild >= entries_.size()) return std::nullopt;
    return r->firstChild;
}

std::optional<EntryId> FatParser::NextSibling(EntryId id) const {
    const auto* r = Record(id);
    if (!r || r->nextSibling == kNoRecord || r->nextSibling >= entries_.size()) return std::nullopt;
    return r->nextSibling;
}

std::string FatParser::EntryName(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->name : std::string{};
}

void FatParser::RenameEntry(EntryId id, const std::string& name) {
    if (id < entries_.size()) entries_[id].name = name;
}

bool FatParser::IsDeleted(EntryId id) const {
    const auto* r = Record(id);
    return r && r->deleted != 0;
}

bool FatParser::IsFolder(EntryId id) const {
    const auto* r = Record(id);
    return r && (id == 0 || r->IsDirectory());
}

bool FatParser::IsSaveFolder(EntryId id) const { return IsFolder(id); }

bool FatParser::IsWalkFolder(EntryId id) const { return IsFolder(id); }

bool FatParser::IsWalkFile(EntryId id) const {
    const auto* r = Record(id);
    return r && !IsFolder(id) && !(id != 0 && r->IsVolumeLabel()) && r->attributes != kAttrLongName;
}

std::uint64_t FatParser::EntrySizeBytes(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->fileSize : 0;
}

std::string FatParser::FormatEntrySize(EntryId id) const { return FormatFatSize(EntrySizeBytes(id)); }

EntryTexts FatParser::FormatEntryTimes(EntryId id) const {
    const auto* r = Record(id);
    return r ? FatEntryTexts(*r) : EntryTexts{};
}

// ---- extraction
// ------------------------------------------------------------------------------------------------

ScanOutcome FatParser::Scan(const ScanRequest& request) {
    AttachReader(request.source, request.volume);
    formattedDrive = request.formattedDrive;
    if (request.mode == RecoveryMode::Advanced) {
        stopRequested = false;
        RunAdvanced(request.candidate, static_cast<unsigned>(std::clamp(request.sectorsPerCluster, 0, 255)));
        return ScanOutcome::Done;
    }
    if (!CheckBootSector()) return ScanOutcome::NotThisFileSystem;
    ReadFatTable();
    ReadRootDirectory();
    const bool fat32 = kind_ == FatKind::Fat32;
    Status().SetStatus(fat32 ? "Finding Fat32 File And Directory entries recursively...."
                             : "Finding Fat16 File And Directory entries recursively....");
    FindEntriesRecursively();
    Status().SetStatus("maintaining tree Structure in vector...");
    MaintainTreeInVector();
    Status().SetStatus("Creating Tree Structure....");
    CreateTreeStructure();
    Status().SetStatus("Tree Structure Created.");
    if (!fat32) {
        Status().SetProgressRange(0, 100);
        Status().SetProgressPos(100);
    }
    return ScanOutcome::Done;
}

std::optional<DamagedVolumeSearch> FatParser::SearchDamagedVolume(readWriteInterface* source,
                                                                 const VolumeEntry& volume, int maxFileSystems) {
    AttachReader(source, volume);
    DamagedVolumeSearch result;
    result.bootValid = CheckBootSector();
    if (kind_ != FatKind::Fat32) Status().SetStatus("Finding Fat entries....");
    result.fatOffsets = FindFatTables(maxFileSystems);
    result.stopped = SearchStopped();
    if (!result.stopped) InferGeometry(result);
    if (result.inferredVotes > 0) {
        // FAT copies found past the data start lie in file data (a copied disk image, a backup): they go last.
        std::stable_partition(foundFats_.begin(), foundFats_.end(),
                              [&](std::uint64_t at) { return at < result.inferredDataStart; });
        result.fatOffsets = foundFats_;
    }
    if (result.bootValid) {
        result.bootSectorsPerCluster = boot_.sectorsPerCluster;
        CheckQuickFormat(result);
    }
    return result;
}

std::optional<EntryContent> FatParser::Content(EntryId id) {
    const auto* r = Record(id);
    if (!r || IsFolder(id)) return std::nullopt;
    EntryContent content;
    content.size = r->fileSize;
    std::uint64_t remaining = r->fileSize;
    const std::uint32_t first = r->FirstCluster();
    if (remaining == 0) return content;
    if (clusterBytes_ == 0 || first < 2 || first >= clusterLimit_) {
        content.whole = false;
        return content;
    }
    const bool formatted = formattedDrive;
    const bool consecutive =
        formatted || (r->deleted && remaining > clusterBytes_ && NextCluster(first) == EndOfChain());
    const std::uint64_t base = window_.First();
    std::unordered_set<std::uint32_t> seen;
    std::uint32_t cluster = first;
    while (true) {
        const std::uint64_t bytes = std::min<std::uint64_t>(clusterBytes_, remaining);
        content.Add(bytes, RunKind::Source, base + dataStart_ + std::uint64_t{cluster - 2} * clusterBytes_,
                    consecutive);
        remaining -= bytes;
        if (remaining == 0) break;
        seen.insert(cluster);
        // Where the FAT itself could not be read, the chain is guessed on contiguously, as for a deleted file.
        const bool guess = !consecutive && FatEntryUnreadable(cluster);
        const std::uint32_t next = consecutive || guess ? cluster + 1 : NextCluster(cluster);
        if (guess) content.unsure += std::min<std::uint64_t>(clusterBytes_, remaining);
        if (next == EndOfChain() || next < 2 || next >= clusterLimit_ || seen.count(next)) {
            content.whole = false;
            break;
        }
        cluster = next;
    }
    return content;
}

const AllocationMap* FatParser::Allocation() {
    if (formattedDrive || clusterBytes_ == 0 || clusterLimit_ <= 2 || (advancedRun_ && !deepFat_)) return nullptr;
    if (!allocation_) {
        AllocationMap map(window_.First() + dataStart_, clusterBytes_, clusterLimit_ - 2);
        const bool someUnreadable = !unreadableFat_.empty();
        for (std::uint32_t cluster = 2; cluster < clusterLimit_; ++cluster)
            // An entry no copy could give may be anyone's: not free.
            if ((FatValue(cluster) & (kind_ == FatKind::Fat32 ? 0x0FFFFFFFu : 0xFFFFFFFFu)) != 0 ||
                (someUnreadable && FatEntryUnreadable(cluster))) map.MarkInUse(cluster - 2);
        allocation_ = std::move(map);
    }
    return &*allocation_;
}

StoredTimes FatParser::EntryStoredTimes(EntryId id) {
    const auto* r = Record(id);
    // FAT keeps local clock times; Linux cannot set a creation time.
    if (!r) return {};
    std::optional<timespec> created = LocalTime(r->creationDate, r->creationTime);
    if (created) created->tv_nsec = (r->creationTimeTenths % 100) * 10'000'000L, created->tv_sec += r->creationTimeTenths / 100;
    return {LocalTime(r->lastAccessDate, 0), LocalTime(r->lastWriteDate, r->lastWriteTime), created, std::nullopt};
}

}  // namespace salvora
