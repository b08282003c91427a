// The advanced run of the FAT16 and FAT32 parsers, for volumes whose boot sector or FAT is damaged or whose
// drive was quick-formatted: FAT copies found by their first bytes, directory slots found anywhere on the
// volume, and records rebuilt from them with an estimated geometry.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

#include "fs/fat/fat_deep_slot.h"
#include "fs/fat/fat_names.h"
#include "fs/fat/fat_parser.h"
#include "io/read_ahead.h"
#include "io/pause_gate.h"

namespace salvora {
namespace {

constexpr std::uint64_t kSearchBlockBytes = 0xA00000;  // 10 MiB
// Read ahead on another thread: blocks of 1 MiB kept the two cores busiest on a warm cache (256 KiB cost a
// quarter more in synchronisation). The 10 MiB search block is the unit of progress and Stop only.
constexpr std::uint64_t kSearchReadBytes = 1 << 20;
constexpr std::uint64_t kWindowBytes = 2048;       // a found slot is read with the slots after it
constexpr std::uint64_t kFat16RootBytes = 0x4000;  // 512 root entries, what FAT16 formatters write
constexpr std::size_t kMaxDeepDepth = 256;         // deeper folders are still found by the scan, as orphans
constexpr std::size_t kMaxFoundSlots = 16u << 20;
constexpr std::size_t kMaxVoteKeys = 1u << 16;
constexpr std::uint8_t kEndMarker = 0xCD;
constexpr const char* kRootName = "DUMMY ENTRY";
constexpr const char* kOrphanName = "ORPHAN ENTRY";

// Attribute bytes worth a closer look in the scan: entries of either kind, long-name slots, labels.
constexpr std::array<bool, 256> kScanAttributes = [] {
    std::array<bool, 256> table{};
    for (const int a : {0x08, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x20, 0x26, 0x30})
        table[a] = true;
    return table;
}();

std::string Format(const char* format, long long a, long long b = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace

struct FatParser::DeepFrame {
    std::uint32_t dirIndex = 0;
    bool fixedArea = false;  // the FAT16 root: one block at fixedOffset
    std::uint64_t fixedOffset = 0;
    std::uint64_t fixedBytes = 0;
    std::uint32_t cluster = 0;
    bool dotCheck = false;  // a folder's first cluster starts with its "." slot
    std::uint64_t blocks = 0;
    bool loaded = false;
    std::vector<std::uint8_t> block;
    std::uint64_t blockOffset = 0;
    std::size_t slot = 0;
    LongNameRun run;
};

std::vector<std::uint64_t> FatParser::FindFatTables(int limit) {
    foundFats_.clear();
    ClearSlots();
    vote_ = {};
    searchStopped_ = false;
    const std::size_t max = static_cast<std::size_t>(limit < 1 ? 3 : limit);
    const std::uint64_t bound = VolumeBound();
    if (!reader_ || bound == 0) return foundFats_;
    auto& status = Status();
    status.SetProgressRange(0, 1000);
    ReadAhead blocks([this](std::uint64_t at, std::span<std::uint8_t> out) { window_.ReadAt(at, out); }, 0, bound,
                     kSearchReadBytes);
    while (foundFats_.size() < max) {
        const ReadAhead::Block block = blocks.Next();
        if (!block) break;
        const std::uint64_t read = block.at, n = block.length;
        if (read % kSearchBlockBytes == 0)
            status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(read) / bound * 1000));
        VoteOnDots(read, block.bytes.data(), n);
        ScanSlots(read, block.bytes.data(), n);
        for (std::uint64_t s = 0; s + kSectorBytes <= n && foundFats_.size() < max; s += kSectorBytes) {
            if (!IsFatSignature(Bytes(block.bytes.data() + s, kSectorBytes))) continue;
            foundFats_.push_back(read + s);
            status.SetStatus(Format("found fat entry  %d", static_cast<long long>(foundFats_.size())));
        }
        if (((read + n) % kSearchBlockBytes == 0 || read + n >= bound) && PollStop(stopRequested)) {
            stopRequested = false;
            searchStopped_ = true;
            break;
        }
    }
    status.SetProgressPos(1000);
    return foundFats_;
}

void FatParser::VoteOnDots(std::uint64_t at, const std::uint8_t* data, std::uint64_t n) {
    // Each "." slot is paired with the few found before it: one stale folder (a deleted one whose cluster was
    // reused) spoils only its own pairs, and the vote decides.
    constexpr std::size_t kPaired = 4;
    GeometryVote& v = vote_;
    for (std::uint64_t s = 0; s + 2 * kSlotBytes <= n; s += kSectorBytes) {
        if (data[s] != kSlotDot || data[s + 1] != ' ') continue;
        const std::uint32_t self = DotEntryCluster(Bytes(data + s, 2 * kSlotBytes));
        if (self < 2) continue;
        const std::uint64_t here = at + s;
        for (const auto& [before, cluster] : v.recent) {
            if (cluster >= self || before >= here) continue;
            const std::uint64_t span = here - before, clusters = self - cluster;
            if (span % clusters != 0) continue;
            const std::uint64_t size = span / clusters;
            if (size < kSectorBytes || size > (1u << 20) || (size & (size - 1)) != 0) continue;
            const std::uint64_t skipped = std::uint64_t{cluster - 2} * size;
            if (skipped > before) continue;
            if (v.votes.size() < 4096 || v.votes.count({size, before - skipped}))
                v.best = std::max(v.best, ++v.votes[{size, before - skipped}]);
        }
        if (v.recent.size() == kPaired) v.recent.erase(v.recent.begin());
        v.recent.emplace_back(here, self);
        if (v.dotClusters.size() < 256) v.dotClusters.push_back(self);
    }
    v.searchedTo = std::max(v.searchedTo, at + n);
}

void FatParser::InferGeometry(DamagedVolumeSearch& out) {
    const std::uint64_t bound = VolumeBound();
    if (!reader_ || bound == 0) return;
    // Where the FAT search stopped (it found all the copies it was asked for), the volume is read on for votes
    // and for the slots of the advanced run, which then need not read it again.
    std::uint64_t read = vote_.searchedTo;
    ReadAhead blocks([this](std::uint64_t at, std::span<std::uint8_t> out) { window_.ReadAt(at, out); }, read, bound,
                     kSearchReadBytes);
    while (read < bound) {
        if (PollStop(stopRequested)) {
            stopRequested = false;
            break;
        }
        const ReadAhead::Block block = blocks.Next();
        if (!block) break;
        VoteOnDots(block.at, block.bytes.data(), block.length);
        ScanSlots(block.at, block.bytes.data(), block.length);
        read = block.at + block.length;
    }
    slotsComplete_ = read >= bound;
    for (const auto& [geometry, count] : vote_.votes) {
        if (count <= out.inferredVotes) continue;
        out.inferredVotes = count;
        out.inferredClusterBytes = geometry.first;
        out.inferredDataStart = geometry.second;
    }
    if (out.inferredVotes > 0) {
        char text[128];
        std::snprintf(text, sizeof text, "geometry from %zu entries: cluster %llu bytes, data at sector %llu",
                      out.inferredVotes + 1, static_cast<unsigned long long>(out.inferredClusterBytes),
                      static_cast<unsigned long long>(out.inferredDataStart / kSectorBytes));
        Status().SetStatus(text);
    }
}

void FatParser::CheckQuickFormat(DamagedVolumeSearch& out) {
    const bool fat32 = kind_ == FatKind::Fat32;
    const std::uint64_t width = fat32 ? 4 : 2;
    const std::uint64_t fatBytes =
        std::uint64_t{fat32 ? boot_.sectorsPerFat32 : boot_.sectorsPerFat16} * boot_.bytesPerSector;
    const std::uint64_t fatStart = std::uint64_t{boot_.reservedSectors} * boot_.bytesPerSector;
    if (fatBytes == 0 || fatBytes > (256u << 20) || vote_.dotClusters.empty()) return;
    std::vector<std::uint8_t> fat(static_cast<std::size_t>(fatBytes));
    ReadAt(fatStart, fat.data(), static_cast<std::uint32_t>(fatBytes));
    const auto entry = [&](std::uint64_t cluster) -> std::uint32_t {
        const std::uint64_t at = cluster * width;
        if (at + width > fat.size()) return 1;  // outside the table: not free
        return fat32 ? (le32(Bytes(fat), at) & 0x0FFFFFFF) : le16(Bytes(fat), at);
    };
    // mkfs leaves the root's cluster (FAT32) and nothing else in use.
    std::size_t used = 0;
    for (std::uint64_t c = 2; c * width + width <= fat.size() && used <= 16; ++c) used += entry(c) != 0;
    for (const std::uint32_t cluster : vote_.dotClusters) out.foldersOnFreeClusters += entry(cluster) == 0;
    out.looksFormatted = used <= 16 && out.foldersOnFreeClusters >= 2;
}

bool FatParser::SetDeepGeometry(unsigned sectorsPerCluster) {
    if (sectorsPerCluster == 0 || sectorsPerCluster > 255) return false;
    ++advancedMode_;
    clusterBytes_ = std::uint64_t{kSectorBytes} * sectorsPerCluster;
    const std::uint64_t clusters = VolumeBound() / clusterBytes_;
    const std::uint64_t hardLimit = EndOfChain() - 8;  // the bad-cluster mark and above end chains
    clusterLimit_ = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(clusters, 2, hardLimit));
    return true;
}

