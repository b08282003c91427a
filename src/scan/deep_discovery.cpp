#include "scan/deep_discovery.h"

#include <cstdio>

#include "fs/fat/fat16_class.h"
#include "fs/fat/fat32_class.h"
#include "fs/fat/fat64_class.h"
#include "scan/file_systems.h"
#include "scan/recovery_options.h"

namespace salvora {
namespace {


// The fixed "Sector Per Cluster :" items after the boot sector's own value. The FAT lists end with "1": a
// volume of 512-byte clusters (small cards, anything made with -s 1) could not be rebuilt otherwise.
const std::vector<std::string> kFat16Items{"4", "8", "16", "2", "32", "64", "128", "1"};
const std::vector<std::string> kFat32Items{"2", "4", "16", "32", "64", "8", "1"};
const std::vector<std::string> kExFatItems{"8", "9", "10", "11"};

std::vector<std::string> Texts(const char* format, std::size_t count) {
    std::vector<std::string> texts;
    char text[64];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, format, static_cast<int>(i));
        texts.emplace_back(text);
    }
    return texts;
}

}  // namespace

DiscoveryKind DiscoveryKindForLabel(const std::string& fileSystemLabel) {
    const FileSystemRow* row = FindFileSystem(fileSystemLabel);
    return row ? row->discovery : DiscoveryKind::None;
}

std::unique_ptr<ParserBase> CreateDiscoveryParser(DiscoveryKind kind) {
    const FileSystemRow* row = FindFileSystem(kind);
    return row ? row->create() : nullptr;
}

std::string DiscoveryOpeningStatus(DiscoveryKind kind) {
    if (kind == DiscoveryKind::Fat16 || kind == DiscoveryKind::Fat12) return "Total fat16 Entries Found:";
    if (kind == DiscoveryKind::ExFat) return "Total fat64 Entries Found:";
    return {};
}

std::vector<std::string> SectorsPerClusterList(DiscoveryKind kind, bool bootValid, int bootValue) {
    std::vector<std::string> texts;
    if (kind == DiscoveryKind::None) return texts;
    if (kind == DiscoveryKind::ExFat) {
        if (bootValid) texts.push_back(std::to_string(bootValue));
        texts.insert(texts.end(), kExFatItems.begin(), kExFatItems.end());
        return texts;
    }
    // The boot sector's value leads when it is a usable cluster factor (a power of two up to 128).
    const bool usable = bootValue > 0 && bootValue <= 128 && (bootValue & (bootValue - 1)) == 0;
    const std::vector<std::string>& items = kind == DiscoveryKind::Fat32 ? kFat32Items : kFat16Items;
    if (bootValid && usable) texts.push_back(std::to_string(bootValue));
    for (const std::string& item : items) {
        // The trailing "1" only when the boot sector did not already offer it.
        if (item == "1" && !texts.empty() && texts.front() == "1") continue;
        texts.push_back(item);
    }
    return texts;
}

int SectorsPerClusterValue(const std::string& text) {
    const std::uint64_t value = LeadingNumber(text);
    return value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(value);
}

DeepDiscovery RunDeepDiscovery(ParserBase& parser, DiscoveryKind kind, readWriteInterface* reader,
                               const VolumeEntry& volume, int maxFileSystems) {
    DeepDiscovery found;
    found.kind = kind;
    found.maxFileSystems = EffectiveMaxFileSystems(maxFileSystems);
    const std::uint64_t volumeBytes = SizeTextMiB(volume.sizeText) * 1048576ull;
    if (kind == DiscoveryKind::ExFat) {
        auto& exfat = static_cast<Fat64Class&>(parser);
        exfat.AttachReader(reader, volume);
        exfat.SetVolumeBytes(volumeBytes);
        ExFatSearchResult result = exfat.RunAdvancedInputSearches(found.maxFileSystems);
        found.bootValid = result.bootValid;
        found.stopped = result.stopped;
        found.fatOffsets = std::move(result.fatOffsets);
        found.candidateTexts = std::move(result.fatTexts);
        found.heapOffsets = std::move(result.heapOffsets);
        found.heapTexts = std::move(result.heapTexts);
        found.sectorsPerClusterTexts = std::move(result.sectorsPerClusterTexts);
        found.message = std::move(result.message);
        return found;
    }
    if (kind == DiscoveryKind::None) return found;
    auto& fat = static_cast<FatParser&>(parser);
    const bool fat32 = kind == DiscoveryKind::Fat32;
    fat.AttachReader(reader, volume);
    fat.SetVolumeBytes(volumeBytes);
    found.bootValid = fat.CheckBootSector();
    if (!fat32) parser.Status().SetStatus("Finding Fat entries....");
    found.fatOffsets = fat.FindFatTables(found.maxFileSystems);
    found.stopped = fat.SearchStopped();
    found.candidateTexts = Texts(fat32 ? "FAT32_ENTRY:%d" : "FAT_ENTRY:%d", found.fatOffsets.size());
    found.sectorsPerClusterTexts =
        SectorsPerClusterList(kind, found.bootValid, found.bootValid ? fat.Boot().sectorsPerCluster : 0);
    char text[256];
    const int count = static_cast<int>(found.fatOffsets.size());
    if (fat32 && count == 0) {
        found.message = "NO FAT  FAT32-ENTRY found ..";
    } else {
        std::snprintf(text, sizeof text,
                      fat32
                          ? "Number of FAT32-ENTRY found = %d . Please select the choice from combo box and "
                            "click Next button to proceed."
                          : "Number of FAT-ENTRY found = %d . Please select the choice from combo box and "
                            "click Next button to proceed.",
                      count);
        found.message = text;
    }
    return found;
}

}  // namespace salvora
