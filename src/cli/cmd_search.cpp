// `search SOURCE [volume options] PATTERN [--json]`: the names matching a case-insensitive regular
// expression, folders never opened included, as the results page lists its hits.
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/selection_options.h"
#include "cli/volume_scan.h"

namespace salvora::cli {
namespace {

struct SearchArgs {
    VolumeScanArgs scan;
    SelectionArgs selection;
    std::string pattern;
    bool json = false;
};

int RunSearch(const SearchArgs& args, TerminalUi& ui) {
    const std::optional<Selection> selection = MakeSelection(args.selection);
    if (!selection) return kExitUsage;
    const ScannedVolume scanned = ScanVolume(args.scan, ui);
    if (scanned.exitCode != kExitOk) return scanned.exitCode;
    ScanSession& session = *scanned.session;
    if (!session.StartSearch(args.pattern)) return kExitSourceError;
    {
        StopOnInterrupt interrupt(session.ActiveParser()->stopRequested);
        session.Wait();
    }
    ui.EndProgress();
    const SearchOutcome outcome = session.LastSearch();
    if (outcome.invalidPattern) return kExitUsage;
    ParserBase& parser = *session.ActiveParser();
    // Hit paths begin with the root item's text; printed, as in list, they begin with "/".
    const std::size_t rootLength = session.Tree().Item(session.Tree().Root()).text.size();
    for (const ListRow& row : outcome.rows) {
        const std::string path = row.path.substr(rootLength);
        if (selection->Empty() || EntryMatches(*selection, parser, *row.entry, path))
            PrintEntry(std::cout, parser, *row.entry, path, args.json);
    }
    std::cout.flush();
    return kExitOk;
}

}  // namespace

Command RegisterSearchCommand(CLI::App& app) {
    auto args = std::make_shared<SearchArgs>();
    CLI::App* sub =
        app.add_subcommand("search", "Scan a volume and list the files whose names match a pattern");
    AddVolumeScanOptions(*sub, args->scan);
    AddSelectionOptions(*sub, args->selection);
    sub->add_option("PATTERN", args->pattern, "Regular expression (ECMAScript, any letter case); jpg|png")
        ->required();
    sub->add_flag("--json", args->json, "One JSON object per hit and line, as list prints them");
    return {sub, [args](TerminalUi& ui) { return RunSearch(*args, ui); }};
}

}  // namespace salvora::cli
