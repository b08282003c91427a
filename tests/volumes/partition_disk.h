#pragma once
// Builds small synthetic disks for the partition scanner tests: slot tables, GPT entries and boot sectors
// written into a byte image, then into a temp file the reader can open.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "io/ui_sink.h"
#include "fixture_util.h"

namespace salvora::testing {

class SyntheticDisk {
  public:
    explicit SyntheticDisk(std::uint64_t sectors) : bytes_(sectors * 512, 0) {}

    std::uint8_t* At(std::uint64_t sector) { return bytes_.data() + sector * 512; }
    void Put16(std::uint64_t sector, std::size_t off, std::uint16_t v) { PutLe(sector, off, v, 2); }
    void Put32(std::uint64_t sector, std::size_t off, std::uint32_t v) { PutLe(sector, off, v, 4); }
    void Put64(std::uint64_t sector, std::size_t off, std::uint64_t v) { PutLe(sector, off, v, 8); }
    void PutText(std::uint64_t sector, std::size_t off, const char* text) {
        std::memcpy(At(sector) + off, text, std::strlen(text));
    }

    void Slot(std::uint64_t table, int slot, std::uint8_t type, std::uint32_t lba, std::uint32_t count) {
        const std::size_t at = 446 + static_cast<std::size_t>(slot) * 16;
        At(table)[at + 4] = type;
        At(table)[510] = 0x55;  // every partitioning tool signs its tables
        At(table)[511] = 0xAA;
        Put32(table, at + 8, lba);
        Put32(table, at + 12, count);
    }
    void Ntfs(std::uint64_t sector, std::uint64_t totalSectors, const char* oem = "NTFS    ") {
        Jump(sector, 0x52, oem);
        Put16(sector, 11, 512);
        Put64(sector, 40, totalSectors);
    }
    void Fat(std::uint64_t sector, std::uint16_t sectorsPerFat, std::uint16_t total16,
             std::uint32_t total32) {
        Jump(sector, 0x58, "MSDOS5.0");
        Put16(sector, 11, 512);
        Put16(sector, 19, total16);
        Put16(sector, 22, sectorsPerFat);
        Put32(sector, 32, total32);
    }
    void Exfat(std::uint64_t sector, std::uint64_t length) {
        Jump(sector, 0x76, "EXFAT   ");
        Put64(sector, 72, length);
    }
    // HFS+ header (or HFSX with kind 'X') in the third sector of the volume.
    void Hfs(std::uint64_t volumeStart, std::uint32_t blockSize, std::uint32_t blocks, char kind = '+') {
        std::uint8_t* h = At(volumeStart + 2);
        h[0] = 'H';
        h[1] = static_cast<std::uint8_t>(kind);
        h[2] = 0;
        h[3] = kind == '+' ? 4 : 5;
        PutBe32(h + 40, blockSize);
        PutBe32(h + 44, blocks);
    }
    void GptHeader(std::uint64_t arrayLba) {
        PutText(1, 0, "EFI PART");
        Put64(1, 72, arrayLba);
    }
    void GptEntry(std::uint64_t arrayLba, int index, std::uint32_t guidHead, std::int64_t first,
                  std::int64_t last, const std::u16string& name) {
        const std::uint64_t sector = arrayLba + static_cast<std::uint64_t>(index) / 4;
        const std::size_t at = static_cast<std::size_t>(index % 4) * 128;
        Put32(sector, at, guidHead);
        Put64(sector, at + 32, static_cast<std::uint64_t>(first));
        Put64(sector, at + 40, static_cast<std::uint64_t>(last));
        for (std::size_t i = 0; i < name.size() && i < 36; ++i) Put16(sector, at + 56 + i * 2, name[i]);
    }

    // Writes the image, cut to `length` bytes when given.
    std::filesystem::path Write(const std::string& name, std::size_t length = SIZE_MAX) const {
        auto path = std::filesystem::temp_directory_path() /
                    ("salvora-scan-" + std::to_string(::getpid()) + "-" + name + ".img");
        // The rest of a longer disk reads as zeros without being held in memory.
        return test::WriteBytes(path, std::span(bytes_).first(std::min(length, bytes_.size())),
                                length == SIZE_MAX ? sparseBytes_ : 0);
    }
    // The written disk is this long (a sparse tail of zeros), so partitions far out lie inside it.
    void SetLength(std::uint64_t sectors) { sparseBytes_ = sectors * 512; }

  private:
    void PutLe(std::uint64_t sector, std::size_t off, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) At(sector)[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    static void PutBe32(std::uint8_t* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
    void Jump(std::uint64_t sector, std::uint8_t offset, const char* oem) {
        At(sector)[0] = 0xEB;
        At(sector)[1] = offset;
        At(sector)[2] = 0x90;
        PutText(sector, 3, oem);
    }

    std::vector<std::uint8_t> bytes_;
    std::uint64_t sparseBytes_ = 0;
};

class RecordingUi final : public UiSink {
  public:
    MsgAnswer ShowMessage(const std::string&, const std::string&, MsgIcon, MsgButtons) override {
        return MsgAnswer::Ok;
    }
    void SetStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        statuses_.push_back(text);
    }
    void SetProgressRange(std::int64_t low, std::int64_t high) override {
        std::lock_guard lock(mutex_);
        ranges_.emplace_back(low, high);
    }
    void SetProgressPos(std::int64_t pos) override {
        std::lock_guard lock(mutex_);
        positions_.push_back(pos);
    }
    std::vector<std::string> Statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> Ranges() {
        std::lock_guard lock(mutex_);
        return ranges_;
    }
    std::vector<std::int64_t> Positions() {
        std::lock_guard lock(mutex_);
        return positions_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> statuses_;
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges_;
    std::vector<std::int64_t> positions_;
};

}  // namespace salvora::testing
