// `info SOURCE [--verify]`: what the source is (a device, a raw image or a container and its pieces), its
// logical size and, for EWF images, the acquisition metadata and stored hashes; --verify reads the whole image
// and checks them.
#include <sys/stat.h>

#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/commands.h"

namespace salvora::cli {
namespace {

struct InfoArgs {
    std::string source;
    bool verify = false;
    bool json = false;
};

std::string Kind(FileReadSeek& reader) {
    if (reader.Container()) return reader.Container()->Details().kind;
    return reader.IsBlockDevice() ? "block device" : "raw image";
}

int RunInfo(const InfoArgs& args, TerminalUi& ui) {
    SourceReader source;
    if (!source.Open(args.source)) return kExitSourceError;
    FileReadSeek& reader = source.Reader();
    ImageContainer* container = reader.Container();
    const ImageDetails none{};
    const ImageDetails& details = container ? container->Details() : none;
    const std::vector<std::string> pieces = container ? details.pieces : std::vector<std::string>{args.source};

    if (args.json) {
        nlohmann::ordered_json out;
        out["source"] = args.source;
        out["kind"] = Kind(reader);
        out["size"] = reader.sourceLength;
        out["pieces"] = pieces;
        nlohmann::ordered_json metadata = nlohmann::ordered_json::object();
        for (const auto& [key, value] : details.metadata) metadata[key] = value;
        out["metadata"] = metadata;
        out["storedMd5"] = details.storedMd5;
        out["storedSha1"] = details.storedSha1;
        std::cout << out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
        std::cout << "Source:  " << args.source << '\n'
                  << "Kind:    " << Kind(reader) << '\n'
                  << "Size:    " << reader.sourceLength << " bytes (" << reader.sourceLength / kSectorBytes
                  << " sectors)\n";
        if (pieces.size() > 1 || container) {
            std::cout << "Pieces:  " << pieces.size() << '\n';
            for (const std::string& piece : pieces) std::cout << "  " << piece << '\n';
        }
        for (const auto& [key, value] : details.metadata) std::cout << key << ": " << value << '\n';
        if (!details.storedMd5.empty()) std::cout << "Stored MD5:  " << details.storedMd5 << '\n';
        if (!details.storedSha1.empty()) std::cout << "Stored SHA1: " << details.storedSha1 << '\n';
    }
    std::cout.flush();
    if (!args.verify) return kExitOk;

    if (!container || (details.storedMd5.empty() && details.storedSha1.empty())) {
        PrintError("nothing to verify: " + args.source + " stores no hash (only EWF images do)");
        return kExitUsage;
    }
    std::atomic<bool> stop{false};
    VerifyOutcome outcome;
    {
        StopOnInterrupt interrupt(stop);
        ui.SetStatus("Verifying the stored hashes...");
        ui.SetProgressRange(0, 1000);
        outcome = VerifyStoredHashes(*container, [&](std::uint64_t done, std::uint64_t total) {
            ui.SetProgressPos(total == 0 ? 1000 : static_cast<std::int64_t>(done * 1000 / total));
            return !stop.load();
        });
    }
    ui.EndProgress();
    if (outcome.stopped) {
        PrintError("verification stopped");
        return kExitSomeNotWritten;
    }
    if (outcome.readError) {
        PrintError("verification failed: part of the image cannot be read");
        return kExitSourceError;
    }
    if (!outcome.computedMd5.empty() && !details.storedMd5.empty())
        std::cout << "Computed MD5:  " << outcome.computedMd5 << '\n';
    if (!outcome.computedSha1.empty() && !details.storedSha1.empty())
        std::cout << "Computed SHA1: " << outcome.computedSha1 << '\n';
    std::cout << (outcome.matches ? "Verified: the image matches its stored hashes\n"
                                  : "NOT VERIFIED: the image does not match its stored hashes\n");
    return outcome.matches ? kExitOk : kExitSourceError;
}

}  // namespace

Command RegisterInfoCommand(CLI::App& app) {
    auto args = std::make_shared<InfoArgs>();
    CLI::App* sub = app.add_subcommand(
        "info", "What a source is: device, raw image or container (E01, VHD, VHDX, VMDK, QCOW2, split raw)");
    sub->add_option("SOURCE", args->source, "Device or image file (the first piece of a split image)")->required();
    sub->add_flag("--verify", args->verify, "Read the whole image and check the hashes it stores (E01)");
    sub->add_flag("--json", args->json, "One JSON object");
    return {sub, [args](TerminalUi& ui) { return RunInfo(*args, ui); }};
}

}  // namespace salvora::cli
