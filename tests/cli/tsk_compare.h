#pragma once
// What The Sleuth Kit sees in a volume image, next to what `salvora-cli list --json` prints, for differential
// tests: `fls -r -p -l` parsed into entries, and the comparison of the two listings under the known ways the
// tools name things differently.
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "fixture_util.h"

namespace salvora::test {

struct TskEntry {
    std::string inode;  // "12" or "12-128-1": what icat takes
    std::string path;   // "/DIR1/A.BIN"
    std::string kind;   // "dir", "file", "link" or "other"
    bool deleted = false;
    std::optional<std::uint64_t> size;
    bool reallocated = false;
};

inline bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// fls prints a deleted short name with '_' for its lost first character where Salvora shows U+FFE5: deleted
// entries are compared with the first character of each path component masked.
inline std::string MaskedPath(const std::string& path) {
    std::string out;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::size_t first = 1;
        while (first < part.size() && (static_cast<unsigned char>(part[first]) & 0xC0) == 0x80) ++first;
        out += "/?" + part.substr(first);
    }
    return out;
}

// Virtual entries (the FAT tables, $OrphanFiles, the volume label, HFS+ metadata files) are The Sleuth Kit's
// own and left out.
inline std::vector<TskEntry> ParseFlsLong(const std::string& text) {
    std::vector<TskEntry> entries;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto tab = line.find('\t');
        const auto colon = line.rfind(':', tab);
        if (tab == std::string::npos || colon == std::string::npos || line.size() < 4) continue;
        const std::string type = line.substr(0, 3);
        std::string head = line.substr(4, colon - 4);
        TskEntry e;
        e.deleted = head.rfind("* ", 0) == 0;
        if (e.deleted) head = head.substr(2);
        // "50(realloc)": the deleted name's inode belongs to a newer file now, whose size fls shows.
        e.reallocated = head.find("(realloc)") != std::string::npos;
        e.inode = head.substr(0, head.find('('));
        std::vector<std::string> fields;
        std::stringstream rest(line.substr(tab + 1));
        std::string field;
        while (std::getline(rest, field, '\t')) fields.push_back(field);
        if (fields.empty()) continue;
        e.path = "/" + fields[0];
        if (type[0] == 'v' || type[0] == 'V' || e.path.find("/$OrphanFiles") == 0 ||
            e.path.find("(Volume Label Entry)") != std::string::npos)
            continue;
        // The Sleuth Kit names HFS+ metadata files as if they were files of the root.
        static const std::set<std::string> kMetadata{"/$ExtentsFile",   "/$CatalogFile", "/$BadBlockFile",
                                                     "/$AllocationFile", "/$StartupFile", "/$AttributesFile",
                                                     "/$ALLOC_BITMAP",  "/$UPCASE_TABLE"};
        if (kMetadata.count(e.path)) continue;
        // "-/r": a name whose own type is unknown (NTFS records found without an index entry); the record's
        // type decides.
        const std::string kindType = type[0] == '-' ? type.substr(2) + "/" + type.substr(2) : type;
        e.kind = kindType == "d/d" ? "dir" : kindType == "r/r" ? "file" : kindType == "l/l" ? "link" : "other";
        if (fields.size() >= 6) {
            try {
                e.size = std::stoull(fields[5]);
            } catch (const std::exception&) {
            }
        }
        entries.push_back(e);
    }
    return entries;
}

struct ListedEntry {
    std::string path;
    std::string kind;
    bool deleted = false;
    std::uint64_t size = 0;
    std::string target;
};

inline std::vector<ListedEntry> ListedEntries(const std::string& jsonLines) {
    std::vector<ListedEntry> out;
    for (const auto& row : JsonLines(jsonLines)) {
        ListedEntry e{row["path"], row["kind"], row["deleted"], row["size"], row.value("target", "")};
        // fls shows a NUL in a name (HFS+ private folders) as '^'.
        std::replace(e.path.begin(), e.path.end(), '\0', '^');
        out.push_back(std::move(e));
    }
    return out;
}

// Known, explained differences, one per line of tests/fixtures/tsk-differences.txt:
// FIXTURE <TAB> PATH <TAB> WHY. PATH is as fls gives it (with its leading '/').
inline std::multimap<std::string, std::string> AllowedDifferences() {
    std::multimap<std::string, std::string> allowed;
    std::stringstream lines(ReadAll(std::string(SALVORA_FIXTURES_DIR) + "/tsk-differences.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto a = line.find('\t');
        const auto b = line.find('\t', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        allowed.emplace(line.substr(0, a), line.substr(a + 1, b - a - 1));
    }
    return allowed;
}

}  // namespace salvora::test
