// The exFAT advanced run: the advanced-input page's searches, the volume-wide entry-set scan and the records
// rebuilt from its hits with the chosen FAT and heap offset.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "fs/fat/fat64_class.h"
#include "io/read_ahead.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::uint64_t kScanBlockBytes = 1 << 20;
// A set is at most 19 slots; reading this much past a block keeps sets that straddle two blocks.
constexpr std::uint64_t kScanOverlapBytes = 1024;
constexpr int kMaxDeepShift = 16;  // 32 MiB clusters
// "Sector Per Cluster :" items after the boot's own value.

std::string Format(const char* format, long long value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The standard compressed up-case table, which mkfs.exfat and Windows both write, opens with the identity
// mapping of its first 97 units: 'a' (0x61) is the first one mapped.
bool LooksLikeUpcaseStart(Bytes s) {
    for (std::size_t i = 0; i < 0x61; ++i)
        if (le16(s, 2 * i) != i) return false;
    return le16(s, 0xC2) == 'A';
}

bool AllZero(Bytes s, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (s[i] != 0) return false;
    return true;
}

// The root's allocation-bitmap entry (0x81) and up-case entry (0x82), as a format writes them.
bool LooksLikeBitmapEntry(Bytes s, std::size_t off) {
    return s[off] == 0x81 && s[off + 1] <= 1 && AllZero(s, off + 2, off + 20) && le32(s, off + 20) >= 2 &&
           le64(s, off + 24) > 0 && le64(s, off + 24) <= (1ull << 29);
}
bool LooksLikeUpcaseEntry(Bytes s, std::size_t off) {
    return s[off] == 0x82 && AllZero(s, off + 1, off + 4) && AllZero(s, off + 8, off + 20) &&
           le32(s, off + 20) >= 2 && le64(s, off + 24) >= 0xC4 && le64(s, off + 24) <= (1ull << 17);
}

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

}  // namespace

void Fat64Class::ScanSlots(std::uint64_t pos, Bytes view, std::uint64_t n, bool collect) {
    constexpr std::size_t kMaxHits = 4096;
    // The type bytes worth a look; on a data region this lookup is the whole cost of the pass.
    static constexpr std::array<bool, 256> kTypes = [] {
        std::array<bool, 256> table{};
        for (const int t : {kExFatFile, kExFatFileDeleted, kExFatVolumeLabel, kExFatBitmap}) table[t] = true;
        return table;
    }();
    char text[64];
    for (std::uint64_t off = 0; off + kExFatSlotBytes <= n; off += kExFatSlotBytes) {
        const std::uint8_t type = view[off];
        if (__builtin_expect(!kTypes[type], 1)) continue;
        if (IsExFatFileType(type)) {
            if (!LooksLikeEntrySet(view, off)) continue;
            foundEntrySets_.push_back(pos + off);
            std::snprintf(text, sizeof text, "found Entry %d", static_cast<int>(foundEntrySets_.size()));
            Status().SetStatus(text);
            if (collect && folderHits_.size() < kMaxHits && IsExFatDirectory(le16(view, off + 4)))
                folderHits_.push_back({pos + off, le32(view, off + 52), le64(view, off + 56)});
        } else if (type == kExFatVolumeLabel && LooksLikeVolumeLabel(view, off)) {
            rootEstimate_ = pos + off;
            labelFound_ = true;
        } else if (collect && type == 0x81 && off % kSectorBytes < 128 && rootHits_.size() < 16 &&
                   off + 2 * kExFatSlotBytes <= view.size() && LooksLikeBitmapEntry(view, off) &&
                   LooksLikeUpcaseEntry(view, off + kExFatSlotBytes)) {
            // A root's first sector: the label (when there is one), the bitmap and the up-case entries.
            rootHits_.push_back({pos + off - off % kSectorBytes, le32(view, off + 20), le64(view, off + 24),
                                 le32(view, off + 52), le64(view, off + 56)});
        }
    }
}

