// Disk images in container formats, each made by its own tool from the MBR fixture disk (make-fixtures'
// containers group): read through the sector reader they give the raw disk's bytes, and the commands list and
// recover from them what they do from the raw disk. Cut and damaged containers are refused with their reason.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <vector>

#include "cli/cli_run.h"
#include "fixture_util.h"
#include "io/file_read_seek.h"

namespace salvora {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::CliRun;

const fs::path kContainers = fs::path(SALVORA_FIXTURES_DIR) / "containers";

// The pieces of every container, decompressed once per process under their own names (a container finds its
// other pieces by name), and removed when the process ends: unpacked they take some 450 MiB.
class UnpackedContainers {
  public:
    UnpackedContainers() : dir_(fs::temp_directory_path() / ("salvora-containers-" + std::to_string(::getpid()))) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        for (const auto& entry : fs::directory_iterator(kContainers)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".zst") continue;
            test::Shell("zstd -d -q -f " + test::Quote(entry.path().string()) + " -o " +
                        test::Quote((dir_ / name.substr(0, name.size() - 4)).string()));
        }
    }
    ~UnpackedContainers() { fs::remove_all(dir_); }
    const fs::path& Dir() const { return dir_; }

  private:
    fs::path dir_;
};

fs::path Unpacked() {
    static const UnpackedContainers unpacked;
    return unpacked.Dir();
}

