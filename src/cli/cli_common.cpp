#include "cli/cli_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <cstring>

#include "io/imaging.h"
#include "io/rescue_map.h"
#include "scan/scan_session.h"
#include "volumes/bare_volume.h"
#include "volumes/partition.h"
#include "volumes/volume_names.h"

namespace salvora::cli {
namespace {

// "Treat file system as:" choices and the labels the page makes of them.
struct FsChoice {
    const char* option;
    const char* label;
};
constexpr std::array kFsChoices{FsChoice{"EXTX", "extX"},   FsChoice{"FAT64", "fat64"},
                                FsChoice{"FAT32", "fat32"}, FsChoice{"FAT16", "fat16"},
                                FsChoice{"FAT12", "fat12"}, FsChoice{"HFS+", "HFS+"},
                                FsChoice{"NTFS", "NTFS"},   FsChoice{"RAW", "RAW"}};
constexpr const char* kDefaultCustomLabel = "fat64";  // the combo box's choice when the page opens

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

std::string LabelForFsChoice(const std::string& choice) {
    for (const FsChoice& row : kFsChoices) {
        if (Upper(choice) == row.option) return row.label;
    }
    return choice;  // unreachable once the option's check has passed
}

// Why a path could not be opened, for a person.
std::string OpenFailureReason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return "is a directory";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return "cannot be read";
    }
    return std::strerror(errno);
}

std::atomic<std::atomic<bool>*> interruptTarget{nullptr};

// Set by Ctrl-C while a stop is being listened for: the reader looks at it inside a bad area.
std::atomic<bool> interrupted{false};

void OnInterrupt(int) {
    interrupted.store(true);
    if (std::atomic<bool>* target = interruptTarget.load()) target->store(true);
}

}  // namespace

void PrintError(const std::string& text) { std::fprintf(stderr, "salvora-cli: %s\n", text.c_str()); }

void PrintNoVolumeHint(const std::string& source, std::uint64_t sourceBytes, std::uint32_t readError,
                       bool advanceScan) {
    const std::string name = source.empty() ? "SOURCE" : source;
    if (sourceBytes == 0) {
        PrintError("no volume found: the source is empty (0 bytes)");
        return;
    }
    if (sourceBytes < 2 * kSectorBytes) {
        PrintError("no volume found: the source holds only " + std::to_string(sourceBytes) +
                   " bytes, too few for a partition table or a file system");
        return;
    }
    if (readError != 0) {
        PrintError("no volume found: reading the source failed (" + std::string(std::strerror(static_cast<int>(readError))) +
                   "); image a failing device first (ddrescue) and point salvora-cli at the image");
        return;
    }
    if (advanceScan) {
        PrintError("no volume found: no boot sector anywhere on the source");
        std::fprintf(stderr,
                     "  a FAT or exFAT volume whose boot sector is gone (S: where it starts, 0 for an image of it):\n"
                     "                                  salvora-cli list %s --start-sector S --fs FAT32|FAT16|FAT64 "
                     "--mode advanced\n"
                     "  to find files by their content: salvora-cli carve %s --out DIR\n",
                     name.c_str(), name.c_str());
        return;
    }
    PrintError("no volume found: no partition table and no file system at the start of the source");
    std::fprintf(stderr,
                 "  to look for volumes anywhere on it:   salvora-cli volumes %s --advance\n"
                 "  then, for a damaged volume:           salvora-cli list %s --advance --volume N --mode advanced\n"
                 "  an image of one FAT or exFAT volume whose boot sector is gone:\n"
                 "                                        salvora-cli list %s --start-sector 0 --fs FAT32|FAT16|FAT64 "
                 "--mode advanced\n"
                 "  to find files by their content:       salvora-cli carve %s --out DIR\n",
                 name.c_str(), name.c_str(), name.c_str(), name.c_str());
}

SourceReader::SourceReader() : reader_(std::make_unique<FileReadSeek>()) { theReader = reader_.get(); }

SourceReader::~SourceReader() {
    if (theReader == reader_.get()) theReader = nullptr;
}

