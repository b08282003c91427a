#include "volumes/mounts.h"

#include <fstream>
#include <sstream>

namespace salvora {
namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes blank, tab, newline and backslash in a mounts field as \ooo.
std::string DecodeField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
            IsOctal(field[i + 3])) {
            out.push_back(static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                            (field[i + 3] - '0')));
            i += 3;
            continue;
        }
        out.push_back(field[i]);
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> ParseMounts(std::string_view table) {
    std::map<std::string, std::string> mounts;
    std::size_t lineStart = 0;
    while (lineStart < table.size()) {
        std::size_t lineEnd = table.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = table.size();
        std::istringstream fields{std::string(table.substr(lineStart, lineEnd - lineStart))};
        std::string device, mountPoint;
        if (fields >> device >> mountPoint) mounts.emplace(DecodeField(device), DecodeField(mountPoint));
        lineStart = lineEnd + 1;
    }
    return mounts;
}

std::map<std::string, std::string> ReadMounts(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return ParseMounts(text.str());
}

}  // namespace salvora
