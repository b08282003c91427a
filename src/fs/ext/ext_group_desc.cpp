#include "fs/ext/ext_group_desc.h"

namespace salvora {

ExtGroupDesc DecodeExtGroupDesc(Bytes b, std::uint32_t descriptorBytes) {
    ExtGroupDesc d;
    d.blockBitmapBlock = le32(b, 0x00);
    d.inodeTableBlock = le32(b, 0x08);
    d.flags = le16(b, 0x12);
    d.unusedInodes = le16(b, 0x1C);
    if (descriptorBytes >= 64) {
        d.blockBitmapBlock |= static_cast<std::uint64_t>(le32(b, 0x20)) << 32;
        d.inodeTableBlock |= static_cast<std::uint64_t>(le32(b, 0x28)) << 32;
        d.unusedInodes |= static_cast<std::uint32_t>(le16(b, 0x32)) << 16;
    }
    return d;
}

}  // namespace salvora
