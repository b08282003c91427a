// Driver for bench/hfs-bench.sh: runs HFSP's scan steps over an image as the HFS+ worker does.
//   hfs_bench --deep IMG [START_SECTOR]   volume scan (every node-size piece tested), prints the entry count
//   hfs_bench --list IMG [START_SECTOR]   standard scan, one path per line, depth-first
#include <cstdio>
#include <cstring>
#include <string>

#include "fs/hfsplus/hfsp.h"
#include "io/file_read_seek.h"

namespace {

using salvora::EntryId;
using salvora::HFSP;

void List(const HFSP& parser, EntryId dir, const std::string& prefix, int depth) {
    if (depth > 256) return;
    for (auto c = parser.FirstChild(dir); c; c = parser.NextSibling(*c)) {
        const std::string path = prefix + "/" + parser.EntryName(*c);
        std::fputs(path.c_str(), stdout);
        std::fputc('\n', stdout);
        if (parser.IsFolder(*c)) List(parser, *c, path, depth + 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hfs_bench --deep|--list IMG [START_SECTOR]\n");
        return 2;
    }
    const bool deep = std::strcmp(argv[1], "--deep") == 0;
    const std::uint64_t start = argc > 3 ? std::stoull(argv[3]) : 0;
    salvora::FileReadSeek reader;
    if (!reader.OpenSource(argv[2])) return 1;
    HFSP parser;
    salvora::ScanRequest request;
    request.mode = deep ? salvora::RecoveryMode::Deep : salvora::RecoveryMode::Standard;
    request.source = &reader;
    request.volume = {"HFS+", "", argv[2], "", start, 0, {}, {}};
    if (parser.Scan(request) != salvora::ScanOutcome::Done) {
        std::puts("Work Aborted....");
        return 1;
    }
    if (deep)
        std::printf("%zu entries in %zu leaves\n", parser.EntryMap().size(), parser.NodeCount());
    else
        List(parser, parser.RootEntry(), "", 0);
    return 0;
}
