#pragma once
// Runs the built salvora-cli as a separate process and captures its exit status, stdout and stderr.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "fixture_util.h"

namespace salvora::test {

struct CliRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// prefix: shell commands run before the CLI in the same shell (limits, traps).
inline CliRun Cli(const std::string& args, const std::string& prefix = "") {
    // ctest may run several test processes at once: the capture files are per process and per call.
    static std::atomic<int> calls{0};
    const std::string stem = (std::filesystem::temp_directory_path() /
                              ("salvora-cli-" + std::to_string(::getpid()) + "-" + std::to_string(++calls)))
                                 .string();
    const std::string command = prefix + "exec '" + SALVORA_CLI_PATH + "' " + args + " >'" + stem +
                                ".out' 2>'" + stem + ".err' </dev/null";
    const int status = std::system(("sh -c \"" + command + "\"").c_str());
    CliRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadAll(stem + ".out");
    run.err = ReadAll(stem + ".err");
    std::filesystem::remove(stem + ".out");
    std::filesystem::remove(stem + ".err");
    return run;
}

// One JSON object per line, as `--json` prints them.
inline std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> rows;
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) rows.push_back(nlohmann::json::parse(line));
    return rows;
}

}  // namespace salvora::test
