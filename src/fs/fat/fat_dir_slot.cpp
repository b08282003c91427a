#include "fs/fat/fat_dir_slot.h"

#include <array>
#include <cctype>

#include "fs/fat/fat_dos_time.h"

namespace salvora {
namespace {

constexpr std::size_t kAttributes = 11;
constexpr std::size_t kCaseFlags = 12;
constexpr std::size_t kCreationTenths = 13;
constexpr std::size_t kCreationTime = 14;
constexpr std::size_t kCreationDate = 16;
constexpr std::size_t kLastAccessDate = 18;
constexpr std::size_t kFirstClusterHigh = 20;
constexpr std::size_t kLastWriteTime = 22;
constexpr std::size_t kLastWriteDate = 24;
constexpr std::size_t kFirstClusterLow = 26;
constexpr std::size_t kFileSize = 28;

constexpr std::uint8_t kLowerBase = 0x08;
constexpr std::uint8_t kLowerExtension = 0x10;

// Where the 13 UTF-16 units of a long-name slot lie: 5 at 1, 6 at 14, 2 at 28.
constexpr std::array<std::size_t, 13> kLongNameUnitOffsets{1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

void LowerAsciiLetters(std::u32string& chars, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && i < chars.size(); ++i)
        if (chars[i] >= U'A' && chars[i] <= U'Z') chars[i] = chars[i] - U'A' + U'a';
}

}  // namespace

FatDirSlot DecodeFatDirSlot(Bytes slot) {
    FatDirSlot s;
    s.firstByte = u8(slot, 0);
    s.attributes = u8(slot, kAttributes);
    s.caseFlags = u8(slot, kCaseFlags);
    s.creationTimeTenths = u8(slot, kCreationTenths);
    s.creationTime = le16(slot, kCreationTime);
    s.creationDate = le16(slot, kCreationDate);
    s.lastAccessDate = le16(slot, kLastAccessDate);
    s.firstClusterHigh = le16(slot, kFirstClusterHigh);
    s.lastWriteTime = le16(slot, kLastWriteTime);
    s.lastWriteDate = le16(slot, kLastWriteDate);
    s.firstClusterLow = le16(slot, kFirstClusterLow);
    s.fileSize = le32(slot, kFileSize);
    return s;
}

bool ShortSlotPlausible(Bytes slot, const FatDirSlot& decoded, std::uint64_t volumeBytes) {
    // Byte 0 may be 0x05 (a live name starting with 0xE5) or the deleted mark; the rest are name characters.
    if (u8(slot, 0) < 0x20 && u8(slot, 0) != 0x05) return false;
    for (std::size_t i = 1; i < 11; ++i)
        if (u8(slot, i) < 0x20) return false;
    // A live entry with a broken clock or a wrong size is still a file; a deleted slot that says such things
    // is more likely something else's bytes.
    if (!decoded.IsDeleted()) return true;
    if (decoded.lastWriteDate != 0 && !DosDateValid(decoded.lastWriteDate)) return false;
    if (decoded.lastWriteTime != 0 && !DosTimeValid(decoded.lastWriteTime)) return false;
    if (!IsFatDirectoryAttribute(decoded.attributes) && volumeBytes != 0 && decoded.fileSize > volumeBytes)
        return false;
    return true;
}

FatEntryRecord RecordFromSlot(const FatDirSlot& slot) {
    FatEntryRecord r;
    r.attributes = slot.attributes;
    r.creationTimeTenths = slot.creationTimeTenths;
    r.creationTime = slot.creationTime;
    r.creationDate = slot.creationDate;
    r.lastAccessDate = slot.lastAccessDate;
    r.firstClusterHigh = slot.firstClusterHigh;
    r.lastWriteTime = slot.lastWriteTime;
    r.lastWriteDate = slot.lastWriteDate;
    r.firstClusterLow = slot.firstClusterLow;
    r.fileSize = slot.fileSize;
    return r;
}

std::string ShortEntryName(Bytes slot, FatKind kind) {
    std::u32string chars = ShortNameCharacters(slot);
    const std::uint8_t flags = u8(slot, kCaseFlags);
    if (flags & kLowerBase) LowerAsciiLetters(chars, 0, 8);
    if (flags & kLowerExtension) LowerAsciiLetters(chars, 8, 11);
    if (IsFatDirectoryAttribute(u8(slot, kAttributes))) return TidyShortDirectoryName(chars);
    return TidyShortFileName(chars, kind);
}

LongNamePiece DecodeLongNameSlot(Bytes slot) {
    LongNamePiece piece;
    piece.deleted = u8(slot, 0) == kSlotDeleted;
    piece.sequence = u8(slot, 0);
    piece.checksum = u8(slot, 13);
    piece.length = piece.units.size();
    for (std::size_t i = 0; i < kLongNameUnitOffsets.size(); ++i) {
        piece.units[i] = static_cast<char16_t>(le16(slot, kLongNameUnitOffsets[i]));
        if (piece.units[i] == 0 && piece.length == piece.units.size()) piece.length = i;
    }
    return piece;
}

std::uint8_t ShortNameChecksum(Bytes slot) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + u8(slot, i));
    return sum;
}

void LongNameRun::Add(Bytes slot) {
    if (pieces_.size() >= kMaxSlots) pieces_.clear();
    pieces_.push_back(DecodeLongNameSlot(slot));
}

void LongNameRun::Clear() { pieces_.clear(); }

std::string LongNameRun::Assemble() const {
    std::u16string units;
    units.reserve(pieces_.size() * 13);
    for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) units.append(it->units.data(), it->length);
    return Utf16ToUtf8(units);
}

LongNameRun::Match LongNameRun::MatchFor(Bytes shortSlot) const {
    // A deleted short entry lost its first byte, and with it the checksum: any first byte may have made it.
    std::array<bool, 256> sums{};
    if (u8(shortSlot, 0) == kSlotDeleted) {
        std::array<std::uint8_t, 11> name{};
        for (std::size_t i = 0; i < 11; ++i) name[i] = u8(shortSlot, i);
        for (int first = 0; first < 256; ++first) {
            name[0] = static_cast<std::uint8_t>(first);
            sums[ShortNameChecksum(Bytes(name.data(), name.size()))] = true;
        }
    } else {
        sums[ShortNameChecksum(shortSlot)] = true;
    }
    Match match;
    for (auto it = pieces_.rbegin(); it != pieces_.rend() && !match.last; ++it) {
        if (!sums[it->checksum]) break;
        if (!it->deleted && (it->sequence & 0x1F) != match.taken + 1) break;
        match.units.append(it->units.data(), it->length);
        match.last = !it->deleted ? (it->sequence & 0x40) != 0 : it->length < it->units.size();
        ++match.taken;
    }
    return match;
}

std::string WithShortExtension(std::string name, Bytes shortSlot, FatKind kind) {
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    const std::string shortName = ShortEntryName(shortSlot, kind);
    const auto dot = shortName.rfind('.');
    if (dot == std::string::npos) return name;
    const std::string extension = lower(shortName.substr(dot));
    if (name.size() < extension.size() || lower(name.substr(name.size() - extension.size())) != extension)
        name += extension;
    return name;
}

}  // namespace salvora
