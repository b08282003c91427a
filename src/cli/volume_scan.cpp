#include "cli/volume_scan.h"

#include <algorithm>
#include <sstream>
#include <nlohmann/json.hpp>

#include "scan/report_writer.h"

namespace salvora::cli {

void AddRecoveryOptions(CLI::App& command, RecoveryArgs& args) {
    command.add_option("--mode", args.mode, "Recovery mode: standard, advanced (damaged volume) or deep")
        ->check(CLI::IsMember({"standard", "advanced", "deep"}, CLI::ignore_case))
        ->transform(CLI::IsMember({"standard", "advanced", "deep"}, CLI::ignore_case));
    command.add_option("--candidate", args.candidate,
                       "Advanced: the FAT copy to use, as find-tables numbers them");
    command.add_option(
        "--sectors-per-cluster", args.sectorsPerCluster,
        "Advanced: sectors per cluster from the list find-tables prints (exFAT: the shift value)");
    command.add_option("--heap-candidate", args.heapCandidate,
                       "Advanced, exFAT: the cluster-heap start to use");
    CLI::Option* formatted = command.add_flag("--formatted", args.formatted,
                                              "Advanced: the drive was formatted (\"Is Drive Formated..?\")");
    command.add_flag("--not-formatted", args.notFormatted,
                     "Advanced: read the volume as it is even when it looks quick-formatted")
        ->excludes(formatted);
    command.add_option("--max", args.maxFileSystems, "Advanced: FAT copies to search for (default 3)");
}

void AddVolumeScanOptions(CLI::App& command, VolumeScanArgs& args) {
    command.add_option("SOURCE", args.source, "Device or image file")->required();
    AddVolumeChoiceOptions(command, args.choice);
    AddRecoveryOptions(command, args.recovery);
}

DiscoveredVolume DiscoverVolume(const VolumeEntry& volume, int maxFileSystems, TerminalUi& ui) {
    DiscoveredVolume out;
    out.kind = DiscoveryKindForLabel(volume.fileSystemLabel);
    out.parser = CreateDiscoveryParser(out.kind);
    if (!out.parser) {
        PrintError("no FAT-copy search for a \"" + volume.fileSystemLabel +
                   "\" volume (FAT16, FAT32 and exFAT volumes have one)");
        out.exitCode = kExitSourceError;
        return out;
    }
    out.parser->statusWindow = &ui;
    if (const std::string status = DiscoveryOpeningStatus(out.kind); !status.empty()) ui.SetStatus(status);
    {
        StopOnInterrupt interrupt(out.parser->stopRequested);
        out.found = RunDeepDiscovery(*out.parser, out.kind, theReader, volume, maxFileSystems);
    }
    out.parser->stopRequested = false;
    ui.EndProgress();
    return out;
}

namespace {

// The command line's words for EmptyScanHint.
void PrintEmptyScanHint(const std::string& source, const std::string& label, RecoveryMode mode) {
    const ModeOffer offer = ModesForLabel(label);
    PrintError("nothing was found on this volume");
    if (mode == RecoveryMode::Standard && offer.Offers(RecoveryMode::Advanced))
        std::fprintf(stderr, "  formatted or damaged? try:    --mode advanced%s\n",
                     offer.formattedSwitch ? "  (with --formatted for a formatted card)" : "");
    else if (mode == RecoveryMode::Standard && offer.Offers(RecoveryMode::Deep))
        std::fprintf(stderr, "  try:                          --mode deep\n");
    else if (mode == RecoveryMode::Advanced && offer.formattedSwitch)
        std::fprintf(stderr, "  formatted? try:               --formatted, or another --candidate (find-tables lists them)\n");
    std::fprintf(stderr, "  to find files by their content: salvora-cli carve %s --out DIR\n", source.c_str());
}

RecoveryMode ModeOf(const std::string& text) {
    if (text == "advanced") return RecoveryMode::Advanced;
    if (text == "deep") return RecoveryMode::Deep;
    return RecoveryMode::Standard;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// The advanced-input page's part: the searches, then the items chosen. kExitOk, or the reason is on stderr.
int PrepareAdvanced(ScanSession& session, const VolumeEntry& volume, const RecoveryArgs& args,
                    TerminalUi& ui) {
    DiscoveredVolume discovered = DiscoverVolume(volume, args.maxFileSystems, ui);
    if (discovered.exitCode != kExitOk) return discovered.exitCode;
    const DeepDiscovery& found = discovered.found;
    if (found.stopped) {
        // Half a search gives half the candidates and no geometry: nothing is rebuilt from it.
        PrintError("stopped during the search of the volume: nothing was scanned");
        return kExitSomeNotWritten;
    }
    ui.ShowMessage(found.message, kAppTitle, MsgIcon::Information, MsgButtons::Ok);  // the wizard's words: --verbose
    std::fprintf(stderr, "salvora-cli: %zu FAT cop%s found\n", found.candidateTexts.size(),
                 found.candidateTexts.size() == 1 ? "y" : "ies");
    if (!found.geometryText.empty()) std::fprintf(stderr, "salvora-cli: %s\n", found.geometryText.c_str());
    if (found.looksFormatted && !args.formatted) {
        std::fprintf(stderr, "salvora-cli: %s %s\n", found.formattedText.c_str(),
                     args.notFormatted ? "Read as it is (--not-formatted)."
                                       : "It is read as formatted (--not-formatted reads it as it is).");
        if (!args.notFormatted) session.formattedDrive = true;
    }
    AdvancedSelection selection;
    selection.candidateIndex = args.candidate.value_or(0);
    if (selection.candidateIndex >= found.candidateTexts.size()) {
        PrintError(found.candidateTexts.empty()
                       ? std::string("no FAT copy was found, so there is no candidate to start from")
                       : "--candidate " + std::to_string(selection.candidateIndex) + ": the search found " +
                             std::to_string(found.candidateTexts.size()) + " (0 to " +
                             std::to_string(found.candidateTexts.size() - 1) + ")");
        return kExitUsage;
    }
    const auto& items = found.sectorsPerClusterTexts;
    selection.sectorsPerClusterText = args.sectorsPerCluster.value_or(items.empty() ? "" : items.front());
    if (std::find(items.begin(), items.end(), selection.sectorsPerClusterText) == items.end()) {
        PrintError("--sectors-per-cluster " + selection.sectorsPerClusterText +
                   " is not offered (offered: " + Joined(items) + ")");
        return kExitUsage;
    }
    if (ShowsHeapOffsets(discovered.kind)) {
        selection.heapIndex = args.heapCandidate.value_or(0);
        if (selection.heapIndex >= found.heapTexts.size()) {
            PrintError("--heap-candidate " + std::to_string(selection.heapIndex) + ": the search found " +
                       std::to_string(found.heapTexts.size()));
            return kExitUsage;
        }
    } else if (args.heapCandidate) {
        PrintError("--heap-candidate is for exFAT volumes only");
        return kExitUsage;
    }
    session.SetAdvancedInput(std::move(discovered.parser), selection);
    return kExitOk;
}

}  // namespace

ScannedVolume ScanVolume(const VolumeScanArgs& args, TerminalUi& ui) {
    ScannedVolume scanned;
    scanned.source = std::make_unique<SourceReader>();
    if (!scanned.source->Open(args.source)) {
        scanned.exitCode = kExitSourceError;
        return scanned;
    }
    const ResolvedVolume volume = ResolveVolume(scanned.source->Reader(), args.choice, ui);
    if (volume.exitCode != kExitOk) {
        scanned.exitCode = volume.exitCode;
        return scanned;
    }
    if (const auto refusal = VolumeRefusal(volume)) {
        ShowInfo(*refusal);
        scanned.exitCode = kExitSourceError;
        return scanned;
    }
    const RecoveryMode mode = ModeOf(args.recovery.mode);
    if (const std::string refusal = ModeRefusal(volume.entry.fileSystemLabel, mode); !refusal.empty()) {
        PrintError(refusal);
        scanned.exitCode = kExitUsage;
        return scanned;
    }
    const bool advancedOnly = args.recovery.candidate || args.recovery.sectorsPerCluster ||
                              args.recovery.heapCandidate || args.recovery.formatted ||
                              args.recovery.notFormatted;
    if (advancedOnly && mode != RecoveryMode::Advanced) {
        PrintError(
            "--candidate, --sectors-per-cluster, --heap-candidate and --formatted need --mode advanced");
        scanned.exitCode = kExitUsage;
        return scanned;
    }
    if (args.recovery.formatted && !ModesForLabel(volume.entry.fileSystemLabel).formattedSwitch) {
        PrintError("--formatted is offered for FAT volumes only");
        scanned.exitCode = kExitUsage;
        return scanned;
    }
    scanned.session = std::make_unique<ScanSession>(volume.entry, mode, &ui, &scanned.source->Reader());
    scanned.session->formattedDrive = args.recovery.formatted;
    // NTFS finds its own way in its advanced run; FAT and exFAT take the searches' choices first.
    if (mode == RecoveryMode::Advanced && DiscoveryKindForLabel(volume.entry.fileSystemLabel) != DiscoveryKind::None) {
        if (const int code = PrepareAdvanced(*scanned.session, volume.entry, args.recovery, ui);
            code != kExitOk) {
            scanned.exitCode = code;
            return scanned;
        }
    }
    if (!scanned.session->Start()) {
        scanned.exitCode = kExitSourceError;
        return scanned;
    }
    {
        StopOnInterrupt interrupt(scanned.session->ActiveParser()->stopRequested);
        scanned.session->Wait();
    }
    ui.EndProgress();
    // The HFS+ worker ends on a status line only; a terminal shows no status without --verbose, so the
    // outcome is said here.
    if (ParserKindForLabel(volume.entry.fileSystemLabel) == ParserKind::HfsPlus)
        ui.ShowMessage(scanned.session->ScanCompleted() ? kWorkDoneText : kWorkAbortedText, kAppTitle,
                       MsgIcon::Information, MsgButtons::Ok);
    if (!scanned.session->ScanCompleted()) {
        if (scanned.session->AdvancedMayHelp())
            std::fprintf(stderr, "  boot sector damaged or gone? try: --mode advanced (the layout is found from "
                                 "what is left on the volume)\n");
        else if (mode == RecoveryMode::Advanced)
            std::fprintf(stderr, "  to find files by their content: salvora-cli carve %s --out DIR\n", args.source.c_str());
        scanned.exitCode = kExitSourceError;
    } else if (scanned.session->FoundNothing()) {
        PrintEmptyScanHint(args.source, volume.entry.fileSystemLabel, mode);
        scanned.exitCode = kExitSourceError;
    }
    return scanned;
}

nlohmann::ordered_json EntryJson(ParserBase& parser, EntryId entry, const std::string& path) {
    return ListEntryJson(parser, entry, path);
}

std::optional<EntryId> FindEntry(const ParserBase& parser, const std::string& path) {
    EntryId at = parser.RootEntry();
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::optional<EntryId> found;
        for (auto c = parser.FirstChild(at); c && !found; c = parser.NextSibling(*c))
            if (parser.EntryName(*c) == part) found = *c;
        if (!found) return std::nullopt;
        at = *found;
    }
    return at;
}

void PrintEntry(std::ostream& out, ParserBase& parser, EntryId entry, const std::string& path,
                bool json) {
    const EntryTexts texts = parser.FormatEntryTimes(entry);
    const bool folder = parser.IsFolder(entry);
    const bool deleted = parser.IsDeleted(entry);
    const std::optional<std::string> target = folder ? std::nullopt : parser.LinkTarget(entry);
    const char* kind = folder ? "dir" : target ? "link" : "file";
    if (json) {
        out << EntryJson(parser, entry, path).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
            << '\n';
        return;
    }
    out << VisibleText(target ? path + " -> " + *target : path) << '\t' << kind << '\t'
        << (deleted ? "deleted" : "-") << '\t' << VerdictName(parser.Judge(entry).verdict) << '\t'
        << parser.FormatEntrySize(entry) << '\t' << texts.created << '\t'
        << texts.accessed << '\t' << texts.modified << '\t' << texts.attributes << '\n';
}

}  // namespace salvora::cli