namespace {
SourceOptions sourceOptions;
}  // namespace

void SetSourceOptions(const SourceOptions& options) { sourceOptions = options; }
const SourceOptions& CurrentSourceOptions() { return sourceOptions; }

bool SourceReader::Open(const std::string& path) {
    reader_->SetRetries(sourceOptions.retries);
    reader_->SetInterrupt(&interrupted);
    if (reader_->OpenSource(path)) {
        if (sourceOptions.map.empty()) return true;
        std::string why;
        const std::optional<RescueMap> map = RescueMap::Load(sourceOptions.map, &why);
        if (!map) {
            PrintError("cannot read the map " + sourceOptions.map + ": " + why);
            return false;
        }
        reader_->MarkUnreadable(map->NotRescued());
        const std::uint64_t bad = map->Size() - map->BytesWith(kRescued);
        if (bad > 0)
            std::fprintf(stderr, "salvora-cli: %s: %s of %s not rescued by the map: read as unreadable\n",
                         sourceOptions.map.c_str(), HumanBytes(bad).c_str(), HumanBytes(map->Size()).c_str());
        return true;
    }
    // A container's error names its file already.
    PrintError("cannot open " + (reader_->OpenError().empty() ? path + ": " + OpenFailureReason(path)
                                                               : reader_->OpenError()));
    return false;
}

void AddScanOptions(CLI::App& command, ScanOptions& options) {
    CLI::Option* advance = command.add_flag("--advance", options.advance,
                                            "Test every sector for a boot sector (lost partition tables)");
    CLI::Option* gpt = command.add_flag(
        "--gpt", options.gpt, "Walk the GUID partition table (found by itself when sector 1 holds one)");
    gpt->excludes(advance);
    command.add_flag("--mbr", options.mbr, "Walk the MBR even where a GUID partition table is found")
        ->excludes(advance)
        ->excludes(gpt);
    command.add_flag("--no-skip", options.noSkip, "Advance scan: also look inside volumes already found")
        ->needs(advance);
    command.add_option("--range", options.range, "Advance scan: first and end sector (END 0 = to the end)")
        ->expected(2)
        ->type_name("START END")
        ->needs(advance);
}

void AddVolumeChoiceOptions(CLI::App& command, VolumeChoice& choice) {
    AddScanOptions(command, choice.scan);
    command.add_option("--volume", choice.volume, "Row N of the volume list (not needed for a bare volume)")
        ->type_name("N");
    command.add_option("--start-sector", choice.startSector, "Custom volume: first sector (to the end of the source unless --size-mib)")->type_name("S");
    command.add_option("--size-mib", choice.sizeMiB, "Custom volume: size in MiB")->type_name("M");
    std::vector<std::string> names;
    for (const FsChoice& row : kFsChoices) names.emplace_back(row.option);
    command
        .add_option("--fs", choice.fileSystem,
                    "Treat the file system as EXTX, FAT64, FAT32, FAT16, FAT12, HFS+, NTFS or RAW")
        ->check(CLI::IsMember(names, CLI::ignore_case))
        ->type_name("LABEL");
}

SourceVolumes ListSourceVolumes(FileReadSeek& reader, const ScanOptions& options, TerminalUi& ui) {
    SourceVolumes found;
    // An explicit advance scan is a request to look at every sector, so it is not cut short by sector 0.
    if (!options.advance) {
        if (std::optional<VolumeEntry> bare = ProbeBareVolume(reader)) {
            bare->commonName = CommonVolumeName(reader, 0, 0);
            found.volumes.push_back(*bare);
            found.bare = true;
            return found;
        }
    }
    Partition partition;
    partition.volumeList = &found.volumes;
    partition.useGpt = options.gpt;
    partition.findGpt = !options.mbr;
    partition.skipFoundVolumes = !options.noSkip;
    if (options.range.size() == 2) {
        partition.rangeStartSector = options.range[0];
        partition.rangeEndSector = options.range[1];
    }
    {
        StopOnInterrupt interrupt(partition.stopRequested);
        found.scanCode =
            options.advance ? partition.ScanForBootSectors(reader) : partition.ScanPartitionTables(reader);
    }
    ui.EndProgress();
    if (options.advance && found.scanCode == 0 && partition.unreadableBytes > 0)
        PrintError(HumanBytes(partition.unreadableBytes) +
                   " of the source could not be read (unreadable sectors): a volume that starts there is not listed");
    for (std::size_t i = 0; i < found.volumes.size(); ++i) found.volumes[i].volumeName = std::to_string(i);
    return found;
}

