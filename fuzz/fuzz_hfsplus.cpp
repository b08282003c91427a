// The HFS+ parser over a volume whose first part is the fuzz input: the decoders on the raw bytes, then both
// scan modes, the tree walks, the list texts and a few extractions into a temp dir. The input is laid over a
// valid small volume (header, catalog header node, leaf) so the mutations reach the B-tree nodes and records.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fs/hfsplus/hfs_btree_node.h"
#include "fs/hfsplus/hfs_catalog_record.h"
#include "fs/hfsplus/hfsp.h"
#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "model/result_tree.h"

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::size_t kVolumeBytes = 256 * 1024;

void Decoders(salvora::Bytes bytes) {
    (void)salvora::DecodeHfsVolumeHeader(bytes);
    (void)salvora::DecodeHfsBTreeHeader(bytes);
    (void)salvora::LooksLikeCatalogLeaf(bytes);
    const auto d = salvora::DecodeHfsNodeDescriptor(bytes);
    for (const auto off : salvora::HfsRecordOffsets(bytes, d.recordCount)) {
        (void)salvora::DecodeHfsCatalogRecord(bytes, off);
        (void)salvora::DecodeHfsOverflowRecord(bytes, off);
    }
}

void Check(salvora::HFSP& parser) {
    const std::uint64_t volume = kVolumeBytes;
    std::size_t seen = 0, extracted = 0;
    for (const auto& [key, r] : parser.EntryMap()) {
        for (auto c = parser.FirstChild(key); c; c = parser.NextSibling(*c))
            if (++seen > parser.EntryMap().size()) std::abort();  // a chain that does not end
        (void)parser.FormatEntryDetails(key);
        (void)parser.FormatEntrySize(key);
        salvora::fuzz::CheckVerdict(parser, key);
        std::uint64_t total = 0;
        for (const auto& run : parser.ForkRuns(r.extents, r.logicalSize, r.forkFileId)) {
            if (run.offset + run.bytes > volume) std::abort();  // a read outside the volume
            total += run.bytes;
        }
        if (total > r.logicalSize) std::abort();
        if (r.recordType == salvora::kHfsFileRecord && extracted < 3) {
            const auto path = salvora::fuzz::ScratchDir() / ("f" + std::to_string(extracted++));
            parser.ExtractFile(key, path.string());
            std::error_code ec;
            std::filesystem::remove(path, ec);
        }
    }
}

// A valid base volume: 4 KiB blocks, the catalog's header node at block 1 and one leaf with the root folder.
std::vector<std::uint8_t> BaseVolume() {
    std::vector<std::uint8_t> img(kVolumeBytes, 0);
    auto put16 = [&](std::size_t at, std::uint32_t v) { img[at] = v >> 8, img[at + 1] = v & 0xFF; };
    auto put32 = [&](std::size_t at, std::uint32_t v) { put16(at, v >> 16), put16(at + 2, v & 0xFFFF); };
    img[1024] = 'H', img[1025] = '+';
    put32(1024 + 0x28, 4096);
    put32(1024 + 0x2C, kVolumeBytes / 4096);
    put32(1024 + 0x110 + 4, 8192);
    put32(1024 + 0x110 + 0x0C, 2);
    put32(1024 + 0x110 + 0x10, 1);
    put32(1024 + 0x110 + 0x14, 2);
    img[4096 + 8] = 1;
    put16(4096 + 10, 3);
    put16(4096 + 14 + 0x12, 4096);
    put32(4096 + 14 + 0x16, 2);
    const std::size_t leaf = 8192;
    img[leaf + 8] = 0xFF, img[leaf + 9] = 1;
    put16(leaf + 10, 1);
    put16(leaf + 4094, 14);
    put16(leaf + 14, 6 + 2);
    put32(leaf + 16, 1);
    put16(leaf + 20, 1);
    put16(leaf + 22, 'V');
    put16(leaf + 24, 1);
    put32(leaf + 24 + 8, 2);
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    Decoders(salvora::Bytes(data, size));
    // The first byte picks where the input lands: over the header, the catalog header node or the leaf.
    static const std::vector<std::uint8_t> base = BaseVolume();
    std::vector<std::uint8_t> img = base;
    const std::size_t at = size ? (data[0] % 3) * 4096 : 0;
    for (std::size_t i = 1; i < size && at + i - 1 < img.size(); ++i) img[at + i - 1] = data[i];
    const std::string path = salvora::fuzz::MemoryVolume(img.data(), img.size(), img.size());
    if (path.empty()) return 0;
    for (const bool deep : {false, true}) {
        salvora::FileReadSeek reader;
        if (!reader.OpenSource(path)) return 0;
        salvora::ResultTree tree;
        salvora::HFSP parser;
        parser.tree = &tree;
        salvora::ScanRequest request;
        request.mode = deep ? salvora::RecoveryMode::Deep : salvora::RecoveryMode::Standard;
        request.source = &reader;
        request.volume = {"HFS+", "", path, "", 0, 0, {}, {}};
        if (parser.Scan(request) == salvora::ScanOutcome::Done) Check(parser);
    }
    return 0;
}
