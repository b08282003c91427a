#include "raw/carved_saver.h"

#include <unistd.h>

#include <cerrno>

#include "io/pause_gate.h"
#include "io/ui_sink.h"
#include "model/entry_copier.h"
#include "scan/file_saver.h"

namespace salvora {
namespace {

void CollectRows(const ResultTree& tree, ItemId item, std::vector<std::size_t>& rows) {
    std::vector<ItemId> stack{item};
    while (!stack.empty()) {
        const ItemId id = stack.back();
        stack.pop_back();
        const ResultItem it = tree.Item(id);
        if (!it.isFolder && it.entry) rows.push_back(static_cast<std::size_t>(*it.entry));
        for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) stack.push_back(*c);
    }
}

}  // namespace

bool WriteCarvedFile(const VolumeWindow& window, const CarvedFile& row, const std::string& destPath,
                     bool keepPartial) {
    if (row.start < 0 || row.size < 0) return false;
    EntryContent content;
    content.size = static_cast<std::uint64_t>(row.size);
    content.Add(content.size, RunKind::Source, window.First() + static_cast<std::uint64_t>(row.start), true);
    if (CopyContent(window.Reader(), content, {}, destPath)) return true;
    if (errno == EEXIST) return false;  // the name was taken: the caller tries the next one
    DiscardIncompleteFile(destPath, keepPartial);
    errno = EIO;  // not EEXIST: the caller must not take another name and try again
    return false;
}

std::vector<std::size_t> CarvedRowsUnder(const ResultTree& tree, ItemId item) {
    std::vector<std::size_t> rows;
    if (tree.Valid(item)) CollectRows(tree, item, rows);
    return rows;
}

std::vector<std::size_t> CheckedCarvedRows(const ResultTree& tree) {
    // The root and category items carry no row, so the walk goes by check states rather than CheckedRoots.
    std::vector<std::size_t> rows;
    const std::vector<ItemId> top = tree.TopLevel();
    std::vector<ItemId> stack(top.rbegin(), top.rend());
    while (!stack.empty()) {
        const ItemId id = stack.back();
        stack.pop_back();
        const ResultItem it = tree.Item(id);
        if (it.check == CheckState::Unchecked) continue;
        if (!it.isFolder && it.entry && it.check == CheckState::Checked)
            rows.push_back(static_cast<std::size_t>(*it.entry));
        for (auto c = it.children.rbegin(); c != it.children.rend(); ++c) stack.push_back(*c);
    }
    return rows;
}

CarvedSaveOutcome SaveCarvedFiles(const myJpg& engine,
                                  const std::vector<std::size_t>& rows, const std::string& folder,
                                  const std::atomic<bool>& cancel, bool keepPartial,
                                  std::optional<FileOwner> owner) {
    CarvedSaveOutcome outcome;
    for (std::size_t row : rows) {
        if (PollStop(cancel)) {
            outcome.cancelled = true;
            break;
        }
        const std::optional<CarvedFile> file = engine.CarvedRow(row);
        if (!file) {
            ++outcome.failed;
            outcome.failedNames.push_back(engine.CarvedName(row));
            continue;
        }
        bool written = false;
        // Another writer may take the name between the check and the create: try the next free name then.
        for (int attempt = 0; attempt < 8 && !written; ++attempt) {
            const std::string dest = UniqueFilePath(folder, SafeName(engine.CarvedName(row)));
            if (dest.empty()) break;
            Ui().SetStatus("saving File  " + dest);
            if (WriteCarvedFile(engine.window, *file, dest, keepPartial)) {
                if (owner) (void)::lchown(dest.c_str(), owner->uid, owner->gid);
                outcome.paths.push_back(dest);
                written = true;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (written) {
            ++outcome.written;
        } else {
            ++outcome.failed;
            outcome.failedNames.push_back(engine.CarvedName(row));
        }
    }
    return outcome;
}

}  // namespace salvora
