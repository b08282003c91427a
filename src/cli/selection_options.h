#pragma once
// The selection options of list, search and recover, and the Selection they make.
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "model/parser_base.h"
#include "scan/selection.h"

namespace salvora::cli {

struct SelectionArgs {
    std::vector<std::string> select, exclude;
    bool caseSensitive = false, deleted = false, live = false;
    std::string minSize, maxSize, modifiedAfter, modifiedBefore;
    std::vector<std::string> types, extensions, verdicts;
};

void AddSelectionOptions(CLI::App& command, SelectionArgs& args);
// The selection, or nothing with the reason said on stderr.
std::optional<Selection> MakeSelection(const SelectionArgs& args);
// Does the file entry at path (as list prints it) match?
bool EntryMatches(const Selection& selection, ParserBase& parser, EntryId entry, const std::string& path);

}  // namespace salvora::cli
