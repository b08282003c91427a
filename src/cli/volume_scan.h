#pragma once
// What list, recover and search share: open SOURCE, pick the volume, run the standard worker for its label to
// its end (Ctrl-C stops it and keeps what was found), and write result-tree entries as lines or JSON.
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "cli/cli_common.h"
#include "cli/terminal_ui.h"
#include "scan/deep_discovery.h"
#include "scan/scan_session.h"

namespace salvora::cli {


// The recovery-mode page and the advanced-input page: how deeply to parse, and for Advanced which of the
// searches' candidates to start from.
struct RecoveryArgs {
    std::string mode = "standard";                 // --mode standard|advanced|deep
    std::optional<std::size_t> candidate;          // --candidate I: "TFS :" item (default 0)
    std::optional<std::string> sectorsPerCluster;  // --sectors-per-cluster N: a value the list offers
    std::optional<std::size_t> heapCandidate;      // --heap-candidate I (exFAT)
    bool formatted = false;                        // --formatted: "Is Drive Formated..?"
    bool notFormatted = false;                     // --not-formatted: not even when it looks formatted
    int maxFileSystems = kDefaultMaxFileSystems;   // --max N (below 1: 3)
};

// --mode and the advanced options; find-tables takes --max alone.
void AddRecoveryOptions(CLI::App& command, RecoveryArgs& args);

struct VolumeScanArgs {
    std::string source;
    VolumeChoice choice;
    RecoveryArgs recovery;
};

// The advanced-input page's searches for the volume, run to their end (Ctrl-C stops them with what they
// found). exitCode not kExitOk: no search for this label, the reason is on stderr.
struct DiscoveredVolume {
    int exitCode = kExitOk;
    DiscoveryKind kind = DiscoveryKind::None;
    std::unique_ptr<ParserBase> parser;
    DeepDiscovery found;
};
DiscoveredVolume DiscoverVolume(const VolumeEntry& volume, int maxFileSystems, TerminalUi& ui);

void AddVolumeScanOptions(CLI::App& command, VolumeScanArgs& args);

struct ScannedVolume {
    int exitCode = kExitOk;  // not kExitOk: nothing to show, the reason is on stderr
    std::unique_ptr<SourceReader> source;
    std::unique_ptr<ScanSession> session;
};

ScannedVolume ScanVolume(const VolumeScanArgs& args, TerminalUi& ui);

// One entry as `list --json` prints it: path, kind (dir, file, link), target of a link, deleted, verdict, size,
// times, attributes.
nlohmann::ordered_json EntryJson(ParserBase& parser, EntryId entry, const std::string& path);

// The entry at a path as list prints it ("/Photos/IMG_0001.JPG"; the first of equal names); "/" is the root.
std::optional<EntryId> FindEntry(const ParserBase& parser, const std::string& path);

// One entry as list and search print it. path: "/" + names from the root joined by "/".
void PrintEntry(std::ostream& out, ParserBase& parser, EntryId entry, const std::string& path,
                bool json);

}  // namespace salvora::cli
