#include "fs/hfsplus/hfsp.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::uint64_t kScanChunkBytes = 4ull << 20;
constexpr const char* kPrivateDataFolder = "\0\0\0\0HFS+ Private Data";
constexpr std::size_t kPrivateDataFolderBytes = 21;
constexpr const char* kPrivateDirectoryFolder = ".HFS+ Private Directory Data\r";

}  // namespace

bool HFSP::AttachVolume(readWriteInterface* reader, const VolumeEntry& volume) {
    reader_ = reader;
    volume_ = volume;
    if (volumeSize == 0) volumeSize = volume.sizeBytes;
    if (tree && rootItem_ == kNoItem) {
        rootItem_ = tree->InsertItem(kNoItem, "ROOT", true, EntryId{kHfsRootFolderId});
        tree->Expand(rootItem_);
    }
    window_ = VolumeWindow::Over(reader, volume.startSector * kSectorBytes, volume.sizeBytes);
    return reader_ != nullptr;
}

bool HFSP::ReadAt(std::uint64_t offset, void* buffer, std::uint32_t count) {
    return window_.ReadAt(offset, {static_cast<std::uint8_t*>(buffer), count});
}

std::uint64_t HFSP::VolumeBytes() const {
    std::uint64_t bytes =
        headerRead_ && header_.BlockSizeValid() ? std::uint64_t{header_.totalBlocks} * header_.blockSize : 0;
    if (reader_ && reader_->sourceLength > 0) {
        const std::uint64_t base = window_.First();
        const std::uint64_t source = reader_->sourceLength > base ? reader_->sourceLength - base : 0;
        bytes = bytes == 0 ? source : std::min(bytes, source);
    }
    return bytes;
}

std::uint64_t HFSP::ScanBytes() const {
    // The size text counts whole MiB, cut down: a volume's last part MiB would go unscanned where the header
    // knows better.
    std::uint64_t bytes = volumeSize;
    if (headerRead_ && header_.BlockSizeValid())
        bytes = std::max(bytes, std::uint64_t{header_.totalBlocks} * header_.blockSize);
    if (reader_ && reader_->sourceLength > 0) {
        const std::uint64_t base = window_.First();
        const std::uint64_t source = reader_->sourceLength > base ? reader_->sourceLength - base : 0;
        bytes = std::min(bytes, source);
    }
    return bytes;
}

bool HFSP::ReadVolumeHeader() {
    headerRead_ = false;
    if (!reader_) return false;
    std::uint8_t buf[kHfsHeaderBytes] = {};
    if (!ReadAt(kHfsHeaderOffset, buf, sizeof buf)) return false;
    header_ = DecodeHfsVolumeHeader(Bytes(buf, sizeof buf));
    // Anything but "H+" or "HX" would send the parser through garbage.
    if (!header_.SignatureValid()) return false;
    headerRead_ = true;
    return true;
}

bool HFSP::ReadFork(const std::vector<ByteRun>& runs, std::uint64_t at, std::uint8_t* out,
                    std::uint32_t count) {
    std::fill(out, out + count, 0);
    std::uint64_t runStart = 0;
    std::uint32_t done = 0;
    bool ok = true;
    for (const ByteRun& run : runs) {
        if (done == count) break;
        const std::uint64_t runEnd = runStart + run.bytes;
        const std::uint64_t want = at + done;
        if (want >= runStart && want < runEnd) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count - done, runEnd - want));
            ok = ReadAt(run.offset + (want - runStart), out + done, n) && ok;
            done += n;
        }
        runStart = runEnd;
    }
    return ok && done == count;
}

bool HFSP::ReadCatalogHeader(const std::vector<ByteRun>& runs, HfsBTreeHeader& header) {
    std::uint8_t head[kHfsMinNodeBytes];
    if (!ReadFork(runs, 0, head, sizeof head)) return false;
    const Bytes node(head, sizeof head);
    if (DecodeHfsNodeDescriptor(node).kind != kHfsHeaderNode) return false;
    header = DecodeHfsBTreeHeader(node);
    return header.NodeSizeValid();
}

