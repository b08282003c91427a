#include "fs/fat/fat64_class.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "fs/fat/exfat_times.h"
#include "io/pause_gate.h"
#include "volumes/bare_volume.h"

namespace salvora {
namespace {

constexpr std::uint64_t kFatCacheBytes = 64 * 1024;

}  // namespace

int NormaliseMaxFileSystems(int maxFileSystems) { return maxFileSystems < 1 ? 3 : maxFileSystems; }

bool Fat64Class::AttachReader(readWriteInterface* reader, const VolumeEntry& volume) {
    reader_ = reader;
    volume_ = volume;
    window_ = VolumeWindow::Over(reader, volume.startSector * kSectorBytes, volume.sizeBytes);
    fatCacheValid_ = false;
    return true;
}

std::uint64_t Fat64Class::VolumeBound() const { return window_ ? window_.Length() : 0; }

bool Fat64Class::ReadAt(std::uint64_t offset, void* buffer, std::uint64_t count) {
    return window_.ReadAt(offset, {static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(count)});
}

void Fat64Class::SetClusterGeometry(std::uint64_t clusterBytes) {
    clusterBytes_ = clusterBytes;
    const std::uint64_t clusters = clusterBytes ? VolumeBound() / clusterBytes : 0;
    clusterLimit_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, 0xFFFFFFF6u));
}

std::uint64_t Fat64Class::ClusterOffset(std::uint32_t cluster) const {
    return HeapBytes() + static_cast<std::uint64_t>(cluster - 2) * clusterBytes_;
}

bool Fat64Class::CheckBootSector() {
    std::array<std::uint8_t, kSectorBytes> sector{};
    ByteRanges missing;
    if (!reader_) {
        ShowInfo("cant read file");
        return false;
    }
    if (!window_.ReadAt(0, sector, &missing)) {
        // The backup boot region holds the same boot sector 12 sectors on (of 512 or of 4096 bytes).
        bool backup = false;
        for (const std::uint64_t sectorBytes : {std::uint64_t{kSectorBytes}, std::uint64_t{4096}})
            if (!backup && !missing.empty() && missing.front().offset < kSectorBytes)
                backup = window_.ReadAt(kExfatBackupSector * sectorBytes, sector) && DecodeExFatBoot(sector);
        if (!backup) {
            ShowInfo("cant read file");
            return false;
        }
        Status().SetStatus("The boot sector could not be read: its backup in the backup boot region was used.");
    }
    boot_ = DecodeExFatBoot(sector);
    if (!boot_) return false;
    fatOffsetBytes_ = boot_->BytesPerSector() * boot_->fatOffsetSectors;
    heapOffsetBytes_ = boot_->BytesPerSector() * boot_->heapOffsetSectors;
    fatCacheValid_ = false;
    if (!advancedMode_) SetClusterGeometry(boot_->ClusterBytes());
    return true;
}

std::uint32_t Fat64Class::NextCluster(std::uint32_t cluster) {
    ++lookupCount_;
    std::uint32_t value = kExFatEndOfChain;
    if (!formattedDrive && cluster >= 2 && cluster < clusterLimit_) {
        const std::uint64_t at = fatOffsetBytes_ + 4ull * cluster;
        const std::uint64_t blockStart = at - at % kFatCacheBytes;
        if (!fatCacheValid_ || fatCacheStart_ != blockStart) {
            fatCache_.resize(kFatCacheBytes);
            ReadAt(blockStart, fatCache_.data(), kFatCacheBytes);
            fatCacheStart_ = blockStart;
            fatCacheValid_ = true;
        }
        value = le32(fatCache_, at - blockStart);
    }
    lastFatValue_ = value;
    return value;
}

std::vector<std::uint32_t> Fat64Class::DirectoryClusters(std::uint32_t first, bool fatChain,
                                                         std::uint64_t lengthBytes, bool isRoot) {
    std::vector<std::uint32_t> clusters;
    if (clusterBytes_ == 0 || first < 2 || first >= clusterLimit_) return clusters;
    const std::uint64_t maxClusters = std::min<std::uint64_t>(
        clusterLimit_, std::max<std::uint64_t>(1, kExFatMaxDirectoryBytes / clusterBytes_));
    if (fatChain) {
        // A subdirectory's chain may be one cluster longer than its length says; the root has no length.
        const std::uint64_t allowed =
            isRoot ? maxClusters : std::min(maxClusters, lengthBytes / clusterBytes_ + 1);
        std::uint32_t cluster = first;
        lookupCount_ = 0;
        while (clusters.size() < allowed && visitedClusters_.insert(cluster).second) {
            clusters.push_back(cluster);
            const std::uint32_t next = NextCluster(cluster);
            if (next < 2 || next >= clusterLimit_) break;
            cluster = next;
        }
    } else {
        const std::uint64_t wanted = std::min(
            maxClusters, std::max<std::uint64_t>(1, (lengthBytes + clusterBytes_ - 1) / clusterBytes_));
        for (std::uint64_t i = 0; i < wanted; ++i) {
            const std::uint64_t cluster = first + i;
            if (cluster >= clusterLimit_ ||
                !visitedClusters_.insert(static_cast<std::uint32_t>(cluster)).second)
                break;
            clusters.push_back(static_cast<std::uint32_t>(cluster));
        }
    }
    return clusters;
}

