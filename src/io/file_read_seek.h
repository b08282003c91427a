#pragma once
// The one sector reader. Every byte Salvora reads from a disk, a volume or an image goes through here,
// and nothing here can write: sources are opened O_RDONLY and never anything else.
#include <atomic>
#include <cstdint>
#include <functional>
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
class RescueMap;
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
    // For a pass that reads on two cores. Healthy: a plain source with nothing known to be bad on it.
    // ReadIfHealthy may be called from another thread while ReadAt runs on this one; it is true only when the
    // source is Healthy and every byte was read, and false leaves the bytes to ReadAt, where failures are
    // handled and remembered. A reader that cannot be read from two threads keeps both false.
    virtual bool Healthy() const { return false; }
    virtual bool ReadIfHealthy(std::uint64_t, std::span<std::uint8_t>) { return false; }

    std::uint64_t sourceLength = 0;  // bytes, as far as it could be learned
};

// A read-only descriptor of path that someone allowed to open it handed over (udisks, for a user who cannot
// open the device): every later OpenSource(path) reads through a duplicate of it. Takes ownership of fd.
void ProvideDescriptor(const std::string& path, int fd);

// One attempt at a whole block, with no going back sector by sector: the bytes read before an error or the
// source's end, and whether an error (not the end) stopped it.
struct BlockRead {
    std::size_t got = 0;
    bool failed = false;
};

class FileReadSeek : public readWriteInterface {
public:
    FileReadSeek();
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
    bool Healthy() const override { return healthy_.load(std::memory_order_acquire); }
    bool ReadIfHealthy(std::uint64_t at, std::span<std::uint8_t> out) override;

    BlockRead ReadOnce(std::uint64_t at, std::span<std::uint8_t> out);

    // How a failing device is read. A sector that fails is tried `retries` more times, then never again in
    // this run: later reads of it get zeros and its range, at once.
    void SetRetries(int retries) { retries_ = retries < 0 ? 0 : retries; }
    int Retries() const { return retries_; }
    // Ranges that count as unreadable without being read (what a ddrescue map does not mark '+').
    void MarkUnreadable(const ByteRanges& ranges);
    // For a pass over a whole area (carving, the boot-sector scan): a failed read does not crawl over a bad
    // area sector by sector; it skips ahead by growing steps, as ddrescue does, and hands the skipped bytes
    // back as missing. RetrySkipped then comes back to them, sector by sector, within the retries.
    void SetSkipAhead(bool skip) { skipAhead_ = skip; }
    // While *flag is set, a read going sector by sector over a bad area ends at once: the rest is zeros and
    // missing. So Stop acts in the middle of a bad area, where every sector can take seconds.
    void SetInterrupt(const std::atomic<bool>* flag) { interrupt_ = flag; }
    // Bytes skipped and not yet retried.
    std::uint64_t SkippedBytes() const;
    // Comes back to the skipped bytes; returns the ranges of them that could be read. stop() ends it early.
    ByteRanges RetrySkipped(const std::function<bool()>& stop = {});
    // What is known of the source: '-' bad sectors, '/' skipped, '?' the rest.
    const RescueMap& Known() const { return *known_; }

    bool IsOpen() const { return fd_ >= 0; }
    bool IsBlockDevice() const { return isBlockDevice_; }
    const std::string& Path() const { return path_; }
    // The open descriptor, for a library that probes the source itself (libblkid); -1 when closed or when
    // the bytes come through a container.
    int Descriptor() const { return container_ ? -1 : fd_; }

protected:
    // The one place that touches the device: count bytes at `at`, fewer at its end; ioError when a read failed.
    virtual std::int64_t ReadSome(std::uint8_t* out, std::size_t count, std::int64_t at, bool& ioError);

private:
    void Close();
    // out at `at` around what is known to be bad (or skipped, in a pass): those get zeros and missing.
    bool ReadKnown(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing);
    bool ReadPiece(std::uint64_t at, std::span<std::uint8_t> out, ByteRanges* missing);
    // After a failed read: [from, out.size()) of out again sector by sector, zeros where a sector fails.
    void ReadSectors(std::span<std::uint8_t> out, std::size_t from, std::uint64_t at, ByteRanges* missing);
    // After a failed read in a pass: the rest in clusters, skipping ahead past clusters that fail.
    void ReadSkipping(std::span<std::uint8_t> out, std::size_t from, std::uint64_t at, ByteRanges* missing);
    // One sector, tried until 1 + retries reads of it (tried of them done already) have failed; then marked bad.
    bool ReadSector(std::uint64_t at, std::span<std::uint8_t> out, int tried = 0);

    int fd_ = -1;
    std::unique_ptr<ImageContainer> container_;
    std::string openError_;
    bool isBlockDevice_ = false;
    std::string path_;
    std::unique_ptr<RescueMap> known_;
    int retries_ = 1;
    bool skipAhead_ = false;
    std::uint64_t skipStep_ = 0;
    const std::atomic<bool>* interrupt_ = nullptr;
    // Cleared for good, until the next source, by the first mark in known_: from then on every read goes
    // through ReadAt on one thread.
    std::atomic<bool> healthy_{false};
    void Mark(std::uint64_t at, std::uint64_t length, char status);
    bool Interrupted() const { return interrupt_ && interrupt_->load(std::memory_order_relaxed); }
};

// The front ends' handle on the open source, or null. The core never reads it: it is handed a reader.
extern FileReadSeek* theReader;

}  // namespace salvora
