// Random signature records over random volumes: MatchSector and the whole scan, with the structured ends
// (JPEG, ZIP, PDF) chosen often, must end and keep every carved row inside the volume.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "io/file_read_seek.h"
#include "raw/carving_engine.h"
#include "model/result_tree.h"

namespace {

constexpr std::size_t kMiB = 1048576;

class MemoryReader final : public salvora::readWriteInterface {
  public:
    explicit MemoryReader(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}
    bool OpenSource(const std::string&) override { return true; }
    bool ReadAt(std::uint64_t at, std::span<std::uint8_t> out, salvora::ByteRanges* missing = nullptr) override {
        const std::size_t have = at < data_.size() ? std::min(out.size(), static_cast<std::size_t>(data_.size() - at)) : 0;
        if (have) std::memcpy(out.data(), data_.data() + at, have);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(have), out.end(), 0);
        salvora::AddRange(missing, at + have, out.size() - have);
        return have == out.size();
    }

  private:
    std::vector<std::uint8_t> data_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace salvora;
    if (size < 2) return 0;
    // Byte 0: how many records (1..4) and which end rule each gets; then the records; then the volume's
    // bytes.
    const std::size_t records = 1 + (data[0] & 3);
    if (size < 1 + records * kRecordBytes) return 0;
    myJpg engine;
    static const char* const kExtensions[] = {"jpg", "zip", "pdf", "bin"};
    for (std::size_t i = 0; i < records; ++i) {
        SignatureRecord r = DecodeRecord(Bytes(data + 1 + i * kRecordBytes, kRecordBytes));
        const char* ext = kExtensions[(data[0] >> (2 + 2 * (i % 3))) & 3];
        r.extension = {};
        for (std::size_t k = 0; ext[k]; ++k) r.extension[k] = static_cast<std::uint8_t>(ext[k]);
        r.approxSize %= 4 * kMiB;  // keeps runs short; negative and zero sizes stay
        r.startLength = static_cast<std::uint8_t>(2 + r.startLength % 3);  // short headers match often
        engine.AddSignature(r);
    }
    const Bytes tail(data + 1 + records * kRecordBytes, size - 1 - records * kRecordBytes);
    engine.MatchSector(tail);

    // Two blocks: the input's bytes at the start and again across the block boundary, repeated every sector.
    std::vector<std::uint8_t> volume(2 * kMiB + 4096, 0);
    for (std::size_t at = 0; at + tail.size() <= 64 * 1024 && !tail.empty(); at += 512)
        std::copy(tail.begin(), tail.end(), volume.begin() + static_cast<std::ptrdiff_t>(at));
    std::copy(tail.begin(),
              tail.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(tail.size(), 4096)),
              volume.begin() + static_cast<std::ptrdiff_t>(kMiB - 512));
    MemoryReader reader(volume);
    ResultTree tree;
    engine.tree = &tree;
    engine.volumeSize = static_cast<std::int64_t>(volume.size());
    engine.window = VolumeWindow(&reader, 0, volume.size());
    engine.RunCarving();
    for (const CarvedFile& f : engine.CarvedFiles())
        if (f.start < 0 || f.size <= 0 || f.start + f.size > engine.volumeSize) __builtin_trap();
    return 0;
}
