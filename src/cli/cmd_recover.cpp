// `recover SOURCE [volume options] --out DIR [--path /FOLDER]`: the save of one folder (default the root)
// with everything below it. The count question is asked on the terminal unless --yes answers it.
#include <filesystem>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/volume_scan.h"

namespace salvora::cli {
namespace {

struct RecoverArgs {
    VolumeScanArgs scan;
    std::string out;
    std::string path = "/";
    bool keepPartial = false;
};

// The tree item of a folder path such as "/Photos/2023", opening folders on the way; kNoItem when missing.
ItemId FindItem(ScanSession& session, const std::string& path) {
    ResultTree& tree = session.Tree();
    ItemId item = tree.Root();
    std::stringstream parts(path);
    std::string name;
    while (item != kNoItem && std::getline(parts, name, '/')) {
        if (name.empty()) continue;
        session.FillFolderChildren(item);
        ItemId found = kNoItem;
        for (ItemId child : tree.Children(item)) {
            if (tree.Item(child).text == name) {
                found = child;
                break;
            }
        }
        item = found;
    }
    return item;
}

int RunRecover(const RecoverArgs& args, TerminalUi& ui) {
    std::error_code ec;
    std::filesystem::create_directories(args.out, ec);
    if (!std::filesystem::is_directory(args.out)) {
        PrintError("cannot create the output folder " + args.out + (ec ? ": " + ec.message() : std::string()));
        return kExitUsage;
    }
    // Said before the scan, not after a long one.
    if (const std::string problem = OutputFolderProblem(args.out); !problem.empty()) {
        PrintError(problem + " Choose another output folder with --out.");
        return kExitUsage;
    }
    const ScannedVolume scanned = ScanVolume(args.scan, ui);
    if (scanned.exitCode != kExitOk) return scanned.exitCode;
    ScanSession& session = *scanned.session;
    const ItemId item = FindItem(session, args.path);
    const ResultItem selected = session.Tree().Item(item);
    if (item == kNoItem || !selected.entry) {
        PrintError("no folder " + args.path + " in the volume");
        return kExitUsage;
    }
    if (!session.ActiveParser()->IsSaveFolder(*selected.entry)) {
        PrintError(args.path + " is not a folder that can be saved");
        return kExitUsage;
    }
    SaveOutcome outcome;
    session.keepPartial = args.keepPartial;
    // The summary below replaces the wizard's "work done" box.
    session.onSaveFinished = [&ui](const SaveOutcome&) { ui.EndProgress(); };
    {
        StopOnInterrupt interrupt(session.CancelFlag());
        outcome = session.SaveSelectedFolder(item, args.out);
    }
    ui.EndProgress();
    if (!outcome.walked) {
        PrintError("nothing was saved");
        return kExitSourceError;
    }
    for (const std::string& folder : outcome.unreadableFolders)
        std::fprintf(stderr, "%s\n", UnreadableFolderLine(folder).c_str());
    for (const DamagedFile& file : outcome.damagedFiles) std::fprintf(stderr, "%s\n", DamagedLine(file).c_str());
    for (const std::string& name : outcome.failedFiles)
        std::fprintf(stderr, "not written whole: %s%s\n", name.c_str(), args.keepPartial ? " (kept as .incomplete)" : "");
    std::fprintf(stderr, "%s%s\n", outcome.cancelled ? "(stopped) " : "", SaveSummaryText(outcome).c_str());
    const bool incomplete = outcome.filesFailed > 0 || outcome.filesDamaged > 0 || !outcome.unreadableFolders.empty();
    return incomplete || outcome.cancelled ? kExitSomeNotWritten : kExitOk;
}

}  // namespace

Command RegisterRecoverCommand(CLI::App& app) {
    auto args = std::make_shared<RecoverArgs>();
    CLI::App* sub = app.add_subcommand("recover", "Scan a volume and save a folder with everything below it");
    AddVolumeScanOptions(*sub, args->scan);
    sub->add_option("--out", args->out, "Output folder (created when missing)")->required();
    sub->add_option("--path", args->path, "Folder to save, as list prints it (default: the whole volume)");
    sub->add_flag("--keep-partial", args->keepPartial,
                  "Keep a file that could not be written whole as NAME.incomplete (default: remove it)");
    return {sub, [args](TerminalUi& ui) { return RunRecover(*args, ui); }};
}

}  // namespace salvora::cli
