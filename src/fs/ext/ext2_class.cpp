#include "fs/ext/ext2_class.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "fs/ext/ext_list_texts.h"
#include "fs/fat/fat_list_texts.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::uint64_t kMinVolumeBytes = 1536;
constexpr std::uint32_t kSearchChunkBytes = 1u << 20;
constexpr std::uint32_t kTableChunkBytes = 4u << 20;
constexpr std::size_t kStatusEvery = 1024;

}  // namespace

bool ext2Class::AttachVolume(readWriteInterface* reader, const VolumeEntry& volume) {
    reader_ = reader;
    volume_ = volume;
    slotAt_ = UINT64_MAX;  // a new volume: no inode read yet
    window_ = VolumeWindow::Over(reader, volume.startSector * kSectorBytes, volume.sizeBytes);
    return reader_ != nullptr;
}

std::uint64_t ext2Class::VolumeBound() const {
    std::uint64_t source = 0;
    if (reader_ && reader_->sourceLength > window_.First()) source = reader_->sourceLength - window_.First();
    return std::max(volumeSize, source);
}

bool ext2Class::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) {
    return window_.ReadAt(offset, {static_cast<std::uint8_t*>(buffer), count});
}

bool ext2Class::ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out) {
    out.assign(blockBytes_, 0);
    return block < blockLimit_ && ReadAt(block * blockBytes_, out.data(), blockBytes_);
}

ExtMapLimits ext2Class::Limits(std::uint64_t sizeBytes) const {
    return {blockBytes_, blockLimit_, blockBytes_ ? (sizeBytes + blockBytes_ - 1) / blockBytes_ : 0};
}

bool ext2Class::FindSuperblock() {
    const std::uint64_t bound = VolumeBound();
    if (volumeSize == 0 || bound <= kMinVolumeBytes || !reader_) return false;
    std::vector<std::uint8_t> buf(kSearchChunkBytes + kExtSuperblockBytes);
    // Copies are taken only where their own group puts them, so a superblock inside a file (an image kept on
    // the volume) is not mistaken for the volume's.
    for (std::uint64_t start = kExtSuperblockOffset; start + kExtSuperblockBytes <= bound;
         start += kSearchChunkBytes) {
        if (PollStop(stopRequested)) return false;
        const auto bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(buf.size(), bound - start));
        std::fill(buf.begin(), buf.end(), 0);
        ReadAt(start, buf.data(), bytes);
        for (std::uint32_t at = 0; at < kSearchChunkBytes && at + kExtSuperblockBytes <= bytes;
             at += kSectorBytes) {
            const ExtSuperblock sb = DecodeExtSuperblock(Bytes(buf.data() + at, kExtSuperblockBytes));
            if (!ExtSuperblockSane(sb) || ExtSuperblockHome(sb) != start + at) continue;
            sb_ = sb;
            superblockOffset_ = start + at;
            blockBytes_ = sb.BlockBytes();
            blockLimit_ = std::min<std::uint64_t>(sb.blockCount, (bound + blockBytes_ - 1) / blockBytes_);
            return true;
        }
    }
    return false;
}

bool ext2Class::ReadGroupDescriptors() {
    groups_.clear();
    if (blockBytes_ == 0) return false;
    const std::uint64_t groupCount = sb_.GroupCount();
    const std::uint32_t descBytes = sb_.DescriptorBytes();
    const std::uint64_t afterSuperblock = superblockOffset_ / blockBytes_ + 1;
    const std::uint64_t tableStart = afterSuperblock * blockBytes_;
    const std::uint64_t bound = VolumeBound();
    if (groupCount == 0 || tableStart >= bound || groupCount > (bound - tableStart) / descBytes) return false;
    std::vector<std::uint8_t> table(groupCount * descBytes);
    // Descriptor blocks one by one: with meta_bg they are spread over the volume. A block outside it reads
    // as zeros, which gives groups without an inode table.
    for (std::uint64_t done = 0, index = 0; done < table.size(); done += blockBytes_, ++index) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockBytes_, table.size() - done));
        const std::uint64_t block = ExtDescriptorBlock(sb_, index, afterSuperblock);
        if (block < bound / blockBytes_) ReadAt(block * blockBytes_, table.data() + done, n);
    }
    groups_.reserve(groupCount);
    for (std::uint64_t g = 0; g < groupCount; ++g)
        groups_.push_back(DecodeExtGroupDesc(Bytes(table).subspan(g * descBytes, descBytes), descBytes));
    return true;
}