bool HFSP::ReadCatalogNodes() {
    nodes_.clear();
    nodeBytes_ = 0;
    if (!headerRead_ || !header_.BlockSizeValid()) return false;
    // The catalog's own extents past the eighth live in the extents-overflow file.
    ReadExtentsOverflowHeader();
    catalogRuns_ = ForkRuns(header_.catalogFile.extents, header_.catalogFile.logicalSize, kHfsCatalogFileId);
    HfsBTreeHeader bt;
    if (!ReadCatalogHeader(catalogRuns_, bt)) return false;
    nodeBytes_ = bt.nodeSize;
    std::uint64_t forkBytes = 0;
    for (const ByteRun& run : catalogRuns_) forkBytes += run.bytes;
    const std::uint64_t total = std::min<std::uint64_t>(bt.totalNodes, forkBytes / nodeBytes_);
    Status().SetProgressRange(0, static_cast<std::int64_t>(total));
    std::vector<std::uint8_t> buf(nodeBytes_);
    for (std::uint64_t n = 1; n < total; ++n) {
        if (PollStop(stopRequested)) break;
        if (n % 64 == 0) Status().SetProgressPos(static_cast<std::int64_t>(n));
        if (!ReadFork(catalogRuns_, n * nodeBytes_, buf.data(), nodeBytes_)) continue;
        const HfsNodeDescriptor d = DecodeHfsNodeDescriptor(buf);
        // A node without records is a free node: nothing to read, but the walk goes on.
        if (d.recordCount == 0) continue;
        CatalogNode node;
        node.forkNode = static_cast<std::int64_t>(n);
        node.kind = d.kind;
        std::uint64_t at = n * nodeBytes_, runStart = 0;
        for (const ByteRun& run : catalogRuns_) {
            if (at < runStart + run.bytes) {
                node.position = run.offset + (at - runStart);
                break;
            }
            runStart += run.bytes;
        }
        if (d.kind == kHfsLeafNode) node.offsets = HfsRecordOffsets(buf, d.recordCount);
        nodes_.push_back(std::move(node));
    }
    Status().SetProgressPos(static_cast<std::int64_t>(total));
    return true;
}

bool HFSP::ScanCatalogNodes() {
    nodes_.clear();
    nodeBytes_ = 0;
    if (!headerRead_) return false;
    HfsBTreeHeader bt;
    if (header_.BlockSizeValid()) {
        ReadExtentsOverflowHeader();
        catalogRuns_ =
            ForkRuns(header_.catalogFile.extents, header_.catalogFile.logicalSize, kHfsCatalogFileId);
        if (ReadCatalogHeader(catalogRuns_, bt)) nodeBytes_ = bt.nodeSize;
    }
    const std::uint64_t scanBytes = ScanBytes();
    if (nodeBytes_ == 0 || scanBytes / nodeBytes_ == 0) {
        nodeBytes_ = 0;
        Status().SetStatus("BlockSize not valid .Aborting..");
        return false;
    }
    // Nodes start on block boundaries (or node boundaries inside a block), not necessarily on node-size
    // multiples from the volume's start: a catalog that begins at an odd block would be missed.
    const std::uint64_t step = std::min<std::uint64_t>(nodeBytes_, header_.blockSize);
    // Never more buffer than the volume holds.
    const std::uint64_t chunk =
        std::min<std::uint64_t>(std::max<std::uint64_t>(kScanChunkBytes / nodeBytes_, 1),
                                scanBytes / nodeBytes_) *
        nodeBytes_;
    std::vector<std::uint8_t> buf(chunk + nodeBytes_);
    Status().SetProgressRange(0, static_cast<std::int64_t>(scanBytes / chunk + 1));
    std::uint64_t nextFree = 0;  // a found leaf covers its node's bytes
    for (std::uint64_t start = 0; start + nodeBytes_ <= scanBytes; start += chunk) {
        if (PollStop(stopRequested)) break;
        Status().SetProgressPos(static_cast<std::int64_t>(start / chunk));
        const auto bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(buf.size(), scanBytes - start));
        ReadAt(start, buf.data(), bytes);
        for (std::uint64_t at = 0; at < chunk && at + nodeBytes_ <= bytes; at += step) {
            if (start + at < nextFree) continue;
            const Bytes piece(buf.data() + at, nodeBytes_);
            if (!LooksLikeCatalogLeaf(piece)) continue;
            CatalogNode node;
            node.position = start + at;
            node.kind = kHfsLeafNode;
            node.offsets = HfsRecordOffsets(piece, DecodeHfsNodeDescriptor(piece).recordCount);
            nodes_.push_back(std::move(node));
            nextFree = start + at + nodeBytes_;
        }
    }
    Status().SetProgressPos(static_cast<std::int64_t>(scanBytes / chunk + 1));
    return true;
}

