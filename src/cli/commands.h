#pragma once
// One registration function per command; main() builds the app, parses, and runs the command that was chosen.
#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "cli/terminal_ui.h"

namespace salvora::cli {

// Options of the whole program, valid before or after the command name.
struct GlobalOptions {
    bool verbose = false;
    bool assumeYes = false;
    std::string map;  // --map MAPFILE: a ddrescue map of SOURCE (image: the map it keeps)
    int retries = 1;  // --retries N: how many more times a failed sector is read
};

struct Command {
    CLI::App* app = nullptr;
    // Runs after a successful parse; returns the process exit status (see cli_common.h).
    std::function<int(TerminalUi& ui)> run;
};

Command RegisterDrivesCommand(CLI::App& app);
Command RegisterVolumesCommand(CLI::App& app);
Command RegisterListCommand(CLI::App& app);
Command RegisterRecoverCommand(CLI::App& app);
Command RegisterSearchCommand(CLI::App& app);
Command RegisterFindTablesCommand(CLI::App& app);
Command RegisterCarveCommand(CLI::App& app);
Command RegisterSignatureCommand(CLI::App& app);
Command RegisterInfoCommand(CLI::App& app);
Command RegisterCatCommand(CLI::App& app);
Command RegisterStatCommand(CLI::App& app);
Command RegisterReportCommand(CLI::App& app);
Command RegisterMountCommand(CLI::App& app);
Command RegisterImageCommand(CLI::App& app, const GlobalOptions& global);

}  // namespace salvora::cli
