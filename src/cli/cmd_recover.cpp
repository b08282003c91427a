// `recover SOURCE [volume options] --out DIR [--path /FOLDER]`: the save of one folder (default the root)
// with everything below it. The count question is asked on the terminal unless --yes answers it.
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/selection_options.h"
#include "cli/volume_scan.h"

namespace salvora::cli {
namespace {

struct RecoverArgs {
    VolumeScanArgs scan;
    SelectionArgs selection;
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

// Ticks, in the tree, every file below folderEntry (at folderPath) that the selection matches; how many.
std::uint64_t CheckSelected(ScanSession& session, const Selection& selection, EntryId folderEntry,
                            const std::string& folderPath) {
    ParserBase& parser = *session.ActiveParser();
    ResultTree& tree = session.Tree();
    std::map<std::string, ItemId> folders;  // path -> tree item, opened once
    std::uint64_t matched = 0;
    constexpr std::size_t kMaxDepth = 4096;
    std::vector<std::tuple<EntryId, std::string, std::size_t>> stack{{folderEntry, folderPath, 0}};
    while (!stack.empty()) {
        auto [folder, path, depth] = std::move(stack.back());
        stack.pop_back();
        for (auto c = parser.FirstChild(folder); c; c = parser.NextSibling(*c)) {
            const std::string childPath = path + "/" + parser.EntryName(*c);
            if (parser.IsFolder(*c)) {
                if (depth < kMaxDepth) stack.emplace_back(*c, childPath, depth + 1);
                continue;
            }
            if (!parser.IsWalkFile(*c) || !EntryMatches(selection, parser, *c, childPath)) continue;
            auto it = folders.find(path);
            if (it == folders.end()) it = folders.emplace(path, FindItem(session, path.empty() ? "/" : path)).first;
            if (it->second == kNoItem) continue;
            session.FillFolderChildren(it->second);
            for (ItemId child : tree.Children(it->second)) {
                if (tree.Item(child).entry != *c) continue;
                tree.SetCheck(child, true);
                ++matched;
                break;
            }
        }
    }
    return matched;
}

int RunRecover(const RecoverArgs& args, TerminalUi& ui) {
    const std::optional<Selection> selection = MakeSelection(args.selection);
    if (!selection) return kExitUsage;
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
    if (!selection->Empty()) {
        const std::string top = args.path == "/" ? "" : args.path.back() == '/' ? args.path.substr(0, args.path.size() - 1) : args.path;
        const std::uint64_t matched = CheckSelected(session, *selection, *selected.entry, top);
        std::fprintf(stderr, "salvora-cli: %llu file(s) match the selection\n", static_cast<unsigned long long>(matched));
        if (matched == 0) {
            PrintError("no file matches the selection: nothing was saved");
            return kExitSourceError;
        }
    }
    {
        StopOnInterrupt interrupt(session.CancelFlag());
        outcome = selection->Empty() ? session.SaveSelectedFolder(item, args.out)
                                     : session.SaveItems(session.Tree().CheckedRoots(), args.out);
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
    AddSelectionOptions(*sub, args->selection);
    sub->add_option("--out", args->out, "Output folder (created when missing)")->required();
    sub->add_option("--path", args->path, "Folder to save, as list prints it (default: the whole volume)");
    sub->add_flag("--keep-partial", args->keepPartial,
                  "Keep a file that could not be written whole as NAME.incomplete (default: remove it)");
    return {sub, [args](TerminalUi& ui) { return RunRecover(*args, ui); }};
}

}  // namespace salvora::cli
