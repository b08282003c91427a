#pragma once
// Decoders for the first sector of a volume: NTFS, FAT and exFAT boot sectors and the HFS+ volume header.
// They look at bytes only; reading them from the source is the caller's business.
#include <cstdint>

#include "io/bytes.h"

namespace salvora {

enum class BootKind { None, Ntfs, Fat32, Fat16, FatUnknown, Exfat, Fat12 };

// The two scans differ in what they accept: the advance scan wants the "NTFS" OEM name (it sees every sector
// of the disk, not only partition starts) and takes 128 sectors per FAT as FAT16.
struct ProbeRules {
    bool ntfsNeedsOemName = false;
    bool fat16Accepts128 = false;
};
inline constexpr ProbeRules kTableRules{false, false};
inline constexpr ProbeRules kAdvanceRules{true, true};

struct BootSectorProbe {
    BootKind kind = BootKind::None;
    std::uint64_t volumeSectors = 0;  // as the boot sector states it, in 512-byte sectors; 0 for FatUnknown
};

BootSectorProbe ProbeBootSector(Bytes sector, ProbeRules rules);

// Only the jump and the "EXFA" name, as the MBR walk asks of a type 0x07 partition.
bool IsExfatBoot(Bytes sector);

// "H+" (and HFSX's "HX") followed by a zero byte, at the start of the header sector.
bool IsHfsPlusSignature(Bytes header);
// Block size times total blocks, both big-endian 32-bit.
std::uint64_t HfsPlusVolumeBytes(Bytes header);

// Dynamic-disk database records begin with "VBLK" and must never pass for a volume.
bool IsDynamicDiskRecord(Bytes sector);

inline std::uint64_t SectorsToMiB(std::uint64_t sectors) { return sectors >> 11; }

}  // namespace salvora
