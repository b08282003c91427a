#pragma once
// What the volume list shows for each kind of volume the partition scanner finds: labels, status texts and
// the blanks of the size texts, one table per source of the decision.
#include <cstdint>
#include <string>

#include "volumes/boot_sector_probe.h"

namespace salvora {

// A status text may hold one "%d": the running count of NTFS volumes.
struct MbrTypeRow {
    std::uint8_t type;
    const char* label;
    const char* primaryStatus;  // null: nothing shown
    const char* ebrStatus;
    bool inEbrTable;  // false: a logical partition of this type is "Unknown"
};
// Type 0x07 is NTFS unless its first sector is an exFAT boot sector.
inline constexpr std::uint8_t kNtfsOrExfatType = 0x07;
extern const MbrTypeRow kExfatTypeRow;
const MbrTypeRow& LookupMbrType(std::uint8_t type, bool inEbr);

struct BootKindRow {
    BootKind kind;
    const char* label;
    const char* status;
    int sizeBlanks;  // blanks between the MiB number and "MB"
};
const BootKindRow& LookupBootKind(BootKind kind);
extern const BootKindRow kHfsPlusRow;

// "%d   MB" and friends: the number, then `blanks` blanks, then "MB".
std::string MiBText(std::uint64_t mib, int blanks);
// Fills the one "%d" of a status text, if it has one.
std::string StatusText(const char* format, int ntfsCount);

inline constexpr const char* kScanningStatus = "Scanning partition.....";
inline constexpr const char* kScanStoppedStatus = "Scanned Partitions";

}  // namespace salvora
