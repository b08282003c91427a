#include "fs/fat/exfat_entry_set.h"

#include "io/utf8.h"

namespace salvora {
namespace {

// Boot sector.
constexpr std::size_t kBootName = 3;
constexpr std::size_t kBootVolumeLength = 72;
constexpr std::size_t kBootFatOffset = 80;
constexpr std::size_t kBootHeapOffset = 88;
constexpr std::size_t kBootRootCluster = 96;
constexpr std::size_t kBootBytesPerSectorShift = 108;
constexpr std::size_t kBootSectorsPerClusterShift = 109;

// File entry.
constexpr std::size_t kFileSecondaryCount = 1;
constexpr std::size_t kFileAttributes = 4;
constexpr std::size_t kFileReserved1 = 6;
constexpr std::size_t kFileCreated = 8;
constexpr std::size_t kFileModified = 12;
constexpr std::size_t kFileAccessed = 16;
constexpr std::size_t kFileCreated10ms = 20;
constexpr std::size_t kFileModified10ms = 21;
constexpr std::size_t kFileCreatedUtc = 22;
constexpr std::size_t kFileModifiedUtc = 23;
constexpr std::size_t kFileAccessedUtc = 24;
constexpr std::size_t kFileReserved2 = 25;  // 7 bytes

// Stream extension.
constexpr std::size_t kStreamFlags = 1;
constexpr std::size_t kStreamReserved1 = 2;
constexpr std::size_t kStreamNameLength = 3;
constexpr std::size_t kStreamReserved2 = 6;
constexpr std::size_t kStreamValidLength = 8;
constexpr std::size_t kStreamReserved3 = 16;
constexpr std::size_t kStreamFirstCluster = 20;
constexpr std::size_t kStreamDataLength = 24;

// File name entry.
constexpr std::size_t kNameFlags = 1;
constexpr std::size_t kNameUnits = 2;

bool AllZero(Bytes buf, std::size_t off, std::size_t n) {
    if (!Fits(buf, off, n)) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (buf[off + i] != 0) return false;
    return true;
}

}  // namespace

std::optional<ExFatBoot> DecodeExFatBoot(Bytes sector) {
    static constexpr std::uint8_t kName[5] = {'E', 'X', 'F', 'A', 'T'};
    if (!Fits(sector, kBootName, 5)) return std::nullopt;
    for (std::size_t i = 0; i < 5; ++i)
        if (sector[kBootName + i] != kName[i]) return std::nullopt;
    ExFatBoot boot;
    boot.volumeLengthSectors = le64(sector, kBootVolumeLength);
    boot.fatOffsetSectors = le32(sector, kBootFatOffset);
    boot.heapOffsetSectors = le32(sector, kBootHeapOffset);
    boot.rootCluster = le32(sector, kBootRootCluster);
    boot.bytesPerSectorShift = u8(sector, kBootBytesPerSectorShift);
    boot.sectorsPerClusterShift = u8(sector, kBootSectorsPerClusterShift);
    if (boot.bytesPerSectorShift < 9 || boot.bytesPerSectorShift > 12) return std::nullopt;
    if (boot.bytesPerSectorShift + boot.sectorsPerClusterShift > 25) return std::nullopt;
    return boot;
}

bool IsExFatDirectory(std::uint16_t attributes) {
    return (attributes >= 0x10 && attributes <= 0x16) || attributes == 0x30;
}

std::optional<DecodedEntrySet> DecodeEntrySet(Bytes dir, std::size_t off) {
    if (!Fits(dir, off, kExFatSlotBytes) || !IsExFatFileType(dir[off])) return std::nullopt;
    const std::uint8_t secondary = u8(dir, off + kFileSecondaryCount);
    if (secondary < kExFatMinSecondary || secondary > kExFatMaxSecondary) return std::nullopt;

    DecodedEntrySet set;
    ExFatEntryRecord& r = set.record;
    r.entryType = dir[off];
    r.attributes = le16(dir, off + kFileAttributes);
    r.creationTimestamp = le32(dir, off + kFileCreated);
    r.lastModifiedTimestamp = le32(dir, off + kFileModified);
    r.lastAccessedTimestamp = le32(dir, off + kFileAccessed);
    r.creation10ms = u8(dir, off + kFileCreated10ms);
    r.lastModified10ms = u8(dir, off + kFileModified10ms);
    r.creationUtcOffset = u8(dir, off + kFileCreatedUtc);
    r.lastModifiedUtcOffset = u8(dir, off + kFileModifiedUtc);
    r.lastAccessedUtcOffset = u8(dir, off + kFileAccessedUtc);
    set.slots = 1;

    std::size_t pos = off + kExFatSlotBytes;
    if (Fits(dir, pos, kExFatSlotBytes) && IsExFatStreamType(dir[pos])) {
        r.streamType = dir[pos];
        r.streamFlags = u8(dir, pos + kStreamFlags);
        r.nameLength = u8(dir, pos + kStreamNameLength);
        r.validDataLength = le64(dir, pos + kStreamValidLength);
        r.firstCluster = le32(dir, pos + kStreamFirstCluster);
        r.dataLength = le64(dir, pos + kStreamDataLength);
        pos += kExFatSlotBytes;
        ++set.slots;
    }

    std::u16string units;
    const std::size_t maxNameSlots = secondary - 1u;
    for (std::size_t n = 0; n < maxNameSlots && Fits(dir, pos, kExFatSlotBytes) && IsExFatNameType(dir[pos]);
         ++n) {
        for (std::size_t i = 0; i < kExFatUnitsPerNameSlot; ++i) {
            const char16_t unit = le16(dir, pos + kNameUnits + 2 * i);
            if (unit == 0) break;
            units += unit;
        }
        pos += kExFatSlotBytes;
        ++set.slots;
    }
    // The stream entry's NameLength is the name; units past it are left over from a longer name.
    if (r.streamType != 0 && units.size() > r.nameLength) units.resize(r.nameLength);
    r.name = units.empty() ? std::string(kExFatUnnamed) : Utf16ToUtf8(units);
    return set;
}

bool LooksLikeEntrySet(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, kExFatSlotBytes) || !IsExFatFileType(buf[off])) return false;
    const std::uint8_t secondary = u8(buf, off + kFileSecondaryCount);
    if (secondary < kExFatMinSecondary || secondary > kExFatMaxSecondary) return false;
    const std::uint8_t attr = u8(buf, off + kFileAttributes);
    const bool attrOk = (attr >= 0x10 && attr <= 0x13) || attr == 0x15 || attr == 0x20 || attr == 0x30;
    if (!attrOk || le16(buf, off + kFileReserved1) != 0 || !AllZero(buf, off + kFileReserved2, 7))
        return false;

    std::size_t pos = off + kExFatSlotBytes;
    if (!Fits(buf, pos, kExFatSlotBytes) || !IsExFatStreamType(buf[pos])) return false;
    const std::uint8_t flags = u8(buf, pos + kStreamFlags);
    if (u8(buf, pos + kStreamReserved1) != 0 || le16(buf, pos + kStreamReserved2) != 0 ||
        le32(buf, pos + kStreamReserved3) != 0 ||
        (flags != kExFatFlagsFatChain && flags != kExFatFlagsContiguous))
        return false;
    const std::size_t nameSlots =
        (u8(buf, pos + kStreamNameLength) + kExFatUnitsPerNameSlot - 1) / kExFatUnitsPerNameSlot;
    if (nameSlots < 1) return false;
    for (std::size_t n = 0; n < nameSlots; ++n) {
        pos += kExFatSlotBytes;
        if (!Fits(buf, pos, kExFatSlotBytes) || !IsExFatNameType(buf[pos]) || u8(buf, pos + kNameFlags) > 3)
            return false;
    }
    return true;
}

bool LooksLikeVolumeLabel(Bytes buf, std::size_t off) {
    return Fits(buf, off, kExFatSlotBytes) && buf[off] == kExFatVolumeLabel && AllZero(buf, off + 24, 8);
}

std::string Utf16ToUtf8(const std::u16string& units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

}  // namespace salvora