bool FatParser::SetFatForDeepScan(std::uint64_t fatOffset) {
    deepFat_ = fatOffset != 0 && fatOffset < VolumeBound();
    if (deepFat_) LoadDeepFat(fatOffset, clusterLimit_);
    return deepFat_;
}

void FatParser::ScanSlots(std::uint64_t pos, const std::uint8_t* data, std::uint64_t n) {
    const bool fat32 = kind_ == FatKind::Fat32;
    // The loosest cluster bound: the geometry of the run is not known yet; ReuseSlots applies its own.
    const std::uint64_t clusterCount = VolumeBound() / kSectorBytes + 2;
    for (std::uint64_t off = 0; off + kSlotBytes <= n; off += kSlotBytes) {
        const std::uint8_t first = data[off];
        // Most slots of a data region fail here; "?RECYCLE" slots are root hints whatever their attributes.
        // Branch-free test first: on a data region it is the whole cost of the pass. Byte 12 holds only the
        // lower-case flags in an entry and zero in a long-name slot.
        const bool candidate = kScanAttributes[data[off + 11]] & ((data[off + 12] & 0xE7) == 0);
        if (__builtin_expect(!(candidate | (data[off + 1] == 'R')), 1) || first == kSlotFree) continue;
        const Bytes slot(data + off, kSlotBytes);
        if (first == kSlotDot) {
            // A folder's first cluster names itself in its "." slot, and its parent's in "..".
            if (off % kSectorBytes != 0 || off + 2 * kSlotBytes > n) continue;
            const std::uint32_t self = DotEntryCluster(Bytes(data + off, 2 * kSlotBytes));
            if (self < 2 || dotFolders_.size() >= kMaxFoundSlots / 16) continue;
            dotFolders_.push_back(
                {pos + off, self, DecodeFatDirSlot(Bytes(data + off + kSlotBytes, kSlotBytes)).FirstCluster()});
            continue;
        }
        if (fat32 && !rootHintFound_ && !bootDataStartKnown_ &&
            (data[off + 11] == kAttrVolumeLabel || data[off + 1] == 'R') && Fat32RootHint(slot)) {
            rootHint_ = pos + off;
            rootHintFound_ = true;
        }
        if (allSlots_.size() < kMaxFoundSlots && DeepSlotPasses(slot, kind_, clusterCount))
            allSlots_.emplace_back(pos + off, u8(slot, 11) == kAttrLongName ? 0 : DecodeFatDirSlot(slot).FirstCluster());
    }
}

