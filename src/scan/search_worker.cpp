#include "scan/search_worker.h"

#include <optional>
#include <unordered_set>

#include "io/pause_gate.h"
#include "scan/file_saver.h"

namespace salvora {
namespace {

constexpr const char* kBlanks = " \t\n\v\f\r";

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A matching failure (the library gives up on a pathological pattern) is not a hit.
std::optional<bool> Matches(const std::regex& regex, const std::string& name) {
    try {
        return std::regex_search(name, regex);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

}  // namespace

void SearchWorker::AddHit(EntryId entry, const std::string& path, SearchOutcome& outcome) {
    ListRow row = MakeListRow(parser_, entry, path);
    if (onHit) onHit(row);
    outcome.rows.push_back(std::move(row));
    ++outcome.hits;
    ui_.SetStatus("searched file " + std::to_string(outcome.hits));
}

void SearchWorker::SearchFolder(EntryId folder, const std::string& path, const std::regex& regex,
                                SearchOutcome& outcome) {
    struct Level {
        std::optional<EntryId> next;
        std::string path;
    };
    std::unordered_set<EntryId> visited{folder};
    std::vector<Level> stack{{parser_.FirstChild(folder), path}};
    std::int64_t tested = 0;
    while (!stack.empty()) {
        if (!stack.back().next) {
            stack.pop_back();
            continue;
        }
        const EntryId child = *stack.back().next;
        stack.back().next = parser_.NextSibling(child);
        if (PollStop(parser_.stopRequested)) {
            outcome.cancelled = true;
            return;
        }
        ui_.SetProgressPos(tested);
        if (!visited.insert(child).second) continue;
        const std::string name = parser_.EntryName(child);
        const std::string& here = stack.back().path;
        if (parser_.IsWalkFolder(child)) {
            if (name == "." || name == "..") continue;
            stack.push_back({parser_.FirstChild(child), name.empty() ? here : here + "/" + name});
        } else if (parser_.IsWalkFile(child)) {
            ++tested;
            const auto hit = Matches(regex, name);
            if (!hit) return;
            if (*hit) AddHit(child, here + "/" + name, outcome);
        }
    }
}

SearchOutcome SearchWorker::Run(const std::string& pattern) {
    SearchOutcome outcome;
    // A Stop left over from the scan or an earlier run must not end this search.
    cancelFlag_ = false;
    parser_.stopRequested = false;
    const ItemId root = tree_.Root();
    if (!pattern.empty() && root != kNoItem) {
        std::regex regex;
        try {
            regex.assign(pattern, std::regex::ECMAScript | std::regex::icase);
        } catch (const std::regex_error&) {
            outcome.invalidPattern = true;
            ui_.ShowMessage(kInvalidPatternText, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
            return outcome;
        }
        const std::string base = tree_.Item(root).text + "/";
        for (ItemId child : tree_.Children(root)) {
            if (cancelFlag_.load()) {
                outcome.cancelled = true;
                break;
            }
            const ResultItem item = tree_.Item(child);
            if (!item.entry) continue;
            const EntryId entry = *item.entry;
            if (parser_.IsWalkFolder(entry)) {
                if (!parser_.IsSaveFolder(entry)) continue;
                if (onFolderSearch) onFolderSearch(true);
                const std::uint64_t count = FolderSaver(parser_, ui_, cancelFlag_).CountFiles(entry);
                ui_.SetProgressRange(0, static_cast<std::int64_t>(count));
                SearchFolder(entry, Trim(base + item.text), regex, outcome);
                ui_.SetProgressPos(static_cast<std::int64_t>(count));
                parser_.stopRequested = false;
                if (onFolderSearch) onFolderSearch(false);
            } else if (parser_.IsWalkFile(entry)) {
                const std::string name = parser_.EntryName(entry);
                if (Matches(regex, name).value_or(false)) AddHit(entry, base + name, outcome);
            }
        }
    }
    cancelFlag_ = false;
    ui_.ShowMessage(kSearchFinishedText, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
    ui_.SetStatus(kSearchFinishedText);
    return outcome;
}

}  // namespace salvora
