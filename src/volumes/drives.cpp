#include "volumes/drives.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "volumes/mounts.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;

struct LabelRow {
    std::string_view type;
    std::string_view version;  // empty: any version
    std::string_view shown;
    std::string_view pipeline;
};

constexpr std::array kLabelRows{
    LabelRow{"vfat", "FAT12", "FAT12", "FAT12"}, LabelRow{"vfat", "FAT16", "FAT16", "FAT16"},
    LabelRow{"vfat", "FAT32", "FAT32", "FAT32"}, LabelRow{"vfat", "", "FAT", "FAT32"},
    LabelRow{"exfat", "", "exFAT", "FAT64"},     LabelRow{"ext2", "", "ext2", "extX"},
    LabelRow{"ext3", "", "ext3", "extX"},        LabelRow{"ext4", "", "ext4", "extX"},
    LabelRow{"hfsplus", "", "HFS+", "HFS+"},     LabelRow{"ntfs", "", "NTFS", "NTFS"},
};

std::string Trim(std::string text) {
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
    text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
    return text;
}

// One sysfs attribute, trimmed; empty when absent.
std::string ReadAttribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (in) std::getline(in, line);
    return Trim(line);
}

std::uint64_t ReadNumber(const fs::path& path) {
    const std::string text = ReadAttribute(path);
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

bool IsListedDrive(const std::string& name, const fs::path& dir) {
    if (name.starts_with("ram") || name.starts_with("zram")) return false;
    if (name.starts_with("loop")) return !ReadAttribute(dir / "loop" / "backing_file").empty();
    return true;
}

bool CanOpenForReading(const std::string& path) {
    // O_NONBLOCK lets an optical drive without a disc open instead of waiting.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::string ModelText(const fs::path& dir) {
    const std::string model = ReadAttribute(dir / "device" / "model");
    // A vendor alone is no model: virtio disks report only a PCI vendor number there.
    if (model.empty()) return {};
    const std::string vendor = ReadAttribute(dir / "device" / "vendor");
    return vendor.empty() ? model : vendor + " " + model;
}

struct PartitionDir {
    std::uint64_t number;
    std::string name;
    fs::path dir;
};

std::vector<PartitionDir> PartitionsOf(const fs::path& diskDir) {
    std::vector<PartitionDir> parts;
    std::error_code ec;
    for (const auto& child : fs::directory_iterator(diskDir, ec)) {
        std::error_code statError;
        if (!child.is_directory(statError) || !fs::exists(child.path() / "partition", statError)) continue;
        parts.push_back(
            {ReadNumber(child.path() / "partition"), child.path().filename().string(), child.path()});
    }
    std::sort(parts.begin(), parts.end(), [](const PartitionDir& a, const PartitionDir& b) {
        return a.number != b.number ? a.number < b.number : NaturalLess(a.name, b.name);
    });
    return parts;
}

class MountLookup {
  public:
    explicit MountLookup(const std::string& mountsPath) {
        for (auto& [device, mountPoint] : ReadMounts(mountsPath)) {
            byDevice_.emplace(device, mountPoint);
            // Mounts may name a device by a link (/dev/disk/by-uuid/..., /dev/mapper/...).
            std::error_code ec;
            if (device.starts_with("/")) {
                const fs::path real = fs::canonical(device, ec);
                if (!ec) byDevice_.emplace(real.string(), mountPoint);
            }
        }
    }
    std::optional<std::string> MountPointOf(const std::string& devicePath) const {
        if (auto it = byDevice_.find(devicePath); it != byDevice_.end()) return it->second;
        std::error_code ec;
        const fs::path real = fs::canonical(devicePath, ec);
        if (ec) return std::nullopt;
        if (auto it = byDevice_.find(real.string()); it != byDevice_.end()) return it->second;
        return std::nullopt;
    }

  private:
    std::map<std::string, std::string> byDevice_;
};

}  // namespace

FsLabels LabelsFromBlkid(std::string_view type, std::string_view version) {
    for (const LabelRow& row : kLabelRows) {
        if (row.type == type && (row.version.empty() || row.version == version))
            return {std::string(row.shown), std::string(row.pipeline)};
    }
    return {std::string(type), "Unknown"};
}