void FatParser::ClearSlots() {
    foundSlots_.clear();
    allSlots_.clear();
    dotFolders_.clear();
    dataStartVotes_.clear();
    rootHintFound_ = false;
    rootHint_ = 0;
    slotsComplete_ = false;
}

// What the slots found tell under the run's geometry: slots naming clusters past it go, and each "." slot where
// its cluster can lie votes on the data start.
void FatParser::ApplyGeometryToSlots() {
    foundSlots_.clear();
    for (const auto& [at, cluster] : allSlots_)
        if (cluster < clusterLimit_) foundSlots_.push_back(at);
    dataStartVotes_.clear();
    for (const DotFolder& dot : dotFolders_) {
        if (std::uint64_t{dot.self - 2} * clusterBytes_ > dot.at) continue;
        const std::uint64_t start = dot.at - std::uint64_t{dot.self - 2} * clusterBytes_;
        if (dataStartVotes_.size() < kMaxVoteKeys || dataStartVotes_.count(start)) ++dataStartVotes_[start];
    }
}

std::size_t FatParser::ScanSectorsForEntries() {
    if (slotsComplete_) {
        // The search pass already looked at every slot.
        ApplyGeometryToSlots();
        return foundSlots_.size();
    }
    ClearSlots();
    if (!reader_ || clusterBytes_ == 0) return 0;
    const bool fat32 = kind_ == FatKind::Fat32;
    const std::uint64_t bound = VolumeBound();
    const std::uint64_t sectorCount = bound / kSectorBytes;
    auto& status = Status();
    status.SetProgressRange(0, fat32 ? 1000 : 100000);
    ReadAhead blocks([this](std::uint64_t at, std::span<std::uint8_t> out) { window_.ReadAt(at, out); }, 0, bound,
                     kSearchReadBytes);
    for (;;) {
        if (PollStop(stopRequested)) {
            stopRequested = false;
            break;
        }
        const ReadAhead::Block block = blocks.Next();
        if (!block) break;
        const std::uint64_t pos = block.at;
        if (fat32) {
            status.SetProgressPos(static_cast<std::int64_t>(static_cast<double>(pos) / bound * 1000));
        } else {
            status.SetStatus(Format("currently at sector %lld of %lld",
                                    static_cast<long long>(pos / kSectorBytes),
                                    static_cast<long long>(sectorCount)));
            status.SetProgressPos(static_cast<std::int64_t>(
                static_cast<double>(pos / kSectorBytes) / std::max<std::uint64_t>(sectorCount, 1) * 100000));
        }
        ScanSlots(pos, block.bytes.data(), block.length);
        if (fat32) status.SetStatus(Format("found file or directory =  %d", static_cast<long long>(allSlots_.size())));
    }
    status.SetProgressPos(fat32 ? 1000 : 100000);
    ApplyGeometryToSlots();
    return foundSlots_.size();
}

