// The exFAT parser over a volume whose first part is the fuzz input: the standard run, the advanced-input
// searches, the advanced run with a cluster size picked by the input, and a few extractions into a temp dir.
// The volume lives in a memfd padded to about a MiB, so chains and entry sets can point at clusters that hold
// zeros, that are cut short and that do not exist.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fs/fat/fat64_class.h"
#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace {

constexpr std::size_t kMaxInput = 256 * 1024;

void ExtractSome(salvora::Fat64Class& parser) {
    int done = 0;
    for (std::size_t i = 1; i < parser.Records().size() && done < 4; ++i) {
        if (parser.IsFolder(i)) continue;
        const auto path = salvora::fuzz::ScratchDir() / ("f" + std::to_string(done++));
        parser.ExtractFile(i, path.string());
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
}

// Every link must stay inside the record vector and every walk must end.
void WalkTree(const salvora::Fat64Class& parser) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < parser.Records().size(); ++i)
        for (auto c = parser.FirstChild(i); c; c = parser.NextSibling(*c))
            if (++seen > parser.Records().size()) std::abort();
}

void JudgeAll(salvora::Fat64Class& parser) {
    for (std::size_t i = 0; i < parser.Records().size(); ++i) salvora::fuzz::CheckVerdict(parser, i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    std::size_t length = 1u << 20;
    if (size >= 2) length -= (static_cast<std::size_t>(data[size - 2]) << 8 | data[size - 1]) * 3;
    const std::string path = salvora::fuzz::MemoryVolume(data, size, length);
    salvora::FileReadSeek reader;
    if (path.empty() || !reader.OpenSource(path)) return 0;
    const salvora::VolumeEntry volume{"exFAT", "", "fuzz", "1", 0, length, {}, {}};

    {
        salvora::Fat64Class parser;
        salvora::ResultTree tree;
        parser.tree = &tree;
        salvora::ScanRequest request;
        request.source = &reader;
        request.volume = volume;
        if (parser.Scan(request) == salvora::ScanOutcome::Done) {
            WalkTree(parser);
            JudgeAll(parser);
            ExtractSome(parser);
        }
    }
    {
        salvora::Fat64Class parser;
        salvora::ResultTree tree;
        parser.tree = &tree;
        const auto search = parser.SearchDamagedVolume(&reader, volume, 3);
        salvora::ScanRequest request;
        request.mode = salvora::RecoveryMode::Advanced;
        request.source = &reader;
        request.volume = volume;
        request.sectorsPerCluster = size >= 3 ? data[size - 3] % 12 : 0;
        request.heapCandidate = search && search->heapOffsets.size() > 1 ? 1 : 0;
        parser.Scan(request);
        WalkTree(parser);
        JudgeAll(parser);
        ExtractSome(parser);
    }
    return 0;
}