void ext2Class::ReadGroupTable(std::uint64_t group) {
    const ExtGroupDesc& desc = groups_[group];
    const std::uint64_t firstInode = group * sb_.inodesPerGroup;  // inode number of the slot before the table
    if (firstInode >= sb_.inodeCount || desc.inodeTableBlock == 0 || desc.inodeTableBlock >= blockLimit_)
        return;
    std::uint64_t slots = std::min<std::uint64_t>(sb_.inodesPerGroup, sb_.inodeCount - firstInode);
    if (sb_.HasGroupChecksums()) {
        // Slots at the end of the table that were never handed out may hold anything.
        if (desc.flags & kExtGroupInodeUninit) return;
        if (desc.unusedInodes <= slots) slots -= desc.unusedInodes;
    }
    const std::uint32_t inodeBytes = sb_.inodeSize;
    const std::uint64_t tableOffset = desc.inodeTableBlock * blockBytes_;
    const std::uint64_t bound = VolumeBound();
    if (tableOffset >= bound) return;
    slots = std::min<std::uint64_t>(slots, (bound - tableOffset) / inodeBytes);
    const std::uint64_t perChunk = kTableChunkBytes / inodeBytes;
    std::vector<std::uint8_t> buf;
    for (std::uint64_t first = 0; first < slots; first += perChunk) {
        if (PollStop(stopRequested)) return;
        const std::uint64_t count = std::min(perChunk, slots - first);
        buf.assign(count * inodeBytes, 0);
        ReadAt(tableOffset + first * inodeBytes, buf.data(), static_cast<std::uint32_t>(buf.size()));
        for (std::uint64_t i = 0; i < count; ++i) {
            const Bytes slot = Bytes(buf).subspan(i * inodeBytes, inodeBytes);
            if (le16(slot, 0) == 0) continue;  // never used
            const ExtInode inode = DecodeExtInode(slot);
            const auto number = static_cast<std::uint32_t>(firstInode + first + i + 1);
            inodes_.push_back({number, inode.mode, inode.linkCount, inode.MapsBlocks(), inode.size,
                               inode.accessed.tv_sec, inode.changed.tv_sec, inode.modified.tv_sec});
            if (inode.IsDirectory()) {
                dirs_.push_back({number, inode.flags, inode.size, inode.InUse(), inode.blockMap, {}});
                if (inode.flags & kExtFlagInlineData) dirs_.back().inlineData = ExtInlineData(slot, inode);
            }
        }
    }
}

bool ext2Class::ReadInodeTables() {
    inodes_.clear();
    dirs_.clear();
    if (groups_.empty() || sb_.inodeSize == 0) return false;
    const auto groupCount = static_cast<std::int64_t>(groups_.size());
    Status().SetProgressRange(0, groupCount);
    char status[80];
    for (std::uint64_t g = 0; g < groups_.size(); ++g) {
        if (PollStop(stopRequested)) break;
        std::snprintf(status, sizeof status, "parsing group %d  of %d ", static_cast<int>(g + 1),
                      static_cast<int>(groupCount));
        Status().SetStatus(status);
        Status().SetProgressPos(static_cast<std::int64_t>(g));
        ReadGroupTable(g);
    }
    Status().SetProgressPos(groupCount);
    return !inodes_.empty();
}

const ext2Class::InodeSummary* ext2Class::Summary(std::uint32_t inode) const {
    const auto it = std::lower_bound(inodes_.begin(), inodes_.end(), inode,
                                     [](const InodeSummary& s, std::uint32_t n) { return s.inode < n; });
    return it != inodes_.end() && it->inode == inode ? &*it : nullptr;
}

bool ext2Class::LinkParentsAndChildren() {
    const auto count = static_cast<std::int64_t>(map_.size());
    Status().SetStatus("Maintaining Parent Child....");
    Status().SetProgressRange(0, count);
    // The last child linked under each folder (folders are keyed by inode), so a folder of many entries is
    // not walked per child.
    std::vector<EntryId> lastChild(byInode_.size(), kExtNoEntry);
    char status[96];
    std::int64_t index = 0;
    // In key order, as the map holds them, through the index: walking the map's nodes costs more than the
    // linking.
    const auto link = [&](EntryId key, ExtEntryRecord& record) {
        if (record.parentInode == kExtNoInode || record.parentInode == 0 || record.parentInode == key) return;
        ExtEntryRecord* parent = MutableRecord(record.parentInode);
        if (!parent) return;
        EntryId& last = lastChild[record.parentInode];
        if (last == kExtNoEntry)
            parent->firstChild = key;
        else
            MutableRecord(last)->nextSibling = key;
        last = key;
    };
    const std::size_t keys = byInode_.size() + byExtraKey_.size();
    for (std::size_t k = 0; k < keys; ++k) {
        ExtEntryRecord* record = k < byInode_.size() ? byInode_[k] : byExtraKey_[k - byInode_.size()];
        if (!record) continue;
        if (index % kStatusEvery == 0) {
            if (PollStop(stopRequested)) break;
            std::snprintf(status, sizeof status, "Maintaining Parent Child for record %d of %d....",
                          static_cast<int>(index + 1), static_cast<int>(count));
            Status().SetStatus(status);
            Status().SetProgressPos(index);
        }
        ++index;
        link(k < byInode_.size() ? EntryId{k} : kExtExtraNameBase + (k - byInode_.size()), *record);
    }
    Status().SetProgressPos(count);
    return true;
}

