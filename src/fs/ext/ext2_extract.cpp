// Where a file's content lies (runs at their logical positions, holes between them), and its saved times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fs/ext/ext2_class.h"
#include "model/entry_copier.h"
#include "io/write_all.h"

namespace salvora {
namespace {

// Linux allows link targets of one page.
constexpr std::uint64_t kExtMaxLinkBytes = 4096;

std::optional<timespec> TimeOrNone(const timespec& t) {
    if (t.tv_sec != 0 || t.tv_nsec != 0) return t;
    return std::nullopt;
}

}  // namespace

const std::vector<std::uint8_t>& ext2Class::InodeSlot(const ExtEntryRecord& record) {
    // The copier asks for the content and then for the times: one read of the inode serves both.
    const std::uint64_t at =
        record.inodeTableBlock * blockBytes_ + std::uint64_t{record.indexInGroup} * sb_.inodeSize;
    if (at != slotAt_ || slot_.size() != sb_.inodeSize) {
        slot_.assign(sb_.inodeSize, 0);
        ReadAt(at, slot_.data(), static_cast<std::uint32_t>(slot_.size()));
        slotAt_ = at;
    }
    return slot_;
}

std::optional<std::string> ext2Class::ReadLinkTarget(const ExtEntryRecord& record) {
    if (record.contentGone || blockBytes_ == 0) return std::string{};
    const std::vector<std::uint8_t>& slot = InodeSlot(record);
    const ExtInode inode = DecodeExtInode(slot);
    const std::uint64_t size = std::min<std::uint64_t>(inode.size, kExtMaxLinkBytes);
    std::vector<std::uint8_t> bytes;
    if (size < inode.blockMap.size() && !inode.UsesExtents() && !(inode.flags & kExtFlagInlineData)) {
        bytes.assign(inode.blockMap.begin(), inode.blockMap.begin() + static_cast<std::ptrdiff_t>(size));
    } else if (inode.flags & kExtFlagInlineData) {
        bytes = ExtInlineData(slot, inode);
    } else {
        const ExtBlockReader read = [this](std::uint64_t block, std::vector<std::uint8_t>& out) {
            return ReadBlock(block, out);
        };
        const auto runs = MapExtBlocks(inode.blockMap, inode.UsesExtents(), Limits(size), read);
        if (!runs.empty() && runs.front().logicalBlock == 0 && !runs.front().unwritten)
            ReadBlock(runs.front().physicalBlock, bytes);
    }
    if (bytes.size() > size) bytes.resize(size);
    return std::string(bytes.begin(), bytes.end());
}

ScanOutcome ext2Class::Scan(const ScanRequest& request) {
    if (!AttachVolume(request.source, request.volume)) return ScanOutcome::NotThisFileSystem;
    volumeSize = request.volume.sizeBytes;
    // A custom volume given without an end sector has size 0: take the rest of the source, or nothing would be
    // read at all.
    if (volumeSize == 0 && reader_->sourceLength > window_.First()) volumeSize = reader_->sourceLength - window_.First();
    if (volumeSize == 0 || !FindSuperblock() || !ReadGroupDescriptors()) return ScanOutcome::NotThisFileSystem;
    ReadInodeTables();
    ReadDirectories();
    BuildInodeMap();
    LinkParentsAndChildren();
    FillResultTree();
    return ScanOutcome::Done;
}

std::optional<EntryContent> ext2Class::Content(EntryId id) {
    const auto* r = Record(id);
    if (!r || (r->mode & kExtTypeMask) == kExtTypeDirectory || blockBytes_ == 0) return std::nullopt;
    EntryContent content;
    if ((r->mode & kExtTypeMask) == kExtTypeSymlink) {
        const auto target = ReadLinkTarget(*r);
        content.resident.assign(target->begin(), target->end());
        content.size = content.resident.size();
        content.Add(content.size, RunKind::Resident, 0);
        return content;
    }
    content.size = r->size;
    // Removed with its map cleared (ext4 sets the size to 0 as well): not whole, whatever the size says.
    if (r->contentGone) {
        content.whole = false;
        return content;
    }
    if (r->size == 0) return content;
    const std::vector<std::uint8_t>& slot = InodeSlot(*r);
    const ExtInode inode = DecodeExtInode(slot);
    if (inode.flags & kExtFlagInlineData) {
        content.resident = ExtInlineData(slot, inode);
        content.Add(std::min<std::uint64_t>(content.size, content.resident.size()), RunKind::Resident, 0);
        // Past the inline bytes the file reads as zeros, as the kernel reads it.
        if (content.Covered() < content.size) content.Add(content.size - content.Covered(), RunKind::Hole, 0);
        return content;
    }
    const ExtBlockReader read = [this](std::uint64_t block, std::vector<std::uint8_t>& out) {
        return ReadBlock(block, out);
    };
    bool damaged = false;
    const auto runs = MapExtBlocks(inode.blockMap, inode.UsesExtents(), Limits(r->size), read, &damaged);
    const std::uint64_t base = window_.First();
    for (const ExtBlockRun& run : runs) {
        const std::uint64_t from = run.logicalBlock * blockBytes_;
        if (from >= content.size) break;
        if (from > content.Covered()) content.Add(from - content.Covered(), RunKind::Hole, 0);
        const std::uint64_t bytes = std::min(run.blockCount * blockBytes_, content.size - from);
        content.Add(bytes, run.unwritten ? RunKind::Hole : RunKind::Source,
                    run.unwritten ? 0 : base + run.physicalBlock * blockBytes_);
    }
    // A hole at the end is still a hole.
    if (content.Covered() < content.size) content.Add(content.size - content.Covered(), RunKind::Hole, 0);
    content.whole = !damaged;
    return content;
}

const AllocationMap* ext2Class::Allocation() {
    if (blockBytes_ == 0 || sb_.blocksPerGroup == 0 || groups_.empty()) return nullptr;
    if (allocation_) return &*allocation_;
    AllocationMap map(window_.First(), blockBytes_, blockLimit_);
    map.MarkInUse(0, sb_.firstDataBlock);  // the boot block of 1 KiB-block volumes
    std::vector<std::uint8_t> bits;
    const std::uint64_t perGroup = std::min<std::uint64_t>(sb_.blocksPerGroup, std::uint64_t{blockBytes_} * 8);
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        const std::uint64_t first = sb_.firstDataBlock + g * std::uint64_t{sb_.blocksPerGroup};
        if (first >= blockLimit_) break;
        // A group whose bitmap was never written holds nothing but its own metadata: no file lay there.
        if (sb_.HasGroupChecksums() && (groups_[g].flags & kExtGroupBlockUninit)) continue;
        const std::uint64_t count = std::min(perGroup, blockLimit_ - first);
        // An unreadable bitmap may hide anything: its blocks are not called free.
        if (groups_[g].blockBitmapBlock >= blockLimit_ || !ReadBlock(groups_[g].blockBitmapBlock, bits) ||
            bits.size() < (count + 7) / 8) {
            map.MarkInUse(first, count);
            continue;
        }
        map.MarkFromBitmap(bits.data(), count, first);
    }
    allocation_ = std::move(map);
    return &*allocation_;
}

