// `volumes SOURCE`: the volume list page's rows, in record order and numbered from 0.
#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/commands.h"

namespace salvora::cli {
namespace {

struct VolumesArgs {
    std::string source;
    ScanOptions scan;
    bool json = false;
};

constexpr std::size_t kColumns = 6;

void PrintTable(const std::vector<VolumeEntry>& volumes) {
    const std::array<std::string, kColumns> headers{"VOLUME",       "FILE_SYSTEM", "VOLUME_SIZE",
                                                    "START_SECTOR", "NAME",        "PARTITION"};
    std::vector<std::array<std::string, kColumns>> rows;
    for (const VolumeEntry& v : volumes)
        rows.push_back({v.volumeName, v.fileSystemLabel, v.sizeText, std::to_string(v.startSector),
                        v.commonName.empty() ? "-" : v.commonName, v.partitionName.empty() ? "-" : v.partitionName});
    std::array<std::size_t, kColumns> widths{};
    for (std::size_t c = 0; c < kColumns; ++c) {
        widths[c] = headers[c].size();
        for (const auto& row : rows) widths[c] = std::max(widths[c], row[c].size());
    }
    const auto printRow = [&](const std::array<std::string, kColumns>& cells) {
        std::string line;
        for (std::size_t c = 0; c < kColumns; ++c) {
            line += cells[c];
            if (c + 1 < kColumns) line += std::string(widths[c] - cells[c].size() + 2, ' ');
        }
        std::cout << line << '\n';
    };
    printRow(headers);
    for (const auto& row : rows) printRow(row);
}

int RunVolumes(const VolumesArgs& args, TerminalUi& ui) {
    SourceReader source;
    if (!source.Open(args.source)) return kExitSourceError;
    const SourceVolumes found = ListSourceVolumes(source.Reader(), args.scan, ui);
    if (args.json) {
        for (std::size_t i = 0; i < found.volumes.size(); ++i) {
            const VolumeEntry& v = found.volumes[i];
            nlohmann::ordered_json row;
            row["index"] = i;
            row["fileSystemLabel"] = v.fileSystemLabel;
            row["sizeText"] = v.sizeText;
            row["startSector"] = v.startSector;
            row["name"] = v.commonName;
            row["partitionName"] = v.partitionName;
            std::cout << row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        }
    } else {
        PrintTable(found.volumes);
    }
    std::cout.flush();
    if (found.volumes.empty()) {
        PrintNoVolumeHint(args.source, source.Reader().sourceLength, found.scanCode, args.scan.advance);
        return kExitSourceError;
    }
    return kExitOk;
}

}  // namespace

Command RegisterVolumesCommand(CLI::App& app) {
    auto args = std::make_shared<VolumesArgs>();
    CLI::App* sub =
        app.add_subcommand("volumes", "List the volumes of a drive or image, as the volume list shows them");
    sub->add_option("SOURCE", args->source, "Device or image file")->required();
    AddScanOptions(*sub, args->scan);
    sub->add_flag("--json", args->json, "One JSON object per volume and line");
    return {sub, [args](TerminalUi& ui) { return RunVolumes(*args, ui); }};
}

}  // namespace salvora::cli
