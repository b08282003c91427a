// Test images made by scripts/make-fixtures: each lives compressed (NAME.zst) under tests/fixtures/ or
// samples/ with a JSON manifest beside it; Fixture() hands out a decompressed copy from a per-user cache.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

namespace salvora::test {

// NAME is the image's file name without ".zst" ("fat16.img"), or "samples/NAME" for the demo disk.
// Returns the path of the decompressed image; throws std::runtime_error when it cannot be made.
std::filesystem::path Fixture(const std::string& name);

// The manifest of an image ("fat16.img", "fat16" or "samples/demo-disk.img"); throws when missing or not
// JSON.
nlohmann::json ReadManifest(const std::string& name);

// Where the compressed file of NAME lives (it need not exist).
std::filesystem::path CompressedPath(const std::string& name);

// Every committed NAME (without ".zst") of *.img.zst under tests/fixtures/ and samples/ ("samples/..." for
// those); those damaged on purpose (a "damage" key in the manifest) only when asked for.
std::vector<std::string> ListFixtures(bool withDamaged = false);

// What a shell command prints on stdout (for the peers' tools: fls, icat, sha256sum).
std::string Shell(const std::string& command);
// Single-quoted for the shell (test paths hold no single quotes).
std::string Quote(const std::string& text);
// A file's bytes; empty when it cannot be read.
std::string ReadAll(const std::filesystem::path& path);
// sha256sum's hex digest of a file; empty when there is none.
std::string Sha256Of(const std::filesystem::path& path);
// The sha256 of every file below dir, keyed by its path relative to dir: one sha256sum for all of them.
std::map<std::string, std::string> Sha256Tree(const std::filesystem::path& dir);
// The tests' one writer of images: bytes into path (replaced), then the file made `length` long when that is
// longer (a sparse tail of zeros).
inline std::filesystem::path WriteBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                                        std::uint64_t length = 0) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    if (length > bytes.size()) std::filesystem::resize_file(path, length);
    return path;
}

}  // namespace salvora::test
