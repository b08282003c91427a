#pragma once
// A source that holds one file system from its first byte (a formatted stick without a partition table, or an
// image of one volume) is offered as that single volume instead of walking "partition tables" over boot code.
#include <cstdint>
#include <optional>
#include <string>

#include "io/bytes.h"
#include "io/file_read_seek.h"
#include "volumes/volume_entry.h"

namespace salvora {

enum class BareKind { None, Fat12, Fat16, Fat32, ExFat, Ext, HfsPlus, Ntfs };

// Bytes a caller must hand to DetectBareVolume: sector 0 and the ext/HFS+ header at byte 1024.
inline constexpr std::size_t kBareProbeBytes = 2048;
// Where the backup boot sectors lie (sectors of 512 bytes): FAT32's by convention, exFAT's backup boot region.
inline constexpr std::uint64_t kFat32BackupSector = 6;
inline constexpr std::uint64_t kExfatBackupSector = 12;

// Decides from the first bytes of a source (sector 0 and bytes 1024..). Fewer bytes than kBareProbeBytes are
// fine: a header that does not fit is simply absent.
BareKind DetectBareVolume(Bytes head);

// The label the partition scanner would give this file system ("FAT12", "FAT16", "FAT32", "FAT64", "extX",
// "HFS+", "NTFS"); empty for None.
std::string BareVolumeLabel(BareKind kind);

// Reads the start of the source and, when it is a bare volume, returns it as one entry: startSector 0, sizeText
// "%lld  MB" of the source length rounded up to whole MiB (so a floppy image is not a volume of size 0),
// volumeName "0". When sector 0 cannot be read, a FAT32 or exFAT backup boot sector decides.
std::optional<VolumeEntry> ProbeBareVolume(readWriteInterface& reader);

}  // namespace salvora
