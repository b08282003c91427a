// `list SOURCE [volume options] [--json]`: every entry of the result tree as the results page shows it fully
// expanded, depth-first, each folder before its contents.
#include <iostream>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/volume_scan.h"

namespace salvora::cli {
namespace {

struct ListArgs {
    VolumeScanArgs scan;
    bool json = false;
};

int RunList(const ListArgs& args, TerminalUi& ui) {
    const ScannedVolume scanned = ScanVolume(args.scan, ui);
    if (scanned.exitCode != kExitOk) return scanned.exitCode;
    ScanSession& session = *scanned.session;
    const ParserBase& parser = *session.ActiveParser();
    ResultTree& tree = session.Tree();
    const ItemId root = tree.Root();
    if (root == kNoItem) return kExitOk;

    struct Pending {
        ItemId item;
        std::string parentPath;
    };
    std::vector<Pending> stack;
    const auto pushChildren = [&](ItemId folder, const std::string& path) {
        const auto children = tree.Children(folder);
        for (auto c = children.rbegin(); c != children.rend(); ++c) stack.push_back({*c, path});
    };
    pushChildren(root, "");
    while (!stack.empty()) {
        const Pending next = stack.back();
        stack.pop_back();
        const ResultItem item = tree.Item(next.item);
        if (!item.entry) continue;  // a placeholder
        const std::string path = next.parentPath + "/" + item.text;
        PrintEntry(std::cout, parser, *item.entry, path, args.json);
        if (parser.IsFolder(*item.entry)) {
            session.FillFolderChildren(next.item);
            pushChildren(next.item, path);
        }
    }
    std::cout.flush();
    return kExitOk;
}

}  // namespace

Command RegisterListCommand(CLI::App& app) {
    auto args = std::make_shared<ListArgs>();
    CLI::App* sub =
        app.add_subcommand("list", "Scan a volume and list every folder and file found, deleted ones too");
    AddVolumeScanOptions(*sub, args->scan);
    sub->add_flag("--json", args->json, "One JSON object per entry and line");
    return {sub, [args](TerminalUi& ui) { return RunList(*args, ui); }};
}

}  // namespace salvora::cli