// Where cluster 2 lies: the boot sector's word when it passed; else what most folders' "." slots say; else
// (FAT32) the first volume-label or Recycle Bin slot, the start of the root; else a guess from the volume's
// size (FAT16: two FATs for its cluster count after a few reserved sectors) or the first found slot.
void FatParser::EstimateDataStart() {
    const bool fat32 = kind_ == FatKind::Fat32;
    bool credible = true;
    std::uint64_t start = 0;
    if (bootDataStartKnown_) {
        start = bootDataStart_;
    } else if (!dataStartVotes_.empty()) {
        std::uint32_t best = 0;
        for (const auto& [candidate, votes] : dataStartVotes_)
            if (votes > best || (votes == best && candidate < start)) {
                best = votes;
                start = candidate;
            }
    } else if (fat32 && rootHintFound_) {
        start = rootHint_;
    } else if (fat32) {
        credible = false;
        start =
            !foundSlots_.empty() && foundSlots_.front() >= kSlotBytes ? foundSlots_.front() - kSlotBytes : 0;
    } else {
        credible = false;
        const std::uint64_t clusters = clusterLimit_;
        start = 2 * (kSectorBytes * ((2 * clusters) / kSectorBytes + 1) + 2048) + kFat16RootBytes;
    }
    dataStart_ = start;
    deepRootOffset_ = deepRootBytes_ = 0;
    deepRootCluster_ = 0;
    if (fat32) {
        rootAreaEnd_ = start + clusterBytes_;
        if (credible)
            deepRootCluster_ = bootDataStartKnown_ && boot_.rootCluster >= 2 ? boot_.rootCluster : 2;
        return;
    }
    const auto [bootRootOffset, bootRootBytes] = BootRootArea();
    if (bootDataStartKnown_ && bootRootBytes != 0) {
        deepRootOffset_ = bootRootOffset;
        deepRootBytes_ = bootRootBytes;
    } else if (start >= kFat16RootBytes) {
        deepRootOffset_ = start - kFat16RootBytes;
        deepRootBytes_ = kFat16RootBytes;
    }
    rootAreaEnd_ = deepRootOffset_ + deepRootBytes_;
    if (!credible) deepRootBytes_ = 0;  // a guessed root area is not walked: found slots only
}

