#include "raw/header_checks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace salvora {
namespace {

constexpr std::int64_t kBmpTrailerSlack = 1 << 20;  // an ICC profile or padding after the pixels

bool Printable(Bytes b, std::size_t at) {
    if (!Fits(b, at, 4)) return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (b[at + i] < 0x20 || b[at + i] > 0x7E) return false;
    return true;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

bool BmpHeaderChecksOut(Bytes s, std::int64_t size) {
    const std::uint32_t dataOffset = le32(s, 10);
    const std::uint32_t dibBytes = le32(s, 14);
    constexpr std::array<std::uint32_t, 7> kDibSizes{12, 40, 52, 56, 64, 108, 124};
    if (std::find(kDibSizes.begin(), kDibSizes.end(), dibBytes) == kDibSizes.end()) return false;
    if (dataOffset < 14 + dibBytes || dataOffset > size) return false;
    std::int64_t width = 0, height = 0;
    std::uint16_t planes = 0, bits = 0;
    std::uint32_t compression = 0, imageBytes = 0;
    if (dibBytes == 12) {
        width = le16(s, 18), height = le16(s, 20), planes = le16(s, 22), bits = le16(s, 24);
    } else {
        width = static_cast<std::int32_t>(le32(s, 18));
        height = static_cast<std::int32_t>(le32(s, 22));
        planes = le16(s, 26), bits = le16(s, 28);
        compression = le32(s, 30), imageBytes = le32(s, 34);
    }
    if (planes != 1 || width <= 0 || height == 0 || width > 1 << 20 || std::llabs(height) > 1 << 20)
        return false;
    // Embedded JPEG or PNG data (OS/2's 64-byte header numbers its compressions otherwise) needs no depth.
    const bool embedded = dibBytes != 64 && (compression == 4 || compression == 5);
    constexpr std::array<std::uint16_t, 8> kBits{1, 2, 4, 8, 16, 24, 32, 64};
    if (!(embedded && bits == 0) && std::find(kBits.begin(), kBits.end(), bits) == kBits.end()) return false;
    if (compression == 0 || compression == 3 || compression == 6) {
        // Uncompressed rows, each padded to four bytes, fill the file up to a little slack.
        const std::int64_t pixels = (width * bits + 31) / 32 * 4 * std::llabs(height);
        return dataOffset + pixels <= size && size - (dataOffset + pixels) <= kBmpTrailerSlack;
    }
    if (compression > 13 || (compression == 1 && bits != 8) || (compression == 2 && bits != 4)) return false;
    return imageBytes != 0 && dataOffset + std::int64_t{imageBytes} <= size;
}

bool RiffHeaderChecksOut(Bytes s, std::int64_t size) {
    if (!Printable(s, 8) || size < 20) return false;
    // Chunks follow the form type, each an ASCII id, a size and its data padded to an even length.
    std::int64_t at = 12;
    int chunks = 0;
    while (at + 8 <= static_cast<std::int64_t>(s.size()) && at + 8 <= size) {
        if (!Printable(s, static_cast<std::size_t>(at))) return false;
        const std::int64_t bytes = le32(s, static_cast<std::size_t>(at) + 4);
        if (at + 8 + bytes > size) return false;
        ++chunks;
        at += 8 + bytes + (bytes & 1);
    }
    return chunks > 0;
}

bool CabHeaderChecksOut(Bytes s, std::int64_t size) {
    const std::uint32_t filesAt = le32(s, 16);
    const std::uint16_t folders = le16(s, 26), files = le16(s, 28), flags = le16(s, 30);
    if (le32(s, 4) != 0 || le32(s, 8) != size || le32(s, 12) != 0 || le32(s, 20) != 0 || u8(s, 24) != 3 ||
        u8(s, 25) != 1 || folders == 0 || files == 0 || (flags & ~7u) != 0)
        return false;
    // Reserve sizes follow the fixed header when flag 4 is set; the folder entries come before the file
    // entries, and every file entry (16 bytes and a name of at least one character) lies inside the cabinet.
    const bool reserve = (flags & 4) != 0;
    const std::int64_t headerEnd = 36 + (reserve ? 4 + std::int64_t{le16(s, 36)} : 0);
    const std::int64_t folderBytes = 8 + (reserve ? u8(s, 38) : 0);
    if (filesAt < headerEnd + folders * folderBytes || filesAt + std::int64_t{files} * 18 > size)
        return false;
    // Without the previous and next cabinet names in between, the first folder entry is right there: its
    // data starts after the file entries and its compression is one CAB knows.
    if ((flags & 3) == 0 && headerEnd + 8 <= static_cast<std::int64_t>(s.size())) {
        const std::uint32_t dataAt = le32(s, static_cast<std::size_t>(headerEnd));
        const std::uint16_t compression = le16(s, static_cast<std::size_t>(headerEnd) + 6);
        if (dataAt < filesAt + std::int64_t{files} * 18 || dataAt > size || (compression & 0xF) > 3)
            return false;
    }
    return true;
}

bool SizedHeaderChecksOut(const std::string& extension, Bytes sector, std::int64_t size) {
    const std::string ext = Lower(extension);
    if (ext == "bmp") return BmpHeaderChecksOut(sector, size);
    if (ext == "wav" || ext == "avi" || ext == "webp" || ext == "ani" || ext == "rmi")
        return RiffHeaderChecksOut(sector, size);
    if (ext == "cab") return CabHeaderChecksOut(sector, size);
    return true;
}

}  // namespace salvora