bool HFSP::ReadExtentsOverflowHeader() {
    if (!headerRead_ || !header_.BlockSizeValid()) return false;
    if (overflowLoaded_) return true;
    overflowLoaded_ = true;
    // The extents file has no overflow records of its own.
    const auto runs = ForkRuns(header_.extentsFile.extents, header_.extentsFile.logicalSize, 0);
    HfsBTreeHeader bt;
    if (!ReadCatalogHeader(runs, bt)) return true;
    std::uint64_t forkBytes = 0;
    for (const ByteRun& run : runs) forkBytes += run.bytes;
    const std::uint64_t total = std::min<std::uint64_t>(bt.totalNodes, forkBytes / bt.nodeSize);
    std::vector<std::uint8_t> buf(bt.nodeSize);
    for (std::uint64_t n = 1; n < total; ++n) {
        if (PollStop(stopRequested)) break;
        if (!ReadFork(runs, n * bt.nodeSize, buf.data(), bt.nodeSize)) continue;
        const HfsNodeDescriptor d = DecodeHfsNodeDescriptor(buf);
        if (d.kind != kHfsLeafNode) continue;
        for (const std::uint16_t off : HfsRecordOffsets(buf, d.recordCount)) {
            const auto r = DecodeHfsOverflowRecord(buf, off);
            if (r && r->forkType == kHfsDataFork)
                overflow_.emplace(std::make_pair(r->fileId, r->startBlock), r->extents);
            else if (r && r->forkType == kHfsResourceFork)
                resourceOverflow_.emplace(std::make_pair(r->fileId, r->startBlock), r->extents);
        }
    }
    return true;
}

bool HFSP::ReadNode(const CatalogNode& node, std::vector<std::uint8_t>& out) {
    out.assign(nodeBytes_, 0);
    if (node.forkNode >= 0)
        return ReadFork(catalogRuns_, static_cast<std::uint64_t>(node.forkNode) * nodeBytes_, out.data(),
                        nodeBytes_);
    return ReadAt(node.position, out.data(), nodeBytes_);
}

