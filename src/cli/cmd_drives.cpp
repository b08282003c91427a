// `drives`: the drive page's two lists, physical drives and the volumes on them.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "volumes/drives.h"

namespace salvora::cli {
namespace {

struct DrivesArgs {
    bool json = false;
};

std::string Dump(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PrintJson(const DriveListing& listing) {
    for (const PhysicalDrive& d : listing.drives) {
        nlohmann::ordered_json row;
        row["kind"] = "drive";
        row["number"] = d.number;
        row["text"] = d.ItemText();
        row["devicePath"] = d.devicePath;
        row["model"] = d.modelText;
        row["sizeBytes"] = d.sizeBytes;
        if (!d.backingFile.empty()) row["backingFile"] = d.backingFile;
        std::cout << Dump(row) << '\n';
    }
    for (auto it = listing.volumes.rbegin(); it != listing.volumes.rend(); ++it) {
        nlohmann::ordered_json row;
        row["kind"] = "volume";
        row["displayName"] = it->displayName;
        row["volumeName"] = it->volumeName;
        row["fileSystemLabel"] = it->fileSystemLabel;
        row["pipelineLabel"] = PipelineLabel(it->fileSystemLabel);
        row["sizeText"] = it->sizeText;
        row["startSector"] = it->startSector;
        std::cout << Dump(row) << '\n';
    }
}

void PrintTree(const DriveListing& listing) {
    std::cout << "PHYSICAL DRIVES:\n";
    for (const PhysicalDrive& d : listing.drives) {
        std::string line = "  " + std::to_string(d.number) + "  " + d.ItemText();
        if (!d.modelText.empty()) line += "  (" + d.devicePath + ")";
        if (!d.backingFile.empty()) line += "  <- " + d.backingFile;
        std::cout << line << '\n';
    }
    // The page inserts volumes from the last record to the first.
    std::size_t nameWidth = 0, labelWidth = 0, sizeWidth = 0;
    for (const VolumeEntry& v : listing.volumes) {
        nameWidth = std::max(nameWidth, v.displayName.size());
        labelWidth = std::max(labelWidth, v.fileSystemLabel.size());
        sizeWidth = std::max(sizeWidth, v.sizeText.size());
    }
    std::cout << "VOLUMES:\n";
    for (auto it = listing.volumes.rbegin(); it != listing.volumes.rend(); ++it) {
        std::string line = "  " + it->displayName + std::string(nameWidth - it->displayName.size() + 2, ' ') +
                           it->fileSystemLabel +
                           std::string(labelWidth - it->fileSystemLabel.size() + 2, ' ') + it->sizeText;
        if (it->volumeName != it->displayName)
            line += std::string(sizeWidth - it->sizeText.size() + 2, ' ') + it->volumeName;
        std::cout << line << '\n';
    }
}

int RunDrives(const DrivesArgs& args, TerminalUi& /*ui*/) {
    const DriveListing listing = EnumerateDrives();
    if (args.json) {
        PrintJson(listing);
    } else {
        PrintTree(listing);
    }
    std::cout.flush();
    if (!listing.unreadable.empty()) {
        // Said once, however many devices were left out; root needs the names instead, the hint would be
        // wrong.
        if (::geteuid() != 0) {
            PrintError(std::to_string(listing.unreadable.size()) +
                       " device(s) could not be opened for reading; running as root shows every device");
        } else {
            std::string names;
            for (const std::string& path : listing.unreadable) names += (names.empty() ? "" : ", ") + path;
            PrintError("could not be opened for reading: " + names);
        }
    }
    return kExitOk;
}

}  // namespace

Command RegisterDrivesCommand(CLI::App& app) {
    auto args = std::make_shared<DrivesArgs>();
    CLI::App* sub = app.add_subcommand("drives", "List the physical drives and the volumes on them");
    sub->add_flag("--json", args->json, "One JSON object per drive or volume and line");
    return {sub, [args](TerminalUi& ui) { return RunDrives(*args, ui); }};
}

}  // namespace salvora::cli
