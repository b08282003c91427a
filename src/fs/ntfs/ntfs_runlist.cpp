#include "fs/ntfs/ntfs_runlist.h"

#include <algorithm>

namespace salvora {

namespace {

constexpr std::size_t kChunkBytes = 4096;

// Little-endian, `width` bytes; the sign of the top byte extends when asked (offsets are signed).
std::uint64_t Field(Bytes b, std::size_t at, std::size_t width, bool sign) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(u8(b, at + i)) << (8 * i);
    if (sign && width > 0 && width < 8 && (u8(b, at + width - 1) & 0x80)) v |= ~0ull << (8 * width);
    return v;
}

}  // namespace

std::optional<std::vector<NtfsRun>> DecodeNtfsRunlist(Bytes runlist, std::uint64_t firstVcn,
                                                      std::uint64_t clusterLimit) {
    std::vector<NtfsRun> runs;
    std::uint64_t vcn = firstVcn;
    std::uint64_t lcn = 0;
    std::size_t at = 0;
    // The attribute's end also ends the list: a terminator that would lie past it cannot hide a run.
    while (at < runlist.size()) {
        const std::uint8_t header = runlist[at++];
        if (header == 0) break;
        const std::size_t lengthBytes = header & 0x0F;
        const std::size_t offsetBytes = header >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 ||
            !Fits(runlist, at, lengthBytes + offsetBytes))
            return std::nullopt;
        const std::uint64_t length = Field(runlist, at, lengthBytes, false);
        const std::uint64_t offset = Field(runlist, at + lengthBytes, offsetBytes, true);
        at += lengthBytes + offsetBytes;
        if (length == 0 || length > UINT64_MAX - vcn) return std::nullopt;
        NtfsRun run{vcn, length, std::nullopt};
        if (offsetBytes > 0) {
            // The offset is signed and relative to the previous run that has clusters; holes do not move it.
            if (offset >> 63) {
                const std::uint64_t back = ~offset + 1;
                if (back > lcn) return std::nullopt;
                lcn -= back;
            } else {
                if (lcn >= clusterLimit || offset >= clusterLimit - lcn) return std::nullopt;
                lcn += offset;
            }
            if (length > clusterLimit - lcn) return std::nullopt;
            run.lcn = lcn;
        }
        runs.push_back(run);
        vcn += length;
    }
    return runs;
}

std::optional<std::size_t> DecompressLznt1(Bytes unit, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::size_t in = 0;
    std::size_t produced = 0;
    // Each chunk fills the next 4096 bytes of output; a short one leaves its tail zero.
    for (std::size_t chunkStart = 0; chunkStart < out.size() && Fits(unit, in, 2);
         chunkStart += kChunkBytes) {
        const std::uint16_t header = le16(unit, in);
        if (header == 0) break;
        const std::size_t dataBytes = (header & 0x0FFFu) + 1;
        if (!Fits(unit, in + 2, dataBytes)) return std::nullopt;
        const Bytes data = unit.subspan(in + 2, dataBytes);
        in += 2 + dataBytes;
        const std::size_t room = std::min(kChunkBytes, out.size() - chunkStart);
        std::uint8_t* const dest = out.data() + chunkStart;
        if (!(header & 0x8000)) {
            if (dataBytes > room) return std::nullopt;
            std::copy(data.begin(), data.end(), dest);
            produced = chunkStart + dataBytes;
            continue;
        }
        std::size_t pos = 0;  // bytes of this chunk produced so far
        std::size_t d = 0;
        while (d < data.size()) {
            const std::uint8_t flags = data[d++];
            for (int bit = 0; bit < 8 && d < data.size(); ++bit) {
                if (!(flags & (1u << bit))) {
                    if (pos >= room) return std::nullopt;
                    dest[pos++] = data[d++];
                    continue;
                }
                if (d + 2 > data.size() || pos == 0) return std::nullopt;
                const std::uint16_t token = static_cast<std::uint16_t>(data[d] | (data[d + 1] << 8));
                d += 2;
                // The further into the chunk, the more bits go to the displacement: enough to reach its
                // start.
                unsigned offsetBits = 4;
                for (std::size_t p = pos - 1; p >= 0x10; p >>= 1) ++offsetBits;
                const unsigned lengthBits = 16 - offsetBits;
                const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
                const std::size_t back = (static_cast<std::size_t>(token) >> lengthBits) + 1;
                if (back > pos || length > room - pos) return std::nullopt;
                // Byte by byte: a reference may overlap what it produces (a run of one repeated pattern).
                for (std::size_t i = 0; i < length; ++i, ++pos) dest[pos] = dest[pos - back];
            }
        }
        produced = chunkStart + pos;
    }
    return produced;
}

}  // namespace salvora
