// `list SOURCE [volume options] [--json]`: every entry of the result tree as the results page shows it fully
// expanded, depth-first, each folder before its contents.
#include <algorithm>
#include <iostream>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/selection_options.h"
#include "cli/volume_scan.h"
#include "scan/list_rows.h"

namespace salvora::cli {
namespace {

struct ListArgs {
    VolumeScanArgs scan;
    SelectionArgs selection;
    bool json = false;
};

int RunList(const ListArgs& args, TerminalUi& ui) {
    const std::optional<Selection> selection = MakeSelection(args.selection);
    if (!selection) return kExitUsage;
    const ScannedVolume scanned = ScanVolume(args.scan, ui);
    if (scanned.exitCode != kExitOk) return scanned.exitCode;
    ScanSession& session = *scanned.session;
    ParserBase& parser = *session.ActiveParser();
    if (session.Tree().Root() == kNoItem) return kExitOk;

    // The parser's own links give what expanding every folder of the tree gives, in the same order, without
    // building 50,000 tree items first.
    const std::vector<EntryId>& unreadable = parser.UnreadableFolders();
    std::vector<std::string> unreadablePaths;
    const auto noteUnreadable = [&](EntryId folder, const std::string& path) {
        if (std::find(unreadable.begin(), unreadable.end(), folder) != unreadable.end())
            unreadablePaths.push_back(path.empty() ? "/" : path);
    };
    noteUnreadable(parser.RootEntry(), "");
    WalkListOrder(parser, [&](const ListWalkStep& step) {
        // A selection lists its files only.
        if (selection->Empty() || EntryMatches(*selection, parser, step.entry, step.path))
            PrintEntry(std::cout, parser, step.entry, step.path, args.json);
        if (step.folder) noteUnreadable(step.entry, step.path);
    });
    std::cout.flush();
    for (const std::string& path : unreadablePaths)
        PrintError("folder " + path + " could not be read (unreadable sectors): files in it are missing");
    // The volume runs past the end of the source (said on stderr when the scan ended), or folders could not be
    // read: the list is not all the volume holds.
    return session.MissingBytes() != 0 || !unreadablePaths.empty() ? kExitSomeNotWritten : kExitOk;
}

}  // namespace

Command RegisterListCommand(CLI::App& app) {
    auto args = std::make_shared<ListArgs>();
    CLI::App* sub =
        app.add_subcommand("list", "Scan a volume and list every folder and file found, deleted ones too");
    AddVolumeScanOptions(*sub, args->scan);
    AddSelectionOptions(*sub, args->selection);
    sub->add_flag("--json", args->json, "One JSON object per entry and line");
    return {sub, [args](TerminalUi& ui) { return RunList(*args, ui); }};
}

}  // namespace salvora::cli
