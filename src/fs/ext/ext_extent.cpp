#include "fs/ext/ext_extent.h"

namespace salvora {

ExtExtentHeader DecodeExtExtentHeader(Bytes n) { return {le16(n, 0), le16(n, 2), le16(n, 4), le16(n, 6)}; }

bool ExtExtentNodeSane(const ExtExtentHeader& h, std::size_t nodeBytes) {
    return h.magic == kExtExtentMagic && h.depth <= kExtMaxExtentDepth &&
           kExtExtentEntryBytes * (1 + static_cast<std::size_t>(h.entries)) <= nodeBytes;
}

ExtExtentLeaf DecodeExtExtentLeaf(Bytes n, std::size_t index) {
    const std::size_t at = kExtExtentEntryBytes * (index + 1);
    ExtExtentLeaf leaf;
    leaf.logicalBlock = le32(n, at);
    std::uint16_t length = le16(n, at + 4);
    if (length > kExtMaxInitExtentBlocks) {
        leaf.unwritten = true;
        length = static_cast<std::uint16_t>(length - kExtMaxInitExtentBlocks);
    }
    leaf.blockCount = length;
    leaf.physicalBlock = le32(n, at + 8) | (static_cast<std::uint64_t>(le16(n, at + 6)) << 32);
    return leaf;
}

ExtExtentIndex DecodeExtExtentIndex(Bytes n, std::size_t index) {
    const std::size_t at = kExtExtentEntryBytes * (index + 1);
    return {le32(n, at), le32(n, at + 4) | (static_cast<std::uint64_t>(le16(n, at + 8)) << 32)};
}

}  // namespace salvora
