#pragma once
// Directory blocks: records walked by their record length, and the removed records that survive in the slack
// after a record's name (a removal adds the record's length to the one before it and leaves its bytes).
#include <cstdint>
#include <string>
#include <vector>

#include "io/bytes.h"

namespace salvora {

inline constexpr std::size_t kExtDirHeaderBytes = 8;
inline constexpr std::uint32_t kExtMaxNameBytes = 255;

struct ExtDirEntry {
    std::uint32_t inode = 0;        // 0x00
    std::uint16_t recordBytes = 0;  // 0x04
    std::uint16_t nameBytes = 0;    // 0x06: one byte with the file-type feature, else two
    std::uint8_t fileType = 0;      // 0x07 with the file-type feature
};

ExtDirEntry DecodeExtDirEntry(Bytes block, std::size_t at, bool hasFileType);

// A name found in a directory block; name bytes are kept as they are.
struct ExtDirName {
    std::uint32_t inode = 0;
    std::uint8_t fileType = 0;
    bool deleted = false;
    std::string name;
};

struct ExtDirRules {
    std::uint32_t inodeCount = 0;
    std::uint32_t firstInode = 11;  // removed records name no inode below this (except none at all)
    bool hasFileType = false;
};

// Appends the block's names, "." and ".." left out. The walk of live records ends at a name length of 0 or at
// a record that does not fit; removed records are taken from each live record's slack when their inode
// number, name length, record length and file type are plausible. skipDotDotSlack: the slack after ".."
// holds the hash index of a hashed directory, not names.
void WalkExtDirBlock(Bytes block, const ExtDirRules& rules, bool skipDotDotSlack,
                     std::vector<ExtDirName>& out);

// The block opens with a "." record naming inode self: it still belongs to that directory.
bool ExtDirBlockOpensWithDot(Bytes block, std::uint32_t self, bool hasFileType);

}  // namespace salvora
