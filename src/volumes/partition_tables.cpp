#include "volumes/partition_tables.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "io/utf8.h"

namespace salvora {
namespace {

constexpr std::size_t kMbrTableOffset = 446;
constexpr std::size_t kMbrSlotBytes = 16;
constexpr std::size_t kSlotType = 4;
constexpr std::size_t kSlotFirstLba = 8;
constexpr std::size_t kSlotSectorCount = 12;

constexpr std::size_t kGptHeaderEntryLba = 72;
constexpr std::size_t kEntryTypeGuid = 0;
constexpr std::size_t kEntryFirstLba = 32;
constexpr std::size_t kEntryLastLba = 40;
constexpr std::size_t kEntryName = 56;
constexpr std::size_t kEntryNameUnits = 36;

}  // namespace

bool LooksLikeMbr(Bytes sector) {
    if (!Fits(sector, 510, 2) || u8(sector, 510) != 0x55 || u8(sector, 511) != 0xAA) return false;
    for (int slot = 0; slot < kMbrSlotCount; ++slot) {
        const std::uint8_t flag = u8(sector, kMbrTableOffset + static_cast<std::size_t>(slot) * kMbrSlotBytes);
        if (flag != 0x00 && flag != 0x80) return false;
    }
    return true;
}

MbrSlot DecodeMbrSlot(Bytes table, int slot) {
    const std::size_t at = kMbrTableOffset + static_cast<std::size_t>(slot) * kMbrSlotBytes;
    return {u8(table, at + kSlotType), le32(table, at + kSlotFirstLba), le32(table, at + kSlotSectorCount)};
}

std::uint64_t GptEntryArrayLba(Bytes header) { return le64(header, kGptHeaderEntryLba); }

GptEntry DecodeGptEntry(Bytes e) {
    GptEntry entry;
    for (std::size_t i = 0; i < entry.typeGuid.size(); ++i) entry.typeGuid[i] = u8(e, kEntryTypeGuid + i);
    entry.firstLba = static_cast<std::int64_t>(le64(e, kEntryFirstLba));
    entry.lastLba = static_cast<std::int64_t>(le64(e, kEntryLastLba));
    if (Fits(e, kEntryName, 0)) entry.name = Utf16LeToUtf8(e.subspan(kEntryName), kEntryNameUnits);
    return entry;
}

bool IsCollectableGptEntry(const GptEntry& entry) {
    const bool guidOk = std::none_of(entry.typeGuid.begin(), entry.typeGuid.begin() + 4,
                                     [](std::uint8_t b) { return b == 0x30; });
    return guidOk && entry.firstLba > 2;
}

std::string Utf16LeToUtf8(Bytes units, std::size_t maxUnits) {
    std::string out;
    const std::size_t count = std::min(maxUnits, units.size() / 2);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t unit = le16(units, i * 2);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
            const std::uint32_t low = le16(units, (i + 1) * 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? 0xFFFD : unit);
    }
    return out;
}

bool LooksLikeGpt(Bytes firstTwoSectors) {
    if (firstTwoSectors.size() < 2 * kSectorBytes) return false;
    bool protective = false;
    for (int i = 0; i < kMbrSlotCount; ++i) protective |= DecodeMbrSlot(firstTwoSectors, i).type == 0xEE;
    constexpr std::string_view kSignature = "EFI PART";
    return protective && std::equal(kSignature.begin(), kSignature.end(), firstTwoSectors.begin() + kSectorBytes);
}

bool HasGpt(FileReadSeek& reader) {
    std::array<std::uint8_t, 2 * kSectorBytes> head{};
    return reader.ReadAt(0, head) && LooksLikeGpt(head);
}

}  // namespace salvora