bool ext2Class::Shown(const ExtEntryRecord& r) {
    const auto type = r.mode & kExtTypeMask;
    return type == kExtTypeDirectory || type == kExtTypeRegular || type == kExtTypeSymlink;
}

bool ext2Class::FillResultTree() {
    Status().SetStatus("filling root entries in  tree....");
    if (!tree || !map_.count(kExtRootInode)) return false;
    rootItem_ = tree->InsertItem(kNoItem, "ROOT", true, EntryId{kExtRootInode});
    for (auto c = FirstChild(kExtRootInode); c; c = NextSibling(*c)) {
        const ExtEntryRecord& r = map_.at(*c);
        const ItemId item = tree->InsertItem(rootItem_, r.name, IsFolder(*c), *c);
        if (r.deleted) tree->SetTextColour(item, DeletedColour());
    }
    tree->Expand(rootItem_);
    return true;
}

// ---- results side

const ExtEntryRecord* ext2Class::Record(EntryId id) const {
    if (id < kExtExtraNameBase) return id < byInode_.size() ? byInode_[id] : nullptr;
    const EntryId extra = id - kExtExtraNameBase;
    return extra < byExtraKey_.size() ? byExtraKey_[extra] : nullptr;
}

std::optional<EntryId> ext2Class::ShownFrom(EntryId id) const {
    // Chains hold no loops (each record is linked once), so this ends.
    while (id != kExtNoEntry) {
        const auto* r = Record(id);
        if (!r) return std::nullopt;
        if (Shown(*r)) return id;
        id = r->nextSibling;
    }
    return std::nullopt;
}

std::optional<EntryId> ext2Class::FirstChild(EntryId id) const {
    const auto* r = Record(id);
    return r ? ShownFrom(r->firstChild) : std::nullopt;
}

std::optional<EntryId> ext2Class::NextSibling(EntryId id) const {
    const auto* r = Record(id);
    return r ? ShownFrom(r->nextSibling) : std::nullopt;
}

std::string ext2Class::EntryName(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->name : std::string{};
}

void ext2Class::RenameEntry(EntryId id, const std::string& name) {
    const auto it = map_.find(id);
    if (it != map_.end()) it->second.name = name;
}

bool ext2Class::IsDeleted(EntryId id) const {
    const auto* r = Record(id);
    return r && r->deleted;
}

bool ext2Class::IsFolder(EntryId id) const {
    const auto* r = Record(id);
    return r && (r->mode & kExtTypeMask) == kExtTypeDirectory;
}

bool ext2Class::IsWalkFile(EntryId id) const {
    const auto* r = Record(id);
    return r && ((r->mode & kExtTypeMask) == kExtTypeRegular || (r->mode & kExtTypeMask) == kExtTypeSymlink);
}

std::optional<std::string> ext2Class::LinkTarget(EntryId id) const {
    const auto* r = Record(id);
    if (!r || (r->mode & kExtTypeMask) != kExtTypeSymlink) return std::nullopt;
    // Reads the source through the reader; nothing of the parser changes.
    return const_cast<ext2Class*>(this)->ReadLinkTarget(*r);
}

std::uint64_t ext2Class::EntrySizeBytes(EntryId id) const {
    const auto* r = Record(id);
    return r ? r->size : 0;
}

std::string ext2Class::FormatEntrySize(EntryId id) const { return FormatFatSize(EntrySizeBytes(id)); }

EntryTexts ext2Class::FormatEntryTimes(EntryId id) const {
    const auto* r = Record(id);
    return r ? ExtEntryTexts(*r) : EntryTexts{};
}

}  // namespace salvora