std::string PipelineLabel(std::string_view shownLabel) {
    for (const LabelRow& row : kLabelRows) {
        if (row.shown == shownLabel) return std::string(row.pipeline);
    }
    return "Unknown";
}

bool NaturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t iEnd = i, jEnd = j;
            while (iEnd < a.size() && isDigit(a[iEnd])) ++iEnd;
            while (jEnd < b.size() && isDigit(b[jEnd])) ++jEnd;
            std::string_view runA = a.substr(i, iEnd - i), runB = b.substr(j, jEnd - j);
            while (runA.size() > 1 && runA.front() == '0') runA.remove_prefix(1);
            while (runB.size() > 1 && runB.front() == '0') runB.remove_prefix(1);
            if (runA.size() != runB.size()) return runA.size() < runB.size();
            if (runA != runB) return runA < runB;
            i = iEnd;
            j = jEnd;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::optional<FsProbe> ProbeWithBlkid(const std::string& devicePath) {
    blkid_probe probe = blkid_new_probe_from_filename(devicePath.c_str());
    if (probe == nullptr) return std::nullopt;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_USAGE);
    // With partition tables probed too, a partitioned disk reports its table rather than a stray superblock.
    blkid_probe_enable_partitions(probe, 1);
    std::optional<FsProbe> found;
    if (blkid_do_safeprobe(probe) == 0) {
        const char* type = nullptr;
        const char* usage = nullptr;
        const char* version = nullptr;
        if (blkid_probe_lookup_value(probe, "TYPE", &type, nullptr) == 0 &&
            blkid_probe_lookup_value(probe, "USAGE", &usage, nullptr) == 0 &&
            std::string_view(usage) == "filesystem") {
            found = FsProbe{type, ""};
            if (blkid_probe_lookup_value(probe, "VERSION", &version, nullptr) == 0) found->version = version;
        }
    }
    blkid_free_probe(probe);
    return found;
}

DriveListing EnumerateDrives(const DriveEnumerationSetup& setup) {
    DriveListing listing;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(setup.sysBlockDir, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end(), NaturalLess);

    const MountLookup mounts(setup.mountsPath);
    const auto addVolume = [&](const std::string& devicePath, std::uint64_t sizeBytes) {
        if (!CanOpenForReading(devicePath)) {
            listing.unreadable.push_back(devicePath);
            return;
        }
        const std::optional<FsProbe> probe = setup.probe ? setup.probe(devicePath) : std::nullopt;
        if (!probe) return;
        VolumeEntry volume;
        volume.fileSystemLabel = LabelsFromBlkid(probe->type, probe->version).shown;
        volume.displayName = mounts.MountPointOf(devicePath).value_or(devicePath);
        volume.volumeName = devicePath;
        volume.sizeText = std::to_string(sizeBytes / 1048576) + "  MB";
        volume.sizeBytes = sizeBytes;
        volume.startSector = 0;
        listing.volumes.push_back(std::move(volume));
    };

    for (const std::string& name : names) {
        const fs::path dir = fs::path(setup.sysBlockDir) / name;
        if (!IsListedDrive(name, dir)) continue;
        PhysicalDrive drive;
        drive.name = name;
        drive.devicePath = (fs::path(setup.devDir) / name).string();
        drive.modelText = ModelText(dir);
        drive.backingFile = ReadAttribute(dir / "loop" / "backing_file");
        drive.sizeBytes =
            ReadNumber(dir / "size") * 512;  // sysfs counts 512-byte sectors whatever the device
        if (CanOpenForReading(drive.devicePath)) {
            drive.number = static_cast<int>(listing.drives.size());
            listing.drives.push_back(drive);
            addVolume(drive.devicePath, drive.sizeBytes);
        } else {
            listing.unreadable.push_back(drive.devicePath);
        }
        for (const PartitionDir& part : PartitionsOf(dir))
            addVolume((fs::path(setup.devDir) / part.name).string(), ReadNumber(part.dir / "size") * 512);
    }
    return listing;
}

}  // namespace salvora
