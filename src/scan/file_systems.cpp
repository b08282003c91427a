#include "scan/file_systems.h"

#include <strings.h>

#include "fs/ext/ext2_class.h"
#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "fs/fat/fat64_class.h"
#include "fs/hfsplus/hfsp.h"
#include "fs/ntfs/ntfs_class.h"

namespace salvora {
namespace {

template <class Parser, bool... Args>
std::unique_ptr<ParserBase> Make() {
    return std::make_unique<Parser>(Args...);
}

// Matched in this order; the first match wins. FAT labels offer the formatted switch ("FAT64" too, which the
// partition scanner gives exFAT volumes); HFS+ is read in Standard or Deep mode, ext in Standard only.
constexpr const char* kNotFat32 = "Selected Drive is not in Fat32 Format";
constexpr const char* kNotFat16 = "Selected Drive is not in Fat16 Format";
constexpr const char* kNotExFat = "Selected Drive is not in exFat Format";
constexpr const char* kNotExt = "Selected Drive is not in ext2/ext3/ext4 Format";
constexpr const char* kNotNtfs = "Selected Drive is not in NTFS Format";

constexpr FileSystemRow kFileSystems[] = {
    {"fat32", ParserKind::Fat32, DiscoveryKind::Fat32, true, false, true, kNotFat32, true, Make<Fat32Class>},
    {"fat16", ParserKind::Fat16, DiscoveryKind::Fat16, true, false, true, kNotFat16, false, Make<Fat16Class>},
    {"fat", ParserKind::Fat16, DiscoveryKind::Fat16, true, false, true, kNotFat16, false, Make<Fat16Class>},
    {"fat12", ParserKind::Fat12, DiscoveryKind::Fat12, true, false, true, kNotFat16, false, Make<Fat16Class, true>},
    {"extX", ParserKind::Ext, DiscoveryKind::None, false, false, false, kNotExt, false, Make<ext2Class>},
    {"fat64", ParserKind::ExFat, DiscoveryKind::ExFat, true, false, true, kNotExFat, true, Make<Fat64Class>},
    {"exFat", ParserKind::ExFat, DiscoveryKind::ExFat, true, false, false, kNotExFat, true, Make<Fat64Class>},
    {"NTFS", ParserKind::Ntfs, DiscoveryKind::None, true, false, false, kNotNtfs, true, Make<NtfsClass>},
    {"HFS+", ParserKind::HfsPlus, DiscoveryKind::None, false, true, false, nullptr, false, Make<HFSP>},
};

}  // namespace

const FileSystemRow* FindFileSystem(const std::string& fileSystemLabel) {
    for (const auto& row : kFileSystems)
        if (::strcasecmp(fileSystemLabel.c_str(), row.label) == 0) return &row;
    return nullptr;
}

const FileSystemRow* FindFileSystem(DiscoveryKind kind) {
    if (kind == DiscoveryKind::None) return nullptr;
    for (const auto& row : kFileSystems)
        if (row.discovery == kind) return &row;
    return nullptr;
}

}  // namespace salvora
