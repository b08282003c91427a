#pragma once
// The sources the drive page offers: physical drives from /sys/block and the volumes on them that libblkid
// recognises. The sysfs root, the mounts table, /dev and the prober are injectable so a test can fake them.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "volumes/volume_entry.h"

namespace salvora {

// A file system's label twice: as the drive listing shows it ("exFAT", "ext4") and in the partition scanner's
// vocabulary that the parsers downstream expect ("FAT64", "extX").
struct FsLabels {
    std::string shown;
    std::string pipeline;
};

// From libblkid's TYPE and VERSION ("vfat"/"FAT32", "exfat", "ext4", "hfsplus", "ntfs"); an unlisted type is
// shown as it is and is "Unknown" to the pipeline.
FsLabels LabelsFromBlkid(std::string_view type, std::string_view version);
// A label of the drive listing in the scanner's vocabulary ("exFAT" -> "FAT64", "ext4" -> "extX").
std::string PipelineLabel(std::string_view shownLabel);

struct PhysicalDrive {
    int number = 0;           // position in the list
    std::string name;         // kernel name, "sda"
    std::string devicePath;   // what OpenSource takes, "/dev/sda"
    std::string modelText;    // "vendor model", empty when the device reports no model
    std::string backingFile;  // loop devices: the image behind them
    std::uint64_t sizeBytes = 0;

    // The drive page's item text: the model, or the device path when there is none.
    const std::string& ItemText() const { return modelText.empty() ? devicePath : modelText; }
};

struct FsProbe {
    std::string type;
    std::string version;
};
// libblkid's superblock probe; nullopt when nothing that is a file system was recognised.
using FsProber = std::function<std::optional<FsProbe>(const std::string& devicePath)>;
std::optional<FsProbe> ProbeWithBlkid(const std::string& devicePath);

struct DriveEnumerationSetup {
    std::string sysBlockDir = "/sys/block";
    std::string mountsPath = "/proc/self/mounts";
    std::string devDir = "/dev";
    FsProber probe = ProbeWithBlkid;
};

struct DriveListing {
    std::vector<PhysicalDrive> drives;
    // In enumeration order (disk by disk, whole disk before its partitions); the drive page shows them from
    // the last to the first.
    std::vector<VolumeEntry> volumes;
    // Devices left out because they could not be opened for reading (usually: not running as root).
    std::vector<std::string> unreadable;
};

DriveListing EnumerateDrives(const DriveEnumerationSetup& setup = {});

// Orders kernel names as a person would: "loop2" before "loop10", "sda" before "sdb".
bool NaturalLess(std::string_view a, std::string_view b);

}  // namespace salvora