FatEntryRecord FatParser::NamedRecord(Bytes slot, LongNameRun& run) {
    const FatDirSlot d = DecodeFatDirSlot(slot);
    FatEntryRecord record = RecordFromSlot(d);
    lastCut_.reset();
    LongNameRun::Match match;
    // A run of deleted long-name slots before a live short entry is left over from an older file.
    if (!run.Empty() && !(run.FirstDeleted() && !d.IsDeleted())) match = run.MatchFor(slot);
    if (match.taken > 0) {
        record.name = Utf16ToUtf8(std::span<const char16_t>(match.units.data(), match.units.size()));
        if (!match.last) {
            if (!d.IsDeleted()) lastCut_ = CutName{0, ShortNameChecksum(slot), match.taken, match.units};
            record.name = WithShortExtension(std::move(record.name), slot, kind_);
        }
        record.deleted = (run.FirstDeleted() || d.IsDeleted()) ? 1 : 0;
    } else {
        record.name = ShortEntryName(slot, kind_);
        record.deleted = d.IsDeleted() ? 1 : 0;
        // An alias made for a long name ("HOLIDA~4.JPE") whose pieces all lie in another cluster.
        if (!d.IsDeleted() && record.name.find('~') != std::string::npos)
            lastCut_ = CutName{0, ShortNameChecksum(slot), 0, {}};
    }
    run.Clear();
    return record;
}

void FatParser::NoteCut(std::uint32_t index) {
    if (lastCut_ && index != kNoRecord) {
        lastCut_->record = index;
        cutNames_.push_back(std::move(*lastCut_));
    }
    lastCut_.reset();
}

// Only a run that opens with a name's last piece can finish a cut one.
void FatParser::KeepDangling(const LongNameRun& run) {
    constexpr std::size_t kMaxDangling = 1u << 16;
    const auto& pieces = run.Pieces();
    if (pieces.empty() || pieces.front().deleted || !(pieces.front().sequence & 0x40) ||
        danglingRuns_.size() >= kMaxDangling)
        return;
    danglingRuns_.push_back(pieces);
}

void FatParser::JoinCutNames() {
    // Dangling runs by checksum and the order of their nearest piece: a cut name looks only at those that can
    // finish it, so many cuts and many runs do not meet pair by pair.
    std::unordered_map<std::uint32_t, std::vector<std::size_t>> byKey;
    const auto key = [](std::uint8_t checksum, std::size_t order) {
        return std::uint32_t{checksum} << 8 | static_cast<std::uint32_t>(order & 0xFF);
    };
    for (std::size_t i = 0; i < danglingRuns_.size(); ++i)
        byKey[key(danglingRuns_[i].back().checksum, danglingRuns_[i].back().sequence & 0x1F)].push_back(i);
    for (const CutName& cut : cutNames_) {
        const auto candidates = byKey.find(key(cut.checksum, cut.taken + 1));
        if (candidates == byKey.end()) continue;
        for (const std::size_t i : candidates->second) {
            auto& pieces = danglingRuns_[i];
            if (pieces.empty()) continue;  // taken by an earlier cut
            // Every piece of the run must be of the same name, in order after the cut's.
            std::u16string units = cut.units;
            std::size_t order = cut.taken;
            bool whole = true;
            for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
                whole = whole && it->checksum == cut.checksum && (it->sequence & 0x1F) == ++order;
                units.append(it->units.data(), it->length);
            }
            if (!whole) continue;
            entries_[cut.record].name = Utf16ToUtf8(std::span<const char16_t>(units.data(), units.size()));
            pieces.clear();
            break;
        }
    }
    cutNames_.clear();
    danglingRuns_.clear();
}

