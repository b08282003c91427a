#pragma once
// Process-wide switches read by the FAT parsers.
#include <atomic>

namespace salvora {

// The recovery-mode page's "Is Drive Formated..?" box. While set, FAT chains end at once (every directory is
// read as one cluster) and file content is taken from consecutive clusters: a quick format zeroes the FAT but
// not the data.
extern std::atomic<bool> driveFormatted;

}  // namespace salvora
