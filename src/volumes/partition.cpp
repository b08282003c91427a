#include "volumes/partition.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>

#include "io/pause_gate.h"
#include "volumes/boot_sector_probe.h"
#include "volumes/partition_tables.h"
#include "volumes/volume_labels.h"
#include "volumes/volume_names.h"

namespace salvora {
namespace {

constexpr std::uint32_t kChunkBytes = 1u << 20;
constexpr std::size_t kPageBytes = 4096;
constexpr std::uint64_t kChunkSectors = kChunkBytes / kSectorBytes;
constexpr int kMaxEbrs = 50;
constexpr std::uint64_t kMaxHfsMiB = 20'971'519;
constexpr std::uint64_t kMaxSeekSector =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / kSectorBytes;
constexpr const char* kReservedGptName = "Microsoft reserved partition";

using Sector = std::array<std::uint8_t, kSectorBytes>;

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

struct ReadOutcome {
    std::uint32_t code = 0;    // 0, errno, or EIO for a short read that left no errno
    std::uint64_t bytes = 0;   // delivered into the buffer, full or not
    bool endOfSource = false;  // the read came short only because the source ended
    std::uint64_t missingBytes = 0;
};

ReadOutcome ReadAt(FileReadSeek& reader, std::uint64_t sector, std::span<std::uint8_t> out) {
    if (sector > kMaxSeekSector) return {static_cast<std::uint32_t>(EIO), 0, false};
    ByteRanges missing;
    errno = 0;
    if (reader.ReadAt(sector * kSectorBytes, out, &missing)) return {0, out.size(), false};
    // An unreadable sector still delivers the block around it as zeros; the end of the source cuts it short.
    const int err = errno;
    std::uint64_t missingBytes = 0;
    for (const ByteRange& r : missing) missingBytes += r.length;
    if (reader.sourceLength == 0 || missing.back().offset + missing.back().length <= reader.sourceLength)
        return {static_cast<std::uint32_t>(err != 0 ? err : EIO), out.size(), false, missingBytes};
    const std::uint64_t start = sector * kSectorBytes;
    const std::uint64_t inSource = reader.sourceLength > start ? reader.sourceLength - start : 0;
    return {static_cast<std::uint32_t>(EIO), std::min<std::uint64_t>(out.size(), inSource), true, missingBytes};
}

// Status, records and the NTFS count of one scan.
class ScanOutput {
  public:
    ScanOutput(Partition& owner, FileReadSeek& reader) : owner_(owner), reader_(reader) {}

    void Status(const char* format) {
        if (format == nullptr) return;
        const bool counted = std::string_view(format).find("%d") != std::string_view::npos;
        (owner_.statusWindow ? *owner_.statusWindow : Ui())
            .SetStatus(StatusText(format, counted ? ++ntfsCount_ : 0));
    }
    void Status(const std::string& text) {
        (owner_.statusWindow ? *owner_.statusWindow : Ui()).SetStatus(text);
    }

    void Record(std::string label, std::string sizeText, std::uint64_t startSector,
                std::string partitionName = {}, std::uint64_t sizeBytes = 0) {
        VolumeEntry entry;
        entry.fileSystemLabel = std::move(label);
        entry.volumeName = std::to_string(recorded_++);
        entry.sizeText = std::move(sizeText);
        entry.startSector = startSector;
        entry.sizeBytes = sizeBytes;
        entry.partitionName = std::move(partitionName);
        entry.commonName = CommonVolumeName(reader_, startSector, sizeBytes);
        if (owner_.onVolumeRecorded) owner_.onVolumeRecorded(entry);
        if (owner_.volumeList) owner_.volumeList->push_back(std::move(entry));
    }

