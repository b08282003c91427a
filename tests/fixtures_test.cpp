// The committed test images: each has a manifest that matches it and decompresses to whole sectors.
// Needs the zstd command.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixture_util.h"

namespace salvora::test {
namespace {

TEST(Fixtures, EveryImageHasAManifestAndDecompressesToWholeSectors) {
    auto names = ListFixtures(true);
    ASSERT_FALSE(names.empty()) << "no *.img.zst under " << SALVORA_FIXTURES_DIR;
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        auto manifest = ReadManifest(name);
        EXPECT_EQ(manifest.value("image", ""), CompressedPath(name).filename().string());
        auto path = Fixture(name);
        auto size = std::filesystem::file_size(path);
        EXPECT_GT(size, 0u);
        EXPECT_EQ(size % 512, 0u);
        EXPECT_EQ(size, manifest.value("raw_size", std::uintmax_t{0}));
    }
}

TEST(Fixtures, ManifestsDescribeFilesAndPartitions) {
    for (const auto& name : ListFixtures(true)) {
        SCOPED_TRACE(name);
        auto manifest = ReadManifest(name);
        if (manifest.value("kind", "") == "disk" && !manifest.contains("partitions")) {
            // A disk without a partition table (an ISO with an HFS+ volume inside) names where the volume lies.
            EXPECT_GT(manifest.value("start_sector", std::uint64_t{0}), 0u);
        } else if (manifest.value("kind", "") == "disk") {
            ASSERT_TRUE(manifest.contains("mmls"));
            ASSERT_TRUE(manifest["partitions"].is_array());
            ASSERT_FALSE(manifest["partitions"].empty());
            std::uint64_t previousEnd = 0;
            for (const auto& part : manifest["partitions"]) {
                auto start = part.at("start_sector").get<std::uint64_t>();
                auto count = part.at("sector_count").get<std::uint64_t>();
                EXPECT_GE(start, 1u);
                EXPECT_LE((start + count) * 512, manifest.at("raw_size").get<std::uint64_t>());
                if (part.at("filesystem") != "extended") {
                    EXPECT_GE(start, previousEnd) << "partitions overlap";
                    previousEnd = start + count;
                }
            }
        } else if (manifest.value("kind", "") == "volume") {
            ASSERT_TRUE(manifest["files"].is_array());
            EXPECT_FALSE(manifest["files"].empty());
            // HFS+ images cannot be given deletions without a Mac; their damage is orphans and unlinked leaves.
            if (!manifest.contains("orphans")) {
                EXPECT_FALSE(manifest["deleted"].empty()) << "every volume image carries deleted entries";
            }
            for (const auto& file : manifest["files"]) {
                EXPECT_EQ(file.at("sha256").get<std::string>().size(), 64u);
                EXPECT_EQ(file.at("path").get<std::string>().front(), '/');
            }
        }
    }
}

TEST(Fixtures, FixtureOfAMissingImageThrows) {
    EXPECT_THROW(Fixture("no-such-image.img"), std::runtime_error);
    EXPECT_THROW(ReadManifest("no-such-image.img"), std::runtime_error);
}

}  // namespace
}  // namespace salvora::test