ResolvedVolume ResolveVolume(FileReadSeek& reader, const VolumeChoice& choice, TerminalUi& ui) {
    ResolvedVolume result;
    result.custom = choice.startSector || choice.sizeMiB || choice.fileSystem;
    const auto fail = [&](int code, const std::string& text) {
        PrintError(text);
        result.exitCode = code;
        return result;
    };

    VolumeEntry row;
    bool haveRow = false;
    if (!choice.volume && choice.startSector) {
        // A volume the user describes (to the end of the source without --size-mib): nothing to scan.
        row.fileSystemLabel = kDefaultCustomLabel;
        row.volumeName = "0";
    } else {
        const SourceVolumes found = ListSourceVolumes(reader, choice.scan, ui);
        result.bare = found.bare;
        const std::size_t count = found.volumes.size();
        if (choice.volume) {
            if (*choice.volume >= count)
                return fail(kExitSourceError, "no volume " + std::to_string(*choice.volume) +
                                                  ": the source has " + std::to_string(count) + " volume(s)");
            row = found.volumes[*choice.volume];
        } else if (found.bare) {
            row = found.volumes.front();
        } else if (choice.startSector || choice.sizeMiB) {
            return fail(kExitUsage, "--size-mib needs --start-sector (or --volume N)");
        } else if (count == 0) {
            PrintNoVolumeHint(reader.Path(), reader.sourceLength, found.scanCode, choice.scan.advance);
            result.exitCode = kExitSourceError;
            return result;
        } else {
            return fail(kExitUsage, "choose a volume with --volume N (0.." + std::to_string(count - 1) +
                                        "); `salvora-cli volumes SOURCE` lists them");
        }
        haveRow = true;
    }

    result.entry = row;
    if (result.custom) {
        result.entry.startSector = choice.startSector.value_or(row.startSector);
        const std::uint64_t startBytes = result.entry.startSector * 512;
        const std::uint64_t toEnd = reader.sourceLength > startBytes ? reader.sourceLength - startBytes : 0;
        const std::uint64_t sizeMiB = choice.sizeMiB.value_or(haveRow ? SizeTextMiB(row.sizeText) : toEnd >> 20);
        result.entry.sizeText = std::to_string(sizeMiB);
        result.entry.sizeBytes = choice.sizeMiB ? std::min<std::uint64_t>(sizeMiB, 1ull << 40) << 20
                                                : (haveRow ? row.sizeBytes : toEnd);
        if (choice.fileSystem) result.entry.fileSystemLabel = LabelForFsChoice(*choice.fileSystem);
    }
    return result;
}

std::optional<std::string> VolumeRefusal(const ResolvedVolume& volume) {
    const std::string upper = Upper(volume.entry.fileSystemLabel);
    if (!volume.custom && !volume.bare && !LabelTakenWithoutCustomSettings(volume.entry.fileSystemLabel))
        return "Software does not support selected file system.";
    if (upper == "UNKNOWN") return "can not parse unknown volume";
    return std::nullopt;
}

StopOnInterrupt::StopOnInterrupt(std::atomic<bool>& stop) {
    interrupted = false;
    interruptTarget = &stop;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;  // the second Ctrl-C is the ordinary one
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);  // kill and shutdown stop the same way, keeping what was found
}

StopOnInterrupt::~StopOnInterrupt() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    interruptTarget = nullptr;
    interrupted = false;
}

}  // namespace salvora::cli
