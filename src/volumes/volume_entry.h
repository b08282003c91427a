#pragma once
#include <cstdint>
#include <string>

namespace salvora {

// One volume found on a source. sizeText is the number of MiB with the blanks and unit of the path that found it.
struct VolumeEntry {
    std::string fileSystemLabel;
    std::string displayName;
    std::string volumeName;
    std::string sizeText;
    std::uint64_t startSector = 0;
    // What the table row or boot sector claims, in bytes; 0 when unknown (the parsers then go by the source).
    std::uint64_t sizeBytes = 0;
    // Beside the label: the partition table's own name or type for the row, and the file system's everyday
    // name with its label ("ext4 \"DATA\"", "exFAT"), as libblkid knows them. Empty when unknown.
    std::string partitionName;
    std::string commonName;
};

// The number at the front of sizeText, in MiB (0 when there is none).
std::uint64_t SizeTextMiB(const std::string& sizeText);

}  // namespace salvora
