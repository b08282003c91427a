// The exFAT advanced run: the advanced-input page's searches, the volume-wide entry-set scan and the records
// rebuilt from its hits with the chosen FAT and heap offset.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fs/fat/fat64_class.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::uint64_t kSearchBlockBytes = 0xA00000;  // 10 MiB
constexpr std::uint64_t kScanBlockBytes = 4ull << 20;
// A set is at most 19 slots; reading this much past a block keeps sets that straddle two blocks.
constexpr std::uint64_t kScanOverlapBytes = 1024;
constexpr int kMaxDeepShift = 16;  // 32 MiB clusters
// "Sector Per Cluster :" items after the boot's own value.

std::string Format(const char* format, long long value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

// Sectors whose start passes `test`, in 10 MiB blocks from offset 0, until `limit` hits or Stop.
std::vector<std::uint64_t> Fat64Class::SearchSectors(int limit, bool withStatus, bool (*test)(Bytes)) {
    std::vector<std::uint64_t> hits;
    if (!reader_) return hits;
    const auto max = static_cast<std::size_t>(NormaliseMaxFileSystems(limit));
    const std::uint64_t bound = VolumeBound();
    std::vector<std::uint8_t> block(std::min(kSearchBlockBytes, bound));
    auto& status = Status();
    if (withStatus) status.SetProgressRange(0, 1000);
    for (std::uint64_t pos = 0; pos < bound && hits.size() < max; pos += kSearchBlockBytes) {
        const std::uint64_t n = std::min(kSearchBlockBytes, bound - pos);
        ReadAt(pos, block.data(), n);
        if (withStatus)
            status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(pos) / bound * 1000));
        for (std::uint64_t s = 0; s + kSectorBytes <= n && hits.size() < max; s += kSectorBytes) {
            if (!test(Bytes(block.data() + s, kSectorBytes))) continue;
            hits.push_back(pos + s);
            if (withStatus)
                status.SetStatus(Format("found fat entry  %lld", static_cast<long long>(hits.size())));
        }
        if (PollStop(stopRequested)) break;
    }
    if (withStatus) status.SetProgressPos(1000);
    return hits;
}

std::vector<std::uint64_t> Fat64Class::FindFatTables(int limit) {
    foundFats_ = SearchSectors(limit, true,
                               [](Bytes s) { return le32(s, 0) == 0xFFFFFFF8 && le32(s, 4) == 0xFFFFFFFF; });
    return foundFats_;
}

// An allocation bitmap starts with its first clusters in use: the first cluster of the heap.
std::vector<std::uint64_t> Fat64Class::FindHeapStarts(int limit) {
    foundHeaps_ = SearchSectors(limit, false, [](Bytes s) { return le64(s, 0) == 0xFFFFFFFFFFFFFFFFull; });
    return foundHeaps_;
}

std::optional<DamagedVolumeSearch> Fat64Class::SearchDamagedVolume(readWriteInterface* source,
                                                                  const VolumeEntry& volume, int maxFileSystems) {
    AttachReader(source, volume);
    DamagedVolumeSearch result;
    const int limit = NormaliseMaxFileSystems(maxFileSystems);
    result.bootValid = CheckBootSector();
    Status().SetStatus("Finding Fat64 entries....");
    FindFatTables(limit);
    FindHeapStarts(limit);
    result.stopped = stopRequested.load();
    if (result.bootValid) {
        if (foundHeaps_.empty())
            foundHeaps_.push_back(heapOffsetBytes_);
        else
            foundHeaps_.front() = heapOffsetBytes_;
        // The advanced run counts 512-byte sectors, so the boot's value is given as that shift.
        if (boot_) result.bootSectorsPerCluster = boot_->bytesPerSectorShift - 9 + boot_->sectorsPerClusterShift;
    }
    result.fatOffsets = foundFats_;
    result.heapOffsets = foundHeaps_;
    return result;
}

bool Fat64Class::SetDeepGeometry(int sectorsPerClusterShift) {
    if (sectorsPerClusterShift < 0 || sectorsPerClusterShift > kMaxDeepShift) return false;
    ++advancedMode_;
    SetClusterGeometry(static_cast<std::uint64_t>(kSectorBytes) << sectorsPerClusterShift);
    return true;
}