std::string Sha256OfMedia(FileReadSeek& reader, std::uint64_t bytes) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    std::vector<std::uint8_t> block(1 << 20);
    for (std::uint64_t done = 0; done < bytes; done += block.size()) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - done));
        if (!reader.ReadAt(done, {block.data(), piece})) return "unreadable at " + std::to_string(done);
        EVP_DigestUpdate(ctx.get(), block.data(), piece);
    }
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned size = 0;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), &size);
    std::string hex;
    for (unsigned i = 0; i < size; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

const std::vector<std::string> kFirstPieces{"mbr.E01",  "mbr-fixed.vhd", "mbr-dynamic.vhd", "mbr.vhdx",
                                            "mbr.vmdk", "mbr-flat.vmdk", "mbr.qcow2",       "mbr.raw.001"};

TEST(Containers, EachGivesTheRawDisksBytesVolumesListingsAndSavedFiles) {
    const fs::path raw = test::Fixture("mbr.img");
    const std::uint64_t rawSize = fs::file_size(raw);
    std::string rawSha;
    std::getline(std::ifstream(kContainers / "mbr.raw.sha256"), rawSha);
    const std::string volumes = Cli("volumes --json " + test::Quote(raw.string())).out;
    std::vector<std::string> listings;
    for (int v = 0; v < 5; ++v)
        listings.push_back(Cli("list --json --volume " + std::to_string(v) + " " + test::Quote(raw.string())).out);
    const fs::path out = fs::temp_directory_path() / ("salvora-containers-out-" + std::to_string(::getpid()));
    fs::remove_all(out);
    ASSERT_EQ(Cli("recover --yes --volume 1 --out " + test::Quote((out / "raw").string()) + " " +
                  test::Quote(raw.string())).exitCode, 0);

    for (const std::string& name : kFirstPieces) {
        SCOPED_TRACE(name);
        const fs::path image = Unpacked() / name;
        FileReadSeek reader;
        ASSERT_TRUE(reader.OpenSource(image.string())) << reader.OpenError();
        ASSERT_NE(reader.Container(), nullptr);
        // VHD keeps the size of its CHS geometry, a little over the disk; the disk's bytes come first and
        // nothing past the logical size is read.
        EXPECT_GE(reader.sourceLength, rawSize);
        EXPECT_LT(reader.sourceLength, rawSize + (1 << 20));
        EXPECT_EQ(Sha256OfMedia(reader, rawSize), rawSha);
        std::array<std::uint8_t, 512> past{};
        EXPECT_FALSE(reader.ReadAt(reader.sourceLength, past));

        EXPECT_EQ(Cli("volumes --json " + test::Quote(image.string())).out, volumes);
        for (int v = 0; v < 5; ++v)
            EXPECT_EQ(Cli("list --json --volume " + std::to_string(v) + " " + test::Quote(image.string())).out,
                      listings[v]) << "volume " << v;
        const fs::path saved = out / name;
        ASSERT_EQ(Cli("recover --yes --volume 1 --out " + test::Quote(saved.string()) + " " +
                      test::Quote(image.string())).exitCode, 0);
        EXPECT_EQ(test::Shell("cd " + test::Quote(saved.string()) + " && find . -type f -exec sha256sum {} + | sort"),
                  test::Shell("cd " + test::Quote((out / "raw").string()) + " && find . -type f -exec sha256sum {} + | sort"));
    }
    fs::remove_all(out);
}

TEST(Containers, InfoShowsTheAcquisitionAndVerifyChecksTheStoredHash) {
    const fs::path e01 = Unpacked() / "mbr.E01";
    CliRun run = Cli("info " + test::Quote(e01.string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const char* line : {"Kind:    EWF (E01)", "Size:    125829120 bytes", "Pieces:  2", "Case number: CASE-42",
                             "Examiner: Ada Examiner", "Evidence number: EV-7"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    run = Cli("info --verify " + test::Quote(e01.string()));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Verified: the image matches its stored hashes"), std::string::npos) << run.out;
    EXPECT_EQ(Cli("info --verify " + test::Quote((Unpacked() / "mbr.qcow2").string())).exitCode, 2);

    // One flipped byte in the stored data: the hash no longer matches.
    const fs::path dir = fs::temp_directory_path() / ("salvora-flipped-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(e01, dir / "mbr.E01");
    fs::copy_file(Unpacked() / "mbr.E02", dir / "mbr.E02");
    {
        std::fstream file(dir / "mbr.E01", std::ios::in | std::ios::out | std::ios::binary);
        const auto middle = static_cast<std::streamoff>(fs::file_size(dir / "mbr.E01") / 2);
        file.seekg(middle);
        const char byte = static_cast<char>(file.get() ^ 0xFF);
        file.seekp(middle);
        file.put(byte);
    }
    run = Cli("info --verify " + test::Quote((dir / "mbr.E01").string()));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE((run.out + run.err).find("NOT VERIFIED"), std::string::npos) << run.out << run.err;
    fs::remove_all(dir);
}

TEST(Containers, CutOrBrokenContainersAreRefusedWithTheirReason) {
    const fs::path dir = fs::temp_directory_path() / ("salvora-broken-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    // An E01 whose first segment was cut short, and one whose second segment is missing.
    fs::copy_file(Unpacked() / "mbr.E01", dir / "cut.E01");
    fs::copy_file(Unpacked() / "mbr.E02", dir / "cut.E02");
    fs::resize_file(dir / "cut.E01", fs::file_size(dir / "cut.E01") / 2);
    fs::copy_file(Unpacked() / "mbr.E01", dir / "alone.E01");
    // A QCOW2 whose header names a version no reader knows.
    fs::copy_file(Unpacked() / "mbr.qcow2", dir / "broken.qcow2");
    {
        std::fstream file(dir / "broken.qcow2", std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4);
        file.write("\0\0\0\x09", 4);
    }
    for (const char* name : {"cut.E01", "alone.E01", "broken.qcow2"}) {
        const std::string path = (dir / name).string();
        const CliRun run = Cli("volumes " + test::Quote(path));
        EXPECT_EQ(run.exitCode, 1) << name;
        EXPECT_NE(run.err.find("cannot open " + path + ": "), std::string::npos) << run.err;
    }
    EXPECT_NE(Cli("list " + test::Quote((dir / "broken.qcow2").string())).err.find("unsupported format version"),
              std::string::npos);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace salvora
