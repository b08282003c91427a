#include "fs/ext/ext_inode.h"

#include <algorithm>

namespace salvora {
namespace {

constexpr std::size_t kGoodOldInodeBytes = 128;

// Seconds are signed 32-bit; the extra field's low two bits extend the epoch, the rest are nanoseconds.
timespec ExtTime(Bytes b, std::size_t secondsAt, std::size_t extraAt, bool hasExtra) {
    timespec t{};
    std::int64_t seconds = static_cast<std::int32_t>(le32(b, secondsAt));
    if (hasExtra) {
        const std::uint32_t extra = le32(b, extraAt);
        seconds += static_cast<std::int64_t>(extra & 3) << 32;
        const std::uint32_t nanoseconds = extra >> 2;
        if (nanoseconds < 1000000000u) t.tv_nsec = nanoseconds;
    }
    t.tv_sec = static_cast<time_t>(seconds);
    return t;
}

}  // namespace

bool ExtInode::MapsBlocks() const {
    if (flags & kExtFlagInlineData) return size > 0;
    if (UsesExtents()) return le16(blockMap, 2) > 0;  // entries in the root node
    return std::any_of(blockMap.begin(), blockMap.end(), [](std::uint8_t v) { return v != 0; });
}

ExtInode DecodeExtInode(Bytes b) {
    ExtInode inode;
    inode.mode = le16(b, 0x00);
    inode.size = le32(b, 0x04) | (static_cast<std::uint64_t>(le32(b, 0x6C)) << 32);
    const std::uint16_t extraBytes = b.size() > kGoodOldInodeBytes ? le16(b, 0x80) : 0;
    // Each extra time field is present when the extra area reaches past it.
    const auto has = [&](std::size_t at) {
        return kGoodOldInodeBytes + extraBytes >= at + 4 && Fits(b, at, 4);
    };
    inode.changed = ExtTime(b, 0x0C, 0x84, has(0x84));
    inode.modified = ExtTime(b, 0x10, 0x88, has(0x88));
    inode.accessed = ExtTime(b, 0x08, 0x8C, has(0x8C));
    if (has(0x90)) inode.created = ExtTime(b, 0x90, 0x94, has(0x94));
    inode.deletedTime = le32(b, 0x14);
    inode.linkCount = le16(b, 0x1A);
    inode.flags = le32(b, 0x20);
    if (Fits(b, 0x28, kExtBlockMapBytes))
        std::copy_n(b.begin() + 0x28, kExtBlockMapBytes, inode.blockMap.begin());
    return inode;
}

std::vector<std::uint8_t> ExtInlineData(Bytes slot, const ExtInode& inode) {
    std::vector<std::uint8_t> out(
        inode.blockMap.begin(),
        inode.blockMap.begin() + std::min<std::uint64_t>(inode.size, kExtBlockMapBytes));
    if (inode.size <= kExtBlockMapBytes || slot.size() <= kGoodOldInodeBytes) return out;
    // The in-inode attributes: a magic word, then entries of 16 bytes and a name, 4-byte aligned, ended by a
    // zero word; values are placed relative to the first entry.
    constexpr std::uint32_t kXattrMagic = 0xEA020000;
    constexpr std::uint8_t kSystemIndex = 7;
    const std::size_t header = kGoodOldInodeBytes + le16(slot, 0x80);
    if (le32(slot, header) != kXattrMagic) return out;
    const std::size_t first = header + 4;
    for (std::size_t at = first; Fits(slot, at, 16) && le32(slot, at) != 0;) {
        const std::uint8_t nameLength = u8(slot, at);
        const std::uint16_t valueOffset = le16(slot, at + 2);
        const std::uint32_t valueSize = le32(slot, at + 8);
        if (!Fits(slot, at + 16, nameLength)) break;
        const bool data = u8(slot, at + 1) == kSystemIndex && nameLength == 4 &&
                          std::equal(slot.begin() + static_cast<std::ptrdiff_t>(at + 16),
                                     slot.begin() + static_cast<std::ptrdiff_t>(at + 20), "data");
        if (data && Fits(slot, first + valueOffset, valueSize)) {
            const std::uint64_t want = std::min<std::uint64_t>(valueSize, inode.size - out.size());
            const auto from = slot.begin() + static_cast<std::ptrdiff_t>(first + valueOffset);
            out.insert(out.end(), from, from + static_cast<std::ptrdiff_t>(want));
            break;
        }
        at += (16 + nameLength + 3) & ~std::size_t{3};
    }
    return out;
}

}  // namespace salvora
