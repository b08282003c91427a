#pragma once
// The NTFS boot sector (also the backup in the volume's last sector).
#include <cstdint>
#include <optional>

#include "io/bytes.h"

namespace salvora {

struct NtfsBoot {
    std::uint32_t bytesPerSector = 0;   // 0x0B
    std::uint32_t clusterBytes = 0;     // 0x0D sectors; negative: 2^-n sectors (above 64 KiB)
    std::uint64_t totalSectors = 0;     // 0x28
    std::uint64_t mftCluster = 0;       // 0x30
    std::uint64_t mirrorCluster = 0;    // 0x38
    std::uint32_t recordBytes = 0;      // 0x40; clusters, or 2^-n bytes when negative
    std::uint32_t indexBlockBytes = 0;  // 0x44, the same form
    std::uint64_t serial = 0;           // 0x48
    std::uint64_t VolumeBytes() const { return totalSectors * bytesPerSector; }
};

// "NTFS    " at 3, a power-of-two sector size of 256 to 4096, a power-of-two cluster of at most 2 MiB, a record
// size of 256 B to 64 KiB that is a multiple of the sector size, MFT clusters inside the volume. Else nothing.
std::optional<NtfsBoot> DecodeNtfsBoot(Bytes sector);

}  // namespace salvora
