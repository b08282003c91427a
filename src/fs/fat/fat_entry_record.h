#pragma once
// One kept directory entry of a FAT16 or FAT32 volume. All records of a volume live in one vector owned by
// the parser; a record's index in it is its identity (the EntryId of the results side).
#include <cstdint>
#include <string>

namespace salvora {

inline constexpr std::uint32_t kNoRecord = 0xFFFFFFFF;

inline constexpr std::uint8_t kAttrReadOnly = 0x01;
inline constexpr std::uint8_t kAttrHidden = 0x02;
inline constexpr std::uint8_t kAttrSystem = 0x04;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongName = 0x0F;

// Exact byte values, not bit tests: 0x17, 0x31 and the like are files.
inline constexpr bool IsFatDirectoryAttribute(std::uint8_t attributes) {
    return (attributes >= 0x10 && attributes <= 0x16) || attributes == 0x30;
}

// Volume labels never reach the tree; a slot with the label bit that is also a long-name slot or a folder is
// not one.
inline constexpr bool IsFatVolumeLabel(std::uint8_t attributes) {
    return attributes != kAttrLongName && (attributes & kAttrVolumeLabel) != 0 &&
           (attributes & kAttrDirectory) == 0;
}

// FatEntryRecord::deleted: its own slot carries the mark, or only a folder above it does.
inline constexpr std::uint8_t kDeletedItself = 1;
inline constexpr std::uint8_t kDeletedWithFolder = 2;

struct FatEntryRecord {
    std::uint8_t attributes = 0;
    std::uint8_t creationTimeTenths = 0;
    std::uint16_t creationTime = 0;
    std::uint16_t creationDate = 0;
    std::uint16_t lastAccessDate = 0;
    std::uint16_t firstClusterHigh = 0;
    std::uint16_t lastWriteTime = 0;
    std::uint16_t lastWriteDate = 0;
    std::uint16_t firstClusterLow = 0;
    std::uint32_t fileSize = 0;
    std::uint8_t deleted = 0;
    std::string name;  // UTF-8
    std::uint32_t parentIndex = 0;
    std::uint32_t selfIndex = 0;
    std::uint32_t firstChild = kNoRecord;   // index of the first child, set when the tree is linked
    std::uint32_t nextSibling = kNoRecord;  // index of the next record with the same parent

    std::uint32_t FirstCluster() const {
        return (static_cast<std::uint32_t>(firstClusterHigh) << 16) | firstClusterLow;
    }
    bool IsDirectory() const { return IsFatDirectoryAttribute(attributes); }
    // A label slot in the root; one that holds data, or one in a folder, is a file with an odd attribute.
    bool IsVolumeLabel() const {
        return IsFatVolumeLabel(attributes) && parentIndex == 0 && !(FirstCluster() >= 2 && fileSize > 0);
    }
};

}  // namespace salvora
