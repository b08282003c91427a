#pragma once
// What every command that works on a source shares: opening SOURCE into theReader, listing its volumes, and
// turning the volume options into the one VolumeEntry to work on.
//
// A command that works on one volume does:
//     VolumeChoice choice;
//     AddVolumeChoiceOptions(*sub, choice);           // --volume, scan and custom-volume options
//     ... on run:
//     SourceReader source;
//     if (!source.Open(path)) return kExitSourceError;
//     ResolvedVolume volume = ResolveVolume(source.Reader(), choice, ui);
//     if (volume.exitCode != kExitOk) return volume.exitCode;   // the reason is already on stderr
//     ... volume.entry.startSector / fileSystemLabel / sizeText decide the rest, as on the volume list page.
#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/terminal_ui.h"
#include "io/file_read_seek.h"
#include "volumes/volume_entry.h"

namespace salvora::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitSourceError = 1;  // the source cannot be opened, or holds nothing to work on
inline constexpr int kExitUsage = 2;        // bad or inconsistent options
inline constexpr int kExitSomeNotWritten = 3;  // some files could not be written whole, or the work was stopped

// Prints "salvora-cli: text" on stderr (for the command line's own complaints, not the core's messages).
void PrintError(const std::string& text);
// "salvora-cli: source holds no volume ..." with the commands to try next, for a source in which neither a
// partition table nor a file system was found (or that is empty, or could not be read).
void PrintNoVolumeHint(const std::string& source, std::uint64_t sourceBytes, std::uint32_t readError,
                       bool advanceScan);

// How every SOURCE is read: the map of a partly read image (its ranges not marked '+' are unreadable) and the
// retries of a failing sector. Set once, before a command runs.
struct SourceOptions {
    std::string map;
    int retries = 1;
};
void SetSourceOptions(const SourceOptions& options);
const SourceOptions& CurrentSourceOptions();

// Owns the process's one reader and publishes it in theReader while it lives.
class SourceReader {
  public:
    SourceReader();
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // Opens read-only, with the source options. On failure the reader has already shown "invalid handle ...";
    // this adds why, on stderr (a map that cannot be read too).
    bool Open(const std::string& path);
    FileReadSeek& Reader() { return *reader_; }

  private:
    std::unique_ptr<FileReadSeek> reader_;
};

// How to find the volumes of a source: the scan-mode page's choices.
struct ScanOptions {
    bool advance = false;              // --advance: test every sector for a boot sector
    bool gpt = false;                  // --gpt: walk the GUID partition table instead of the MBR
    bool mbr = false;                  // --mbr: walk the MBR even where a GPT is found
    bool noSkip = false;               // --no-skip: advance scan also looks inside volumes it found
    std::vector<std::uint64_t> range;  // --range START END: advance scan sector range (END 0 = to the end)
};

// Which volume to work on: a row of the volume list, or a custom volume as the page's custom settings make
// it.
struct VolumeChoice {
    ScanOptions scan;
    std::optional<std::size_t> volume;         // --volume N: row N of `volumes`
    std::optional<std::uint64_t> startSector;  // --start-sector S
    std::optional<std::uint64_t> sizeMiB;      // --size-mib M
    std::optional<std::string> fileSystem;     // --fs: EXTX, FAT64, FAT32, FAT16, HFS+ or RAW (any case)
};

void AddScanOptions(CLI::App& command, ScanOptions& options);
// The scan options plus --volume, --start-sector, --size-mib and --fs.
void AddVolumeChoiceOptions(CLI::App& command, VolumeChoice& choice);

struct SourceVolumes {
    std::vector<VolumeEntry> volumes;  // record order; volumeName renumbered "0", "1", ...
    bool bare = false;                 // one file system from sector 0, no partition table walked
    std::uint32_t scanCode = 0;        // the scanner's result: 0, or the errno of the read that ended it
};

// Bare-volume check (standard scan only), else the partition scanner with the options. Progress and status go
// through Ui(); Ctrl-C stops an advance scan and keeps what it found.
SourceVolumes ListSourceVolumes(FileReadSeek& reader, const ScanOptions& options, TerminalUi& ui);

struct ResolvedVolume {
    int exitCode = kExitOk;  // not kExitOk: nothing to work on, the reason is already on stderr
    VolumeEntry entry;
    bool custom = false;  // custom settings were used (--start-sector, --size-mib or --fs)
    bool bare = false;    // the source is one bare volume
};

// Picks the volume: a bare source needs no --volume (its one row, index 0); otherwise --volume N picks row N
// of the same listing `volumes` prints, and --start-sector S with --size-mib M alone make a custom volume
// without scanning. With custom settings, startSector := S, sizeText := "%lld" of M (a bare number, as the
// page writes it), and --fs maps as "Treat file system as:" does ("fat16", "fat32", "fat64", "extX", "HFS+";
// RAW makes "RAW"); options left out keep the row's values (a custom volume without a row: "fat64").
ResolvedVolume ResolveVolume(FileReadSeek& reader, const VolumeChoice& choice, TerminalUi& ui);

// The volume list page's refusals at Next, with its texts; nullopt when the volume can be parsed. Custom
// settings and bare volumes (whose label comes from a header check) pass; so do labels a parser runs for.
std::optional<std::string> VolumeRefusal(const ResolvedVolume& volume);

// While alive, Ctrl-C sets `stop` (a second Ctrl-C ends the process as usual).
class StopOnInterrupt {
  public:
    explicit StopOnInterrupt(std::atomic<bool>& stop);
    ~StopOnInterrupt();
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
};

}  // namespace salvora::cli
