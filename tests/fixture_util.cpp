#include "fixture_util.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace salvora::test {
namespace {

const std::string kSamplesPrefix = "samples/";

bool IsSample(const std::string& name) { return name.rfind(kSamplesPrefix, 0) == 0; }

std::string BareName(const std::string& name) {
    return IsSample(name) ? name.substr(kSamplesPrefix.size()) : name;
}

// One folder per checkout: two checkouts' tests (a clean CI clone beside a working tree) each drop copies of
// "earlier versions" of an image, and would otherwise delete the other's while it reads them.
std::filesystem::path CacheDir() {
    const std::size_t tree = std::hash<std::string>{}(SALVORA_FIXTURES_DIR);
    return std::filesystem::temp_directory_path() / ("salvora-fixtures-" + std::to_string(::getuid())) /
           std::to_string(tree);
}

// Runs zstd without a shell, so no path needs quoting.
void Decompress(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::vector<std::string> args = {"zstd", "-d", "-q", "-f", "-o", to.string(), from.string()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, "zstd", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) throw std::runtime_error("cannot start zstd: " + std::string(std::strerror(rc)));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waiting for zstd failed");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("zstd could not decompress " + from.string());
    }
}

}  // namespace

std::filesystem::path CompressedPath(const std::string& name) {
    std::filesystem::path dir = IsSample(name) ? SALVORA_SAMPLES_DIR : SALVORA_FIXTURES_DIR;
    return dir / (BareName(name) + ".zst");
}

std::filesystem::path Fixture(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, std::filesystem::path> done;
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = done.find(name); it != done.end()) return it->second;

    auto compressed = CompressedPath(name);
    std::error_code ec;
    auto size = std::filesystem::file_size(compressed, ec);
    if (ec) throw std::runtime_error("fixture not found: " + compressed.string());
    auto mtime = std::filesystem::last_write_time(compressed).time_since_epoch().count();

    // Keyed by the compressed file's size and time, so a regenerated image is never served stale.
    auto stem = BareName(name);
    std::replace(stem.begin(), stem.end(), '/', '_');
    auto dir = CacheDir();
    std::filesystem::create_directories(dir);
    auto target = dir / (std::to_string(size) + "-" + std::to_string(mtime) + "-" + stem);
    if (!std::filesystem::exists(target)) {
        // Tests run as separate processes: decompress to a private name, then rename into place atomically.
        auto partial = target;
        partial += ".part" + std::to_string(::getpid());
        Decompress(compressed, partial);
        std::filesystem::rename(partial, target);
        // Copies of earlier versions of the same image are dead weight now.
        const std::string suffix = "-" + stem;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            auto file = entry.path().filename().string();
            if (entry.path() != target && file.size() > suffix.size() &&
                file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
                std::filesystem::remove(entry.path(), ec);
            }
        }
    }
    done[name] = target;
    return target;
}

nlohmann::json ReadManifest(const std::string& name) {
    std::string base = BareName(name);
    for (const std::string suffix : {".zst", ".img"}) {
        if (base.size() > suffix.size() &&
            base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0) {
            base.resize(base.size() - suffix.size());
        }
    }
    std::filesystem::path dir = IsSample(name) ? SALVORA_SAMPLES_DIR : SALVORA_FIXTURES_DIR;
    auto path = dir / (base + ".manifest.json");
    std::ifstream in(path);
    if (!in) throw std::runtime_error("manifest not found: " + path.string());
    auto parsed = nlohmann::json::parse(in, nullptr, false);
    if (parsed.is_discarded()) throw std::runtime_error("manifest is not JSON: " + path.string());
    return parsed;
}

std::vector<std::string> ListFixtures(bool withDamaged) {
    std::vector<std::string> names;
    auto collect = [&](const std::filesystem::path& dir, const std::string& prefix) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            auto file = entry.path().filename().string();
            const std::string suffix = ".img.zst";
            if (file.size() > suffix.size() &&
                file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(prefix + file.substr(0, file.size() - 4));
            }
        }
    };
    collect(SALVORA_FIXTURES_DIR, "");
    collect(SALVORA_SAMPLES_DIR, kSamplesPrefix);
    if (!withDamaged)
        std::erase_if(names, [](const std::string& name) { return ReadManifest(name).contains("damage"); });
    std::sort(names.begin(), names.end());
    return names;
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
        ::pclose(pipe);
    }
    return out;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::map<std::string, std::string> Sha256Tree(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    std::stringstream lines(Shell("cd " + Quote(dir.string()) + " && find . -type f -print0 | xargs -0 -r sha256sum"));
    // "HASH  ./path"; names with a newline or backslash are printed escaped and are not looked up.
    for (std::string line; std::getline(lines, line);)
        if (line.size() > 68 && line.compare(64, 4, "  ./") == 0) out[line.substr(68)] = line.substr(0, 64);
    return out;
}

std::string Sha256Of(const std::filesystem::path& path) {
    const std::string line = Shell("sha256sum " + Quote(path.string()));
    return line.size() >= 64 ? line.substr(0, 64) : std::string{};
}

}  // namespace salvora::test
