#include "fs/ext/ext_dir_entry.h"

namespace salvora {
namespace {

constexpr std::uint8_t kMaxFileType = 7;

std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

bool IsDots(Bytes name) {
    return (name.size() == 1 && name[0] == '.') || (name.size() == 2 && name[0] == '.' && name[1] == '.');
}

// Looks for removed records in [from, to) of the block.
void ScanSlack(Bytes block, std::size_t from, std::size_t to, const ExtDirRules& rules,
               std::vector<ExtDirName>& out) {
    std::size_t at = Align4(from);
    while (at + kExtDirHeaderBytes < to) {
        const ExtDirEntry e = DecodeExtDirEntry(block, at, rules.hasFileType);
        const std::size_t nameEnd = at + kExtDirHeaderBytes + e.nameBytes;
        bool plausible = e.inode >= rules.firstInode && e.inode <= rules.inodeCount && e.nameBytes > 0 &&
                         e.nameBytes <= kExtMaxNameBytes && nameEnd <= to && e.recordBytes % 4 == 0 &&
                         e.recordBytes >= Align4(kExtDirHeaderBytes + e.nameBytes) &&
                         at + e.recordBytes <= block.size() &&
                         (!rules.hasFileType || (e.fileType >= 1 && e.fileType <= kMaxFileType));
        if (plausible) {
            const Bytes name = block.subspan(at + kExtDirHeaderBytes, e.nameBytes);
            for (const std::uint8_t c : name) plausible = plausible && c >= 0x20 && c != '/' && c != 0x7F;
            plausible = plausible && !IsDots(name);
        }
        if (!plausible) {
            at += 4;
            continue;
        }
        const Bytes name = block.subspan(at + kExtDirHeaderBytes, e.nameBytes);
        out.push_back({e.inode, e.fileType, true, std::string(name.begin(), name.end())});
        at = Align4(nameEnd);  // an older removal may sit in this record's own slack
    }
}

}  // namespace

ExtDirEntry DecodeExtDirEntry(Bytes b, std::size_t at, bool hasFileType) {
    ExtDirEntry e;
    e.inode = le32(b, at);
    e.recordBytes = le16(b, at + 4);
    if (hasFileType) {
        e.nameBytes = u8(b, at + 6);
        e.fileType = u8(b, at + 7);
    } else {
        e.nameBytes = le16(b, at + 6);
    }
    return e;
}

void WalkExtDirBlock(Bytes block, const ExtDirRules& rules, bool skipDotDotSlack,
                     std::vector<ExtDirName>& out) {
    std::size_t at = 0;
    while (at + kExtDirHeaderBytes <= block.size()) {
        const ExtDirEntry e = DecodeExtDirEntry(block, at, rules.hasFileType);
        const std::size_t used = kExtDirHeaderBytes + e.nameBytes;
        if (e.nameBytes == 0 || e.nameBytes > kExtMaxNameBytes || e.recordBytes < used ||
            e.recordBytes % 4 != 0 || at + e.recordBytes > block.size())
            break;
        const Bytes name = block.subspan(at + kExtDirHeaderBytes, e.nameBytes);
        const bool dots = IsDots(name);
        // A removed record that opens a block (or an inline directory) cannot be merged into one before it:
        // it keeps its name with inode 0. The name is all that is left, and it is listed as removed.
        if (!dots && e.inode <= rules.inodeCount)
            out.push_back({e.inode, e.fileType, e.inode == 0, std::string(name.begin(), name.end())});
        const bool dotDot = name.size() == 2 && dots;
        if (!(dotDot && skipDotDotSlack)) ScanSlack(block, at + used, at + e.recordBytes, rules, out);
        at += e.recordBytes;
    }
}

bool ExtDirBlockOpensWithDot(Bytes block, std::uint32_t self, bool hasFileType) {
    const ExtDirEntry e = DecodeExtDirEntry(block, 0, hasFileType);
    return e.inode == self && e.nameBytes == 1 && u8(block, kExtDirHeaderBytes) == '.' && e.recordBytes >= 12;
}

}  // namespace salvora
