// `find-tables SOURCE [volume options] [--max N]`: the advanced-input page's searches for the volume's label,
// printed as its combo boxes would hold them (with each candidate's byte offset), then the count message.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/volume_scan.h"

namespace salvora::cli {
namespace {

struct FindTablesArgs {
    std::string source;
    VolumeChoice choice;
    int maxFileSystems = kDefaultMaxFileSystems;
    bool json = false;
};

void PrintList(const char* title, const std::vector<std::string>& texts,
               const std::vector<std::uint64_t>* offsets) {
    std::cout << title << '\n';
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::cout << texts[i];
        if (offsets && i < offsets->size()) std::cout << '\t' << (*offsets)[i];
        std::cout << '\n';
    }
}

int RunFindTables(const FindTablesArgs& args, TerminalUi& ui) {
    SourceReader source;
    if (!source.Open(args.source)) return kExitSourceError;
    const ResolvedVolume volume = ResolveVolume(source.Reader(), args.choice, ui);
    if (volume.exitCode != kExitOk) return volume.exitCode;
    const DiscoveredVolume discovered = DiscoverVolume(volume.entry, args.maxFileSystems, ui);
    if (discovered.exitCode != kExitOk) return discovered.exitCode;
    const DeepDiscovery& found = discovered.found;
    if (args.json) {
        nlohmann::ordered_json out;
        out["fileSystemLabel"] = volume.entry.fileSystemLabel;
        out["bootValid"] = found.bootValid;
        out["stopped"] = found.stopped;
        out["maxFileSystems"] = found.maxFileSystems;
        auto& candidates = out["candidates"] = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < found.candidateTexts.size(); ++i)
            candidates.push_back({{"text", found.candidateTexts[i]}, {"offset", found.fatOffsets[i]}});
        out["sectorsPerCluster"] = found.sectorsPerClusterTexts;
        if (ShowsHeapOffsets(discovered.kind)) {
            auto& heaps = out["heapCandidates"] = nlohmann::ordered_json::array();
            for (std::size_t i = 0; i < found.heapTexts.size(); ++i)
                heaps.push_back({{"text", found.heapTexts[i]}, {"offset", found.heapOffsets[i]}});
        }
        out["message"] = found.message;
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        PrintList("TFS :", found.candidateTexts, &found.fatOffsets);
        PrintList("Sector Per Cluster :", found.sectorsPerClusterTexts, nullptr);
        if (ShowsHeapOffsets(discovered.kind))
            PrintList("Heap Offset :", found.heapTexts, &found.heapOffsets);
        std::cout << found.message << '\n';
    }
    std::cout.flush();
    return kExitOk;
}

}  // namespace

Command RegisterFindTablesCommand(CLI::App& app) {
    auto args = std::make_shared<FindTablesArgs>();
    CLI::App* sub = app.add_subcommand(
        "find-tables",
        "Search a damaged FAT16, FAT32 or exFAT volume for FAT copies (and exFAT heap starts)");
    sub->add_option("SOURCE", args->source, "Device or image file")->required();
    AddVolumeChoiceOptions(*sub, args->choice);
    sub->add_option("--max", args->maxFileSystems, "FAT copies to search for (default 3; below 1: 3)");
    sub->add_flag("--json", args->json, "One JSON object with the lists");
    return {sub, [args](TerminalUi& ui) { return RunFindTables(*args, ui); }};
}

}  // namespace salvora::cli
