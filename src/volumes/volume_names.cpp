#include "volumes/volume_names.h"

#include <blkid/blkid.h>

#include <array>
#include <string_view>

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
    const std::int64_t savedBase = reader.baseOffset;
    reader.baseOffset = 0;
    const bool read = startSector < (1ull << 54) &&
                      reader.SeekBytes(static_cast<std::int64_t>(startSector * kSectorBytes));
    if (read) reader.ReadBytes(head.data(), head.size());  // a short read leaves zeros: no header there
    reader.baseOffset = savedBase;
    if (!read) return {};
    if (const BareKind kind = DetectBareVolume(head); kind != BareKind::None) return BareVolumeLabel(kind);
    if (ProbeBootSector(Bytes(head).first(kSectorBytes), kTableRules).kind == BootKind::Ntfs) return "NTFS";
    return {};
}

std::string CommonVolumeName(const FileReadSeek& reader, std::uint64_t startSector, std::uint64_t sizeBytes) {
    if (reader.Descriptor() < 0 || startSector > (1ull << 54)) return {};
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr) return {};
    std::string name;
    if (blkid_probe_set_device(probe, reader.Descriptor(), static_cast<blkid_loff_t>(startSector * kSectorBytes),
                               static_cast<blkid_loff_t>(sizeBytes)) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION |
                                                     BLKID_SUBLKS_LABEL | BLKID_SUBLKS_USAGE);
        if (blkid_do_safeprobe(probe) == 0 && Lookup(probe, "USAGE") == "filesystem") {
            name = EverydayName(Lookup(probe, "TYPE"), Lookup(probe, "VERSION"));
            if (const std::string label = Lookup(probe, "LABEL"); !label.empty()) name += " \"" + label + "\"";
        }
    }
    blkid_free_probe(probe);
    return name;
}

}  // namespace salvora
