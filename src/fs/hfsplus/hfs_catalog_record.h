#pragma once
// Leaf records of the catalog (folder and file records with their keys) and of the extents-overflow file.
#include <cstdint>
#include <optional>
#include <string>

#include "fs/hfsplus/hfs_volume_header.h"
#include "io/bytes.h"

namespace salvora {

inline constexpr std::uint16_t kHfsFolderRecord = 1;
inline constexpr std::uint16_t kHfsFileRecord = 2;
inline constexpr std::uint16_t kHfsMaxNameUnits = 255;
inline constexpr std::uint32_t kHfsRootParentId = 1;
inline constexpr std::uint32_t kHfsRootFolderId = 2;
inline constexpr std::uint32_t kHfsExtentsFileId = 3;
inline constexpr std::uint32_t kHfsCatalogFileId = 4;
inline constexpr std::uint8_t kHfsDataFork = 0x00;
inline constexpr std::uint8_t kHfsResourceFork = 0xFF;
// Finder type and creator of a file hard link, whose content lives in "iNode<link ID>" of the private folder.
inline constexpr std::uint32_t kHfsHardLinkType = 0x686C6E6B;     // 'hlnk'
inline constexpr std::uint32_t kHfsHardLinkCreator = 0x6866732B;  // 'hfs+'
// Finder type and creator of a folder hard link (Time Machine makes them by the thousand), whose entries are
// those of "dir_<link ID>" in the private directory folder.
inline constexpr std::uint32_t kHfsFolderLinkType = 0x66647270;     // 'fdrp'
inline constexpr std::uint32_t kHfsFolderLinkCreator = 0x4D414353;  // 'MACS'

struct HfsCatalogRecord {
    std::uint32_t parentId = 0;  // key 0x02
    std::string name;            // key 0x08: UTF-16BE turned into composed UTF-8
    std::uint16_t recordType = 0;
    std::uint32_t id = 0;             // 0x08: folder or file ID
    std::uint32_t createDate = 0;     // 0x0C
    std::uint32_t modifyDate = 0;     // 0x10: content modification
    std::uint32_t accessDate = 0;     // 0x18
    std::uint16_t fileMode = 0;       // 0x2A
    std::uint32_t special = 0;        // 0x2C: a hard link's link ID
    std::uint32_t finderType = 0;     // 0x30
    std::uint32_t finderCreator = 0;  // 0x34
    HfsForkData dataFork;             // 0x58, files only
    HfsForkData resourceFork;         // 0xA8, files only

    bool IsFolderLink() const {
        return recordType == kHfsFileRecord && finderType == kHfsFolderLinkType &&
               finderCreator == kHfsFolderLinkCreator;
    }
    bool IsHardLink() const {
        return recordType == kHfsFileRecord && finderType == kHfsHardLinkType &&
               finderCreator == kHfsHardLinkCreator;
    }
};

// The folder or file record at `offset` of a leaf node. Empty for thread records, for a key whose name length
// is 0 or above 255, and for a key or record that does not fit in the node.
std::optional<HfsCatalogRecord> DecodeHfsCatalogRecord(Bytes node, std::size_t offset);

struct HfsOverflowRecord {
    std::uint8_t forkType = 0;     // key 0x02: 0x00 data, 0xFF resource
    std::uint32_t fileId = 0;      // key 0x04
    std::uint32_t startBlock = 0;  // key 0x08: the fork's block that the first extent holds
    HfsExtents extents{};
};

std::optional<HfsOverflowRecord> DecodeHfsOverflowRecord(Bytes node, std::size_t offset);

}  // namespace salvora
