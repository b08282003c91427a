// `report SOURCE [volume options] [selection] --format F [--hash H] --out FILE`: what the volume holds, with
// where each file lies and its hash, before anything is saved.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/selection_options.h"
#include "cli/volume_scan.h"
#include "scan/report_writer.h"

namespace salvora::cli {
namespace {

struct ReportArgs {
    VolumeScanArgs scan;
    SelectionArgs selection;
    std::string format;
    std::string hash = "none";
    std::string out;
};

// The report goes to a name beside FILE and takes FILE's name only when written whole, so a stopped or failed
// run never leaves something that looks like a finished report. A device or pipe (/dev/null) is written as is.
class ReportFile {
  public:
    explicit ReportFile(std::string path) : path_(std::move(path)) {}
    ~ReportFile() {
        if (!temp_.empty()) std::filesystem::remove(temp_);
    }

    // The reason it cannot be opened, or empty.
    std::string Open() {
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            if (S_ISDIR(st.st_mode)) return path_ + " is a folder";
            stream_.open(path_, std::ios::binary | std::ios::out);
            return stream_ ? "" : path_ + ": " + std::strerror(errno);
        }
        const std::filesystem::path target(path_);
        temp_ = (target.parent_path() / ("." + target.filename().string() + ".partial-" + std::to_string(::getpid())))
                    .string();
        stream_.open(temp_, std::ios::binary | std::ios::trunc | std::ios::out);
        if (!stream_) {
            const std::string reason = std::strerror(errno);
            temp_.clear();
            return "cannot write " + path_ + ": " + reason;
        }
        return "";
    }
    std::ostream& Stream() { return stream_; }
    // Closes and renames; the reason it failed, or empty.
    std::string Commit() {
        stream_.close();
        if (!stream_) return "cannot write " + path_ + " (disk full?)";
        if (temp_.empty()) return "";
        std::error_code ec;
        std::filesystem::rename(temp_, path_, ec);
        if (ec) return "cannot write " + path_ + ": " + ec.message();
        temp_.clear();
        return "";
    }

  private:
    std::string path_;
    std::string temp_;
    std::ofstream stream_;
};

int RunReport(const ReportArgs& args, TerminalUi& ui) {
    const std::optional<Selection> selection = MakeSelection(args.selection);
    if (!selection) return kExitUsage;
    ReportOptions options;
    options.format = *ParseReportFormat(args.format);
    options.hash = *ParseReportHash(args.hash);
    std::unique_ptr<ReportFile> file;
    if (args.out != "-") {
        // Said before the scan, not after a long one.
        file = std::make_unique<ReportFile>(args.out);
        if (const std::string problem = file->Open(); !problem.empty()) {
            PrintError(problem);
            return kExitUsage;
        }
    }
    const ScannedVolume scanned = ScanVolume(args.scan, ui);
    if (scanned.exitCode != kExitOk) return scanned.exitCode;
    ScanSession& session = *scanned.session;
    ParserBase& parser = *session.ActiveParser();

    options.programVersion = SALVORA_VERSION_TEXT;
    options.sourceName = args.scan.source;
    options.volumeOffset = session.Volume().startSector * kSectorBytes;
    options.fileSystem = session.Volume().fileSystemLabel;
    const std::vector<ReportEntry> entries =
        CollectReportEntries(parser, [&](EntryId id, const std::string& path) {
            return selection->Empty() || EntryMatches(*selection, parser, id, path);
        });

    std::atomic<bool> stop{false};
    ReportResult result;
    ui.SetStatus("Writing the report...");
    {
        StopOnInterrupt interrupt(stop);
        std::int64_t shownTotal = -1;
        result = WriteReport(parser, entries, file ? file->Stream() : std::cout, options,
                             [&](std::uint64_t done, std::uint64_t total) {
                                 if (static_cast<std::int64_t>(total) != shownTotal) {
                                     shownTotal = static_cast<std::int64_t>(total);
                                     ui.SetProgressRange(0, shownTotal);
                                 }
                                 ui.SetProgressPos(static_cast<std::int64_t>(done));
                             },
                             stop);
    }
    ui.EndProgress();
    if (result.stopped) {
        PrintError(file ? "stopped: no report was written" : "stopped: the report is cut short");
        return kExitSomeNotWritten;
    }
    if (const std::string problem = file ? file->Commit() : (std::cout.flush(), std::cout ? "" : "cannot write stdout");
        result.writeFailed || !problem.empty()) {
        PrintError(problem.empty() ? "cannot write " + args.out : problem);
        return kExitSomeNotWritten;
    }
    for (const std::string& path : result.incompletePaths)
        std::fprintf(stderr, "not read whole: %s\n", VisibleText(path).c_str());
    for (EntryId folder : parser.UnreadableFolders())
        std::fprintf(stderr, "folder %s could not be read: files in it are missing\n",
                     VisibleText(parser.EntryName(folder)).c_str());
    std::fprintf(stderr, "salvora-cli: %llu entr%s reported%s\n", static_cast<unsigned long long>(result.entries),
                 result.entries == 1 ? "y" : "ies",
                 result.incomplete ? (", " + std::to_string(result.incomplete) + " file(s) not read whole").c_str() : "");
    const bool incomplete =
        result.incomplete > 0 || !parser.UnreadableFolders().empty() || session.MissingBytes() != 0;
    return incomplete ? kExitSomeNotWritten : kExitOk;
}

}  // namespace

Command RegisterReportCommand(CLI::App& app) {
    auto args = std::make_shared<ReportArgs>();
    CLI::App* sub = app.add_subcommand(
        "report", "Scan a volume and write a report of its entries: times, verdict, where each file lies, hashes");
    AddVolumeScanOptions(*sub, args->scan);
    AddSelectionOptions(*sub, args->selection);
    sub->add_option("--format", args->format, "dfxml, bodyfile, csv or jsonl")
        ->required()
        ->check(CLI::IsMember({"dfxml", "bodyfile", "csv", "jsonl"}));
    sub->add_option("--hash", args->hash, "Hash each file's content: none (default), md5, sha1 or sha256")
        ->check(CLI::IsMember({"none", "md5", "sha1", "sha256"}));
    sub->add_option("--out", args->out, "The report file (\"-\": stdout)")->required();
    return {sub, [args](TerminalUi& ui) { return RunReport(*args, ui); }};
}

}  // namespace salvora::cli