void Fat64Class::SearchVolume(int limit) {
    foundFats_.clear();
    foundHeaps_.clear();
    foundEntrySets_.clear();
    folderHits_.clear();
    rootHits_.clear();
    upcaseHits_.clear();
    labelFound_ = false;
    rootEstimate_ = 0;
    setsComplete_ = false;
    if (!reader_) return;
    const auto max = static_cast<std::size_t>(NormaliseMaxFileSystems(limit));
    const std::uint64_t bound = VolumeBound();
    auto& status = Status();
    status.SetProgressRange(0, 1000);
    ReadAhead blocks([this](std::uint64_t at, std::span<std::uint8_t> out) { ReadAt(at, out.data(), out.size()); },
                     0, bound, kScanBlockBytes, kScanOverlapBytes);
    std::uint64_t pos = 0;
    while (pos < bound) {
        if (PollStop(stopRequested)) break;
        status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(pos) / bound * 1000));
        const ReadAhead::Block block = blocks.Next();
        if (!block) break;
        const std::uint64_t n = block.length;
        const Bytes view(block.bytes.data(), block.bytes.size());
        for (std::uint64_t s = 0; s + kSectorBytes <= n; s += kSectorBytes) {
            const std::uint64_t head = le64(view, s);
            if (head == 0xFFFFFFFFFFFFFFF8ull && foundFats_.size() < max) {
                foundFats_.push_back(pos + s);
                status.SetStatus(Format("found fat entry  %lld", static_cast<long long>(foundFats_.size())));
            } else if (head == 0xFFFFFFFFFFFFFFFFull && foundHeaps_.size() < max) {
                // An allocation bitmap starts with its first clusters in use: the first cluster of the heap.
                foundHeaps_.push_back(pos + s);
            } else if (head == 0x0003000200010000ull && upcaseHits_.size() < 16 &&
                       LooksLikeUpcaseStart(Bytes(block.bytes.data() + s, kSectorBytes))) {
                upcaseHits_.push_back(pos + s);
            }
        }
        ScanSlots(pos, view, n, true);
        pos += n;
    }
    setsComplete_ = pos >= bound;
    status.SetProgressPos(1000);
}

// Each guess of cluster size c and heap start h is tried against what the volume holds: folders whose first
// cluster lands on an entry set, the up-case table at its cluster, the bitmap at its cluster opening with the
// clusters of the bitmap, the up-case table and the root in use, and the root on a cluster boundary.
std::size_t Fat64Class::GeometryVotes(std::uint64_t c, std::uint64_t h) {
    const std::uint64_t bound = VolumeBound();
    std::size_t votes = 0;
    for (const FolderHit& f : folderHits_) {
        if (f.firstCluster < 2) continue;
        const std::uint64_t at = h + std::uint64_t{f.firstCluster - 2} * c;
        if (at < bound && std::binary_search(foundEntrySets_.begin(), foundEntrySets_.end(), at)) ++votes;
    }
    for (const RootHit& r : rootHits_) {
        const std::uint64_t upcase = h + std::uint64_t{r.upcaseCluster - 2} * c;
        if (std::find(upcaseHits_.begin(), upcaseHits_.end(), upcase) != upcaseHits_.end()) ++votes;
        const std::uint64_t inUse = CeilDiv(r.bitmapBytes, c) + CeilDiv(r.upcaseBytes, c) + 1;
        const std::uint64_t bitmap = h + std::uint64_t{r.bitmapCluster - 2} * c;
        std::uint8_t sector[kSectorBytes];
        if (inUse <= 64 && bitmap + kSectorBytes <= bound && ReadAt(bitmap, sector, kSectorBytes)) {
            const std::uint64_t bits = le64(Bytes(sector, kSectorBytes), 0);
            const std::uint64_t want = inUse == 64 ? ~0ull : (1ull << inUse) - 1;
            if ((bits & want) == want) ++votes;
        }
        if (r.at >= h + c && (r.at - h) % c == 0) ++votes;
        break;  // one root: older ones (a volume formatted over another) would vote twice
    }
    return votes;
}