  private:
    Partition& owner_;
    FileReadSeek& reader_;
    int ntfsCount_ = 0;
    int recorded_ = 0;
};

std::string TypeName(std::uint8_t type) {
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string("type 0x") + kHex[type >> 4] + kHex[type & 15];
}

// One MBR or EBR slot of a partition type other than empty or extended. Logical partitions are labelled by
// type code alone, except that 0x07 looks at its first sector for exFAT, as primaries do. A type whose label
// no parser reads takes the label of the file system found in the partition, so that its row opens.
void RecordSlot(Partition& scanner, FileReadSeek& reader, ScanOutput& out, const MbrSlot& slot,
                std::uint64_t startSector, bool inEbr) {
    // A slot that starts past the end of the source names nothing that could be read.
    if (reader.sourceLength != 0 && startSector >= reader.sourceLength / kSectorBytes) return;
    const MbrTypeRow* row = &LookupMbrType(slot.type, inEbr);
    if (slot.type == kNtfsOrExfatType && scanner.IsExfatBootSector(reader, startSector)) row = &kExfatTypeRow;
    out.Status(inEbr ? row->ebrStatus : row->primaryStatus);
    std::string label = row->label;
    if (!IsReadableLabel(label))
        if (std::string found = ContentLabel(reader, startSector); !found.empty()) label = std::move(found);
    out.Record(std::move(label), MiBText(SectorsToMiB(slot.sectorCount), 3), startSector, TypeName(slot.type),
               std::uint64_t{slot.sectorCount} * kSectorBytes);
}

std::uint32_t WalkEbrChain(Partition& scanner, FileReadSeek& reader, ScanOutput& out,
                           std::uint64_t extendedBase) {
    std::uint64_t ebrSector = extendedBase;
    std::uint64_t relativeOffset = 0;
    std::vector<std::uint64_t> visited;
    for (int n = 0; n < kMaxEbrs; ++n) {
        // A link back to an EBR already read would only list its partitions again.
        if (std::find(visited.begin(), visited.end(), ebrSector) != visited.end()) return 0;
        visited.push_back(ebrSector);
        Sector table{};
        if (const ReadOutcome got = ReadAt(reader, ebrSector, table); got.code != 0) return got.code;
        if (!LooksLikeMbr(table)) return 0;
        bool linked = false;
        for (int i = 0; i < kMbrSlotCount && !linked; ++i) {
            const MbrSlot slot = DecodeMbrSlot(table, i);
            if (slot.type == 0x00) return 0;
            if (IsExtendedType(slot.type)) {
                ebrSector = extendedBase + slot.firstLba;
                relativeOffset = slot.firstLba;
                linked = true;
            } else {
                RecordSlot(scanner, reader, out, slot, extendedBase + relativeOffset + slot.firstLba, true);
            }
        }
        if (!linked) return 0;
    }
    return 0;
}

std::uint32_t WalkMbr(Partition& scanner, FileReadSeek& reader, ScanOutput& out) {
    Sector table{};
    if (const ReadOutcome got = ReadAt(reader, 0, table); got.code != 0) return got.code;
    if (!LooksLikeMbr(table)) return 0;
    for (int i = 0; i < kMbrSlotCount; ++i) {
        const MbrSlot slot = DecodeMbrSlot(table, i);
        if (IsExtendedType(slot.type)) return WalkEbrChain(scanner, reader, out, slot.firstLba);
        if (slot.type == 0x00) return 0;
        RecordSlot(scanner, reader, out, slot, slot.firstLba, false);
    }
    return 0;
}

std::uint32_t WalkGpt(Partition& scanner, FileReadSeek& reader, ScanOutput& out, Bytes header) {
    std::vector<std::uint8_t> array(kGptEntryArrayBytes, 0);
    // A partly readable array still holds good entries; the zeros after them end the collection.
    if (const ReadOutcome got = ReadAt(reader, GptEntryArrayLba(header), array);
        got.code != 0 && got.bytes == 0)
        return got.code;
    std::vector<GptEntry> entries;
    for (std::size_t i = 0; i < kGptMaxEntries; ++i) {
        GptEntry entry = DecodeGptEntry(Bytes(array).subspan(i * kGptEntryBytes, kGptEntryBytes));
        if (!IsCollectableGptEntry(entry)) break;
        entries.push_back(std::move(entry));
    }
    for (const GptEntry& entry : entries) {
        const auto first = static_cast<std::uint64_t>(entry.firstLba);
        Sector boot{};
        const ReadOutcome got = ReadAt(reader, first, boot);
        if (entry.name == kReservedGptName) continue;
        if (got.code != 0) return got.code;
        const BootSectorProbe probe = ProbeBootSector(boot, kTableRules);
        // LastLBA is inclusive.
        const std::uint64_t sectors = entry.lastLba >= entry.firstLba
                                          ? static_cast<std::uint64_t>(entry.lastLba) -
                                                static_cast<std::uint64_t>(entry.firstLba) + 1
                                          : 0;
        if (probe.kind == BootKind::None) {
            // An ext or HFS+ volume is labelled by what it holds, with the size text of such rows; any other
            // partition keeps the table's name.
            const std::string found = ContentLabel(reader, first);
            if (found == "extX" || found == "HFS+") {
                out.Record(found, MiBText(SectorsToMiB(sectors), 2), first, entry.name, sectors * kSectorBytes);
            } else {
                out.Record(entry.name, std::to_string(SectorsToMiB(sectors)), first, entry.name,
                           sectors * kSectorBytes);
            }
            continue;
        }
        const BootKindRow& row = LookupBootKind(probe.kind);
        const std::uint64_t mib = SectorsToMiB(probe.volumeSectors);
        if (probe.kind != BootKind::Ntfs || mib > 0) out.Status(row.status);
        if (mib > 0) out.Record(row.label, MiBText(mib, row.sizeBlanks), first, entry.name, sectors * kSectorBytes);
        if (scanner.stopRequested.load()) break;
    }
    return 0;
}

// A volume recorded by the advance scan and how far it reaches, so a skip can continue behind it.
struct Found {
    bool recorded = false;
    std::uint64_t startSector = 0;
    std::uint64_t extentSectors = 0;
};

Found TestSector(Bytes sector, std::uint64_t p, ScanOutput& out) {
    if (IsDynamicDiskRecord(sector)) return {};
    const BootSectorProbe probe = ProbeBootSector(sector, kAdvanceRules);
    if (probe.kind != BootKind::None) {
        const BootKindRow& row = LookupBootKind(probe.kind);
        const std::uint64_t mib = SectorsToMiB(probe.volumeSectors);
        if (probe.kind != BootKind::Ntfs || mib > 0) out.Status(row.status);
        if (mib == 0) return {};
        out.Record(row.label, MiBText(mib, row.sizeBlanks), p, {}, probe.volumeSectors * kSectorBytes);
        // NTFS counts its sectors without the backup boot sector that follows them.
        const std::uint64_t extent =
            probe.kind == BootKind::Ntfs ? SaturatingAdd(probe.volumeSectors, 1) : probe.volumeSectors;
        return {true, p, extent};
    }
    // The HFS+ header is the volume's third sector.
    if (p < 2 || !IsHfsPlusSignature(sector)) return {};
    const std::uint64_t bytes = HfsPlusVolumeBytes(sector);
    const std::uint64_t mib = bytes >> 20;
    if (mib < 1 || mib > kMaxHfsMiB) return {};
    out.Record(kHfsPlusRow.label, MiBText(mib, kHfsPlusRow.sizeBlanks), p - 2, {}, bytes);
    out.Status(kHfsPlusRow.status);
    return {true, p - 2, bytes / kSectorBytes};
}

}  // namespace

std::uint32_t Partition::ScanPartitionTables(FileReadSeek& reader) {
    ScanOutput out(*this, reader);
    std::array<std::uint8_t, 2 * kSectorBytes> head{};
    const ReadOutcome got = ReadAt(reader, 0, head);
    if (got.code != 0 || !(useGpt || (findGpt && LooksLikeGpt(head)))) return WalkMbr(*this, reader, out);
    return WalkGpt(*this, reader, out, Bytes(head).subspan(kSectorBytes));
}

// Stop is looked at before every sector; Pause waits at the start of each 1 MiB chunk, which keeps the pause
// gate's lock out of the per-sector loop.
std::uint32_t Partition::ScanForBootSectors(FileReadSeek& reader) {
    ScanOutput out(*this, reader);
    UiSink& progress = progressWindow ? *progressWindow : Ui();
    out.Status(std::string(kScanningStatus));
    stopRequested = false;
    unreadableBytes = 0;
    progress.SetProgressRange(0, 1000);

    const std::uint64_t total = reader.sourceLength / kSectorBytes;
    std::uint64_t chunkStart = rangeStartSector;
    if (chunkStart >= total) return 0;
    // Page-aligned: the kernel copies into an unaligned buffer at about half the speed.
    const std::unique_ptr<std::uint8_t, decltype(&std::free)> chunkMemory(
        static_cast<std::uint8_t*>(std::aligned_alloc(kPageBytes, kChunkBytes)), &std::free);
    if (!chunkMemory) return ENOMEM;
    const std::span<std::uint8_t> chunk(chunkMemory.get(), kChunkBytes);
    // A bad area is stepped over, not crawled: the scan goes on past it and comes back to it at the end.
    struct SkipAhead {
        FileReadSeek& reader;
        explicit SkipAhead(FileReadSeek& r) : reader(r) { reader.SetSkipAhead(true); }
        ~SkipAhead() { reader.SetSkipAhead(false); }
    } skipAhead(reader);
    std::uint32_t firstError = 0;
    std::uint64_t scannedBytes = 0;

    // Tests sectors [from, from + count) of the chunk that starts at sector first; false when stopped.
    const auto testSectors = [&](std::uint64_t first, std::uint64_t from, std::uint64_t count, std::uint64_t& next) {
        std::uint64_t i = from;
        while (i < from + count) {
            if (stopRequested.load(std::memory_order_relaxed)) {
                out.Status(std::string(kScanStoppedStatus));
                return false;
            }
            const std::uint8_t* s = chunk.data() + i * kSectorBytes;
            if (s[0] != 0xEB && s[0] != 'H') {  // cheap filter: every signature starts with one of these
                ++i;
                continue;
            }
            const Found found = TestSector(Bytes(s, kSectorBytes), first + i, out);
            if (found.recorded && skipFoundVolumes) {
                i = SaturatingAdd(found.startSector, found.extentSectors) - first;
            } else {
                ++i;
            }
            if (found.recorded && stopRequested.load()) return false;
        }
        next = i;
        return true;
    };

    while (chunkStart < total) {
        if (PollStop(stopRequested)) {
            out.Status(std::string(kScanStoppedStatus));
            return 0;
        }
        if (rangeEndSector != 0 && rangeEndSector < chunkStart) break;
        const ReadOutcome got = ReadAt(reader, chunkStart, chunk);
        // A short read still delivered whole sectors worth testing: the tail of an image is scanned too.
        const std::uint64_t sectors = std::min(got.bytes / kSectorBytes, total - chunkStart);
        scannedBytes += sectors * kSectorBytes;
        std::uint64_t i = 0;
        if (!testSectors(chunkStart, 0, sectors, i)) return 0;
        chunkStart = SaturatingAdd(chunkStart, std::max<std::uint64_t>(i, kChunkSectors));
        const double fraction = std::min(1.0, static_cast<double>(chunkStart) / static_cast<double>(total));
        progress.SetProgressPos(static_cast<std::int64_t>(fraction * 1000.0));
        if (got.code != 0 && got.endOfSource) break;
        if (got.code != 0) {
            if (firstError == 0) firstError = got.code;
            unreadableBytes += got.missingBytes;
        }
    }
    if (firstError == 0) return 0;
    // Nothing at all could be read: the device is gone, not worn; reading every sector again would not help.
    if (unreadableBytes >= scannedBytes) return firstError;
    reader.SetSkipAhead(false);
    const ByteRanges recovered = reader.RetrySkipped([this] { return stopRequested.load(); });
    for (const ByteRange& r : recovered) {
        for (std::uint64_t at = r.offset; at + kSectorBytes <= r.offset + r.length; at += kChunkBytes) {
            const std::uint64_t bytes = std::min<std::uint64_t>(kChunkBytes, r.offset + r.length - at);
            const ReadOutcome got = ReadAt(reader, at / kSectorBytes, chunk.first(bytes - bytes % kSectorBytes));
            std::uint64_t next = 0;
            if (!testSectors(at / kSectorBytes, 0, got.bytes / kSectorBytes, next)) return 0;
        }
        unreadableBytes -= std::min(unreadableBytes, r.length);
    }
    return 0;
}

bool Partition::IsExfatBootSector(FileReadSeek& reader, std::uint64_t sector) {
    Sector boot{};
    return ReadAt(reader, sector, boot).code == 0 && IsExfatBoot(boot);
}

bool Partition::IsHfsPlusHeader(FileReadSeek& reader, std::uint64_t sector) {
    Sector header{};
    return sector <= kMaxSeekSector - 2 && ReadAt(reader, sector + 2, header).code == 0 &&
           IsHfsPlusSignature(header);
}

}  // namespace salvora
