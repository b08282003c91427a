#pragma once
// Searching the names of everything a parser found, folders never expanded included, by a case-insensitive
// ECMAScript regular expression over the names' UTF-8 bytes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "io/ui_sink.h"
#include "scan/list_rows.h"
#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora {

inline constexpr const char* kInvalidPatternText =
    "such characters are not allowed for search.Try again with different pattern.";
inline constexpr const char* kSearchFinishedText = "Searching Finished";

struct SearchOutcome {
    bool invalidPattern = false;  // refused with the message; no "Searching Finished"
    bool cancelled = false;
    std::int64_t hits = 0;
    std::vector<ListRow> rows;  // column 0 is the root item's text + "/" + the path below it
};

class SearchWorker {
  public:
    SearchWorker(const ResultTree& tree, ParserBase& parser, UiSink& ui, std::atomic<bool>& cancelFlag)
        : tree_(tree), parser_(parser), ui_(ui), cancelFlag_(cancelFlag) {}

    std::function<void(const ListRow&)> onHit;
    // True while a first-level folder is searched: the tree and the Search and Save buttons are disabled
    // then.
    std::function<void(bool)> onFolderSearch;

    SearchOutcome Run(const std::string& pattern);

  private:
    // A matching failure ends the folder's walk without a message.
    void SearchFolder(EntryId folder, const std::string& path, const std::regex& regex,
                      SearchOutcome& outcome);
    void AddHit(EntryId entry, const std::string& path, SearchOutcome& outcome);

    const ResultTree& tree_;
    ParserBase& parser_;
    UiSink& ui_;
    std::atomic<bool>& cancelFlag_;
};

}  // namespace salvora