StoredTimes ext2Class::EntryStoredTimes(EntryId id) {
    const auto* r = Record(id);
    if (!r || blockBytes_ == 0) return {};
    StoredTimes stored{TimeOrNone(r->accessed), TimeOrNone(r->modified)};
    if (r->contentGone) return stored;
    // ext keeps UTC; the inode's times go on as they are, nanoseconds included.
    const std::vector<std::uint8_t>& slot = InodeSlot(*r);
    const ExtInode inode = DecodeExtInode(slot);
    if (inode.mode != 0)
        stored = {TimeOrNone(inode.accessed), TimeOrNone(inode.modified), TimeOrNone(inode.created),
                  TimeOrNone(inode.changed)};
    return stored;
}

bool ext2Class::Copyable(EntryId id, const std::string& destPath) {
    const auto* r = Record(id);
    if (!r || (r->mode & kExtTypeMask) == kExtTypeDirectory || blockBytes_ == 0) return false;
    if (r->contentGone) Status().SetStatus("deleted file has no content left, saved empty:  " + destPath);
    return true;
}

CopyResult ext2Class::ExtractFile(EntryId id, const std::string& destPath) {
    return Copyable(id, destPath) ? CopyEntry(*this, id, destPath) : CopyResult{};
}

std::optional<StagedCopy> ext2Class::StageFile(EntryId id, const std::string& destPath, std::uint64_t maxBytes) {
    // A refusal falls back to ExtractFile, which refuses it again and the saver names it.
    if (!Copyable(id, destPath)) return std::nullopt;
    return StageEntry(*this, id, destPath, maxBytes);
}

}  // namespace salvora
