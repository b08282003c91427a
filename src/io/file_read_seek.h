#pragma once
// The one sector reader. Every byte Salvora reads from a disk, a volume or an image goes through here,
// and nothing here can write: sources are opened O_RDONLY and never anything else.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/image_container.h"

namespace salvora {

inline constexpr std::uint32_t kSectorBytes = 512;

struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};
using ByteRanges = std::vector<ByteRange>;
// Appends [offset, offset + length) to ranges (when given), joined to the last range it continues.
void AddRange(ByteRanges* ranges, std::uint64_t offset, std::uint64_t length);

class readWriteInterface {
public:
    virtual ~readWriteInterface() = default;
    virtual bool OpenSource(const std::string& path) = 0;
    // out.size() bytes from the absolute offset at. The one rule for what could not be read (an unreadable
    // sector, the end of the source): zeros in out, and the range appended to missing. True only when every
    // byte was read.
    virtual bool ReadAt(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing = nullptr) = 0;

    std::uint64_t sourceLength = 0;  // bytes, as far as it could be learned
};

// A read-only descriptor of path that someone allowed to open it handed over (udisks, for a user who cannot
// open the device): every later OpenSource(path) reads through a duplicate of it. Takes ownership of fd.
void ProvideDescriptor(const std::string& path, int fd);

class FileReadSeek final : public readWriteInterface {
public:
    FileReadSeek() = default;
    ~FileReadSeek() override;
    FileReadSeek(const FileReadSeek&) = delete;
    FileReadSeek& operator=(const FileReadSeek&) = delete;

    // Opens read-only. On failure shows "invalid handle ..." and returns false.
    // A disk image in a container format (E01, VHD, VHDX, VMDK, QCOW2, split raw) is read as the disk it
    // holds: sourceLength is the disk's size.
    bool OpenSource(const std::string& path) override;
    // Why the last OpenSource failed on a container (a missing segment, a damaged header); empty otherwise.
    const std::string& OpenError() const { return openError_; }
    // The container the source is read through; null for a plain file or device.
    ImageContainer* Container() const { return container_.get(); }
    bool ReadAt(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing = nullptr) override;

    bool IsOpen() const { return fd_ >= 0; }
    bool IsBlockDevice() const { return isBlockDevice_; }
    const std::string& Path() const { return path_; }
    // The open descriptor, for a library that probes the source itself (libblkid); -1 when closed or when
    // the bytes come through a container.
    int Descriptor() const { return container_ ? -1 : fd_; }

private:
    void Close();
    std::int64_t ReadSome(std::uint8_t* out, std::size_t count, std::int64_t at, bool& ioError);
    // After a failed read: [from, out.size()) of out again sector by sector, zeros where a sector fails.
    void ReadSectors(std::span<std::uint8_t> out, std::size_t from, std::uint64_t at, ByteRanges* missing);

    int fd_ = -1;
    std::unique_ptr<ImageContainer> container_;
    std::string openError_;
    bool isBlockDevice_ = false;
    std::string path_;
};

// The front ends' handle on the open source, or null. The core never reads it: it is handed a reader.
extern FileReadSeek* theReader;

}  // namespace salvora
