// `carve SOURCE`: raw recovery. Lists every file found by its signatures (category, name, start, size) and,
// with
// --out, writes them there. Without volume options the whole source is carved.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "io/imaging.h"
#include "raw/carved_saver.h"
#include "scan/file_saver.h"
#include "raw/raw_parse.h"
#include "raw/settings_file.h"

namespace salvora::cli {
namespace {

struct CarveArgs {
    std::string source;
    VolumeChoice choice;
    std::vector<std::string> signatures;
    bool noDefault = false;
    std::string out;
    bool json = false;
    bool keepPartial = false;
};

bool HasVolumeOptions(const VolumeChoice& c) {
    return c.volume || c.startSector || c.sizeMiB || c.fileSystem || c.scan.advance || c.scan.gpt;
}

void PrintCarved(const myJpg& engine, bool json) {
    const std::vector<CarvedFile> files = engine.CarvedFiles();
    if (!json) std::cout << "CATEGORY\tNAME\tSTART\tSIZE\n";
    for (std::size_t row = 0; row < files.size(); ++row) {
        const std::string category = engine.CarvedCategory(row);
        const std::string name = engine.CarvedName(row);
        if (json) {
            nlohmann::ordered_json line;
            line["category"] = category;
            line["name"] = name;
            line["start"] = files[row].start;
            line["size"] = files[row].size;
            std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        } else {
            std::cout << category << '\t' << name << '\t' << files[row].start << '\t' << files[row].size
                      << '\n';
        }
    }
}

int RunCarve(const CarveArgs& args, TerminalUi& ui) {
    SourceReader source;
    if (!source.Open(args.source)) return kExitSourceError;
    RawParseInput input;
    input.loadDefaultItems = !args.noDefault;
    input.defaultPath = DefaultSettingsPath();
    input.settingsPaths = args.signatures;
    // The page's path box holds the default file when nothing else was chosen.
    if (input.settingsPaths.empty() && input.loadDefaultItems)
        input.settingsPaths.push_back(input.defaultPath);
    if (HasVolumeOptions(args.choice)) {
        const ResolvedVolume volume = ResolveVolume(source.Reader(), args.choice, ui);
        if (volume.exitCode != kExitOk) return volume.exitCode;
        input.volume = volume.entry;
    } else {
        input.volume.fileSystemLabel = "RAW";
        input.volume.sizeBytes = source.Reader().sourceLength;
        input.volume.sizeText = std::to_string(input.volume.sizeBytes / 1048576);
    }
    if (!args.out.empty()) {
        ::mkdir(args.out.c_str(), 0777);
        struct stat st {};
        if (::stat(args.out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            PrintError("cannot use " + args.out + " as the output folder");
            return kExitUsage;
        }
        if (const std::string problem = OutputFolderProblem(args.out); !problem.empty()) {
            PrintError(problem + " Choose another output folder with --out.");
            return kExitUsage;
        }
    }

    ResultTree tree;
    myJpg engine;
    engine.tree = &tree;
    bool carved;
    std::uint64_t readLater = 0;
    {
        StopOnInterrupt interrupt(engine.stopRequested);
        // Bad areas are stepped over in growing steps, not crawled sector by sector, and read again at the end.
        source.Reader().SetSkipAhead(true);
        carved = RunRawParse(engine, input, source.Reader());
        source.Reader().SetSkipAhead(false);
        if (carved && engine.unreadableBytes > 0 && engine.unreadableBytes < engine.scannedBytes &&
            source.Reader().SkippedBytes() > 0) {
            ui.SetStatus("reading again " + HumanBytes(source.Reader().SkippedBytes()) + " skipped in bad areas...");
            for (const ByteRange& r : source.Reader().RetrySkipped([&] { return engine.stopRequested.load(); }))
                readLater += r.length;
        }
    }
    ui.EndProgress();
    if (!carved) return kExitSourceError;
    if (engine.scannedBytes > 0 && engine.unreadableBytes >= engine.scannedBytes) {
        PrintError("nothing could be read from " + args.source + ": every sector failed (" + std::strerror(EIO) +
                   "); check the cable and the device, or image it with ddrescue and carve the image");
        return kExitSourceError;
    }
    if (engine.unreadableBytes > readLater)
        PrintError(std::to_string(engine.unreadableBytes - readLater) + " of " + std::to_string(engine.scannedBytes) +
                   " bytes could not be read (unreadable sectors): files over them are missing or cut");
    if (readLater > 0)
        PrintError(std::to_string(readLater) + " bytes in bad areas were read only on a second try, after the search: "
                   "to search them too, image the source (salvora-cli image) and carve the image");
    PrintCarved(engine, args.json);
    std::cout.flush();
    if (engine.stopRequested.load()) {
        // Part of a search is listed as such: the files past where it stopped were never looked for.
        PrintError("stopped after searching " + HumanBytes(static_cast<std::uint64_t>(engine.scannedBytes)) + " of " +
                   HumanBytes(static_cast<std::uint64_t>(engine.volumeSize)) +
                   ": files past that point were not looked for" + (args.out.empty() ? "" : ", and nothing was saved") +
                   "; run the same command again to search the whole source");
        return kExitSomeNotWritten;
    }
    const int readExit = engine.unreadableBytes > 0 ? kExitSomeNotWritten : kExitOk;
    if (args.out.empty()) return readExit;

    std::vector<std::size_t> rows(engine.CarvedCount());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = i;
    std::atomic<bool> cancel{false};
    CarvedSaveOutcome outcome;
    {
        StopOnInterrupt interrupt(cancel);
        outcome = SaveCarvedFiles(engine, rows, args.out, cancel, args.keepPartial);
    }
    ui.EndProgress();
    for (const std::string& name : outcome.failedNames) std::cerr << "not written whole: " << name << '\n';
    std::cerr << "salvora-cli: " << (outcome.cancelled ? "(stopped) " : "") << outcome.written
              << " file(s) saved in " << args.out;
    if (outcome.failed) std::cerr << ", " << outcome.failed << " could not be written";
    if (outcome.cancelled)
        std::cerr << ", stopped after " << outcome.written + outcome.failed << " of " << rows.size();
    std::cerr << '\n';
    return outcome.failed == 0 && !outcome.cancelled ? readExit : kExitSomeNotWritten;
}

}  // namespace

Command RegisterCarveCommand(CLI::App& app) {
    auto args = std::make_shared<CarveArgs>();
    CLI::App* sub =
        app.add_subcommand("carve", "Raw recovery: find files by their signatures and list or save them");
    sub->add_option("SOURCE", args->source, "Device or image file")->required();
    AddVolumeChoiceOptions(*sub, args->choice);
    sub->add_option("--signatures", args->signatures, "A signature settings file (repeatable)")
        ->type_name("FILE");
    sub->add_flag("--no-default", args->noDefault,
                  "Do not load the default signatures (" + std::string(kDefaultSettingsName) + ")");
    sub->add_option("--out", args->out, "Write the carved files into this folder")->type_name("DIR");
    sub->add_flag("--json", args->json, "One JSON object per carved file and line");
    sub->add_flag("--keep-partial", args->keepPartial,
                  "Keep a file that could not be written whole as NAME.incomplete (default: remove it)");
    return {sub, [args](TerminalUi& ui) { return RunCarve(*args, ui); }};
}

}  // namespace salvora::cli
