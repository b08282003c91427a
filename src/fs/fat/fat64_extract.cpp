// Writing an exFAT record's content to a new file, with its access and modification times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include "fs/fat/exfat_times.h"
#include "fs/fat/fat64_class.h"
#include "fs/fat/fat_globals.h"
#include "io/write_all.h"

namespace salvora {
namespace {

constexpr std::uint64_t kCopyChunkBytes = 4ull << 20;

timespec OrOmit(const std::optional<timespec>& t) {
    if (t) return *t;
    timespec omit{};
    omit.tv_nsec = UTIME_OMIT;
    return omit;
}

}  // namespace

bool Fat64Class::WriteRun(int fd, std::uint64_t offset, std::uint64_t bytes,
                          std::vector<std::uint8_t>& buffer) {
    while (bytes > 0) {
        const std::uint64_t piece = std::min(bytes, kCopyChunkBytes);
        buffer.resize(piece);
        // Unreadable bytes are written as the zeros read for them; the file does not count as whole.
        if (!ReadAt(offset, buffer.data(), piece)) contentReadFailed_ = true;
        if (!WriteAll(fd, buffer.data(), piece)) return false;
        offset += piece;
        bytes -= piece;
    }
    return true;
}

bool Fat64Class::WriteContent(const ExFatEntryRecord& r, int fd) {
    contentReadFailed_ = false;
    const bool written = WriteClusters(r, fd);
    return written && !contentReadFailed_;
}

bool Fat64Class::WriteClusters(const ExFatEntryRecord& r, int fd) {
    // Nothing is larger than the volume it lies on.
    const std::uint64_t size = std::min(r.validDataLength, VolumeBound());
    if (size == 0) return true;
    if (clusterBytes_ == 0 || r.firstCluster < 2 || r.firstCluster >= clusterLimit_) return false;
    std::vector<std::uint8_t> buffer;
    std::uint64_t remaining = size;

    // Consecutive clusters from `cluster` on, up to `remaining`, bounded by the volume's last cluster.
    auto writeConsecutive = [&](std::uint32_t cluster) {
        const std::uint64_t available = static_cast<std::uint64_t>(clusterLimit_ - cluster) * clusterBytes_;
        const std::uint64_t bytes = std::min(remaining, available);
        if (!WriteRun(fd, ClusterOffset(cluster), bytes, buffer)) return false;
        remaining -= bytes;
        return remaining == 0;
    };

    const bool formatted = driveFormatted.load(std::memory_order_relaxed);
    if (r.streamFlags != kExFatFlagsFatChain || formatted) return writeConsecutive(r.firstCluster);

    // FAT chain: runs of consecutive clusters are written with one read each.
    lookupCount_ = 0;
    const std::uint64_t maxLookups = size / clusterBytes_ + 1;
    std::uint32_t runStart = r.firstCluster;
    std::uint64_t runClusters = 1;
    auto flush = [&]() {
        const std::uint64_t bytes = std::min(remaining, runClusters * clusterBytes_);
        if (!WriteRun(fd, ClusterOffset(runStart), bytes, buffer)) return false;
        remaining -= bytes;
        return true;
    };
    std::uint32_t cluster = r.firstCluster;
    bool firstLookup = true;
    // A chain that comes back to a cluster it passed loops: what it gave up to there is all there is.
    std::unordered_set<std::uint32_t> seen{r.firstCluster};
    while (runClusters * clusterBytes_ < remaining) {
        const std::uint32_t next = NextCluster(cluster);
        const bool ended = next < 2 || next >= clusterLimit_ || lookupCount_ > maxLookups ||
                           !seen.insert(next).second;
        if (ended) {
            if (!flush()) return false;
            // A deleted file's chain is cleared, so its first cluster ends it; most such files were
            // contiguous.
            if (firstLookup && r.Deleted() && remaining > 0 && r.firstCluster + 1u < clusterLimit_)
                return writeConsecutive(r.firstCluster + 1);
            return remaining == 0;
        }
        firstLookup = false;
        if (next == runStart + runClusters && runClusters * clusterBytes_ < kCopyChunkBytes) {
            ++runClusters;
        } else {
            if (!flush()) return false;
            runStart = next;
            runClusters = 1;
        }
        cluster = next;
    }
    if (!flush()) return false;
    return remaining == 0;
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
    const std::uint64_t base = reader_ ? static_cast<std::uint64_t>(std::max<std::int64_t>(reader_->baseOffset, 0)) : 0;
    const auto consecutive = [&](std::uint32_t from, bool inferred) {
        const std::uint64_t available = std::uint64_t{clusterLimit_ - from} * clusterBytes_;
        const std::uint64_t bytes = std::min(remaining, available);
        content.Add(bytes, RunKind::Source, base + ClusterOffset(from), inferred);
        remaining -= bytes;
        content.whole = remaining == 0;
    };
    const bool formatted = driveFormatted.load(std::memory_order_relaxed);
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

bool Fat64Class::ExtractFile(EntryId id, const std::string& destPath) {
    const ExFatEntryRecord* r = Record(id);
    if (!r || !reader_) return false;
    const int fd = ::open(destPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = WriteContent(*r, fd);
    const timespec times[2] = {
        OrOmit(ExFatTimestampToTimespec(r->lastAccessedTimestamp, 0, r->lastAccessedUtcOffset)),
        OrOmit(ExFatTimestampToTimespec(r->lastModifiedTimestamp, r->lastModified10ms,
                                        r->lastModifiedUtcOffset))};
    ::futimens(fd, times);
    if (::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace salvora
