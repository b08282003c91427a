// `cat SOURCE [volume options] PATH`: one entry's bytes on stdout. `stat SOURCE [volume options] PATH [--json]`:
// the entry's fields and the byte runs its content lies in on the source.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/volume_scan.h"
#include "io/write_all.h"

namespace salvora::cli {
namespace {

struct ContentArgs {
    VolumeScanArgs scan;
    std::string path;
    bool json = false;
};

constexpr std::uint64_t kCatPieceBytes = 4u << 20;

// The scanned volume's entry and content for PATH, or the exit status with the reason said.
struct Found {
    int exitCode = kExitOk;
    ScannedVolume scanned;
    EntryId entry = 0;
};

Found Locate(const ContentArgs& args, TerminalUi& ui) {
    Found found;
    found.scanned = ScanVolume(args.scan, ui);
    if (found.scanned.exitCode != kExitOk) {
        found.exitCode = found.scanned.exitCode;
        return found;
    }
    const auto entry = FindEntry(*found.scanned.session->ActiveParser(), args.path);
    if (!entry) {
        PrintError("no " + args.path + " in the volume (the path as `list` prints it)");
        found.exitCode = kExitSourceError;
        return found;
    }
    found.entry = *entry;
    return found;
}

std::string RangesText(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) {
    std::string text;
    for (const auto& [from, to] : ranges)
        text += (text.empty() ? "" : ", ") + std::to_string(from) + "-" + std::to_string(to);
    return text;
}

int RunCat(const ContentArgs& args, TerminalUi& ui) {
    Found found = Locate(args, ui);
    if (found.exitCode != kExitOk) return found.exitCode;
    ParserBase& parser = *found.scanned.session->ActiveParser();
    if (parser.IsFolder(found.entry)) {
        PrintError(args.path + " is a folder; `list` shows what it holds");
        return kExitUsage;
    }
    const std::optional<EntryContent> content = parser.Content(found.entry);
    readWriteInterface* source = parser.Source();
    if (!content) {
        PrintError("the content of " + args.path + " cannot be read from this volume");
        return kExitSourceError;
    }
    std::vector<std::uint8_t> buffer;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable;
    for (std::uint64_t at = 0; at < content->size; at += kCatPieceBytes) {
        buffer.resize(std::min(kCatPieceBytes, content->size - at));
        const ContentRead read = ReadContent(source, *content, at, buffer);
        unreadable.insert(unreadable.end(), read.unreadable.begin(), read.unreadable.end());
        if (!WriteAll(STDOUT_FILENO, buffer.data(), read.bytes)) {
            PrintError("stdout could not be written");
            return kExitSomeNotWritten;
        }
    }
    if (!unreadable.empty() || !content->whole || content->unsure > 0) {
        PrintError(args.path + " could not be read whole" +
                   (unreadable.empty() ? std::string{} : "; zeros stand for bytes " + RangesText(unreadable)) +
                   (content->unsure > 0 ? "; where its FAT could not be read, it was read on as if contiguous" : ""));
        return kExitSomeNotWritten;
    }
    return kExitOk;
}

int RunStat(const ContentArgs& args, TerminalUi& ui) {
    Found found = Locate(args, ui);
    if (found.exitCode != kExitOk) return found.exitCode;
    ParserBase& parser = *found.scanned.session->ActiveParser();
    nlohmann::ordered_json row = EntryJson(parser, found.entry, args.path);
    const std::optional<EntryContent> content = parser.IsFolder(found.entry) ? std::nullopt : parser.Content(found.entry);
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    if (content) {
        for (const ContentRun& run : content->runs) {
            nlohmann::ordered_json r;
            r["fileOffset"] = run.fileOffset;
            r["length"] = run.length;
            r["sourceOffset"] = run.kind == RunKind::Source ? nlohmann::ordered_json(run.at) : nullptr;
            if (run.kind == RunKind::Resident) r["resident"] = true;
            r["inferred"] = run.inferred;
            runs.push_back(std::move(r));
        }
        row["whole"] = content->whole;
    }
    row["runs"] = runs;
    if (args.json) {
        std::cout << row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        return kExitOk;
    }
    for (const auto& [key, value] : row.items()) {
        if (key == "runs") continue;
        std::cout << key << ": " << VisibleText(value.is_string() ? value.get<std::string>() : value.dump()) << '\n';
    }
    std::cout << "runs:" << (runs.empty() ? " none" : "") << '\n';
    for (const auto& r : runs) {
        std::cout << "  " << r["fileOffset"].get<std::uint64_t>() << '+' << r["length"].get<std::uint64_t>() << "  ";
        if (r["sourceOffset"].is_null())
            std::cout << (r.contains("resident") ? "in the entry's record" : "hole (zeros)");
        else
            std::cout << "at source byte " << r["sourceOffset"].get<std::uint64_t>();
        std::cout << (r["inferred"].get<bool>() ? "  (inferred)" : "") << '\n';
    }
    return kExitOk;
}

}  // namespace

Command RegisterCatCommand(CLI::App& app) {
    auto args = std::make_shared<ContentArgs>();
    CLI::App* sub = app.add_subcommand("cat", "Scan a volume and write one file's bytes to stdout");
    AddVolumeScanOptions(*sub, args->scan);
    sub->add_option("PATH", args->path, "The file, as list prints it")->required();
    return {sub, [args](TerminalUi& ui) { return RunCat(*args, ui); }};
}

Command RegisterStatCommand(CLI::App& app) {
    auto args = std::make_shared<ContentArgs>();
    CLI::App* sub =
        app.add_subcommand("stat", "Scan a volume and show one entry's fields and where its bytes lie");
    AddVolumeScanOptions(*sub, args->scan);
    sub->add_option("PATH", args->path, "The entry, as list prints it")->required();
    sub->add_flag("--json", args->json, "One JSON object: the list's keys, \"whole\" and \"runs\"");
    return {sub, [args](TerminalUi& ui) { return RunStat(*args, ui); }};
}

}  // namespace salvora::cli