bool FatParser::LoadDeepBlock(DeepFrame& f) {
    const std::uint64_t bound = VolumeBound();
    if (f.fixedArea) {
        if (f.blocks > 0 || f.fixedOffset >= bound) return false;
        const std::uint64_t bytes = std::min(f.fixedBytes, bound - f.fixedOffset) / kSlotBytes * kSlotBytes;
        f.block.assign(bytes, 0);
        ReadAt(f.fixedOffset, f.block.data(), static_cast<std::uint32_t>(bytes));
        f.blockOffset = f.fixedOffset;
    } else {
        std::uint32_t next = f.cluster;
        if (f.blocks > 0) {
            next = NextCluster(f.cluster);
            // A deleted folder, and every folder of a volume read as formatted, has no chain left.
            if (next == EndOfChain() && (formattedDrive || FatValue(f.cluster) == 0) &&
                FolderGoesOn(f.block, f.cluster + 1))
                next = f.cluster + 1;
            if (next == EndOfChain()) return false;
        }
        // A cluster read before (a loop, a cross-link) ends the chain.
        if (next < 2 || next >= clusterLimit_ || visitedClusters_[next]) return false;
        const std::uint64_t offset = dataStart_ + std::uint64_t{next - 2} * clusterBytes_;
        if (offset >= bound) return false;
        visitedClusters_[next] = true;
        f.cluster = next;
        ReadCluster(next, f.block);
        f.blockOffset = offset;
        if (f.blocks == 0 && f.dotCheck && u8(f.block, 0) != kSlotDot) return false;
    }
    ++f.blocks;
    f.slot = 0;
    f.loaded = true;
    return true;
}

// Walks folders from the frame on top, and the folders found in them. Every slot handled goes into
// processedOffsets_; meeting one that is there already ends that cluster: it was handled before.
void FatParser::WalkDeep(std::vector<DeepFrame>& stack) {
    const bool freeEndsCluster = kind_ == FatKind::Fat32;
    while (!stack.empty()) {
        DeepFrame& f = stack.back();
        if (!f.loaded) {
            if (PollStop(stopRequested) || !LoadDeepBlock(f)) {
                KeepDangling(f.run);
                stack.pop_back();
                continue;
            }
        }
        if (f.slot + kSlotBytes > f.block.size()) {
            f.loaded = false;
            continue;
        }
        const Bytes slot = Bytes(f.block).subspan(f.slot, kSlotBytes);
        const std::uint64_t at = f.blockOffset + f.slot;
        f.slot += kSlotBytes;
        const std::uint8_t first = u8(slot, 0);
        const std::uint8_t attributes = u8(slot, 11);
        if (attributes == kEndMarker) {
            f.slot = f.block.size();
            continue;
        }
        if (first == kSlotFree) {
            if (freeEndsCluster) f.slot = f.block.size();
            f.run.Clear();
            continue;
        }
        if (first == kSlotDot) continue;
        if (!processedOffsets_.insert(at).second) {
            f.slot = f.block.size();
            f.run.Clear();
            continue;
        }
        if (attributes == kAttrLongName) {
            f.run.Add(slot);
            continue;
        }
        if (!ShortSlotPlausible(slot, DecodeFatDirSlot(slot), VolumeBound())) {
            f.run.Clear();
            continue;
        }
        FatEntryRecord record = NamedRecord(slot, f.run);
        record.parentIndex = f.dirIndex;
        const std::uint32_t cluster = record.FirstCluster();
        const bool folder = record.IsDirectory();
        const std::uint32_t index = AddFound(std::move(record));
        NoteCut(index);
        if (!folder || index == kNoRecord || cluster < 2 || cluster >= clusterLimit_ ||
            visitedClusters_[cluster] || stack.size() >= kMaxDeepDepth)
            continue;
        DeepFrame child;
        child.dirIndex = index;
        child.cluster = cluster;
        child.dotCheck = true;
        stack.push_back(std::move(child));  // f is not used past this point
    }
}

bool FatParser::FolderGoesOn(const std::vector<std::uint8_t>& block, std::uint32_t next) {
    if (next >= clusterLimit_ || visitedClusters_[next]) return false;
    for (std::size_t at = 0; at + kSlotBytes <= block.size(); at += kSlotBytes)
        if (block[at] == kSlotFree) return false;
    std::uint8_t slot[kSlotBytes];
    if (!ReadAt(dataStart_ + std::uint64_t{next - 2} * clusterBytes_, slot, kSlotBytes)) return false;
    const Bytes view(slot, kSlotBytes);
    return slot[0] != kSlotDot && slot[0] != kSlotFree &&
           (DeepSlotPasses(view, kind_, clusterLimit_) ||
            (u8(view, 11) != kAttrLongName && ShortSlotPlausible(view, DecodeFatDirSlot(view), VolumeBound())));
}

