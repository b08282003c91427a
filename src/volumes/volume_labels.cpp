#include "volumes/volume_labels.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace salvora {
namespace {

constexpr std::array<MbrTypeRow, 9> kMbrTypes{{
    {0x01, "FAT12", nullptr, nullptr, true},
    {0x04, "FAT16", "found FAT 16...", "found FAT 16...", true},
    {0x06, "FAT16", "found FAT 16...", "found FAT 16...", true},
    {0x0E, "FAT16", "found FAT 16...", "found FAT 16...", true},
    {0x07, "NTFS", "found NTFS %d...", "found NTFS...", true},
    {0x0B, "FAT32", "found FAT 32...", "found FAT 32...", true},
    {0x0C, "FAT32", "found FAT 32...", "found FAT 32...", true},
    {0x42, "NTFS", "NTFS...", nullptr, false},
    {0x83, "extX", "found ext2...", "found extx...", true},
}};
constexpr MbrTypeRow kUnknownType{0x00, "Unknown", "found UNKNOWN...", "found UNKNOWN...", true};

constexpr std::array<BootKindRow, 6> kBootKinds{{
    {BootKind::Ntfs, "NTFS", "found NTFS %d...", 3},
    {BootKind::Fat32, "FAT32", "found FAT 32...", 2},
    {BootKind::Fat16, "FAT16", "found FAT 16...", 2},
    {BootKind::Fat12, "FAT12", "found FAT 12...", 2},
    {BootKind::FatUnknown, "UNKNOWN", "found unknown...", 2},
    {BootKind::Exfat, "FAT64", "found FAT 64...", 2},
}};
constexpr BootKindRow kNoBootKind{BootKind::None, "", nullptr, 0};

}  // namespace

const MbrTypeRow kExfatTypeRow{0x07, "FAT64", "found FAT64...", "found FAT64...", true};
const BootKindRow kHfsPlusRow{BootKind::None, "HFS+", "found HFS+...", 2};

const MbrTypeRow& LookupMbrType(std::uint8_t type, bool inEbr) {
    const auto it = std::find_if(kMbrTypes.begin(), kMbrTypes.end(), [&](const MbrTypeRow& row) {
        return row.type == type && (row.inEbrTable || !inEbr);
    });
    return it != kMbrTypes.end() ? *it : kUnknownType;
}

const BootKindRow& LookupBootKind(BootKind kind) {
    const auto it = std::find_if(kBootKinds.begin(), kBootKinds.end(),
                                 [&](const BootKindRow& row) { return row.kind == kind; });
    return it != kBootKinds.end() ? *it : kNoBootKind;
}

std::string MiBText(std::uint64_t mib, int blanks) {
    return std::to_string(mib) + std::string(static_cast<std::size_t>(blanks), ' ') + "MB";
}

std::string StatusText(const char* format, int ntfsCount) {
    const std::string text = format;
    const auto at = text.find("%d");
    if (at == std::string::npos) return text;
    return text.substr(0, at) + std::to_string(ntfsCount) + text.substr(at + 2);
}

}  // namespace salvora
