// The scanner against The Sleuth Kit's mmls on every fixture disk: the data partitions mmls reports start where
// our volumes start. Runs mmls when it is installed, else reads the mmls output stored in the manifest.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture_util.h"
#include "io/file_read_seek.h"
#include "volumes/partition.h"

namespace salvora {
namespace {

std::string RunMmls(const std::string& image) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("mmls '" + image + "' 2>/dev/null").c_str(), "r"), pclose);
    if (!pipe) return out;
    std::array<char, 4096> buf{};
    while (std::fgets(buf.data(), buf.size(), pipe.get())) out += buf.data();
    return out;
}

bool HaveMmls() { return std::system("command -v mmls >/dev/null 2>&1") == 0; }

// Start sectors of the rows that are partitions (not table metadata, not unallocated gaps, not the extended
// container), and whether the table is a GUID one.
struct MmlsView {
    bool gpt = false;
    std::vector<std::uint64_t> starts;
    std::vector<std::string> descriptions;
};

MmlsView ParseMmls(const std::string& text) {
    MmlsView view;
    view.gpt = text.find("GUID Partition Table") != std::string::npos;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string index, slot, start, end, length;
        if (!(fields >> index >> slot >> start >> end >> length)) continue;
        if (index.empty() || index.back() != ':' || slot == "Meta" || slot.find("---") == 0) continue;
        std::string description;
        std::getline(fields, description);
        description.erase(0, description.find_first_not_of(' '));
        view.starts.push_back(std::stoull(start));
        view.descriptions.push_back(description);
    }
    return view;
}

std::vector<VolumeEntry> Scan(const std::string& image, bool gpt, bool advance) {
    FileReadSeek reader;
    EXPECT_TRUE(reader.OpenSource(image));
    std::vector<VolumeEntry> volumes;
    Partition scanner;
    SilentUi silent;
    scanner.statusWindow = &silent;
    scanner.progressWindow = &silent;
    scanner.volumeList = &volumes;
    scanner.useGpt = gpt;
    scanner.skipFoundVolumes = true;
    if (advance)
        scanner.ScanForBootSectors(reader);
    else
        scanner.ScanPartitionTables(reader);
    return volumes;
}

std::vector<std::string> DiskFixtures() {
    std::vector<std::string> disks;
    for (const auto& name : test::ListFixtures()) {
        const auto manifest = test::ReadManifest(name);
        if (manifest.contains("partitions") && manifest.contains("mmls")) disks.push_back(name);
    }
    return disks;
}

TEST(MmlsDiff, TableWalkStartsEqualMmlsOnEveryFixtureDisk) {
    const auto disks = DiskFixtures();
    ASSERT_GE(disks.size(), 2u) << "the MBR and GPT fixture disks are missing";
    const bool live = HaveMmls();
    for (const auto& name : disks) {
        SCOPED_TRACE(name);
        const std::string image = test::Fixture(name).string();
        const std::string mmlsText = live ? RunMmls(image) : test::ReadManifest(name)["mmls"].get<std::string>();
        const MmlsView mmls = ParseMmls(mmlsText);
        if (mmls.starts.empty()) continue;  // no table mmls can read: the advance-scan test covers such disks

        std::vector<std::uint64_t> expected;
        for (std::size_t i = 0; i < mmls.starts.size(); ++i) {
            // Our GPT walk leaves the reserved partition out, as it must.
            if (mmls.descriptions[i] == "Microsoft reserved partition") continue;
            expected.push_back(mmls.starts[i]);
        }
        std::vector<std::uint64_t> ours;
        for (const auto& v : Scan(image, mmls.gpt, false)) ours.push_back(v.startSector);
        EXPECT_EQ(ours, expected);
    }
}

TEST(MmlsDiff, AdvanceScanFindsEveryFatAndExfatPartitionOfEveryFixtureDisk) {
    for (const auto& name : DiskFixtures()) {
        SCOPED_TRACE(name);
        const std::string image = test::Fixture(name).string();
        std::set<std::uint64_t> found;
        for (const auto& v : Scan(image, false, true)) found.insert(v.startSector);
        const auto manifest = test::ReadManifest(name);
        for (const auto& part : manifest["partitions"]) {
            const std::string fs = part.value("filesystem", "");
            if (fs != "FAT16" && fs != "FAT32" && fs != "exFAT") continue;
            const auto start = part["start_sector"].get<std::uint64_t>();
            EXPECT_TRUE(found.count(start)) << fs << " partition at " << start << " not found";
        }
    }
}

}  // namespace
}  // namespace salvora