void HFSP::AddRecord(HfsCatalogRecord&& r, const CatalogNode& node, std::uint16_t offset) {
    if (r.id < 1) return;
    const auto same = map_.find(r.id);
    EntryId key = r.id;
    if (same != map_.end()) {
        // The same record read twice (a stale copy of its node) adds nothing; a different one is kept apart.
        if (same->second.parentId == r.parentId && same->second.name == r.name &&
            same->second.recordType == r.recordType)
            return;
        key = nextExtraKey_++;
    }
    HfsEntryRecord e;
    e.name = std::move(r.name);
    e.entryId = r.id;
    e.parentId = r.parentId;
    e.recordType = r.recordType;
    e.nodePosition = node.position;
    e.recordOffset = offset;
    e.logicalSize = r.dataFork.logicalSize;
    e.totalBlocks = r.dataFork.totalBlocks;
    e.extents = r.dataFork.extents;
    e.forkFileId = r.id;
    e.createDate = r.createDate;
    e.modifyDate = r.modifyDate;
    e.accessDate = r.accessDate;
    e.fileMode = r.fileMode;
    if (r.IsHardLink() || r.IsFolderLink()) e.linkId = r.special;
    e.folderLink = r.IsFolderLink();
    // A resource fork (all the content of many older Mac files) is listed beside its file, as NAME:rsrc.
    const bool resource = r.recordType == kHfsFileRecord && r.resourceFork.logicalSize != 0 && e.linkId == 0;
    HfsEntryRecord fork;
    if (resource) {
        fork = e;
        fork.name += ":rsrc";
        fork.logicalSize = r.resourceFork.logicalSize;
        fork.totalBlocks = r.resourceFork.totalBlocks;
        fork.extents = r.resourceFork.extents;
        fork.resourceFork = true;
    }
    map_.emplace(key, std::move(e));
    if (resource) map_.emplace(nextExtraKey_++, std::move(fork));
}

void HFSP::ParseLeafRecords() {
    map_.clear();
    nextExtraKey_ = kHfsExtraKeyBase;
    if (nodeBytes_ == 0) return;
    const auto count = static_cast<std::int64_t>(nodes_.size());
    Status().SetProgressRange(0, count);
    std::vector<std::uint8_t> buf;
    for (std::int64_t i = 0; i < count; ++i) {
        if (i % 64 == 0) {
            if (PollStop(stopRequested)) break;
            Status().SetProgressPos(i);
        }
        const CatalogNode& node = nodes_[static_cast<std::size_t>(i)];
        if (node.kind != kHfsLeafNode) continue;
        if (!ReadNode(node, buf)) continue;
        for (const std::uint16_t off : node.offsets) {
            auto r = DecodeHfsCatalogRecord(buf, off);
            if (r) AddRecord(std::move(*r), node, off);
        }
    }
    Status().SetProgressPos(count);
    ResolveHardLinks();
}

void HFSP::ResolveHardLinks() {
    folderLinks_ = false;
    const std::string privateName(kPrivateDataFolder, kPrivateDataFolderBytes);
    std::uint32_t privateFolder = 0, privateDirFolder = 0;
    for (const auto& [key, r] : map_) {
        if (r.recordType != kHfsFolderRecord || r.parentId != kHfsRootFolderId) continue;
        if (r.name == privateName && privateFolder == 0) privateFolder = r.entryId;
        if (r.name == kPrivateDirectoryFolder && privateDirFolder == 0) privateDirFolder = r.entryId;
    }
    std::unordered_map<std::string, EntryId> indirect, directories;
    for (const auto& [key, r] : map_) {
        if (privateFolder && r.parentId == privateFolder && r.recordType == kHfsFileRecord)
            indirect.emplace(r.name, key);
        if (privateDirFolder && r.parentId == privateDirFolder && r.recordType == kHfsFolderRecord)
            directories.emplace(r.name, key);
    }
    for (auto& [key, r] : map_) {
        if (r.linkId == 0) continue;
        if (r.folderLink) {
            const auto target = directories.find("dir_" + std::to_string(r.linkId));
            if (target != directories.end()) r.folderLinkTarget = target->second, folderLinks_ = true;
            continue;
        }
        const auto target = indirect.find("iNode" + std::to_string(r.linkId));
        if (target == indirect.end() || target->second == key) continue;
        const HfsEntryRecord& node = map_.at(target->second);
        r.hardLinkTarget = target->second;
        r.logicalSize = node.logicalSize;
        r.totalBlocks = node.totalBlocks;
        r.extents = node.extents;
        r.forkFileId = node.entryId;
        r.createDate = node.createDate;
        r.modifyDate = node.modifyDate;
        r.accessDate = node.accessDate;
        r.fileMode = node.fileMode;
    }
}

}  // namespace salvora