std::size_t Fat64Class::ScanForEntrySets() {
    foundEntrySets_.clear();
    labelFound_ = false;
    rootEstimate_ = 0;
    if (!reader_ || clusterBytes_ == 0) return 0;
    auto& status = Status();
    status.SetProgressRange(0, 1000);
    const std::uint64_t bound = VolumeBound();
    // Large reads, cluster-aligned, so that every cluster-sized block is looked at as a whole.
    const std::uint64_t block = std::max(clusterBytes_, kScanBlockBytes - kScanBlockBytes % clusterBytes_);
    std::vector<std::uint8_t> buffer;
    char text[64];
    for (std::uint64_t pos = 0; pos < bound; pos += block) {
        if (PollStop(stopRequested)) break;
        status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(pos) / bound * 1000));
        const std::uint64_t n = std::min(block, bound - pos);
        const std::uint64_t withOverlap = std::min(n + kScanOverlapBytes, bound - pos);
        buffer.resize(withOverlap);
        ReadAt(pos, buffer.data(), withOverlap);
        const Bytes view(buffer.data(), withOverlap);
        for (std::uint64_t off = 0; off + kExFatSlotBytes <= n; off += kExFatSlotBytes) {
            const std::uint8_t type = buffer[off];
            if (IsExFatFileType(type)) {
                if (!LooksLikeEntrySet(view, off)) continue;
                foundEntrySets_.push_back(pos + off);
                std::snprintf(text, sizeof text, "found Entry %d", static_cast<int>(foundEntrySets_.size()));
                status.SetStatus(text);
            } else if (type == kExFatVolumeLabel && LooksLikeVolumeLabel(view, off)) {
                rootEstimate_ = pos + off;
                labelFound_ = true;
            }
        }
    }
    status.SetProgressPos(1000);
    return foundEntrySets_.size();
}

std::size_t Fat64Class::BuildEntriesFromScan(std::uint64_t heapOffset, std::uint64_t fatOffset) {
    chosenHeap_ = heapOffset;
    fatOffsetBytes_ = fatOffset;
    fatCacheValid_ = false;
    if (!advancedMode_) ++advancedMode_;
    records_.clear();
    processedOffsets_.clear();
    visitedClusters_.clear();
    if (clusterBytes_ == 0) return 0;
    std::uint64_t rootAreaEnd = 0;
    std::vector<std::uint8_t> sector(2048);
    std::vector<DirFrame> stack;
    for (const std::uint64_t at : foundEntrySets_) {
        if (PollStop(stopRequested)) break;
        if (records_.empty()) {
            if (!labelFound_) rootEstimate_ = at;
            rootAreaEnd = rootEstimate_ + clusterBytes_;
            AppendSyntheticRoot(true);
            // The root's own chain, from the cluster holding the estimate: its later clusters lie beyond the
            // root area and would otherwise fall under "ORPHAN ENTRY".
            if (rootEstimate_ >= chosenHeap_) {
                const std::uint64_t rootCluster = (rootEstimate_ - chosenHeap_) / clusterBytes_ + 2;
                DirFrame root;
                root.parent = 0;
                if (rootCluster < clusterLimit_ &&
                    OpenDirectory(root, static_cast<std::uint32_t>(rootCluster), true, 0, true)) {
                    stack.push_back(std::move(root));
                    WalkFrames(stack, true);
                    stack.clear();
                }
            }
        }
        if (!processedOffsets_.insert(at).second) continue;
        const std::uint64_t sectorStart = at - at % kSectorBytes;
        ReadAt(sectorStart, sector.data(), sector.size());
        const auto set = DecodeEntrySet(sector, at - sectorStart);
        if (!set) continue;
        ExFatEntryRecord record = set->record;
        record.parentIndex = at > rootAreaEnd ? 1 : 0;
        const bool directory = IsExFatDirectory(record.attributes);
        const std::uint32_t first = record.firstCluster;
        const bool fatChain = record.streamFlags == kExFatFlagsFatChain;
        const std::uint64_t length = record.validDataLength;
        const std::uint32_t self = AppendRecord(std::move(record));
        if (!directory) continue;
        DirFrame dir;
        dir.parent = self;
        if (OpenDirectory(dir, first, fatChain, length, false)) {
            stack.push_back(std::move(dir));
            WalkFrames(stack, true);
            stack.clear();
        }
    }
    // Without any hit the tree still has its root and orphan folders.
    if (records_.empty()) AppendSyntheticRoot(true);
    return records_.size();
}

bool Fat64Class::RunAdvanced(int sectorsPerClusterShift, std::size_t fatIndex, std::size_t heapIndex) {
    if (!SetDeepGeometry(sectorsPerClusterShift)) return false;
    ClearRecords();
    ScanForEntrySets();
    const std::uint64_t fat = FatCandidate(fatIndex);
    const std::uint64_t heap = HeapCandidate(heapIndex);
    Status().SetStatus("Maintaining TreeStructure for Tree Control");
    if (fat == 0 || heap == 0) return false;
    BuildEntriesFromScan(heap, fat);
    MaintainTreeInVector();
    CreateTreeStructure();
    return true;
}

}  // namespace salvora
