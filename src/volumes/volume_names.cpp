#include "volumes/volume_names.h"

#include <blkid/blkid.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <string_view>
#include <vector>

#include "volumes/bare_volume.h"
#include "volumes/boot_sector_probe.h"

namespace salvora {
namespace {

std::string Lookup(blkid_probe probe, const char* key) {
    const char* value = nullptr;
    if (blkid_probe_lookup_value(probe, key, &value, nullptr) != 0 || value == nullptr) return {};
    return value;
}

std::string EverydayName(const std::string& type, const std::string& version) {
    if (type == "vfat") return version.empty() ? "FAT" : version;
    if (type == "exfat") return "exFAT";
    if (type == "hfsplus") return version == "HFSX" || version == "hfsx" ? "HFSX" : "HFS+";
    if (type == "ntfs") return "NTFS";
    return type;  // ext2, ext3, ext4, xfs, btrfs, ... are known by their type names
}

}  // namespace

bool IsReadableLabel(const std::string& label) {
    for (const char* readable : {"FAT12", "FAT16", "FAT32", "FAT64", "extX", "HFS+"})
        if (label == readable) return true;
    return false;
}

std::string ContentLabel(FileReadSeek& reader, std::uint64_t startSector) {
    std::array<std::uint8_t, kBareProbeBytes> head{};
    if (!reader.IsOpen() || startSector >= (1ull << 54)) return {};
    reader.ReadAt(startSector * kSectorBytes, head);  // a short read leaves zeros: no header there
    if (const BareKind kind = DetectBareVolume(head); kind != BareKind::None) return BareVolumeLabel(kind);
    if (ProbeBootSector(Bytes(head).first(kSectorBytes), kTableRules).kind == BootKind::Ntfs) return "NTFS";
    return {};
}

namespace {

constexpr std::uint64_t kCopiedBytes = 4u << 20;

// A memory file holding the volume's first kCopiedBytes, as long as the volume (the rest reads as zeros).
int CopyOfVolumeStart(FileReadSeek& reader, std::uint64_t startSector, std::uint64_t sizeBytes) {
    if (!reader.IsOpen()) return -1;
    const std::uint64_t start = startSector * kSectorBytes;
    if (start >= reader.sourceLength) return -1;
    if (sizeBytes == 0 || sizeBytes > reader.sourceLength - start) sizeBytes = reader.sourceLength - start;
    std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min(sizeBytes, kCopiedBytes)));
    reader.ReadAt(start, head);
    const int fd = ::memfd_create("salvora-probe", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (::ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0 ||
        ::pwrite(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string CommonVolumeName(FileReadSeek& reader, std::uint64_t startSector, std::uint64_t sizeBytes) {
    if (startSector > (1ull << 54)) return {};
    int fd = reader.Descriptor();
    blkid_loff_t offset = static_cast<blkid_loff_t>(startSector * kSectorBytes);
    int copy = -1;
    if (fd < 0) {
        copy = CopyOfVolumeStart(reader, startSector, sizeBytes);
        if (copy < 0) return {};
        fd = copy;
        offset = 0;
        sizeBytes = 0;
    }
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr) {
        if (copy >= 0) ::close(copy);
        return {};
    }
    std::string name;
    if (blkid_probe_set_device(probe, fd, offset, static_cast<blkid_loff_t>(sizeBytes)) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION |
                                                     BLKID_SUBLKS_LABEL | BLKID_SUBLKS_USAGE);
        if (blkid_do_safeprobe(probe) == 0 && Lookup(probe, "USAGE") == "filesystem") {
            name = EverydayName(Lookup(probe, "TYPE"), Lookup(probe, "VERSION"));
            if (const std::string label = Lookup(probe, "LABEL"); !label.empty()) name += " \"" + label + "\"";
        }
    }
    blkid_free_probe(probe);
    if (copy >= 0) ::close(copy);
    return name;
}

}  // namespace salvora