bool Fat64Class::ReadClusters(const std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& out) {
    out.assign(clusters.size() * clusterBytes_, 0);
    bool ok = true;
    // Consecutive clusters are read in one go.
    for (std::size_t i = 0; i < clusters.size();) {
        std::size_t j = i + 1;
        while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
        if (!ReadAt(ClusterOffset(clusters[i]), out.data() + i * clusterBytes_, (j - i) * clusterBytes_))
            ok = false;
        i = j;
    }
    return ok;
}

bool Fat64Class::OpenDirectory(DirFrame& frame, std::uint32_t first, bool fatChain, std::uint64_t lengthBytes,
                               bool isRoot) {
    frame.clusters = DirectoryClusters(first, fatChain, lengthBytes, isRoot);
    frame.pos = 0;
    if (frame.clusters.empty()) return false;
    if (!ReadClusters(frame.clusters, frame.data) && !isRoot) NoteUnreadableFolder(frame.parent);
    return true;
}

bool Fat64Class::ReadRootDirectory() {
    root_ = DirFrame{};
    rootRead_ = false;
    if (!boot_ || !reader_) return false;
    visitedClusters_.clear();
    rootRead_ = OpenDirectory(root_, boot_->rootCluster, true, 0, true);
    return rootRead_;
}

std::uint32_t Fat64Class::AppendRecord(ExFatEntryRecord record) {
    record.selfIndex = static_cast<std::uint32_t>(records_.size());
    record.firstChild = kExFatNoEntry;
    record.nextSibling = kExFatNoEntry;
    records_.push_back(std::move(record));
    return records_.back().selfIndex;
}

void Fat64Class::AppendSyntheticRoot(bool withOrphan) {
    ExFatEntryRecord root;
    root.attributes = 0x10;  // the root is a folder: saving it saves everything
    root.name = kExFatDummyName;
    AppendRecord(root);
    if (withOrphan) {
        ExFatEntryRecord orphan;
        orphan.attributes = 0x10;
        orphan.name = kExFatOrphanName;
        AppendRecord(orphan);
    }
}

void Fat64Class::WalkFrames(std::vector<DirFrame>& stack, bool deep) {
    while (!stack.empty()) {
        DirFrame& frame = stack.back();
        if (frame.pos + kExFatSlotBytes > frame.data.size()) {
            stack.pop_back();
            continue;
        }
        const std::size_t slotPos = frame.pos;
        const auto set = DecodeEntrySet(frame.data, slotPos);
        if (!set) {
            frame.pos += kExFatSlotBytes;
            continue;
        }
        frame.pos += set->slots * kExFatSlotBytes;
        if (deep) {
            const std::uint64_t at =
                ClusterOffset(frame.clusters[slotPos / clusterBytes_]) + slotPos % clusterBytes_;
            if (!processedOffsets_.insert(at).second) continue;
        }
        ExFatEntryRecord record = set->record;
        record.parentIndex = frame.parent;
        if (!IsExFatDirectory(record.attributes)) {
            AppendRecord(std::move(record));
            continue;
        }
        // Two entries of one directory naming the same cluster are one folder; the later name wins.
        const auto known = frame.directoryByCluster.find(record.firstCluster);
        if (known != frame.directoryByCluster.end()) {
            records_[known->second].name = record.name;
            continue;
        }
        const std::uint32_t first = record.firstCluster;
        const bool fatChain = record.streamFlags == kExFatFlagsFatChain;
        const std::uint64_t length = record.validDataLength;
        const std::uint32_t self = AppendRecord(std::move(record));
        frame.directoryByCluster.emplace(first, self);
        if (PollStop(stopRequested)) return;
        DirFrame child;
        child.parent = self;
        if (OpenDirectory(child, first, fatChain, length, false)) stack.push_back(std::move(child));
    }
}

