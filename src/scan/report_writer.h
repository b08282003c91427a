#pragma once
// A report of what a scanned volume holds, written before anything is saved: each entry's name, times, verdict,
// where its bytes lie on the source and, when asked, a hash of its content, as DFXML, a bodyfile, CSV or JSON
// lines. Used by `salvora-cli report` and the wizard's "Save report...".
#include <atomic>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "model/parser_base.h"

namespace salvora {

enum class ReportFormat { Dfxml, Bodyfile, Csv, Jsonl };
enum class ReportHash { None, Md5, Sha1, Sha256 };

std::optional<ReportFormat> ParseReportFormat(const std::string& name);  // "dfxml", "bodyfile", "csv", "jsonl"
std::optional<ReportHash> ParseReportHash(const std::string& name);      // "none", "md5", "sha1", "sha256"
const char* ReportHashName(ReportHash hash);

// One entry to report, with its path as `list` prints it ("/DCIM/IMG_0001.JPG").
struct ReportEntry {
    EntryId id = 0;
    std::string path;
};

// Every entry below the root, depth-first, each folder before its contents, as `list` walks them; keep(id, path)
// decides which are reported (folders are walked into either way). Without keep, every entry.
std::vector<ReportEntry> CollectReportEntries(
    ParserBase& parser, const std::function<bool(EntryId, const std::string&)>& keep = {});

struct ReportOptions {
    ReportFormat format = ReportFormat::Dfxml;
    ReportHash hash = ReportHash::None;
    // DFXML's <creator> and <source>, <volume>: what the caller knows of the source and the volume on it.
    std::string programVersion;
    std::string sourceName;
    std::uint64_t volumeOffset = 0;  // bytes from the source's start
    std::uint64_t blockSize = 0;     // 0: the parser's allocation unit when it has one
    std::string fileSystem;          // the volume's label ("fat32", "NTFS")
};

struct ReportResult {
    std::uint64_t entries = 0;        // written
    std::uint64_t incomplete = 0;     // files whose runs do not cover them, or (hashed) with bytes unreadable
    std::vector<std::string> incompletePaths;
    bool stopped = false;             // the stop flag ended it: the report is cut short
    bool writeFailed = false;         // the stream went bad
};

// Bytes hashed so far of the total to hash; called every block.
using ReportProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Writes the report of `entries` to out. Content is read through parser.Content and parser.Source() only when a
// hash is asked for, each byte once, in 1 MiB blocks. stop is polled at every entry and block.
ReportResult WriteReport(ParserBase& parser, const std::vector<ReportEntry>& entries, std::ostream& out,
                         const ReportOptions& options, const ReportProgress& progress,
                         const std::atomic<bool>& stop);

// One entry as `list --json` prints it: path, kind (dir, file, link), target of a link, deleted, verdict (with
// bytesInUse of bytesNeeded when partial or overwritten), size, times, attributes. The report's JSON lines add to
// it. A verdict already reached may be handed in, so the entry is not judged twice.
nlohmann::ordered_json ListEntryJson(ParserBase& parser, EntryId entry, const std::string& path,
                                     const EntryVerdict* judged = nullptr);

}  // namespace salvora
