// Driver for bench/ext-bench.sh: scans an ext2/3/4 image with ext2Class as the ext worker does, then lists
// the whole tree or saves every file of it.
//   ext_bench --list IMG              one line per entry, depth-first: "path" (removed ones with " *")
//   ext_bench --recover IMG OUTDIR    every regular file, live and removed, below OUTDIR
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fs/ext/ext2_class.h"
#include "io/file_read_seek.h"
#include "scan/file_saver.h"
#include "scan/result_tree.h"

namespace {

using salvora::EntryId;
using salvora::ext2Class;

bool Scan(ext2Class& parser, salvora::FileReadSeek& reader, const std::string& image) {
    if (!reader.OpenSource(image)) return false;
    salvora::VolumeEntry volume{"extX", "", image, std::to_string(reader.sourceLength >> 20), 0};
    if (!parser.AttachVolume(&reader, volume)) return false;
    parser.volumeSize = reader.sourceLength;
    if (!parser.FindSuperblock() || !parser.ReadGroupDescriptors()) return false;
    parser.ReadInodeTables();
    parser.ReadDirectories();
    parser.BuildInodeMap();
    parser.LinkParentsAndChildren();
    parser.FillResultTree();
    return true;
}

void List(const ext2Class& parser, EntryId dir, const std::string& prefix) {
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        const std::string path = prefix + "/" + parser.EntryName(*c);
        std::printf("%s%s\t%llu\n", path.c_str(), parser.IsDeleted(*c) ? " *" : "",
                    static_cast<unsigned long long>(parser.EntrySizeBytes(*c)));
        if (parser.IsFolder(*c)) List(parser, *c, path);
    }
}

void Recover(ext2Class& parser, EntryId dir, const std::string& path, std::uint64_t& files) {
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        if (parser.IsWalkFolder(*c)) {
            const std::string below = salvora::MakeFolderIn(salvora::SafeName(parser.EntryName(*c)), path);
            if (!below.empty()) Recover(parser, *c, below, files);
        } else if (parser.IsWalkFile(*c)) {
            const std::string dest = salvora::UniqueFilePath(path, salvora::SafeName(parser.EntryName(*c)));
            if (parser.ExtractFile(*c, dest)) ++files;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    salvora::FileReadSeek reader;
    ext2Class parser;
    salvora::ResultTree tree;
    parser.tree = &tree;
    if (argc == 3 && std::strcmp(argv[1], "--list") == 0) {
        if (!Scan(parser, reader, argv[2])) return 1;
        List(parser, parser.RootEntry(), "");
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--recover") == 0) {
        if (!Scan(parser, reader, argv[2])) return 1;
        ::mkdir(argv[3], 0755);
        std::uint64_t files = 0;
        Recover(parser, parser.RootEntry(), argv[3], files);
        std::printf("%llu files\n", static_cast<unsigned long long>(files));
        return 0;
    }
    std::fprintf(stderr, "usage: ext_bench --list IMG | --recover IMG OUTDIR\n");
    return 2;
}
