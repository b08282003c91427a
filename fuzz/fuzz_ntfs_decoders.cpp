// libFuzzer harness for the NTFS decoders: the input is read as a boot sector, as an MFT record (fixups,
// header, every attribute and the values and runlists the tree reads from them) and as an LZNT1 compression
// unit.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fs/ntfs/ntfs_attributes.h"
#include "fs/ntfs/ntfs_boot.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_runlist.h"

namespace {

constexpr std::size_t kUnitBytes = 64u << 10;
// A limit that lets every run through but the wrapping ones, so the runs' arithmetic is exercised.
constexpr std::uint64_t kClusterLimit = 1ull << 48;

void Attributes(salvora::Bytes record) {
    const auto header = salvora::DecodeNtfsRecordHeader(record);
    if (!header) return;
    salvora::NtfsAttributeWalk walk(record, *header);
    std::size_t seen = 0;
    while (const auto a = walk.Next()) {
        // Every attribute lies inside the record and takes room, so the walk ends.
        if (a->bytes.data() < record.data() ||
            a->bytes.data() + a->bytes.size() > record.data() + record.size() || a->length == 0 ||
            ++seen > record.size() / 8)
            std::abort();
        if (!a->nonResident) {
            salvora::DecodeNtfsStandardInformation(a->value);
            if (const auto name = salvora::DecodeNtfsFileName(a->value)) salvora::NtfsNameUtf8(name->name);
            for (const auto& e : salvora::DecodeNtfsAttributeList(a->value)) salvora::NtfsNameUtf8(e.name);
            continue;
        }
        salvora::NtfsNameUtf8(a->name);
        if (const auto runs = salvora::DecodeNtfsRunlist(a->runlist, a->firstVcn, kClusterLimit)) {
            if (runs->size() > a->runlist.size()) std::abort();
            for (const auto& r : *runs)
                if (r.length == 0 || (r.lcn && *r.lcn + r.length > kClusterLimit)) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const salvora::Bytes input(data, size);
    salvora::DecodeNtfsBoot(input);

    // Records come in the sizes volumes use; the fixups protect 512-byte strides, or one whole 4 KiB one.
    for (const std::size_t recordBytes : {std::size_t{1024}, std::size_t{4096}}) {
        if (size < recordBytes) {
            if (recordBytes == 1024) Attributes(input);  // short buffers reach the walk's own bounds
            continue;
        }
        std::vector<std::uint8_t> record(data, data + recordBytes);
        const std::vector<std::uint8_t> before = record;
        const salvora::NtfsFixup fixup = salvora::ApplyNtfsFixups(record, recordBytes == 4096 ? 4096 : 512);
        if (fixup != salvora::NtfsFixup::Applied && record != before) std::abort();
        Attributes(record);
    }

    std::vector<std::uint8_t> out(kUnitBytes, 0xEE);
    if (const auto produced = salvora::DecompressLznt1(input, out); produced && *produced > out.size())
        std::abort();
    return 0;
}
