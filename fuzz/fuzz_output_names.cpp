// libFuzzer harness for the names a save makes from names read off a damaged disk: a safe name is one path
// component without control characters, the unique path is free and the folder is a real folder, both inside
// the output folder whatever already holds the name there (a file, a folder, a link leading out), and a link
// is made only where it cannot lead out. Everything is made in a private folder removed after each input.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "scan/file_saver.h"

namespace {

namespace fs = std::filesystem;

bool Inside(const fs::path& path, const fs::path& root) {
    const auto relative = path.lexically_normal().lexically_relative(root);
    return !relative.empty() && *relative.begin() != "..";
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool RealFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte says what holds the name in the output folder already; the rest is the name.
    const std::uint8_t mode = data[0] % 4;
    const std::string name(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string safe = salvora::SafeName(name);
    if (safe.empty() || safe == "." || safe == ".." || safe.size() > 255) std::abort();
    for (const unsigned char c : safe)
        if (c == '/' || c < 0x20 || c == 0x7F) std::abort();

    const fs::path root = salvora::fuzz::ScratchDir() / "out";
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root);
    const fs::path taken = root / safe;
    if (mode == 1) std::ofstream(taken).put('x');
    if (mode == 2) fs::create_directory_symlink("/", taken, ec);
    if (mode == 3) fs::create_directory(taken, ec);

    const std::string unique = salvora::UniqueFilePath(root.string(), safe);
    if (!unique.empty() &&
        (!Inside(unique, root) || Exists(unique) || fs::path(unique).parent_path() != root))
        std::abort();
    const std::string folder = salvora::MakeFolderIn(safe, root.string());
    if (!folder.empty() && (!Inside(folder, root) || !RealFolder(folder))) std::abort();
    if (mode == 3 && folder != taken.string()) std::abort();  // sibling folders of one name merge

    // The raw bytes as a link target from a folder two levels down: if it is allowed, it resolves inside.
    const fs::path linkFolder = root / "a" / "b";
    if (salvora::LinkStaysInside((linkFolder / "link").string(), name, root.string()) &&
        !Inside(linkFolder / name, root))
        std::abort();
    fs::remove_all(root, ec);
    return 0;
}
