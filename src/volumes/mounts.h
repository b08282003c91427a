#pragma once
// Mount points by device, from a mounts table in the format of /proc/self/mounts.
#include <map>
#include <string>
#include <string_view>

namespace salvora {

// device path -> mount point of its first mount. Octal escapes (\040 for a blank) are decoded; lines that are
// not "device mountpoint ..." are ignored.
std::map<std::string, std::string> ParseMounts(std::string_view table);

// Reads and parses the table at `path`; an unreadable file gives an empty map.
std::map<std::string, std::string> ReadMounts(const std::string& path);

}  // namespace salvora
