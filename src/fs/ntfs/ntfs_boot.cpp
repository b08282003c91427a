#include "fs/ntfs/ntfs_boot.h"

#include <cstring>

namespace salvora {

namespace {

bool PowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The signed byte of 0x40 and 0x44: clusters when positive, 2^-n bytes when negative. 0 when out of any sane
// range, so that a shift never runs past the width.
std::uint64_t ClustersOrShift(std::uint8_t raw, std::uint64_t clusterBytes) {
    const auto n = static_cast<std::int8_t>(raw);
    if (n > 0) return static_cast<std::uint64_t>(n) * clusterBytes;
    if (n < 0 && n >= -31) return 1ull << -n;
    return 0;
}

}  // namespace

std::optional<NtfsBoot> DecodeNtfsBoot(Bytes sector) {
    if (sector.size() < 0x50 || std::memcmp(sector.data() + 3, "NTFS    ", 8) != 0) return std::nullopt;
    NtfsBoot boot;
    boot.bytesPerSector = le16(sector, 0x0B);
    if (!PowerOfTwo(boot.bytesPerSector) || boot.bytesPerSector < 256 || boot.bytesPerSector > 4096)
        return std::nullopt;
    const std::uint8_t perCluster = u8(sector, 0x0D);
    // Volumes formatted with clusters above 64 KiB store the sector count's exponent, negated.
    std::uint64_t sectors = 0;
    if (perCluster <= 0x80)
        sectors = perCluster;
    else if (perCluster >= 0xE0)
        sectors = 1ull << (0x100 - perCluster);
    const std::uint64_t clusterBytes = sectors * boot.bytesPerSector;
    if (!PowerOfTwo(clusterBytes) || clusterBytes > (2u << 20)) return std::nullopt;
    boot.clusterBytes = static_cast<std::uint32_t>(clusterBytes);

    const std::uint64_t record = ClustersOrShift(u8(sector, 0x40), clusterBytes);
    if (record < 256 || record > (64u << 10) || record % boot.bytesPerSector != 0) return std::nullopt;
    boot.recordBytes = static_cast<std::uint32_t>(record);
    const std::uint64_t index = ClustersOrShift(u8(sector, 0x44), clusterBytes);
    boot.indexBlockBytes = index <= UINT32_MAX ? static_cast<std::uint32_t>(index) : 0;

    boot.totalSectors = le64(sector, 0x28);
    boot.mftCluster = le64(sector, 0x30);
    boot.mirrorCluster = le64(sector, 0x38);
    boot.serial = le64(sector, 0x48);
    if (boot.totalSectors == 0 || boot.totalSectors > UINT64_MAX / boot.bytesPerSector) return std::nullopt;
    if (boot.mftCluster >= boot.VolumeBytes() / clusterBytes) return std::nullopt;
    return boot;
}

}  // namespace salvora