void Fat64Class::InferGeometry(DamagedVolumeSearch& out) {
    constexpr int kMaxShift = 11;  // 1 MiB clusters, the largest the page offers
    const std::uint64_t bound = VolumeBound();
    struct Guess {
        std::size_t votes;
        int shift;
        std::uint64_t heap;
    };
    std::vector<Guess> guesses;
    for (int shift = 0; shift <= kMaxShift; ++shift) {
        const std::uint64_t c = kSectorBytes << shift;
        // A folder is a whole number of clusters long: a cluster size most folders contradict is no guess.
        std::size_t fits = 0;
        for (const FolderHit& f : folderHits_) fits += f.length != 0 && f.length % c == 0;
        if (fits * 2 < folderHits_.size()) continue;
        std::vector<std::uint64_t> heaps;
        const auto add = [&](std::uint64_t at, std::uint64_t skipped) {
            if (at >= skipped && at - skipped < bound) heaps.push_back(at - skipped);
        };
        for (const RootHit& r : rootHits_) {
            for (const std::uint64_t u : upcaseHits_) add(u, std::uint64_t{r.upcaseCluster - 2} * c);
            // A format puts the root right after the up-case table.
            add(r.at, (r.upcaseCluster - 2 + CeilDiv(r.upcaseBytes, c)) * c);
        }
        for (const std::uint64_t ones : foundHeaps_)
            add(ones, rootHits_.empty() ? 0 : std::uint64_t{rootHits_.front().bitmapCluster - 2} * c);
        std::sort(heaps.begin(), heaps.end());
        heaps.erase(std::unique(heaps.begin(), heaps.end()), heaps.end());
        for (const std::uint64_t h : heaps)
            if (h % kSectorBytes == 0) guesses.push_back({GeometryVotes(c, h), shift, h});
    }
    std::stable_sort(guesses.begin(), guesses.end(), [](const Guess& a, const Guess& b) { return a.votes > b.votes; });
    if (guesses.empty() || guesses.front().votes < 2) return;
    const Guess& best = guesses.front();
    out.inferredVotes = best.votes;
    out.inferredClusterBytes = kSectorBytes << best.shift;
    out.inferredDataStart = best.heap;
    // Heaps that drew votes come first, best first; the all-ones hits follow.
    std::vector<std::uint64_t> heaps;
    for (const Guess& g : guesses)
        if (g.votes >= 2 && heaps.size() < 3 && std::find(heaps.begin(), heaps.end(), g.heap) == heaps.end())
            heaps.push_back(g.heap);
    for (const std::uint64_t ones : foundHeaps_)
        if (std::find(heaps.begin(), heaps.end(), ones) == heaps.end()) heaps.push_back(ones);
    foundHeaps_ = std::move(heaps);
    char text[128];
    std::snprintf(text, sizeof text, "geometry from %zu entries: cluster %llu bytes, data at sector %llu",
                  best.votes, static_cast<unsigned long long>(out.inferredClusterBytes),
                  static_cast<unsigned long long>(best.heap / kSectorBytes));
    Status().SetStatus(text);
}

std::optional<DamagedVolumeSearch> Fat64Class::SearchDamagedVolume(readWriteInterface* source,
                                                                  const VolumeEntry& volume, int maxFileSystems) {
    AttachReader(source, volume);
    DamagedVolumeSearch result;
    const int limit = NormaliseMaxFileSystems(maxFileSystems);
    result.bootValid = CheckBootSector();
    Status().SetStatus("Finding Fat64 entries....");
    SearchVolume(limit);
    result.stopped = stopRequested.load();
    // The root the bitmap and up-case entries mark is a better start than the first entry set found.
    if (!labelFound_ && !rootHits_.empty()) {
        rootEstimate_ = rootHits_.front().at;
        labelFound_ = true;
    }
    if (!result.stopped) InferGeometry(result);
    if (result.bootValid) {
        const auto at = std::find(foundHeaps_.begin(), foundHeaps_.end(), heapOffsetBytes_);
        if (at != foundHeaps_.end()) foundHeaps_.erase(at);
        foundHeaps_.insert(foundHeaps_.begin(), heapOffsetBytes_);
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
    ReadAhead blocks([this](std::uint64_t at, std::span<std::uint8_t> out) { ReadAt(at, out.data(), out.size()); },
                     0, bound, static_cast<std::size_t>(block), kScanOverlapBytes);
    for (;;) {
        if (PollStop(stopRequested)) break;
        const ReadAhead::Block next = blocks.Next();
        if (!next) break;
        status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(next.at) / bound * 1000));
        ScanSlots(next.at, Bytes(next.bytes.data(), next.bytes.size()), next.length, false);
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
    // The search pass already saw every entry set; a run on its own scans for them.
    if (!setsComplete_) ScanForEntrySets();
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
