#pragma once
// The one sector reader. Every byte Salvora reads from a disk, a volume or an image goes through here,
// and nothing here can write: sources are opened O_RDONLY and never anything else.
#include <cstdint>
#include <memory>
#include <string>

#include "io/image_container.h"

namespace salvora {

inline constexpr std::uint32_t kSectorBytes = 512;

class readWriteInterface {
public:
    virtual ~readWriteInterface() = default;
    virtual bool OpenSource(const std::string& path) = 0;
    virtual bool ReadBytes(void* /*buffer*/, std::uint32_t /*count*/) { return true; }
    virtual bool SeekBytes(std::int64_t /*offset*/, int /*moveMethod*/ = 0) { return true; }

    std::int64_t baseOffset = 0;     // added to every SeekBytes: the start of the chosen volume
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

    // Opens read-only. On failure shows "invalid handle ..." and returns false; totalSectors is left alone.
    // A disk image in a container format (E01, VHD, VHDX, VMDK, QCOW2, split raw) is read as the disk it
    // holds: sourceLength is the disk's size.
    bool OpenSource(const std::string& path) override;
    // Why the last OpenSource failed on a container (a missing segment, a damaged header); empty otherwise.
    const std::string& OpenError() const { return openError_; }
    // The container the source is read through; null for a plain file or device.
    ImageContainer* Container() const { return container_.get(); }
    // Moves to offset + baseOffset (moveMethod is always "from the start").
    bool SeekBytes(std::int64_t offset, int moveMethod = 0) override;
    // True only for a full read. A short read delivers what was read, then zeros; a read of nothing leaves the
    // buffer untouched. A failing sector reads as zeros (and false) while the rest of the block is still read.
    bool ReadBytes(void* buffer, std::uint32_t count) override;

    bool IsOpen() const { return fd_ >= 0; }
    bool IsBlockDevice() const { return isBlockDevice_; }
    const std::string& Path() const { return path_; }
    // The open descriptor, for a library that probes the source itself (libblkid); -1 when closed or when
    // the bytes come through a container.
    int Descriptor() const { return container_ ? -1 : fd_; }
    // Absolute position (baseOffset included) of the next read.
    std::int64_t Position() const { return position_; }

private:
    void Close();
    std::int64_t ReadSome(std::uint8_t* out, std::uint32_t count, std::int64_t at, bool& ioError);

    int fd_ = -1;
    std::unique_ptr<ImageContainer> container_;
    std::string openError_;
    bool isBlockDevice_ = false;
    std::int64_t position_ = 0;
    std::string path_;
};

// The one live reader, or null. Owned by whichever page or command chose the source.
extern FileReadSeek* theReader;
// Sectors of 512 bytes of the last opened source.
extern std::uint64_t totalSectors;

}  // namespace salvora
