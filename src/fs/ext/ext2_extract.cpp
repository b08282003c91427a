// Writing a file's content out: runs at their logical positions, holes left as holes, cut at the size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fs/ext/ext2_class.h"
#include "io/write_all.h"

namespace salvora {
namespace {

constexpr std::uint64_t kRunBytes = 4ull << 20;
// Linux allows link targets of one page.
constexpr std::uint64_t kExtMaxLinkBytes = 4096;

timespec TimeOrOmit(const timespec& t) {
    if (t.tv_sec != 0 || t.tv_nsec != 0) return t;
    timespec omit{};
    omit.tv_nsec = UTIME_OMIT;
    return omit;
}

}  // namespace

bool ext2Class::WriteContent(const ExtEntryRecord& record, const ExtInode& inode, Bytes slot, int fd) {
    const std::uint64_t size = record.size;
    if (size == 0) return true;
    if (inode.flags & kExtFlagInlineData) {
        // Past the block map's 60 bytes, inline content goes on in an extended attribute of the inode.
        const std::vector<std::uint8_t> data = ExtInlineData(slot, inode);
        return WriteAllAt(fd, data.data(), std::min<std::uint64_t>(size, data.size()), 0) &&
               ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    }
    const ExtBlockReader read = [this](std::uint64_t block, std::vector<std::uint8_t>& out) {
        return ReadBlock(block, out);
    };
    bool mapDamaged = false;
    const auto runs = MapExtBlocks(inode.blockMap, inode.UsesExtents(), Limits(size), read, &mapDamaged);
    std::vector<std::uint8_t> buffer;
    std::uint64_t end = 0;
    // Blocks past the volume or unreadable are written as zeros, and the file does not count as whole.
    bool readFailed = mapDamaged;
    for (const ExtBlockRun& run : runs) {
        if (run.unwritten) continue;  // reads as zeros, like a hole
        const std::uint64_t perRead = std::max<std::uint64_t>(1, kRunBytes / blockBytes_);
        for (std::uint64_t done = 0; done < run.blockCount; done += perRead) {
            const std::uint64_t blocks = std::min(perRead, run.blockCount - done);
            const std::uint64_t at = (run.logicalBlock + done) * blockBytes_;
            if (at >= size) break;
            buffer.assign(blocks * blockBytes_, 0);
            const std::uint64_t first = run.physicalBlock + done;
            if (!ReadAt(first * blockBytes_, buffer.data(), static_cast<std::uint32_t>(buffer.size())))
                readFailed = true;
            // The block that crosses the size is cut there.
            const std::uint64_t bytes = std::min<std::uint64_t>(buffer.size(), size - at);
            if (!WriteAllAt(fd, buffer.data(), bytes, at)) return false;
            end = std::max(end, at + bytes);
        }
    }
    // Holes, and a hole at the end, stay holes in the output.
    const bool sized = end == size || ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    return sized && !readFailed;
}

std::optional<std::string> ext2Class::ReadLinkTarget(const ExtEntryRecord& record) {
    if (record.contentGone || blockBytes_ == 0) return std::string{};
    std::vector<std::uint8_t> slot(sb_.inodeSize, 0);
    ReadAt(record.inodeTableBlock * blockBytes_ + std::uint64_t{record.indexInGroup} * sb_.inodeSize, slot.data(),
           static_cast<std::uint32_t>(slot.size()));
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
    if (r->size == 0) return content;
    if (r->contentGone) {
        content.whole = false;
        return content;
    }
    std::vector<std::uint8_t> slot(sb_.inodeSize, 0);
    ReadAt(r->inodeTableBlock * blockBytes_ + std::uint64_t{r->indexInGroup} * sb_.inodeSize, slot.data(),
           static_cast<std::uint32_t>(slot.size()));
    const ExtInode inode = DecodeExtInode(slot);
    if (inode.flags & kExtFlagInlineData) {
        content.resident = ExtInlineData(slot, inode);
        content.Add(std::min<std::uint64_t>(content.size, content.resident.size()), RunKind::Resident, 0);
        content.whole = content.Covered() == content.size;
        return content;
    }
    const ExtBlockReader read = [this](std::uint64_t block, std::vector<std::uint8_t>& out) {
        return ReadBlock(block, out);
    };
    bool damaged = false;
    const auto runs = MapExtBlocks(inode.blockMap, inode.UsesExtents(), Limits(r->size), read, &damaged);
    const std::uint64_t base = static_cast<std::uint64_t>(std::max<std::int64_t>(reader_->baseOffset, 0));
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

bool ext2Class::ExtractEntry(const ExtEntryRecord& record, const std::string& destPath) {
    if ((record.mode & kExtTypeMask) == kExtTypeDirectory || blockBytes_ == 0) return false;
    const int fd = ::open(destPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    timespec times[2] = {TimeOrOmit(record.accessed), TimeOrOmit(record.modified)};
    if ((record.mode & kExtTypeMask) == kExtTypeSymlink) {
        const std::optional<std::string> target = ReadLinkTarget(record);
        ok = target && !target->empty() &&
             WriteAll(fd, reinterpret_cast<const std::uint8_t*>(target->data()), target->size());
    } else if (record.contentGone) {
        Status().SetStatus("deleted file has no content left, saved empty:  " + destPath);
    } else {
        std::vector<std::uint8_t> slot(sb_.inodeSize, 0);
        const std::uint64_t at = record.inodeTableBlock * blockBytes_ +
                                 static_cast<std::uint64_t>(record.indexInGroup) * sb_.inodeSize;
        ReadAt(at, slot.data(), static_cast<std::uint32_t>(slot.size()));
        const ExtInode inode = DecodeExtInode(slot);
        ok = WriteContent(record, inode, slot, fd);
        // ext keeps UTC; the stored times go on as they are, nanoseconds included.
        if (inode.mode != 0) times[0] = TimeOrOmit(inode.accessed), times[1] = TimeOrOmit(inode.modified);
    }
    ::futimens(fd, times);
    if (::close(fd) != 0) ok = false;
    return ok;
}

bool ext2Class::ExtractFile(EntryId id, const std::string& destPath) {
    const auto* r = Record(id);
    return r && ExtractEntry(*r, destPath);
}

}  // namespace salvora