void FatParser::WalkUnnamedFolders() {
    for (const DotFolder& dot : dotFolders_) {
        if (PollStop(stopRequested)) break;
        // Only "." slots where the geometry in use puts their cluster: others are of an older format.
        if (dot.at < dataStart_ || (dot.at - dataStart_) % clusterBytes_ != 0 ||
            (dot.at - dataStart_) / clusterBytes_ + 2 != dot.self || dot.self >= clusterLimit_ ||
            visitedClusters_[dot.self])
            continue;
        std::uint8_t slot[kSlotBytes];
        if (!ReadAt(dot.at, slot, kSlotBytes)) continue;
        FatEntryRecord record = RecordFromSlot(DecodeFatDirSlot(Bytes(slot, kSlotBytes)));
        record.name = "Folder at cluster " + std::to_string(dot.self);
        record.parentIndex = 1;
        record.deleted = FatValue(dot.self) == 0 ? 1 : 0;
        const std::uint32_t index = AddRecord(std::move(record));
        if (index == kNoRecord) break;
        unnamedFolders_[dot.self] = index;
        std::vector<DeepFrame> stack(1);
        stack.back().dirIndex = index;
        stack.back().cluster = dot.self;
        stack.back().dotCheck = true;
        WalkDeep(stack);
    }
}

void FatParser::PlaceUnnamedFolders() {
    std::unordered_map<std::uint32_t, std::uint32_t> folderByCluster;
    for (std::size_t i = 2; i < entries_.size(); ++i)
        if (entries_[i].IsDirectory() && entries_[i].FirstCluster() >= 2)
            folderByCluster.emplace(entries_[i].FirstCluster(), static_cast<std::uint32_t>(i));
    for (const DotFolder& dot : dotFolders_) {
        const auto self = unnamedFolders_.find(dot.self);
        const auto parent = folderByCluster.find(dot.parent);
        if (self == unnamedFolders_.end() || parent == folderByCluster.end() ||
            entries_[self->second].parentIndex != 1)
            continue;
        // Never below itself: a loop of ".." slots stays under the lost entries.
        std::uint32_t up = parent->second;
        for (int depth = 0; depth < 64 && up > 1 && up != self->second; ++depth) up = entries_[up].parentIndex;
        if (up != self->second) entries_[self->second].parentIndex = parent->second;
    }
    unnamedFolders_.clear();
}

std::uint32_t FatParser::AddFound(FatEntryRecord record) {
    const auto unnamed = record.IsDirectory() ? unnamedFolders_.find(record.FirstCluster()) : unnamedFolders_.end();
    if (unnamed != unnamedFolders_.end()) {
        const std::uint32_t index = unnamed->second;
        std::uint32_t up = record.parentIndex;
        for (int depth = 0; depth < 64 && up > 1 && up != index; ++depth) up = entries_[up].parentIndex;
        if (up != index) {
            record.selfIndex = index;
            entries_[index] = std::move(record);
            unnamedFolders_.erase(unnamed);
            return index;
        }
    }
    return AddRecord(std::move(record));
}

