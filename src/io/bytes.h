#pragma once
// Little- and big-endian field readers over a byte buffer. A field that does not fit in the buffer reads as 0:
// on-disk structures are untrusted, and a short buffer must never become an out-of-bounds read.
#include <cstddef>
#include <cstdint>
#include <span>

namespace salvora {

using Bytes = std::span<const std::uint8_t>;

inline bool Fits(Bytes buf, std::size_t off, std::size_t width) {
    return off <= buf.size() && width <= buf.size() - off;
}

inline std::uint8_t u8(Bytes buf, std::size_t off) { return Fits(buf, off, 1) ? buf[off] : 0; }

inline std::uint16_t le16(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, 2)) return 0;
    return static_cast<std::uint16_t>(buf[off] | (buf[off + 1] << 8));
}

inline std::uint32_t le32(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, 4)) return 0;
    return static_cast<std::uint32_t>(buf[off]) | (static_cast<std::uint32_t>(buf[off + 1]) << 8) |
           (static_cast<std::uint32_t>(buf[off + 2]) << 16) | (static_cast<std::uint32_t>(buf[off + 3]) << 24);
}

inline std::uint64_t le64(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, 8)) return 0;
    return static_cast<std::uint64_t>(le32(buf, off)) | (static_cast<std::uint64_t>(le32(buf, off + 4)) << 32);
}

inline std::uint16_t be16(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, 2)) return 0;
    return static_cast<std::uint16_t>((buf[off] << 8) | buf[off + 1]);
}

inline std::uint32_t be32(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, 4)) return 0;
    return (static_cast<std::uint32_t>(buf[off]) << 24) | (static_cast<std::uint32_t>(buf[off + 1]) << 16) |
           (static_cast<std::uint32_t>(buf[off + 2]) << 8) | static_cast<std::uint32_t>(buf[off + 3]);
}

inline std::uint64_t be64(Bytes buf, std::size_t off) {
    if (!Fits(buf, off, 8)) return 0;
    return (static_cast<std::uint64_t>(be32(buf, off)) << 32) | static_cast<std::uint64_t>(be32(buf, off + 4));
}

}  // namespace salvora
