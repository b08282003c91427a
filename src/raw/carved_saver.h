#pragma once
// Writing carved files out: each chosen row's bytes copied by the one copier into a new file named
// like its tree item. Nothing in the output folder is ever overwritten ("name (1).ext" ... instead).
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "raw/carving_engine.h"
#include "scan/file_saver.h"
#include "model/result_tree.h"

namespace salvora {

struct CarvedSaveOutcome {
    std::uint64_t written = 0;
    std::uint64_t failed = 0;
    bool cancelled = false;
    std::vector<std::string> paths;  // the files written, in row order
    std::vector<std::string> failedNames;  // the rows' names that could not be written whole, in row order
};

// Copies size bytes from start in the window into destPath, which must not exist yet, through the one copier.
// A file it created but could not write whole is removed (kept as "NAME.incomplete" with keepPartial).
bool WriteCarvedFile(const VolumeWindow& window, const CarvedFile& row, const std::string& destPath,
                     bool keepPartial = false);

// Rows of the carved files at or below an item (a file, a category or the root).
std::vector<std::size_t> CarvedRowsUnder(const ResultTree& tree, ItemId item);
// Rows of the checked file items.
std::vector<std::size_t> CheckedCarvedRows(const ResultTree& tree);

// Writes the rows into folder, each as "<start> .<ext>"; status "saving File  <path>" per file.
CarvedSaveOutcome SaveCarvedFiles(const myJpg& engine,
                                  const std::vector<std::size_t>& rows, const std::string& folder,
                                  const std::atomic<bool>& cancel, bool keepPartial = false,
                                  std::optional<FileOwner> owner = std::nullopt);

}  // namespace salvora
