// Where an exFAT record's content lies, and the times its saved file gets.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "fs/fat/exfat_times.h"
#include "fs/fat/fat64_class.h"
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
            ExFatTimestampToTimespec(r->lastModifiedTimestamp, r->lastModified10ms, r->lastModifiedUtcOffset)};
}

}  // namespace salvora
