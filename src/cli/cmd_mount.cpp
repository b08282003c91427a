// `mount SOURCE MOUNTPOINT [volume options] [selection] [--deleted-only] [--foreground]`: the scanned volume as a
// read-only folder tree, to look at before saving; served until unmounted, Ctrl-C or SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/selection_options.h"
#include "cli/volume_scan.h"
#include "mount/fuse_mount.h"

namespace salvora::cli {
namespace {

struct MountArgs {
    VolumeScanArgs scan;
    SelectionArgs selection;
    std::string mountpoint;
    bool deletedOnly = false;
    bool foreground = false;
};

std::atomic<bool> stopAsked{false};

void AskStop(int) { stopAsked = true; }

// Until the mount goes from outside or a signal asks for the end. A handler rather than a blocked mask: threads
// the scan left running would take the signal and die of it, leaving the mount behind.
void ServeUntilEnded(FuseMount& mount) {
    while (!MountEnded(mount) && !stopAsked) ::usleep(100'000);
    StopMount(mount);
}

int RunMount(const MountArgs& args, TerminalUi& ui) {
    const std::optional<Selection> selection = MakeSelection(args.selection);
    if (!selection) return kExitUsage;
    std::error_code ec;
    // Absolute: the served process leaves its working folder, and unmounting must still find the mount.
    const std::string mountpoint = std::filesystem::absolute(args.mountpoint, ec).lexically_normal().string();
    // Said before a scan that may take hours.
    if (const std::string reason = CheckMountPoint(mountpoint); !reason.empty()) {
        PrintError(reason);
        return kExitSourceError;
    }
    const ScannedVolume scanned = ScanVolume(args.scan, ui);
    if (scanned.exitCode != kExitOk) return scanned.exitCode;
    ParserBase& parser = *scanned.session->ActiveParser();
    ui.EndProgress();
    MountTree tree(parser, {.uid = ::getuid(), .gid = ::getgid(), .selection = &*selection,
                            .deletedOnly = args.deletedOnly});

    struct sigaction action {};
    action.sa_handler = AskStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);

    std::string error;
    MountHandle mount = MountTreeAt(tree, mountpoint, error);
    if (!mount) {
        PrintError(error);
        return kExitSourceError;
    }
    const std::string done = "mounted read-only at " + mountpoint + "; unmount with: fusermount3 -u " + mountpoint;
    if (args.foreground) {
        ServeMount(*mount);
        std::cerr << done << std::endl;
        ServeUntilEnded(*mount);
        return kExitOk;
    }

    // As fuse_daemonize: the child serves, the parent returns once it says it does.
    int ready[2];
    if (::pipe(ready) != 0) {
        PrintError("cannot start the background process");
        return kExitSourceError;
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        PrintError("cannot start the background process");
        return kExitSourceError;
    }
    if (pid > 0) {
        ::close(ready[1]);
        char byte = 0;
        ssize_t got;
        while ((got = ::read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        // The mount belongs to the child now: leave without unmounting it.
        if (got == 1 && byte == '1') {
            std::cerr << done << std::endl;
            ::_exit(kExitOk);
        }
        PrintError("the background process ended before serving the mount");
        ::_exit(kExitSourceError);
    }
    ::close(ready[0]);
    ::setsid();
    if (::chdir("/") != 0) {
    }
    ServeMount(*mount);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (null > 2) ::close(null);
    }
    const char byte = '1';
    if (::write(ready[1], &byte, 1) != 1) {
    }
    ::close(ready[1]);
    ServeUntilEnded(*mount);
    ::_exit(kExitOk);
}

}  // namespace

Command RegisterMountCommand(CLI::App& app) {
    auto args = std::make_shared<MountArgs>();
    CLI::App* sub = app.add_subcommand(
        "mount", "Scan a volume and show what it holds as a read-only folder tree, deleted files too");
    AddVolumeScanOptions(*sub, args->scan);
    sub->add_option("MOUNTPOINT", args->mountpoint, "An empty folder to show the volume in")->required();
    AddSelectionOptions(*sub, args->selection);
    sub->add_flag("--deleted-only", args->deletedOnly, "Only deleted files and the folders leading to them");
    sub->add_flag("--foreground", args->foreground, "Stay in the foreground until unmounted or stopped");
    return {sub, [args](TerminalUi& ui) { return RunMount(*args, ui); }};
}

}  // namespace salvora::cli
