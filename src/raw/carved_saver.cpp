#include "raw/carved_saver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "io/pause_gate.h"
#include "io/ui_sink.h"
#include "io/write_all.h"
#include "scan/file_saver.h"

namespace salvora {
namespace {

constexpr std::uint32_t kCopyChunk = 1048576;

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

bool WriteCarvedFile(readWriteInterface& reader, const CarvedFile& row, const std::string& destPath,
                     bool keepPartial) {
    if (row.start < 0 || row.size < 0) return false;
    const int fd = ::open(destPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kCopyChunk]);
    bool ok = buffer != nullptr;
    std::int64_t done = 0;
    while (ok && done < row.size) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::int64_t>(kCopyChunk, row.size - done));
        // A short read past the source's end gives zeros, as the carving saw them.
        std::fill_n(buffer.get(), piece, 0);
        reader.SeekBytes(row.start + done);
        reader.ReadBytes(buffer.get(), piece);
        ok = WriteAll(fd, buffer.get(), piece);
        done += piece;
    }
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        DiscardIncompleteFile(destPath, keepPartial);
        errno = EIO;  // not EEXIST: the caller must not take another name and try again
    }
    return ok;
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

CarvedSaveOutcome SaveCarvedFiles(const myJpg& engine, readWriteInterface& reader,
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
            if (WriteCarvedFile(reader, *file, dest, keepPartial)) {
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
