#include "scan/selection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

namespace salvora {
namespace {

// ASCII and the Latin-1 letters of UTF-8 ("É" and "é"), enough for the names cameras and people give.
std::string Folded(const std::string& text) {
    std::string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c + 32);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            const auto d = static_cast<unsigned char>(out[i + 1]);
            if (d >= 0x80 && d <= 0x9E && d != 0x97) out[i + 1] = static_cast<char>(d + 0x20);
            ++i;
        }
    }
    return out;
}

std::string Trimmed(const std::string& path) { return path.empty() || path[0] != '/' ? path : path.substr(1); }

// Tokens of a glob: a literal byte, '?', '*' (within a name), "**/" (whole folders, none included) and a "**"
// elsewhere (anything).
enum class Token : std::uint8_t { Literal, One, Name, Folders, Anything };

// A table over (token, byte) positions, filled from the ends: O(tokens * bytes) whatever the pattern, so many
// "**" in one pattern cost no more than one.
bool Match(const std::string& p, const std::string& s) {
    std::vector<std::pair<Token, char>> tokens;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p.compare(i, 3, "**/") == 0) {
            tokens.emplace_back(Token::Folders, 0);
            i += 2;
        } else if (p.compare(i, 2, "**") == 0) {
            tokens.emplace_back(Token::Anything, 0);
            ++i;
        } else if (p[i] == '*') {
            tokens.emplace_back(Token::Name, 0);
        } else if (p[i] == '?') {
            tokens.emplace_back(Token::One, 0);
        } else {
            tokens.emplace_back(Token::Literal, p[i]);
        }
    }
    const std::size_t n = s.size(), width = n + 1;
    // m: tokens i.. match s[j..]; d: a "**/" at i takes s[j..k) ending in '/' and tokens i+1.. match s[k..].
    std::vector<char> m((tokens.size() + 1) * width, 0), d(width, 0);
    m[tokens.size() * width + n] = 1;
    for (std::size_t i = tokens.size(); i-- > 0;) {
        const auto [kind, c] = tokens[i];
        const char* next = &m[(i + 1) * width];
        char* here = &m[i * width];
        d[n] = 0;
        for (std::size_t j = n + 1; j-- > 0;) {
            const bool more = j < n;
            switch (kind) {
                case Token::Literal:
                    here[j] = more && s[j] == c && next[j + 1];
                    break;
                case Token::One:
                    here[j] = more && s[j] != '/' && next[j + 1];
                    break;
                case Token::Name:
                    here[j] = next[j] || (more && s[j] != '/' && here[j + 1]);
                    break;
                case Token::Anything:
                    here[j] = next[j] || (more && here[j + 1]);
                    break;
                case Token::Folders:
                    if (more) d[j] = (s[j] == '/' && next[j + 1]) || d[j + 1];
                    here[j] = next[j] || (more && d[j]);
                    break;
            }
        }
    }
    return m[0];
}

}  // namespace

bool GlobMatch(const std::string& pattern, const std::string& path, bool caseSensitive) {
    const std::string p = Trimmed(pattern), s = Trimmed(path);
    return caseSensitive ? Match(p, s) : Match(Folded(p), Folded(s));
}

std::optional<std::uint64_t> ParseSizeText(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (...) {
        return std::nullopt;
    }
    if (!(value >= 0) || used == 0) return std::nullopt;
    std::string unit = text.substr(used);
    if (unit.size() == 2 && (unit[1] == 'B' || unit[1] == 'b')) unit.pop_back();
    double factor = 1;
    if (unit == "K" || unit == "k") factor = 1024.0;
    else if (unit == "M" || unit == "m") factor = 1048576.0;
    else if (unit == "G" || unit == "g") factor = 1073741824.0;
    else if (!unit.empty()) return std::nullopt;
    const double bytes = std::floor(value * factor);
    if (bytes > 1.8e19) return std::nullopt;
    return static_cast<std::uint64_t>(bytes);
}

std::optional<std::time_t> ParseDateText(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, n = 0;
    char sep = 0;
    std::tm tm{};
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &n) != 3 || n != 10) return std::nullopt;
    std::string rest = text.substr(10);
    if (!rest.empty()) {
        int m = 0;
        if (std::sscanf(rest.c_str(), "%c%2d:%2d%n", &sep, &h, &mi, &m) != 3 || (sep != 'T' && sep != ' '))
            return std::nullopt;
        rest = rest.substr(static_cast<std::size_t>(m));
        if (!rest.empty() && rest[0] == ':') {
            int k = 0;
            if (std::sscanf(rest.c_str(), ":%2d%n", &s, &k) != 1) return std::nullopt;
            rest = rest.substr(static_cast<std::size_t>(k));
        }
        if (rest == "Z") rest.clear();
        if (!rest.empty()) return std::nullopt;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return ::timegm(&tm);
}

const std::vector<std::string>* KindExtensions(const std::string& kind) {
    static const std::map<std::string, std::vector<std::string>> kKinds{
        {"photo", {"jpg", "jpeg", "png", "gif", "bmp", "tif", "tiff", "heic", "heif", "webp", "cr2", "cr3", "nef",
                   "arw", "dng", "orf", "rw2", "raf"}},
        {"video", {"mp4", "mov", "avi", "mkv", "mts", "m2ts", "3gp", "wmv", "mpg", "mpeg", "webm"}},
        {"audio", {"mp3", "wav", "flac", "m4a", "aac", "ogg", "opus", "wma"}},
        {"document", {"pdf", "doc", "docx", "xls", "xlsx", "ppt", "pptx", "odt", "ods", "odp", "rtf", "txt", "csv"}},
        {"archive", {"zip", "7z", "rar", "tar", "gz", "bz2", "xz", "zst"}},
    };
    const auto it = kKinds.find(kind);
    return it == kKinds.end() ? nullptr : &it->second;
}

bool Selection::Empty() const {
    return select.empty() && exclude.empty() && !deletedOnly && !liveOnly && !minSize && !maxSize &&
           !modifiedAfter && !modifiedBefore && extensions.empty() && verdicts.empty();
}

bool Selection::Matches(const std::string& path, bool deleted, std::uint64_t size,
                        std::optional<std::time_t> modified, std::optional<Verdict> verdict) const {
    if ((deletedOnly && !deleted) || (liveOnly && deleted)) return false;
    if (!verdicts.empty() && (!verdict || std::find(verdicts.begin(), verdicts.end(), *verdict) == verdicts.end()))
        return false;
    if ((minSize && size < *minSize) || (maxSize && size > *maxSize)) return false;
    if (modifiedAfter && (!modified || *modified < *modifiedAfter)) return false;
    if (modifiedBefore && (!modified || *modified >= *modifiedBefore)) return false;
    if (!extensions.empty()) {
        const auto slash = path.rfind('/');
        const auto dot = path.rfind('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
        const std::string ext = path.substr(dot + 1);
        if (std::find(extensions.begin(), extensions.end(), caseSensitive ? ext : Folded(ext)) == extensions.end())
            return false;
    }
    if (!select.empty() &&
        std::none_of(select.begin(), select.end(), [&](const auto& g) { return GlobMatch(g, path, caseSensitive); }))
        return false;
    return std::none_of(exclude.begin(), exclude.end(), [&](const auto& g) { return GlobMatch(g, path, caseSensitive); });
}

}  // namespace salvora
