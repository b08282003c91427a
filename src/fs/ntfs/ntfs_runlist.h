#pragma once
// Runlists (mapping pairs) of non-resident attributes, and LZNT1 compression units.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "io/bytes.h"

namespace salvora {

struct NtfsRun {
    std::uint64_t vcn = 0;      // the run's first cluster in the attribute
    std::uint64_t length = 0;   // clusters
    std::optional<std::uint64_t> lcn;  // its first cluster on the volume; none for a sparse run (a hole)
};

// Decodes the pairs from firstVcn on: a header byte (low nibble: bytes of the length, high: bytes of the signed
// offset to the previous run's cluster; 0 bytes of offset: sparse), ending at a zero header or the bytes' end.
// Nothing when a pair runs past the bytes, a length is zero or has more than 8 bytes, an offset more than 8, or a
// cluster becomes negative or reaches clusterLimit (the volume's clusters).
std::optional<std::vector<NtfsRun>> DecodeNtfsRunlist(Bytes runlist, std::uint64_t firstVcn, std::uint64_t clusterLimit);

// Decompresses one LZNT1 compression unit (a series of chunks of at most 4096 bytes each, headed by a 16-bit word:
// low 12 bits length - 3, bit 15 compressed) into out, which is zero-filled first and holds the unit's size
// (clusters per unit times the cluster size). Returns the bytes produced, or nothing when a chunk is malformed
// (a back reference before the chunk's start, a chunk past the input); what was produced before stays in out.
std::optional<std::size_t> DecompressLznt1(Bytes unit, std::span<std::uint8_t> out);

}  // namespace salvora
