// salvora-cli: the recovery tool's command line. Listings go to stdout, the core's messages and progress to
// stderr.
#include <CLI/CLI.hpp>
#include <ios>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/terminal_ui.h"
#include "io/local_zone.h"

int main(int argc, char** argv) {
    using namespace salvora::cli;
    // Listings of a million entries: stdout is written through std::cout only, so it needs no stdio sync.
    std::ios::sync_with_stdio(false);
    salvora::PinLocalZone();
    CLI::App app{"Salvora: read-only file recovery from drives and images", "salvora-cli"};
    app.require_subcommand(1);
    app.fallthrough();  // global options may follow the command name
    GlobalOptions global;
    app.add_flag("-v,--verbose", global.verbose, "Print every status text on a line of its own");
    app.add_flag("-y,--yes", global.assumeYes, "Answer Yes to every question");
    app.add_option("--map", global.map,
                   "A ddrescue map of SOURCE: what it does not mark rescued counts as unreadable (image: the map "
                   "to keep and go on from)")
        ->type_name("MAPFILE");
    app.add_option("--retries", global.retries, "How many more times a sector that fails is read (default 1)")
        ->type_name("N")
        ->check(CLI::Range(0, 100));
    app.set_version_flag("--version", "salvora-cli " SALVORA_VERSION_TEXT);

    const std::vector<Command> commands{RegisterDrivesCommand(app), RegisterVolumesCommand(app),
                                        RegisterListCommand(app),   RegisterRecoverCommand(app),
                                        RegisterSearchCommand(app), RegisterFindTablesCommand(app),
                                        RegisterCarveCommand(app),  RegisterSignatureCommand(app),
                                        RegisterInfoCommand(app),   RegisterCatCommand(app),
                                        RegisterStatCommand(app),   RegisterReportCommand(app),
                                        RegisterMountCommand(app),  RegisterImageCommand(app, global)};

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int printed = app.exit(error);
        return printed == 0 ? kExitOk : kExitUsage;  // help is success; every parse error is a usage error
    }

    salvora::TerminalUi ui({.verbose = global.verbose, .assumeYes = global.assumeYes});
    salvora::SetUi(&ui);
    SetSourceOptions({.map = global.map, .retries = global.retries});
    int status = kExitUsage;
    for (const Command& command : commands) {
        if (command.app->parsed()) status = command.run(ui);
    }
    ui.EndProgress();
    salvora::SetUi(nullptr);
    return status;
}
