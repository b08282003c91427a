#pragma once
// ExtEntryRecord: one name of an inode as the tree shows it.
#include <cstdint>
#include <ctime>
#include <string>

#include "model/parser_base.h"

namespace salvora {

inline constexpr std::uint32_t kExtNoInode = 0xFFFFFFFF;
inline constexpr EntryId kExtNoEntry = ~EntryId{0};
// Keys of names beyond an inode's first (hard links, removed names) start here; the first name of an inode is
// keyed by the inode number.
inline constexpr EntryId kExtExtraNameBase = EntryId{1} << 32;

struct ExtEntryRecord {
    std::string name;  // bytes as stored (UTF-8 in practice)
    std::uint32_t inodeNumber = 0;
    std::uint32_t parentInode = kExtNoInode;
    std::uint16_t mode = 0;
    std::uint64_t size = 0;
    std::uint64_t inodeTableBlock = 0;
    std::uint32_t indexInGroup = 0;
    EntryId firstChild = kExtNoEntry;
    EntryId nextSibling = kExtNoEntry;
    timespec accessed{};
    timespec changed{};
    timespec modified{};
    bool deleted = false;
    // A removed name whose inode was taken by another file or maps no blocks any more: listed with size 0.
    bool contentGone = false;
};

}  // namespace salvora
