#include "cli/selection_options.h"

#include <algorithm>

#include "cli/cli_common.h"

namespace salvora::cli {

void AddSelectionOptions(CLI::App& command, SelectionArgs& args) {
    command.add_option("--select", args.select, "Only files whose path matches (repeatable; * ? within a name, ** any folders)")
        ->type_name("GLOB");
    command.add_option("--exclude", args.exclude, "Leave out files whose path matches (repeatable)")->type_name("GLOB");
    command.add_flag("--case-sensitive", args.caseSensitive, "Globs and extensions match letter case");
    command.add_flag("--deleted", args.deleted, "Only deleted files");
    command.add_flag("--live", args.live, "Only files that are not deleted");
    command.add_option("--min-size", args.minSize, "Only files of at least SIZE bytes (K, M, G: powers of 1024)")
        ->type_name("SIZE");
    command.add_option("--max-size", args.maxSize, "Only files of at most SIZE bytes")->type_name("SIZE");
    command.add_option("--modified-after", args.modifiedAfter, "Only files modified at or after DATE (UTC; 2023-11-14 or 2023-11-14T10:13)")
        ->type_name("DATE");
    command.add_option("--modified-before", args.modifiedBefore, "Only files modified before DATE")->type_name("DATE");
    command.add_option("--type", args.types, "Only photo, video, audio, document or archive files (by extension)")
        ->delimiter(',')
        ->type_name("KIND");
    command.add_option("--verdict", args.verdicts,
                       "Only files judged so: intact, recoverable, partial, overwritten, unknown")
        ->delimiter(',')
        ->type_name("VERDICT");
    command.add_option("--ext", args.extensions, "Only files with these extensions: jpg,png")->delimiter(',')->type_name("EXT");
}

std::optional<Selection> MakeSelection(const SelectionArgs& args) {
    Selection s;
    s.select = args.select;
    s.exclude = args.exclude;
    s.caseSensitive = args.caseSensitive;
    s.deletedOnly = args.deleted;
    s.liveOnly = args.live;
    if (args.deleted && args.live) {
        PrintError("--deleted and --live exclude each other");
        return std::nullopt;
    }
    const auto size = [](const std::string& text, const char* option, std::optional<std::uint64_t>& out) {
        if (text.empty()) return true;
        out = ParseSizeText(text);
        if (!out) PrintError(std::string(option) + " " + text + ": not a size (1500, 10K, 2M, 1.5G)");
        return out.has_value();
    };
    const auto date = [](const std::string& text, const char* option, std::optional<std::time_t>& out) {
        if (text.empty()) return true;
        out = ParseDateText(text);
        if (!out) PrintError(std::string(option) + " " + text + ": not a date (2023-11-14 or 2023-11-14T10:13:20)");
        return out.has_value();
    };
    if (!size(args.minSize, "--min-size", s.minSize) || !size(args.maxSize, "--max-size", s.maxSize) ||
        !date(args.modifiedAfter, "--modified-after", s.modifiedAfter) ||
        !date(args.modifiedBefore, "--modified-before", s.modifiedBefore))
        return std::nullopt;
    for (const std::string& kind : args.types) {
        const std::vector<std::string>* extensions = KindExtensions(kind);
        if (!extensions) {
            PrintError("--type " + kind + ": one of photo, video, audio, document, archive");
            return std::nullopt;
        }
        s.extensions.insert(s.extensions.end(), extensions->begin(), extensions->end());
    }
    for (const std::string& name : args.verdicts) {
        const std::optional<Verdict> verdict = ParseVerdict(name);
        if (!verdict) {
            PrintError("--verdict " + name + ": one of intact, recoverable, partial, overwritten, unknown");
            return std::nullopt;
        }
        s.verdicts.push_back(*verdict);
    }
    for (std::string ext : args.extensions) {
        if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
        if (!s.caseSensitive)
            std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (!ext.empty()) s.extensions.push_back(ext);
    }
    return s;
}

bool EntryMatches(const Selection& selection, ParserBase& parser, EntryId entry, const std::string& path) {
    if (parser.IsFolder(entry)) return false;
    std::optional<std::time_t> modified;
    if (selection.modifiedAfter || selection.modifiedBefore)
        if (const auto t = parser.EntryStoredTimes(entry).modified) modified = t->tv_sec;
    std::optional<Verdict> verdict;
    if (!selection.verdicts.empty()) verdict = parser.Judge(entry).verdict;
    return selection.Matches(path, parser.IsDeleted(entry), parser.EntrySizeBytes(entry), modified, verdict);
}

}  // namespace salvora::cli
