#pragma once
// HfsEntryRecord: one catalog folder or file record as the tree shows it.
#include <cstdint>
#include <string>

#include "fs/hfsplus/hfs_volume_header.h"
#include "model/parser_base.h"

namespace salvora {

// Map keys: a record's catalog node ID (CNID); further records that carry an ID already taken (older copies
// found by a volume scan) get keys from kHfsExtraKeyBase up. The "ORPHAN_ENTRY" folder has its own key.
inline constexpr EntryId kHfsOrphanKey = EntryId{1} << 32;
inline constexpr EntryId kHfsExtraKeyBase = kHfsOrphanKey + 1;
inline constexpr EntryId kHfsNoEntry = 0;  // link values below 1 mean none

struct HfsEntryRecord {
    std::string name;  // composed UTF-8
    std::uint32_t entryId = 0;
    std::uint32_t parentId = 0;
    std::uint16_t recordType = 0;    // 1 folder, 2 file
    std::uint64_t nodePosition = 0;  // byte offset in the volume of the node that holds the record
    std::uint16_t recordOffset = 0;
    std::uint64_t logicalSize = 0;  // data fork
    std::uint32_t totalBlocks = 0;
    HfsExtents extents{};
    // Whose extents-overflow records continue the data fork: the file's own ID, or a hard link's iNode file.
    std::uint32_t forkFileId = 0;
    std::uint32_t createDate = 0, modifyDate = 0, accessDate = 0;  // UTC seconds since 1904
    std::uint16_t fileMode = 0;
    std::uint32_t linkId = 0;                // a hard link's link ID
    EntryId hardLinkTarget = kHfsNoEntry;    // the "iNode<link ID>" record the content comes from
    bool folderLink = false;                 // a folder hard link: linkId names "dir_<link ID>"
    EntryId folderLinkTarget = kHfsNoEntry;  // that folder, whose entries the link shows as its own
    EntryId firstChild = kHfsNoEntry;
    EntryId nextSibling = kHfsNoEntry;
    bool orphan = false;  // its parent folder was not found: listed under "ORPHAN_ENTRY"
    // The resource fork of a file, listed beside it as "NAME:rsrc"; extents and size are that fork's.
    bool resourceFork = false;
};

}  // namespace salvora
