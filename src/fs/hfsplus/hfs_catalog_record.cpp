#include "fs/hfsplus/hfs_catalog_record.h"

#include <vector>

#include "fs/hfsplus/hfs_names.h"

namespace salvora {
namespace {

constexpr std::size_t kKeyFixedBytes = 6;  // parent ID and name length after the key length
constexpr std::size_t kFolderRecordBytes = 0x58;
constexpr std::size_t kFileRecordBytes = 0x58 + 2 * kHfsForkBytes;
constexpr std::size_t kOverflowKeyLength = 10;

}  // namespace

std::optional<HfsCatalogRecord> DecodeHfsCatalogRecord(Bytes node, std::size_t offset) {
    const std::uint16_t keyLength = be16(node, offset);
    const std::uint16_t nameUnits = be16(node, offset + 0x06);
    if (nameUnits == 0 || nameUnits > kHfsMaxNameUnits) return std::nullopt;
    if (keyLength < kKeyFixedBytes + 2u * nameUnits || !Fits(node, offset, 2u + keyLength))
        return std::nullopt;
    // Record data starts on an even offset after the key.
    const std::size_t data = (offset + 2 + keyLength + 1) & ~std::size_t{1};
    const std::uint16_t type = be16(node, data);
    if (type != kHfsFolderRecord && type != kHfsFileRecord) return std::nullopt;
    if (!Fits(node, data, type == kHfsFileRecord ? kFileRecordBytes : kFolderRecordBytes))
        return std::nullopt;

    HfsCatalogRecord r;
    r.parentId = be32(node, offset + 0x02);
    r.name = HfsNameToUtf8(node.subspan(offset + 0x08, 2u * nameUnits));
    r.recordType = type;
    r.id = be32(node, data + 0x08);
    r.createDate = be32(node, data + 0x0C);
    r.modifyDate = be32(node, data + 0x10);
    r.accessDate = be32(node, data + 0x18);
    r.fileMode = be16(node, data + 0x2A);
    r.special = be32(node, data + 0x2C);
    r.finderType = be32(node, data + 0x30);
    r.finderCreator = be32(node, data + 0x34);
    if (type == kHfsFileRecord) {
        r.dataFork = DecodeHfsFork(node, data + 0x58);
        r.resourceFork = DecodeHfsFork(node, data + 0x58 + kHfsForkBytes);
    }
    return r;
}

std::optional<HfsOverflowRecord> DecodeHfsOverflowRecord(Bytes node, std::size_t offset) {
    if (be16(node, offset) != kOverflowKeyLength || !Fits(node, offset, 2 + kOverflowKeyLength + 64))
        return std::nullopt;
    HfsOverflowRecord r;
    r.forkType = u8(node, offset + 0x02);
    r.fileId = be32(node, offset + 0x04);
    r.startBlock = be32(node, offset + 0x08);
    r.extents = DecodeHfsExtents(node, offset + 2 + kOverflowKeyLength);
    return r;
}

}  // namespace salvora
