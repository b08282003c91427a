// Where an exFAT record's content lies, and the times its saved file gets.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "fs/fat/exfat_times.h"
#include "fs/fat/fat64_class.h"
#include "io/bytes.h"
#include "io/write_all.h"

namespace salvora {
namespace {



}  // namespace

ScanOutcome Fat64Class::Scan(const ScanRequest& request) {
    AttachReader(request.source, request.volume);
    formattedDrive = request.formattedDrive;
    if (request.mode == RecoveryMode::Advanced) {
        stopRequested = false;
        RunAdvanced(request.sectorsPerCluster, request.candidate, request.heapCandidate);
        return ScanOutcome::Done;
    }
    advancedMode_ = 0;
    if (!CheckBootSector()) return ScanOutcome::NotThisFileSystem;
    if (!ReadRootDirectory()) return ScanOutcome::RootUnreadable;
    Status().SetStatus("processing file and directory entries...");
    Status().SetStatus("Finding Fat64 File And Directory entries recursively....");
    FindEntriesRecursively();
    MaintainTreeInVector();
    Status().SetStatus("creating tree Structure...");
    CreateTreeStructure();
    return ScanOutcome::Done;
}

std::optional<EntryContent> Fat64Class::Content(EntryId id) {
    const ExFatEntryRecord* r = Record(id);
    if (!r || IsFolder(id)) return std::nullopt;
    EntryContent content;
    content.size = std::min(r->validDataLength, VolumeBound());
    std::uint64_t remaining = content.size;
    if (remaining == 0) return content;
    if (clusterBytes_ == 0 || r->firstCluster < 2 || r->firstCluster >= clusterLimit_) {
        content.whole = false;
        return content;
    }
    const std::uint64_t base = window_.First();
    const auto consecutive = [&](std::uint32_t from, bool inferred) {
        const std::uint64_t available = std::uint64_t{clusterLimit_ - from} * clusterBytes_;
        const std::uint64_t bytes = std::min(remaining, available);
        content.Add(bytes, RunKind::Source, base + ClusterOffset(from), inferred);
        remaining -= bytes;
        content.whole = remaining == 0;
    };
    const bool formatted = formattedDrive;
    if (r->streamFlags != kExFatFlagsFatChain || formatted) {
        consecutive(r->firstCluster, formatted);
        return content;
    }
    std::unordered_set<std::uint32_t> seen{r->firstCluster};
    std::uint32_t cluster = r->firstCluster;
    for (bool firstLookup = true;; firstLookup = false) {
        const std::uint64_t bytes = std::min<std::uint64_t>(clusterBytes_, remaining);
        content.Add(bytes, RunKind::Source, base + ClusterOffset(cluster));
        remaining -= bytes;
        if (remaining == 0) return content;
        const std::uint32_t next = NextCluster(cluster);
        if (next < 2 || next >= clusterLimit_ || !seen.insert(next).second) {
            // A deleted file's chain is cleared; most such files were contiguous.
            if (firstLookup && r->Deleted() && cluster + 1u < clusterLimit_)
                consecutive(cluster + 1, true);
            else
                content.whole = false;
            return content;
        }
        cluster = next;
    }
}

StoredTimes Fat64Class::EntryStoredTimes(EntryId id) {
    const ExFatEntryRecord* r = Record(id);
    if (!r) return {};
    return {ExFatTimestampToTimespec(r->lastAccessedTimestamp, 0, r->lastAccessedUtcOffset),
            ExFatTimestampToTimespec(r->lastModifiedTimestamp, r->lastModified10ms, r->lastModifiedUtcOffset),
            ExFatTimestampToTimespec(r->creationTimestamp, r->creation10ms, r->creationUtcOffset), std::nullopt};
}

}  // namespace salvora

namespace salvora {

const AllocationMap* Fat64Class::Allocation() {
    if (formattedDrive || clusterBytes_ == 0 || clusterLimit_ <= 2) return nullptr;
    if (allocationTried_) return allocation_ ? &*allocation_ : nullptr;
    allocationTried_ = true;
    std::uint32_t bitmapCluster = 0;
    std::uint64_t bitmapBytes = 0;
    if (advancedMode_ == 0 && boot_) {
        // The root's bitmap entry: the first one names the bitmap of the FAT in use.
        std::vector<std::uint8_t> root;
        std::unordered_set<std::uint32_t> keep;
        std::swap(keep, visitedClusters_);
        const std::vector<std::uint32_t> clusters = DirectoryClusters(boot_->rootCluster, true, 0, true);
        std::swap(keep, visitedClusters_);
        ReadClusters(clusters, root);
        for (std::size_t off = 0; off + kExFatSlotBytes <= root.size(); off += kExFatSlotBytes) {
            if (root[off] == 0) break;
            if (root[off] != kExFatBitmap) continue;
            bitmapCluster = le32(root, off + 20);
            bitmapBytes = le64(root, off + 24);
            break;
        }
    } else if (!rootHits_.empty()) {
        bitmapCluster = rootHits_.front().bitmapCluster;
        bitmapBytes = rootHits_.front().bitmapBytes;
    }
    // A bit per cluster of the heap, which may end before the volume does; clusters past it count as in use.
    if (bitmapCluster < 2 || bitmapCluster >= clusterLimit_ || bitmapBytes == 0 ||
        bitmapBytes > std::uint64_t{clusterLimit_} / 8 + clusterBytes_)
        return nullptr;
    const std::uint64_t units = std::min<std::uint64_t>(clusterLimit_ - 2, bitmapBytes * 8);
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((units + 7) / 8));
    // Its chain, or consecutive clusters where the chain ends (it is written in one piece).
    std::uint64_t done = 0;
    std::uint32_t cluster = bitmapCluster;
    std::unordered_set<std::uint32_t> seen;
    while (done < bits.size() && cluster >= 2 && cluster < clusterLimit_ && seen.insert(cluster).second) {
        const std::uint64_t n = std::min<std::uint64_t>(clusterBytes_, bits.size() - done);
        if (!ReadAt(ClusterOffset(cluster), bits.data() + done, n)) return nullptr;
        done += n;
        const std::uint32_t next = NextCluster(cluster);
        cluster = next >= 2 && next < clusterLimit_ ? next : cluster + 1;
    }
    if (done < bits.size()) return nullptr;
    AllocationMap map(window_.First() + HeapBytes(), clusterBytes_, units);
    map.MarkFromBitmap(bits.data(), units, 0);
    allocation_ = std::move(map);
    return &*allocation_;
}

}  // namespace salvora
