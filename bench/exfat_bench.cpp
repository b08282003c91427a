// Driver for bench/exfat-list.sh: makes a large synthetic exFAT image, lists it as the results page would
// show it fully expanded, and recovers every file, through Fat64Class.
//   exfat_bench --make IMG DIRS FILES_PER_DIR     4 KiB clusters, one 3 KiB file per cluster
//   exfat_bench --list IMG                         one path per line, depth-first
//   exfat_bench --recover IMG OUTDIR               every file (live and deleted) below OUTDIR
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "fs/fat/exfat_image_builder.h"
#include "fs/fat/fat64_class.h"
#include "io/file_read_seek.h"

namespace {

using salvora::EntryId;
using salvora::Fat64Class;
using salvora::test::ExFatImageBuilder;

int Make(const std::string& path, int dirs, int filesPerDir) {
    const std::uint64_t files = static_cast<std::uint64_t>(dirs) * filesPerDir;
    const std::uint64_t dirClusters = (files * 96 + dirs * 96) / 4096 + 2 * dirs + 16;
    const std::uint64_t sectors = (files + dirClusters + 256) * 8 + 4096;
    ExFatImageBuilder b(static_cast<std::uint32_t>(sectors), 3);
    std::vector<std::vector<std::uint8_t>> rootSets{ExFatImageBuilder::RootHeader(b.clusterCount)};
    const std::uint64_t rootBytes = (1 + dirs) * 96ull;
    const auto root = b.Alloc(static_cast<std::uint32_t>((rootBytes + 4095) / 4096));
    std::vector<std::uint8_t> content(3072);
    for (int d = 0; d < dirs; ++d) {
        const std::string dirName = "folder" + std::to_string(d);
        const std::uint64_t bytes = filesPerDir * 96ull;
        const auto dir = b.Alloc(static_cast<std::uint32_t>((bytes + 4095) / 4096));
        rootSets.push_back(
            ExFatImageBuilder::EntrySet({.name = std::u16string(dirName.begin(), dirName.end()),
                                         .attributes = 0x10,
                                         .flags = 1,
                                         .firstCluster = dir[0],
                                         .size = dir.size() * 4096ull}));
        std::vector<std::vector<std::uint8_t>> sets;
        for (int f = 0; f < filesPerDir; ++f) {
            const std::string name = "IMG_" + std::to_string(d) + "_" + std::to_string(f) + ".JPG";
            const auto c = b.Alloc(1);
            for (std::size_t i = 0; i < content.size(); ++i)
                content[i] = static_cast<std::uint8_t>(i * 13 + f + d);
            b.WriteClusters(c, content);
            sets.push_back(ExFatImageBuilder::EntrySet({.name = std::u16string(name.begin(), name.end()),
                                                        .flags = 3,
                                                        .firstCluster = c[0],
                                                        .size = content.size(),
                                                        .deleted = f % 10 == 9}));
        }
        b.Chain(dir);
        b.WriteClusters(dir, salvora::test::Concat(sets));
    }
    b.Chain(root);
    b.WriteClusters(root, salvora::test::Concat(rootSets));
    b.MarkInUse(64);
    b.WriteBoot(root[0]);
    b.Save(path);
    return 0;
}

bool Open(const std::string& image, salvora::FileReadSeek& reader, Fat64Class& parser) {
    if (!reader.OpenSource(image)) return false;
    salvora::ScanRequest request;
    request.source = &reader;
    request.volume = {"exFAT", "", image, "", 0, reader.sourceLength, {}, {}};
    return parser.Scan(request) == salvora::ScanOutcome::Done;
}

void List(const Fat64Class& parser, EntryId dir, const std::string& prefix, std::string& out) {
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        const std::string path = prefix + "/" + parser.EntryName(*c);
        out += path;
        out += parser.IsDeleted(*c) ? " *\n" : "\n";
        if (parser.IsFolder(*c)) List(parser, *c, path, out);
    }
}

int Recover(Fat64Class& parser, EntryId dir, const std::filesystem::path& out) {
    int failed = 0;
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        const auto path = out / parser.EntryName(*c);
        if (parser.IsFolder(*c)) {
            ::mkdir(path.c_str(), 0777);
            failed += Recover(parser, *c, path);
        } else if (!parser.ExtractFile(*c, path.string())) {
            ++failed;
        }
    }
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--make") == 0)
        return Make(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    salvora::FileReadSeek reader;
    Fat64Class parser;
    if (argc == 3 && std::strcmp(argv[1], "--list") == 0) {
        if (!Open(argv[2], reader, parser)) return 1;
        std::string out;
        List(parser, parser.RootEntry(), "", out);
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--recover") == 0) {
        if (!Open(argv[2], reader, parser)) return 1;
        std::filesystem::create_directories(argv[3]);
        return Recover(parser, parser.RootEntry(), argv[3]) == 0 ? 0 : 3;
    }
    std::fprintf(stderr, "usage: exfat_bench --make IMG DIRS FILES | --list IMG | --recover IMG OUTDIR\n");
    return 2;
}
