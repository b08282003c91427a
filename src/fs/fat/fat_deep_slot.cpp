#include "fs/fat/fat_deep_slot.h"

#include "fs/fat/fat_dir_slot.h"
#include "fs/fat/fat_dos_time.h"

namespace salvora {
namespace {

bool Upper(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || c == '['; }
bool Lower(std::uint8_t c) { return c >= 'a' && c <= 'z'; }
bool Digit(std::uint8_t c) { return c >= '0' && c <= '9'; }
bool Alnum(std::uint8_t c) { return Upper(c) || Lower(c) || Digit(c); }

// FAT16 short-name rules.
bool Fat16First(std::uint8_t c, bool directory) {
    return Alnum(c) || c == '~' || c == kSlotDeleted || (directory && c == '$');
}
bool Fat16Second(std::uint8_t c) {
    return Alnum(c) || c == ' ' || c == ')' || c == '.' || c == '~' || c == kSlotDeleted;
}
// FAT32 accepts '_' and the grave accent as well.
bool Fat32First(std::uint8_t c, bool directory) {
    return Alnum(c) || c == '_' || c == '`' || c == '~' || c == kSlotDeleted || (directory && c == '$');
}
bool Fat32Second(std::uint8_t c) {
    return Alnum(c) || c == '_' || c == '`' || c == ' ' || c == '~' || c == '.' || c == ')' ||
           c == kSlotDeleted;
}

// Creation time and date and the access date are optional in FAT (zero when a device does not keep them);
// the write date and time are always set.
bool OptionalDate(std::uint16_t date) { return date == 0 || DosDateValid(date); }
bool OptionalTime(std::uint16_t time) { return time == 0 || DosTimeValid(time); }
bool TimesPlausible(const FatDirSlot& d) {
    return DosDateValid(d.lastWriteDate) && DosTimeValid(d.lastWriteTime) && OptionalDate(d.creationDate) &&
           OptionalTime(d.creationTime) && OptionalDate(d.lastAccessDate) && d.creationTimeTenths <= 199;
}

bool LongNamePasses(Bytes slot, FatKind kind) {
    const std::uint8_t c = u8(slot, 1);
    const bool deleted = u8(slot, 0) == kSlotDeleted;
    const std::uint8_t order = u8(slot, 0) & 0x1F;
    if (!deleted && ((u8(slot, 0) & 0xA0) != 0 || order == 0 || order > 20)) return false;
    // Names in other scripts (Cyrillic, Greek, CJK ...) start with a unit past Latin-1's controls.
    const std::uint16_t unit = le16(slot, 1);
    if (unit >= 0xA0 && unit < 0xD800 && u8(slot, 12) == 0 && le16(slot, 26) == 0) return true;
    bool ok = Alnum(c) || c == ' ' || c == ')' || c == '.' || c == '~' || c == kSlotDeleted;
    if (kind == FatKind::Fat16) ok = ok || (c == '_' && !deleted);
    if (kind == FatKind::Fat32) ok = ok || c == '_' || c == '`' || c == ',';
    return ok && u8(slot, 12) == 0 && le16(slot, 26) == 0;
}

bool IsDeepDirectory(std::uint8_t a) {
    return a == 0x10 || a == 0x11 || a == 0x12 || a == 0x14 || a == 0x15 || a == 0x16 || a == 0x30;
}

}  // namespace

bool DeepSlotPasses(Bytes slot, FatKind kind, std::uint64_t clusterCount) {
    if (slot.size() < kSlotBytes) return false;
    const std::uint8_t attributes = u8(slot, 11);
    if (attributes == kAttrLongName) return LongNamePasses(slot, kind);
    const bool fat32 = kind == FatKind::Fat32;
    const bool directory = IsDeepDirectory(attributes);
    if (!directory && attributes != 0x20 && (fat32 || attributes != 0x26)) return false;
    // The name bytes first: they reject most slots of a data region before anything is decoded.
    const std::uint8_t first = u8(slot, 0);
    const std::uint8_t second = u8(slot, 1);
    const bool names = fat32 ? Fat32First(first, directory) && Fat32Second(second)
                             : Fat16First(first, directory) && Fat16Second(second);
    if (!names) return false;
    const FatDirSlot d = DecodeFatDirSlot(slot);
    const std::uint32_t cluster = d.FirstCluster();
    if (!TimesPlausible(d)) return false;
    if (directory) {
        if (d.IsDeleted() && !fat32) return true;
        return d.fileSize == 0 && cluster != 0 && cluster < clusterCount;
    }
    if ((d.caseFlags != 0x00 && d.caseFlags != 0x18) || cluster >= clusterCount) return false;
    // FAT32 keeps only files with content: an empty file has no cluster to recover.
    return !fat32 || (cluster != 0 && d.fileSize != 0);
}

bool Fat32RootHint(Bytes slot) {
    if (slot.size() < kSlotBytes) return false;
    const std::uint8_t first = u8(slot, 0);
    const std::uint8_t second = u8(slot, 1);
    static constexpr char kRecycle[] = "RECYCLE";
    bool recycle = true;
    for (std::size_t i = 0; i < 7; ++i) recycle = recycle && u8(slot, 1 + i) == kRecycle[i];
    if (u8(slot, 11) != kAttrVolumeLabel && !recycle) return false;
    const bool firstOk =
        Upper(first) || Lower(first) || Digit(first) || first == kSlotDeleted || first == '~' || first == '$';
    const bool secondOk = Upper(second) || Lower(second) || Digit(second) || second == ' ' || second == '~' ||
                          second == '.' || second == ')' || second == kSlotDeleted;
    const std::uint8_t caseFlags = u8(slot, 12);
    return firstOk && secondOk && (caseFlags == 0x00 || caseFlags == 0x18) && u8(slot, 28) == 0;
}

std::uint32_t DotEntryCluster(Bytes twoSlots) {
    if (twoSlots.size() < 2 * kSlotBytes) return 0;
    static constexpr char kDot[] = ".          ";
    static constexpr char kDotDot[] = "..         ";
    for (std::size_t i = 0; i < 11; ++i) {
        if (u8(twoSlots, i) != static_cast<std::uint8_t>(kDot[i])) return 0;
        if (u8(twoSlots, kSlotBytes + i) != static_cast<std::uint8_t>(kDotDot[i])) return 0;
    }
    if (!IsFatDirectoryAttribute(u8(twoSlots, 11)) || !IsFatDirectoryAttribute(u8(twoSlots, kSlotBytes + 11)))
        return 0;
    const FatDirSlot dot = DecodeFatDirSlot(twoSlots.first(kSlotBytes));
    return dot.FirstCluster();
}

}  // namespace salvora
