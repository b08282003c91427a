#include "scan/report_writer.h"

#include "scan/list_rows.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>
#include <span>

namespace salvora {
namespace {

constexpr std::uint64_t kBlockBytes = 1u << 20;

// Invalid UTF-8 (names read from a damaged volume) becomes U+FFFD; with forXml, so do the control characters
// XML 1.0 cannot carry.
std::string CleanUtf8(const std::string& text, bool forXml) {
    std::string out;
    out.reserve(text.size());
    static const char kReplacement[] = "\xEF\xBF\xBD";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (forXml && c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                out += kReplacement;
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool ok = len != 0 && i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (ok && len >= 3) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            // Overlong forms, surrogates and code points past U+10FFFF.
            if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) ||
                (c == 0xF4 && c1 >= 0x90))
                ok = false;
        }
        if (!ok) {
            out += kReplacement;
            ++i;
            continue;
        }
        out.append(text, i, len);
        i += len;
    }
    return out;
}

std::string XmlText(const std::string& text) {
    std::string out;
    for (char c : CleanUtf8(text, true)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string CsvField(const std::string& text) {
    const std::string clean = CleanUtf8(text, false);
    if (clean.find_first_of(",\"\r\n") == std::string::npos) return clean;
    std::string out = "\"";
    for (char c : clean) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

// mactime splits on '|' and reads a line per entry.
std::string BodyfileName(const std::string& text) {
    std::string out = CleanUtf8(text, false);
    for (char& c : out)
        if (c == '|' || c == '\n' || c == '\r') c = '?';
    return out;
}

std::string IsoTime(const std::optional<timespec>& time) {
    if (!time) return {};
    std::tm tm{};
    const std::time_t seconds = time->tv_sec;
    if (!gmtime_r(&seconds, &tm)) return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string UnixTime(const std::optional<timespec>& time) {
    return time ? std::to_string(static_cast<long long>(time->tv_sec)) : "0";
}

const EVP_MD* Digest(ReportHash hash) {
    switch (hash) {
        case ReportHash::Md5: return EVP_md5();
        case ReportHash::Sha1: return EVP_sha1();
        case ReportHash::Sha256: return EVP_sha256();
        case ReportHash::None: break;
    }
    return nullptr;
}

std::string Hex(const unsigned char* bytes, unsigned size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// What the report says of one entry beyond the list's fields.
struct EntryFacts {
    bool folder = false;
    std::optional<std::string> target;
    std::optional<EntryContent> content;
    EntryVerdict verdict;
    StoredTimes times;
    std::string hash;      // hex; empty when none was asked for or the content cannot be read
    bool complete = true;  // the runs cover the file and, when hashed, every byte was read
    std::uint64_t unreadable = 0;
};

class Writer {
  public:
    Writer(ParserBase& parser, std::ostream& out, const ReportOptions& options, const ReportProgress& progress,
           const std::atomic<bool>& stop)
        : parser_(parser), out_(out), options_(options), progress_(progress), stop_(stop),
          ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {}

    ReportResult Run(const std::vector<ReportEntry>& entries) {
        hashing_ = Digest(options_.hash) != nullptr;
        for (const ReportEntry& e : entries)
            if (hashing_ && !parser_.IsFolder(e.id)) total_ += parser_.EntrySizeBytes(e.id);
        if (!hashing_) total_ = entries.size();
        Header();
        for (const ReportEntry& e : entries) {
            if (stop_ || parser_.stopRequested) {
                result_.stopped = true;
                break;
            }
            const EntryFacts facts = Facts(e.id);
            if (result_.stopped) break;
            if (!facts.folder && !facts.complete) {
                ++result_.incomplete;
                result_.incompletePaths.push_back(e.path);
            }
            Entry(e, facts);
            out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
            line_.clear();
            ++result_.entries;
            if (!hashing_ && progress_) progress_(result_.entries, total_);
            if (!out_) break;
        }
        if (!result_.stopped) Footer();
        out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
        out_.flush();
        result_.writeFailed = !out_;
        return result_;
    }

  private:
    EntryFacts Facts(EntryId id) {
        EntryFacts f;
        f.folder = parser_.IsFolder(id);
        f.verdict = parser_.Judge(id);
        f.times = parser_.EntryStoredTimes(id);
        if (f.folder) return f;
        f.target = parser_.LinkTarget(id);
        f.content = parser_.Content(id);
        f.complete = f.content && f.content->whole && f.content->unsure == 0;
        if (hashing_ && f.content) Hash(f);
        return f;
    }

    void Hash(EntryFacts& f) {
        const EntryContent& content = *f.content;
        EVP_DigestInit_ex(ctx_.get(), Digest(options_.hash), nullptr);
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kBlockBytes, std::max<std::uint64_t>(content.size, 1))));
        for (std::uint64_t at = 0; at < content.size; at += kBlockBytes) {
            if (stop_ || parser_.stopRequested) {
                result_.stopped = true;
                return;
            }
            const std::size_t want = static_cast<std::size_t>(std::min(kBlockBytes, content.size - at));
            const ContentRead read = ReadContent(parser_.Source(), content, at, std::span(buffer_.data(), want));
            for (const auto& [from, to] : read.unreadable) f.unreadable += to - from;
            EVP_DigestUpdate(ctx_.get(), buffer_.data(), want);
            done_ += want;
            if (progress_) progress_(done_, total_);
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned size = 0;
        EVP_DigestFinal_ex(ctx_.get(), digest, &size);
        f.hash = Hex(digest, size);
        if (f.unreadable) f.complete = false;
    }

    void Header() {
        switch (options_.format) {
            case ReportFormat::Dfxml: {
                line_ +=
                    "<?xml version='1.0' encoding='UTF-8'?>\n"
                    "<dfxml xmlns='http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML'\n"
                    "  xmlns:dc='http://purl.org/dc/elements/1.1/'\n"
                    "  xmlns:salvora='urn:salvora:report'\n"
                    "  version='1.0'>\n"
                    "  <metadata>\n    <dc:type>File listing</dc:type>\n  </metadata>\n"
                    "  <creator version='1.0'>\n    <program>salvora</program>\n    <version>" +
                    XmlText(options_.programVersion) + "</version>\n  </creator>\n";
                line_ += "  <source>\n    <image_filename>" + XmlText(options_.sourceName) +
                         "</image_filename>\n  </source>\n";
                std::uint64_t block = options_.blockSize;
                if (block == 0)
                    if (const AllocationMap* map = parser_.Allocation()) block = map->UnitBytes();
                line_ += "  <volume offset='" + std::to_string(options_.volumeOffset) + "'>\n";
                line_ += "    <partition_offset>" + std::to_string(options_.volumeOffset) + "</partition_offset>\n";
                if (block) line_ += "    <block_size>" + std::to_string(block) + "</block_size>\n";
                if (!options_.fileSystem.empty())
                    line_ += "    <ftype_str>" + XmlText(options_.fileSystem) + "</ftype_str>\n";
                break;
            }
            case ReportFormat::Csv:
                line_ += "path,kind,deleted,verdict,size,created,accessed,modified,first_offset,complete";
                if (hashing_) line_ += std::string(",") + ReportHashName(options_.hash);
                line_ += "\r\n";
                break;
            case ReportFormat::Bodyfile:
            case ReportFormat::Jsonl: break;
        }
    }

    void Footer() {
        if (options_.format == ReportFormat::Dfxml) line_ += "  </volume>\n</dfxml>\n";
    }

    static const char* Kind(const EntryFacts& f) { return f.folder ? "dir" : f.target ? "link" : "file"; }

    std::optional<std::uint64_t> FirstOffset(const EntryFacts& f) const {
        if (f.content)
            for (const ContentRun& run : f.content->runs)
                if (run.kind == RunKind::Source) return run.at;
        return std::nullopt;
    }

    void Entry(const ReportEntry& e, const EntryFacts& f) {
        switch (options_.format) {
            case ReportFormat::Dfxml: Dfxml(e, f); break;
            case ReportFormat::Bodyfile: Bodyfile(e, f); break;
            case ReportFormat::Csv: Csv(e, f); break;
            case ReportFormat::Jsonl: Jsonl(e, f); break;
        }
    }

    void Dfxml(const ReportEntry& e, const EntryFacts& f) {
        const bool deleted = parser_.IsDeleted(e.id);
        std::string& o = line_;
        o += "    <fileobject>\n";
        o += "      <filename>" + XmlText(e.path.empty() || e.path[0] != '/' ? e.path : e.path.substr(1)) +
             "</filename>\n";
        o += "      <id>" + std::to_string(result_.entries + 1) + "</id>\n";
        o += std::string("      <name_type>") + (f.folder ? "d" : f.target ? "l" : "r") + "</name_type>\n";
        o += "      <filesize>" + std::to_string(f.folder ? 0 : parser_.EntrySizeBytes(e.id)) + "</filesize>\n";
        o += deleted ? "      <unalloc>1</unalloc>\n" : "      <alloc>1</alloc>\n";
        o += "      <inode>" + std::to_string(e.id) + "</inode>\n";
        if (const std::string t = IsoTime(f.times.modified); !t.empty()) o += "      <mtime>" + t + "</mtime>\n";
        if (const std::string t = IsoTime(f.times.changed); !t.empty()) o += "      <ctime>" + t + "</ctime>\n";
        if (const std::string t = IsoTime(f.times.accessed); !t.empty()) o += "      <atime>" + t + "</atime>\n";
        if (const std::string t = IsoTime(f.times.created); !t.empty()) o += "      <crtime>" + t + "</crtime>\n";
        if (f.content && !f.content->runs.empty()) {
            o += "      <byte_runs>\n";
            for (const ContentRun& run : f.content->runs) {
                o += "       <byte_run file_offset='" + std::to_string(run.fileOffset) + "'";
                if (run.kind == RunKind::Source)
                    o += " fs_offset='" + std::to_string(run.at - std::min(run.at, options_.volumeOffset)) +
                         "' img_offset='" + std::to_string(run.at) + "'";
                else if (run.kind == RunKind::Hole)
                    o += " fill='0'";
                o += " len='" + std::to_string(run.length) + "'";
                if (run.kind == RunKind::Resident) o += " type='resident'";
                if (run.inferred) o += " salvora:inferred='1'";
                o += "/>\n";
            }
            o += "      </byte_runs>\n";
        }
        if (!f.hash.empty())
            o += std::string("      <hashdigest type='") + ReportHashName(options_.hash) + "'>" + f.hash +
                 "</hashdigest>\n";
        o += std::string("      <salvora:verdict>") + VerdictName(f.verdict.verdict) + "</salvora:verdict>\n";
        if (!f.folder && !f.complete) {
            o += "      <salvora:complete>0</salvora:complete>\n";
            if (f.unreadable) o += "      <salvora:unreadable_bytes>" + std::to_string(f.unreadable) +
                                   "</salvora:unreadable_bytes>\n";
        }
        o += "    </fileobject>\n";
    }

    void Bodyfile(const ReportEntry& e, const EntryFacts& f) {
        std::string name = e.path;
        if (f.target) name += " -> " + *f.target;
        if (parser_.IsDeleted(e.id)) name += " (deleted)";
        // A hash of bytes that were not all read is not given: the format has nowhere to say so.
        const bool md5 = options_.hash == ReportHash::Md5 && !f.hash.empty() && f.complete;
        line_ += (md5 ? f.hash : std::string("0")) + "|" + BodyfileName(name) + "|" + std::to_string(e.id) + "|" +
                 (f.folder ? "d/drwxrwxrwx" : f.target ? "l/lrwxrwxrwx" : "r/rrwxrwxrwx") + "|0|0|" +
                 std::to_string(f.folder ? 0 : parser_.EntrySizeBytes(e.id)) + "|" + UnixTime(f.times.accessed) +
                 "|" + UnixTime(f.times.modified) + "|" + UnixTime(f.times.changed) + "|" +
                 UnixTime(f.times.created) + "\n";
    }

    void Csv(const ReportEntry& e, const EntryFacts& f) {
        const EntryTexts texts = parser_.FormatEntryTimes(e.id);
        const auto first = FirstOffset(f);
        line_ += CsvField(e.path) + "," + Kind(f) + "," + (parser_.IsDeleted(e.id) ? "true" : "false") + "," +
                 VerdictName(f.verdict.verdict) + "," + std::to_string(f.folder ? 0 : parser_.EntrySizeBytes(e.id)) +
                 "," + CsvField(texts.created) + "," + CsvField(texts.accessed) + "," + CsvField(texts.modified) +
                 "," + (first ? std::to_string(*first) : "") + "," + (f.complete ? "true" : "false");
        if (hashing_) line_ += "," + f.hash;
        line_ += "\r\n";
    }

    void Jsonl(const ReportEntry& e, const EntryFacts& f) {
        nlohmann::ordered_json row = ListEntryJson(parser_, e.id, e.path, &f.verdict);
        nlohmann::ordered_json runs = nlohmann::ordered_json::array();
        if (f.content) {
            for (const ContentRun& run : f.content->runs) {
                nlohmann::ordered_json r;
                r["file_offset"] = run.fileOffset;
                if (run.kind == RunKind::Source)
                    r["img_offset"] = run.at;
                else
                    r["kind"] = run.kind == RunKind::Hole ? "hole" : "resident";
                r["length"] = run.length;
                if (run.inferred) r["inferred"] = true;
                runs.push_back(std::move(r));
            }
        }
        row["runs"] = std::move(runs);
        row["complete"] = f.complete;
        if (f.unreadable) row["unreadable_bytes"] = f.unreadable;
        if (hashing_) row[ReportHashName(options_.hash)] = f.hash.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(f.hash);
        line_ += row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        line_ += '\n';
    }

    ParserBase& parser_;
    std::ostream& out_;
    const ReportOptions& options_;
    const ReportProgress& progress_;
    const std::atomic<bool>& stop_;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
    std::vector<std::uint8_t> buffer_;
    std::string line_;
    bool hashing_ = false;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    ReportResult result_;
};

}  // namespace

std::optional<ReportFormat> ParseReportFormat(const std::string& name) {
    if (name == "dfxml") return ReportFormat::Dfxml;
    if (name == "bodyfile") return ReportFormat::Bodyfile;
    if (name == "csv") return ReportFormat::Csv;
    if (name == "jsonl") return ReportFormat::Jsonl;
    return std::nullopt;
}

std::optional<ReportHash> ParseReportHash(const std::string& name) {
    for (ReportHash h : {ReportHash::None, ReportHash::Md5, ReportHash::Sha1, ReportHash::Sha256})
        if (name == ReportHashName(h)) return h;
    return std::nullopt;
}

const char* ReportHashName(ReportHash hash) {
    switch (hash) {
        case ReportHash::Md5: return "md5";
        case ReportHash::Sha1: return "sha1";
        case ReportHash::Sha256: return "sha256";
        case ReportHash::None: break;
    }
    return "none";
}

std::vector<ReportEntry> CollectReportEntries(ParserBase& parser,
                                              const std::function<bool(EntryId, const std::string&)>& keep) {
    std::vector<ReportEntry> out;
    WalkListOrder(parser, [&](const ListWalkStep& step) {
        if (!keep || keep(step.entry, step.path)) out.push_back({step.entry, step.path});
    });
    return out;
}

ReportResult WriteReport(ParserBase& parser, const std::vector<ReportEntry>& entries, std::ostream& out,
                         const ReportOptions& options, const ReportProgress& progress,
                         const std::atomic<bool>& stop) {
    return Writer(parser, out, options, progress, stop).Run(entries);
}

nlohmann::ordered_json ListEntryJson(ParserBase& parser, EntryId entry, const std::string& path,
                                     const EntryVerdict* judged) {
    const EntryTexts texts = parser.FormatEntryTimes(entry);
    const bool folder = parser.IsFolder(entry);
    const std::optional<std::string> target = folder ? std::nullopt : parser.LinkTarget(entry);
    nlohmann::ordered_json row;
    row["path"] = path;
    row["kind"] = folder ? "dir" : target ? "link" : "file";
    if (target) row["target"] = *target;
    row["deleted"] = parser.IsDeleted(entry);
    const EntryVerdict verdict = judged ? *judged : parser.Judge(entry);
    row["verdict"] = VerdictName(verdict.verdict);
    // How much of it is gone: partial and overwritten say "bytes of how many".
    if (verdict.verdict == Verdict::Partial || verdict.verdict == Verdict::Overwritten) {
        row["bytesInUse"] = verdict.bytesInUse;
        row["bytesNeeded"] = verdict.bytesNeeded;
    }
    row["size"] = parser.EntrySizeBytes(entry);
    row["created"] = texts.created;
    row["accessed"] = texts.accessed;
    row["modified"] = texts.modified;
    row["attributes"] = texts.attributes;
    return row;
}

}  // namespace salvora
