// libFuzzer harness for the bare-volume check every command runs before any partition table: the input is the
// start of a source, decided from the bytes and again through the sector reader, which must agree.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "io/file_read_seek.h"
#include "volumes/bare_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const salvora::BareKind kind = salvora::DetectBareVolume(salvora::Bytes(data, size));
    const std::string label = salvora::BareVolumeLabel(kind);
    if ((kind == salvora::BareKind::None) != label.empty()) std::abort();
    // Through the reader: a source of exactly the input's length, shorter than the probe or not; a short
    // source's missing tail reads as zeros, which decide nothing, so the verdict is the same.
    const std::string path = salvora::fuzz::MemoryVolume(data, size, size);
    salvora::FileReadSeek reader;
    if (path.empty() || !reader.OpenSource(path)) return 0;
    const auto entry = salvora::ProbeBareVolume(reader);
    if (entry.has_value() == label.empty()) std::abort();
    const std::string sizeText = std::to_string((size + (1u << 20) - 1) >> 20) + "  MB";
    if (entry && (entry->startSector != 0 || entry->fileSystemLabel != label || entry->volumeName != "0" ||
                  entry->sizeText != sizeText))
        std::abort();
    return 0;
}
