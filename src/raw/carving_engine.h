#pragma once
// The raw recovery engine: finds files by their header at the start of a 512-byte sector and decides where
// each ends (footer found anywhere after the header, the format's own structure, a size field, or an
// approximate size), then lists them in the result tree under "RAW RECOVERY " and one item per category.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "io/bytes.h"
#include "io/volume_window.h"
#include "io/ui_sink.h"
#include "raw/signature_record.h"
#include "model/result_tree.h"

namespace salvora {

inline constexpr std::int64_t kCarveBlockBytes = 1048576;
inline constexpr std::uint8_t kWildcardByte = 0x2A;  // '*' in a signature matches any byte
inline constexpr const char* kRawRootText = "RAW RECOVERY ";

struct SignatureEntry {
    std::array<std::uint16_t, kExtensionUnits> extension{};
    std::uint8_t extensionLength = 0;
    std::array<std::uint8_t, kSignatureBytes> startSignature{};
    std::array<std::uint8_t, kSignatureBytes> endSignature{};
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::uint32_t index = 0;  // its position in fileTypeTable
};

struct FileTypeEntry {
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::string extension;  // UTF-8, at most 4 UTF-16 units as stored
    std::int32_t sizeFieldOffset = 0;
    std::int32_t sizeFieldWidth = 0;
    std::int32_t headerSize = 0;
    std::uint8_t sizeIncludesHeader = 0;
    std::uint32_t reserved = 0;
    std::int64_t approxSize = 0;
    std::int64_t skipBytes = 0;
    std::string category;           // UTF-8
    ItemId categoryItem = kNoItem;  // filled by the engine
    std::int64_t carvedCount = 0;   // filled by the engine
};

struct MatchRow {
    std::uint8_t length = 0;
    std::uint8_t index = 0;
    std::array<std::uint8_t, kSignatureBytes> bytes{};
};

struct SectorMatch {
    char kind = 0;  // 'S' a starting signature, 'E' an ending one, 0 none
    std::uint32_t index = 0;
};

struct CarvedFile {
    std::int64_t start = 0;  // byte offset on the volume
    std::int64_t size = 0;
    std::uint32_t type = 0;  // index into fileTypeTable
};

// How a carved file's end is decided, by extension (docx, jar ... are ZIP archives).
enum class EndRule { Footer, Jpeg, Zip, Pdf };
EndRule EndRuleFor(const std::string& extension);

// The carved file's name: its start offset, " ." and the extension ("1048576 .jpg").
std::string CarvedFileName(std::int64_t start, const std::string& extension);

class myJpg {
  public:
    std::vector<SignatureEntry> signatureTable;
    std::vector<FileTypeEntry> fileTypeTable;
    std::vector<MatchRow> matchTable;                     // rows 0..n-1 headers, n..2n-1 footers
    std::vector<std::deque<std::int64_t>> pendingStarts;  // per index: headers waiting for their footer
    std::map<std::string, std::int64_t> categorySet;      // category -> files carved
    std::int64_t volumeSize = 0;
    VolumeWindow window;  // the volume carved; rows' starts are offsets in it
    // What the last scan read, and how much of that could not be read (zeros were scanned in its place).
    std::uint64_t scannedBytes = 0;
    std::uint64_t unreadableBytes = 0;
    ResultTree* tree = nullptr;
    UiSink* statusWindow = nullptr;  // progress; null sends it to Ui()
    std::atomic<bool> stopRequested{false};

    // Appends one loaded record to both tables; its index is its position.
    void AddSignature(const SignatureRecord& record);

    bool PrepareMatchTable();
    // first: the sector's first bytes (up to 10 are looked at).
    SectorMatch MatchSector(Bytes first) const;
    // Root and category items; idempotent, so a second run appends to the same tree.
    void SetUpTree();
    // The whole scan; call on a worker thread. Ends with the completion message.
    void RunCarving();

    std::size_t CarvedCount() const;
    std::optional<CarvedFile> CarvedRow(std::size_t row) const;
    std::vector<CarvedFile> CarvedFiles() const;
    std::string CarvedName(std::size_t row) const;
    std::string CarvedCategory(std::size_t row) const;
    ItemId RootItem() const { return rootItem_; }

  private:
    friend class CarveScan;
    void Carve(std::int64_t start, std::int64_t size, std::uint32_t type);
    UiSink& Status() const { return statusWindow ? *statusWindow : Ui(); }

    mutable std::mutex carvedMutex_;
    std::vector<CarvedFile> carvedFiles_;
    std::map<std::string, ItemId> categoryItems_;
    ItemId rootItem_ = kNoItem;
    // Per first byte of a sector: the header rows that can match it, in row order.
    std::array<std::vector<std::uint16_t>, 256> headerRowsByByte_;
};

}  // namespace salvora
