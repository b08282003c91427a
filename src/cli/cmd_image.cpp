// `image SOURCE OUTPUT --map MAPFILE`: copies a failing device to an image file, good areas first, keeping a
// ddrescue map so that a second run, ours or ddrescue's, goes on where this one ended.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "io/imaging.h"

namespace salvora::cli {
namespace {

struct ImageArgs {
    std::string source;
    std::string output;
};

int RunImage(const ImageArgs& args, const GlobalOptions& global, TerminalUi& ui) {
    if (global.map.empty()) {
        PrintError("image needs --map MAPFILE: the map is what lets a later run go on where this one ends");
        return kExitUsage;
    }
    FileReadSeek source;
    source.SetRetries(global.retries);
    if (!source.OpenSource(args.source)) {
        PrintError("cannot open " + args.source + (source.OpenError().empty() ? "" : ": " + source.OpenError()));
        return kExitSourceError;
    }
    ImagingPlan plan = PlanImaging(args.source, source.sourceLength, args.output, global.map);
    if (!plan.refusal.empty()) {
        PrintError(plan.refusal);
        return plan.mapUnreadable ? kExitSourceError : kExitUsage;
    }
    RescueMap map = std::move(plan.map);
    const int out = ::open(args.output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) {
        PrintError("cannot create " + args.output + ": " + std::strerror(errno));
        return kExitSourceError;
    }
    std::string saveError;
    const auto checkpoint = [&](const RescueMap& current) {
        if (!current.Save(global.map, &saveError))
            PrintError("cannot write the map " + global.map + ": " + saveError);
    };
    checkpoint(map.Size() ? map : RescueMap(source.sourceLength));
    if (!saveError.empty()) {
        ::close(out);
        return kExitSourceError;
    }

    std::atomic<bool> stop = false;
    StopOnInterrupt interrupt(stop);
    const std::uint64_t rescuedBefore = map.BytesWith(kRescued);
    const auto started = std::chrono::steady_clock::now();
    ui.SetProgressRange(0, static_cast<std::int64_t>(std::max<std::uint64_t>(source.sourceLength, 1)));
    const auto progress = [&](const RescueMap& current) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double rate = seconds > 0.5 ? static_cast<double>(current.BytesWith(kRescued) - rescuedBefore) / seconds : 0;
        ui.SetStatus(ImagingStatus(current, rate));
        ui.SetProgressPos(static_cast<std::int64_t>(current.BytesWith(kRescued) + current.BytesWith(kBadSector)));
        return !stop.load();
    };
    ImagingOptions options;
    options.retries = global.retries;
    const ImagingOutcome outcome = ImageSource(source, out, map, options, progress, checkpoint);
    const bool closed = ::close(out) == 0;
    ui.EndProgress();

    std::fprintf(stderr, "%s: %s\n", args.output.c_str(), ImagingStatus(map, 0).c_str());
    if (!outcome.writeError.empty() || !closed) {
        PrintError("cannot write " + args.output + ": " +
                   (outcome.writeError.empty() ? std::string(std::strerror(errno)) : outcome.writeError) +
                   (saveError.empty() ? "; the map keeps what was copied: make room and run the same command again "
                                        "to go on"
                                      : "; the map could not be saved either, so a new run starts over: make room "
                                        "(or put the map elsewhere) and run it again"));
        return kExitSourceError;
    }
    if (!saveError.empty()) return kExitSourceError;
    if (outcome.stopped) {
        std::fprintf(stderr, "stopped: run the same command again to go on where it ended\n");
        return kExitSomeNotWritten;
    }
    if (outcome.unreadable > 0) {
        std::fprintf(stderr,
                     "%s could not be read (the map %s says where). To recover from the image: salvora-cli list %s "
                     "--map %s\n",
                     HumanBytes(outcome.unreadable).c_str(), global.map.c_str(), args.output.c_str(),
                     global.map.c_str());
        return kExitSomeNotWritten;
    }
    std::fprintf(stderr, "every byte was read\n");
    return kExitOk;
}

}  // namespace

Command RegisterImageCommand(CLI::App& app, const GlobalOptions& global) {
    auto args = std::make_shared<ImageArgs>();
    CLI::App* sub = app.add_subcommand(
        "image", "Copy a failing device to an image file, good areas first, with a ddrescue map (--map MAPFILE)");
    sub->add_option("SOURCE", args->source, "Device or image file")->required();
    sub->add_option("OUTPUT", args->output, "Image file to write (never the source)")->required();
    return {sub, [args, &global](TerminalUi& ui) { return RunImage(*args, global, ui); }};
}

}  // namespace salvora::cli
