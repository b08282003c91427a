#pragma once
// Disk images in container formats (EWF/E01, VHD, VHDX, VMDK, QCOW2, split raw), read through the libyal
// libraries behind one small interface, so the sector reader serves them like a raw image. Which format a file
// is, is decided by its content (the libraries' own signature checks), never by its name; split raw is the one
// exception, since its pieces are plain bytes.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace salvora {

// What `info` shows of a source.
struct ImageDetails {
    std::string kind;                 // "EWF (E01)", "VHD (dynamic)", "VHDX", "VMDK", "QCOW2", "split raw"
    std::uint64_t mediaSize = 0;      // the disk's logical size, not the files'
    std::vector<std::string> pieces;  // the files that make the image, first one first
    std::vector<std::pair<std::string, std::string>> metadata;  // acquisition fields, in the order found
    std::string storedMd5;            // hex, lower case; empty when the image stores none
    std::string storedSha1;
};

class ImageContainer {
  public:
    virtual ~ImageContainer() = default;
    // Bytes delivered into buffer, 0 at or past the end of the media, -1 when the container could not be
    // read there (a cut segment, a damaged chunk).
    virtual std::int64_t ReadAt(void* buffer, std::size_t count, std::uint64_t offset) = 0;
    const ImageDetails& Details() const { return details_; }
    // What the library said of the last read that failed; empty when none did.
    virtual std::string LastError() const = 0;

  protected:
    ImageDetails details_;
};

struct ContainerOpening {
    std::unique_ptr<ImageContainer> container;  // null: a plain file or device, or an error below
    std::string error;                          // why a container could not be opened; empty otherwise
};

// Looks at path's content; opens it when it is a container (or the first piece of a split raw image).
ContainerOpening OpenImageContainer(const std::string& path);

// Reads the whole media and compares its MD5 (and SHA1, where stored) with the hashes the image holds.
// progress gets bytes done and the total; a true stop ends early. Empty error on a match.
struct VerifyOutcome {
    bool checked = false;   // the image stores a hash to compare with
    bool matches = false;
    bool readError = false;
    bool stopped = false;
    std::string computedMd5;
    std::string computedSha1;
};
VerifyOutcome VerifyStoredHashes(ImageContainer& container,
                                 const std::function<bool(std::uint64_t, std::uint64_t)>& progress);

}  // namespace salvora