std::size_t Fat64Class::FindEntriesRecursively() {
    records_.clear();
    AppendSyntheticRoot(false);
    if (rootRead_) {
        std::vector<DirFrame> stack;
        stack.push_back(std::move(root_));
        root_ = DirFrame{};
        rootRead_ = false;
        WalkFrames(stack, false);
    }
    return records_.size();
}

void Fat64Class::MaintainTreeInVector() {
    auto& status = Status();
    status.SetProgressRange(0, 1000);
    const std::size_t count = records_.size();
    lastChild_.assign(count, kExFatNoEntry);
    for (auto& r : records_) r.firstChild = r.nextSibling = kExFatNoEntry;
    for (std::size_t i = 0; i < count; ++i) {
        if ((i & 0xFFF) == 0) status.SetProgressPos(static_cast<std::int64_t>(i * 1000 / count));
        const std::uint32_t parent = records_[i].parentIndex;
        if (parent >= count || parent == i) continue;
        if (records_[parent].firstChild == kExFatNoEntry)
            records_[parent].firstChild = static_cast<std::uint32_t>(i);
        else
            records_[lastChild_[parent]].nextSibling = static_cast<std::uint32_t>(i);
        lastChild_[parent] = static_cast<std::uint32_t>(i);
    }
    status.SetProgressPos(1000);
}

void Fat64Class::CreateTreeStructure() {
    if (!tree) return;
    rootItem_ = tree->Root();
    if (rootItem_ == kNoItem) rootItem_ = tree->InsertItem(kNoItem, "ROOT", true, RootEntry());
    auto& status = Status();
    char text[64];
    for (std::size_t i = 1; i < records_.size(); ++i) {
        const ExFatEntryRecord& r = records_[i];
        if (r.parentIndex != 0 || r.name == kExFatDummyName) continue;
        std::snprintf(text, sizeof text, "filling entry =%d in tree", static_cast<int>(i));
        status.SetStatus(text);
        const bool folder = IsFolder(i);
        const ItemId item = tree->InsertItem(rootItem_, r.name, folder, static_cast<EntryId>(i));
        if (IsDeleted(i)) tree->SetTextColour(item, kDeletedColour);
        if (folder) tree->Expand(item);
    }
    tree->Expand(rootItem_);
}

void Fat64Class::ClearRecords() {
    records_.clear();
    lastChild_.clear();
}

const ExFatEntryRecord* Fat64Class::Record(EntryId id) const {
    return id < records_.size() ? &records_[id] : nullptr;
}

std::optional<EntryId> Fat64Class::FirstChild(EntryId id) const {
    const auto* r = Record(id);
    if (!r || r->firstChild == kExFatNoEntry) return std::nullopt;
    return r->firstChild;
}

std::optional<EntryId> Fat64Class::NextSibling(EntryId id) const {
    const auto* r = Record(id);
    if (!r || r->nextSibling == kExFatNoEntry) return std::nullopt;
    return r->nextSibling;
}

std::string Fat64Class::EntryName(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->name : std::string();
}

void Fat64Class::RenameEntry(EntryId id, const std::string& name) {
    if (id < records_.size()) records_[id].name = name;
}

bool Fat64Class::IsDeleted(EntryId id) const {
    // Deleting a folder marks only its own entry set; everything below it went with it.
    const auto* r = Record(id);
    for (int depth = 0; r && r->name != kExFatOrphanName && depth < 256; ++depth) {
        if (r->Deleted()) return true;
        if (r->parentIndex == r->selfIndex) break;
        r = Record(r->parentIndex);
    }
    return false;
}

bool Fat64Class::IsFolder(EntryId id) const {
    const auto* r = Record(id);
    return r && (id == RootEntry() || IsExFatDirectory(r->attributes));
}

bool Fat64Class::IsSaveFolder(EntryId id) const {
    return IsFolder(id) && (id == RootEntry() || records_[id].firstChild != kExFatNoEntry);
}

bool Fat64Class::IsWalkFile(EntryId id) const { return Record(id) && !IsFolder(id); }

std::uint64_t Fat64Class::EntrySizeBytes(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->validDataLength : 0;
}

std::string Fat64Class::FormatEntrySize(EntryId id) const { return FormatExFatSize(EntrySizeBytes(id)); }

EntryTexts Fat64Class::FormatEntryTimes(EntryId id) const {
    EntryTexts texts;
    const auto* r = Record(id);
    if (!r) return texts;
    texts.created = FormatExFatDateTime(r->creationTimestamp);
    texts.accessed = FormatExFatDateTime(r->lastAccessedTimestamp);
    texts.modified = FormatExFatDateTime(r->lastModifiedTimestamp);
    texts.attributes = FormatExFatAttributes(r->attributes & 0xFF);
    return texts;
}

}  // namespace salvora