void FatParser::HandleFoundSlot(std::uint64_t offset, std::vector<std::uint8_t>& window) {
    if (!processedOffsets_.insert(offset).second) return;
    const std::uint64_t sectorStart = offset - offset % kSectorBytes;
    ReadAt(sectorStart, window.data(), static_cast<std::uint32_t>(window.size()));
    std::size_t pos = static_cast<std::size_t>(offset - sectorStart);
    if (u8(window, pos) == kSlotDot) return;
    LongNameRun run;
    if (u8(window, pos + 11) == kAttrLongName) {
        // The run and the short entry after it, as far as the window reaches.
        while (pos + kSlotBytes <= window.size() && u8(window, pos + 11) == kAttrLongName &&
               u8(window, pos) != kSlotFree) {
            run.Add(Bytes(window).subspan(pos, kSlotBytes));
            processedOffsets_.insert(sectorStart + pos);
            pos += kSlotBytes;
        }
        // Where the run is not followed by its short entry, the folder went on in another cluster.
        const Bytes next = pos + kSlotBytes <= window.size() ? Bytes(window).subspan(pos, kSlotBytes) : Bytes();
        if (next.empty() || u8(next, 0) == kSlotFree || u8(next, 0) == kSlotDot || u8(next, 11) == kAttrLongName ||
            !ShortSlotPlausible(next, DecodeFatDirSlot(next), VolumeBound()) ||
            (!run.FirstDeleted() && run.MatchFor(next).taken == 0 && u8(next, 0) != kSlotDeleted)) {
            KeepDangling(run);
            return;
        }
        if (!processedOffsets_.insert(sectorStart + pos).second) return;
    }
    const Bytes slot = Bytes(window).subspan(pos, kSlotBytes);
    if (u8(slot, 0) == kSlotFree) return;
    FatEntryRecord record = NamedRecord(slot, run);
    record.parentIndex = offset > rootAreaEnd_ ? 1 : 0;
    const std::uint32_t cluster = record.FirstCluster();
    const bool folder = record.IsDirectory();
    const std::uint32_t index = AddFound(std::move(record));
    NoteCut(index);
    if (!folder || index == kNoRecord || cluster < 2 || cluster >= clusterLimit_ || visitedClusters_[cluster])
        return;
    std::vector<DeepFrame> stack(1);
    stack.back().dirIndex = index;
    stack.back().cluster = cluster;
    stack.back().dotCheck = true;
    WalkDeep(stack);
}

std::size_t FatParser::BuildEntriesFromScan() {
    entries_.clear();
    lastChild_.clear();
    processedOffsets_.clear();
    visitedClusters_.assign(clusterLimit_, false);
    EstimateDataStart();

    FatEntryRecord root;
    root.attributes = kAttrLongName;
    root.name = kRootName;
    AddRecord(std::move(root));
    FatEntryRecord orphans;
    orphans.attributes = kAttrDirectory;
    orphans.name = kOrphanName;
    AddRecord(std::move(orphans));

    // The root first, so that its entries are not taken for orphans.
    std::vector<DeepFrame> stack(1);
    if (deepRootBytes_ != 0) {
        stack.back().fixedArea = true;
        stack.back().fixedOffset = deepRootOffset_;
        stack.back().fixedBytes = deepRootBytes_;
    } else {
        stack.back().cluster = deepRootCluster_;
    }
    if (deepRootBytes_ != 0 || deepRootCluster_ >= 2) WalkDeep(stack);

    WalkUnnamedFolders();
    std::vector<std::uint8_t> window(kWindowBytes);
    for (const std::uint64_t offset : foundSlots_) {
        if (PollStop(stopRequested)) break;
        HandleFoundSlot(offset, window);
    }
    JoinCutNames();
    PlaceUnnamedFolders();
    processedOffsets_ = {};
    visitedClusters_ = {};
    return entries_.size();
}

void FatParser::BuildEntriesFromScan(std::vector<FatEntryRecord>& out) {
    BuildEntriesFromScan();
    out = entries_;
}

void FatParser::RunAdvanced(std::size_t candidateIndex, unsigned sectorsPerCluster) {
    advancedRun_ = true;
    allocation_.reset();
    stopRequested = false;
    entries_.clear();
    lastChild_.clear();
    const bool fat32 = kind_ == FatKind::Fat32;
    if (SetDeepGeometry(sectorsPerCluster)) {
        SetFatForDeepScan(candidateIndex < foundFats_.size() ? foundFats_[candidateIndex] : 0);
        ScanSectorsForEntries();
    } else {
        foundSlots_.clear();  // no geometry: the tree keeps its root and orphan folders only
    }
    Status().SetStatus("Maintaining directory Structure in AdvanceScanning");
    BuildEntriesFromScan();
    Status().SetStatus(fat32 ? "Maintaining TreeStructure for Tree Control"
                             : "Maintaining Tree Structure for Tree Control");
    MaintainTreeInVector();
    CreateTreeStructure();
}

}  // namespace salvora
