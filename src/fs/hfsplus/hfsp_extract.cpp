// A file's data fork: its eight extents, then its extents-overflow records, cut at the logical size and at
// the end of the volume; written to a new file with the stored UTC times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fs/hfsplus/hfs_list_texts.h"
#include "fs/hfsplus/hfsp.h"
#include "io/write_all.h"

namespace salvora {
namespace {

constexpr std::uint16_t kHfsModeSymlink = 0xA000;
constexpr std::uint64_t kMaxLinkBytes = 4096;

}  // namespace

std::vector<HFSP::ByteRun> HFSP::ForkRuns(const HfsExtents& extents, std::uint64_t logicalSize,
                                          std::uint32_t fileId, bool resourceFork) const {
    std::vector<ByteRun> runs;
    if (!header_.BlockSizeValid()) return runs;
    const std::uint64_t blockBytes = header_.blockSize;
    const std::uint64_t volumeBlocks = VolumeBytes() / blockBytes;
    std::uint64_t remaining = logicalSize;
    std::uint64_t forkBlocks = 0;  // blocks of the fork the extents so far hold
    const auto add = [&](const HfsExtent& e) {
        forkBlocks += e.blockCount;
        if (remaining == 0 || e.startBlock == 0 || e.startBlock >= volumeBlocks) return;
        const std::uint64_t blocks = std::min<std::uint64_t>(e.blockCount, volumeBlocks - e.startBlock);
        const std::uint64_t bytes = std::min(blocks * blockBytes, remaining);
        runs.push_back({e.startBlock * blockBytes, bytes});
        remaining -= bytes;
    };
    for (const HfsExtent& e : extents) {
        if (e.blockCount == 0) break;
        add(e);
    }
    if (remaining == 0 || fileId == 0) return runs;
    // Past the eighth extent: the overflow records of the same file, in fork order.
    const auto& overflow = resourceFork ? resourceOverflow_ : overflow_;
    for (auto it = overflow.lower_bound({fileId, 0}); it != overflow.end() && it->first.first == fileId; ++it) {
        if (it->first.second < forkBlocks) continue;  // a record that repeats blocks already placed
        for (const HfsExtent& e : it->second) {
            if (e.blockCount == 0) break;
            add(e);
        }
        if (remaining == 0) break;
    }
    return runs;
}

StoredTimes HFSP::EntryStoredTimes(EntryId id) {
    const auto* r = Record(id);
    if (!r) return {};
    // HFS+ dates are UTC: they go on as they are.
    timespec accessed{}, modified{}, created{};
    accessed.tv_sec = static_cast<time_t>(HfsDateToUnix(r->accessDate));
    modified.tv_sec = static_cast<time_t>(HfsDateToUnix(r->modifyDate));
    created.tv_sec = static_cast<time_t>(HfsDateToUnix(r->createDate));
    return {accessed, modified, created, std::nullopt};
}

std::optional<std::string> HFSP::LinkTarget(EntryId id) const {
    const auto* r = Record(id);
    if (!r || r->recordType != kHfsFileRecord || r->resourceFork || (r->fileMode & 0xF000) != kHfsModeSymlink)
        return std::nullopt;
    // The data fork holds the target. Reading the source changes nothing of the parser.
    const auto runs = ForkRuns(r->extents, std::min<std::uint64_t>(r->logicalSize, kMaxLinkBytes), r->forkFileId);
    std::uint64_t bytes = 0;
    for (const ByteRun& run : runs) bytes += run.bytes;
    std::string target(bytes, '\0');
    if (bytes != 0)
        const_cast<HFSP*>(this)->ReadFork(runs, 0, reinterpret_cast<std::uint8_t*>(target.data()),
                                          static_cast<std::uint32_t>(bytes));
    return target;
}

ScanOutcome HFSP::Scan(const ScanRequest& request) {
    const bool ok = AttachVolume(request.source, request.volume) && ReadVolumeHeader() &&
                    (request.mode == RecoveryMode::Standard ? ReadCatalogNodes() : ScanCatalogNodes()) &&
                    ReadExtentsOverflowHeader();
    if (!ok) return ScanOutcome::NotThisFileSystem;
    ParseLeafRecords();
    LinkParentsAndChildren();
    FillResultTree();
    return ScanOutcome::Done;
}

std::optional<EntryContent> HFSP::Content(EntryId id) {
    const auto* r = Record(id);
    if (!r || r->recordType != kHfsFileRecord || r->folderLinkTarget != kHfsNoEntry) return std::nullopt;
    EntryContent content;
    content.size = r->logicalSize;
    const std::uint64_t base = window_.First();
    for (const ByteRun& run : ForkRuns(r->extents, r->logicalSize, r->forkFileId, r->resourceFork))
        content.Add(run.bytes, RunKind::Source, base + run.offset);
    content.whole = content.Covered() == content.size;
    return content;
}


const AllocationMap* HFSP::Allocation() {
    if (allocationTried_) return allocation_ ? &*allocation_ : nullptr;
    allocationTried_ = true;
    if (!headerRead_ || !header_.BlockSizeValid() || header_.totalBlocks == 0) return nullptr;
    // An entry is deleted here when its folder is gone from the catalog; the allocation file still holds its
    // blocks, since no driver freed them. What counts is whether a file the catalog still links, or the volume's
    // own structures, claims them.
    const std::uint64_t block = header_.blockSize;
    AllocationMap map(window_.First(), block, header_.totalBlocks);
    const auto claim = [&](const std::vector<ByteRun>& runs) {
        for (const ByteRun& run : runs)
            if (run.bytes) map.MarkInUse(run.offset / block, (run.offset % block + run.bytes + block - 1) / block);
    };
    // The volume headers: the first 1.5 KiB and the last 1 KiB.
    map.MarkInUse(0, (kHfsHeaderOffset + kHfsHeaderBytes + block - 1) / block);
    const std::uint64_t end = std::uint64_t{header_.totalBlocks} * block;
    map.MarkInUse((end - 1024) / block, header_.totalBlocks);
    const std::pair<const HfsForkData*, std::uint32_t> special[] = {
        {&header_.extentsFile, 3}, {&header_.catalogFile, 4}, {&header_.allocationFile, 6},
        {&header_.startupFile, 7}, {&header_.attributesFile, 8}};
    for (const auto& [fork, id] : special) claim(ForkRuns(fork->extents, fork->logicalSize, id));
    for (const auto& [key, r] : map_)
        if (!r.orphan && r.recordType == kHfsFileRecord && r.folderLinkTarget == kHfsNoEntry)
            claim(ForkRuns(r.extents, r.logicalSize, r.forkFileId, r.resourceFork));
    allocation_ = std::move(map);
    return &*allocation_;
}

}  // namespace salvora
