// `list SOURCE [volume options] [--json]`: every entry of the result tree as the results page shows it fully
// expanded, depth-first, each folder before its contents.
#include <algorithm>
#include <iostream>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/selection_options.h"
#include "cli/volume_scan.h"

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
    // building 50,000 tree items first. Each record is linked under one parent, so the walk ends; the depth
    // bound keeps a damaged chain from running paths without end.
    constexpr std::size_t kMaxDepth = 4096;
    struct Pending {
        EntryId entry;
        std::string parentPath;
        std::size_t depth;
    };
    std::vector<Pending> stack;
    std::vector<EntryId> children;
    const auto pushChildren = [&](EntryId folder, const std::string& path, std::size_t depth) {
        if (depth > kMaxDepth) return;
        children.clear();
        for (auto c = parser.FirstChild(folder); c; c = parser.NextSibling(*c)) children.push_back(*c);
        for (auto c = children.rbegin(); c != children.rend(); ++c) stack.push_back({*c, path, depth});
    };
    const std::vector<EntryId>& unreadable = parser.UnreadableFolders();
    std::vector<std::string> unreadablePaths;
    const auto noteUnreadable = [&](EntryId folder, const std::string& path) {
        if (std::find(unreadable.begin(), unreadable.end(), folder) != unreadable.end())
            unreadablePaths.push_back(path.empty() ? "/" : path);
    };
    noteUnreadable(parser.RootEntry(), "");
    pushChildren(parser.RootEntry(), "", 1);
    while (!stack.empty()) {
        Pending next = std::move(stack.back());
        stack.pop_back();
        std::string path = std::move(next.parentPath);
        path += '/';
        path += parser.EntryName(next.entry);
        // A selection lists its files only.
        if (selection->Empty() || EntryMatches(*selection, parser, next.entry, path))
            PrintEntry(std::cout, parser, next.entry, path, args.json);
        if (parser.IsFolder(next.entry)) {
            noteUnreadable(next.entry, path);
            pushChildren(next.entry, path, next.depth + 1);
        }
    }
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
