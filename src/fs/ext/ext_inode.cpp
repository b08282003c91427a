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
    inode.deletedTime = le32(b, 0x14);
    inode.linkCount = le16(b, 0x1A);
    inode.flags = le32(b, 0x20);
    if (Fits(b, 0x28, kExtBlockMapBytes))
        std::copy_n(b.begin() + 0x28, kExtBlockMapBytes, inode.blockMap.begin());
    return inode;
}

}  // namespace salvora
