#pragma once
// Runs a FAT parser's standard scan over an image file and finds records by path, for the FAT tests.
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "io/file_read_seek.h"
#include "model/parser_base.h"
#include "model/result_tree.h"
#include "volumes/volume_entry.h"

namespace salvora::test {

template <class Parser>
struct ScannedVolume {
    FileReadSeek reader;
    Parser parser;
    ResultTree tree;
    bool bootOk = false;
};

template <class Parser>
std::unique_ptr<ScannedVolume<Parser>> RunStandard(const std::filesystem::path& image,
                                                   std::uint64_t startSector = 0, bool formatted = false) {
    auto s = std::make_unique<ScannedVolume<Parser>>();
    if (!s->reader.OpenSource(image.string())) return s;
    ScanRequest request;
    request.source = &s->reader;
    request.volume.startSector = startSector;
    request.formattedDrive = formatted;
    s->parser.tree = &s->tree;
    s->bootOk = s->parser.Scan(request) != ScanOutcome::NotThisFileSystem;
    return s;
}

inline std::vector<EntryId> Children(const ParserBase& p, EntryId id) {
    std::vector<EntryId> out;
    for (auto c = p.FirstChild(id); c && out.size() < 1000000; c = p.NextSibling(*c)) out.push_back(*c);
    return out;
}

inline std::vector<std::string> ChildNames(const ParserBase& p, EntryId id) {
    std::vector<std::string> out;
    for (EntryId c : Children(p, id)) out.push_back(p.EntryName(c));
    return out;
}

// "/A/B.TXT" from the root record; the first match by name at each level.
inline std::optional<EntryId> FindPath(const ParserBase& p, const std::string& path) {
    EntryId at = p.RootEntry();
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::optional<EntryId> hit;
        for (EntryId c : Children(p, at))
            if (p.EntryName(c) == part) {
                hit = c;
                break;
            }
        if (!hit) return std::nullopt;
        at = *hit;
    }
    return at;
}

// Every path below the root, depth-first ("/DIR", "/DIR/FILE").
inline void CollectPaths(const ParserBase& p, EntryId id, const std::string& prefix,
                         std::vector<std::string>& out) {
    for (EntryId c : Children(p, id)) {
        const std::string path = prefix + "/" + p.EntryName(c);
        out.push_back(path);
        if (p.IsWalkFolder(c)) CollectPaths(p, c, path, out);
    }
}

inline std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    std::vector<std::uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    int c;
    while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return out;
}

}  // namespace salvora::test
