#include "raw/carving_engine.h"
#include "raw/header_checks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "io/pause_gate.h"
#include "io/split_pass.h"
#include "raw/end_finders.h"

namespace salvora {
namespace {

constexpr std::int64_t kCarryBytes = 64;  // tail of the previous block kept for patterns that straddle blocks
constexpr std::int64_t kPrefetchSectors = 16;
constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();
// A run of headers of one structured type (say, a JPEG header in every sector) must not make each block cost
// thousands of walks; beyond this many, the oldest open one of the type is given up.
constexpr int kMaxOpenFindersPerType = 64;

bool RowMatches(const MatchRow& row, Bytes first) {
    if (row.length < 2 || row.length > kSignatureBytes || first.size() < row.length) return false;
    for (std::size_t i = 0; i < row.length; ++i)
        if (row.bytes[i] != kWildcardByte && row.bytes[i] != first[i]) return false;
    return true;
}

std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

EndRule EndRuleFor(const std::string& extension) {
    const std::string ext = Lower(extension);
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe" || ext == "jfif") return EndRule::Jpeg;
    if (ext == "pdf") return EndRule::Pdf;
    static const char* const kZipBased[] = {"zip", "docx", "xlsx", "pptx", "odt", "ods",  "odp",  "odg",
                                            "jar", "apk",  "epub", "xps",  "kmz", "docm", "xlsm", "pptm"};
    for (const char* z : kZipBased)
        if (ext == z) return EndRule::Zip;
    return EndRule::Footer;
}

std::string CarvedFileName(std::int64_t start, const std::string& extension) {
    char head[32];
    std::snprintf(head, sizeof head, "%lld .", static_cast<long long>(start));
    return head + extension;
}

void myJpg::AddSignature(const SignatureRecord& r) {
    SignatureEntry s;
    s.extension = r.extension;
    s.extensionLength = r.extensionLength;
    s.startSignature = r.startSignature;
    s.endSignature = r.endSignature;
    s.startLength = r.startLength;
    s.endLength = r.endLength;
    s.index = static_cast<std::uint32_t>(fileTypeTable.size());
    signatureTable.push_back(s);

    FileTypeEntry f;
    f.startLength = r.startLength;
    f.endLength = r.endLength;
    f.extension = ExtensionText(r);
    f.sizeFieldOffset = r.sizeFieldOffset;
    f.sizeFieldWidth = r.sizeFieldWidth;
    f.headerSize = r.headerSize;
    f.sizeIncludesHeader = r.sizeIncludesHeader;
    f.reserved = r.reserved2F;
    f.approxSize = r.approxSize;
    f.skipBytes = r.skipBytes;
    f.category = CategoryText(r);
    fileTypeTable.push_back(std::move(f));
}

bool myJpg::PrepareMatchTable() {
    try {
        const std::size_t n = signatureTable.size();
        matchTable.assign(2 * n, MatchRow{});
        std::size_t queues = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const SignatureEntry& s = signatureTable[i];
            matchTable[i] = {s.startLength, static_cast<std::uint8_t>(s.index), s.startSignature};
            matchTable[n + i] = {s.endLength, static_cast<std::uint8_t>(s.index), s.endSignature};
            if (s.index < kMaxSignatureTypes) queues = std::max<std::size_t>(queues, s.index + 1);
        }
        pendingStarts.assign(queues, {});
        for (auto& rows : headerRowsByByte_) rows.clear();
        for (std::size_t i = 0; i < n; ++i) {
            const MatchRow& row = matchTable[i];
            // Rows the scan could not follow never match: too short, too long, or no table entry behind them.
            if (row.length < 2 || row.length > kSignatureBytes || signatureTable[i].index >= queues ||
                signatureTable[i].index >= fileTypeTable.size())
                continue;
            for (int b = 0; b < 256; ++b)
                if (row.bytes[0] == kWildcardByte || row.bytes[0] == b)
                    headerRowsByByte_[b].push_back(static_cast<std::uint16_t>(i));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

SectorMatch myJpg::MatchSector(Bytes first) const {
    const std::size_t n = matchTable.size() / 2;
    for (std::size_t i = 0; i < matchTable.size(); ++i) {
        if (RowMatches(matchTable[i], first)) return {i < n ? 'S' : 'E', matchTable[i].index};
    }
    return {};
}

void myJpg::SetUpTree() {
    if (!tree) return;
    if (rootItem_ == kNoItem || !tree->Valid(rootItem_)) {
        rootItem_ = tree->InsertItem(kNoItem, kRawRootText, true);
        categoryItems_.clear();
    }
    for (FileTypeEntry& f : fileTypeTable) {
        auto it = categoryItems_.find(f.category);
        if (it == categoryItems_.end()) {
            categorySet.try_emplace(f.category, 0);
            it = categoryItems_.emplace(f.category, tree->InsertItem(rootItem_, f.category, true)).first;
        }
        f.categoryItem = it->second;
    }
    tree->Expand(rootItem_);
}

void myJpg::Carve(std::int64_t start, std::int64_t size, std::uint32_t type) {
    FileTypeEntry& f = fileTypeTable[type];
    const std::int64_t count = ++categorySet[f.category];
    ++f.carvedCount;
    std::size_t row;
    {
        std::lock_guard lock(carvedMutex_);
        row = carvedFiles_.size();
        carvedFiles_.push_back({start, size, type});
    }
    if (!tree) return;
    char countText[32];
    std::snprintf(countText, sizeof countText, " (%lld)", static_cast<long long>(count));
    tree->SetText(f.categoryItem, f.category + countText);
    tree->InsertItem(f.categoryItem, CarvedFileName(start, f.extension), false, static_cast<EntryId>(row));
}

std::size_t myJpg::CarvedCount() const {
    std::lock_guard lock(carvedMutex_);
    return carvedFiles_.size();
}

std::optional<CarvedFile> myJpg::CarvedRow(std::size_t row) const {
    std::lock_guard lock(carvedMutex_);
    if (row >= carvedFiles_.size()) return std::nullopt;
    return carvedFiles_[row];
}

std::vector<CarvedFile> myJpg::CarvedFiles() const {
    std::lock_guard lock(carvedMutex_);
    return carvedFiles_;
}

std::string myJpg::CarvedName(std::size_t row) const {
    const auto r = CarvedRow(row);
    if (!r || r->type >= fileTypeTable.size()) return {};
    return CarvedFileName(r->start, fileTypeTable[r->type].extension);
}

std::string myJpg::CarvedCategory(std::size_t row) const {
    const auto r = CarvedRow(row);
    if (!r || r->type >= fileTypeTable.size()) return {};
    return fileTypeTable[r->type].category;
}

// One run over the volume: the header walk at sector starts, and every open end search fed the same blocks.
class CarveScan {
  public:
    explicit CarveScan(myJpg& engine) : e_(engine) {
        const std::size_t n = e_.fileTypeTable.size();
        rules_.resize(n);
        footers_.resize(n);
        footerFrom_.assign(n, 0);
        openPerType_.assign(n, 0);
        for (std::size_t t = 0; t < n; ++t) {
            rules_[t] = EndRuleFor(e_.fileTypeTable[t].extension);
            const std::uint8_t len = t < e_.signatureTable.size() ? e_.signatureTable[t].endLength : 0;
            if (len >= 2 && len <= kSignatureBytes)
                footers_[t].assign(e_.signatureTable[t].endSignature.begin(),
                                   e_.signatureTable[t].endSignature.begin() + len);
        }
        for (int b = 0; b < 256; ++b) {
            keysFrom_[b] = static_cast<std::uint32_t>(keys_.size());
            for (std::uint16_t row : e_.headerRowsByByte_[b]) keys_.push_back(KeyFor(e_.matchTable[row], row));
        }
        keysFrom_[256] = static_cast<std::uint32_t>(keys_.size());
    }

    // False when the block buffer could not be had: nothing was scanned.
    bool Run();

  private:
    // A header row as masks over a sector's first 8 bytes and the 2 after them, '*' masked out: a sector is
    // tested against a row in two compares instead of a loop over its bytes.
    struct HeaderKey {
        std::uint64_t mask = 0, value = 0;
        std::uint16_t tailMask = 0, tailValue = 0;
        std::uint16_t row = 0;
    };
    static_assert(kSignatureBytes == 10);
    static HeaderKey KeyFor(const MatchRow& row, std::uint16_t index) {
        std::uint8_t mask[kSignatureBytes] = {}, value[kSignatureBytes] = {};
        for (std::size_t i = 0; i < row.length; ++i) {
            if (row.bytes[i] == kWildcardByte) continue;
            mask[i] = 0xFF;
            value[i] = row.bytes[i];
        }
        HeaderKey key;
        std::memcpy(&key.mask, mask, 8);
        std::memcpy(&key.value, value, 8);
        std::memcpy(&key.tailMask, mask + 8, 2);
        std::memcpy(&key.tailValue, value + 8, 2);
        key.row = index;
        return key;
    }

    struct OpenFinder {
        std::int64_t start;
        std::uint32_t type;
        std::unique_ptr<EndFinder> finder;
    };

    void WalkHeaders(const std::uint8_t* block, std::int64_t blockStart);
    void OnHeader(const std::uint8_t* sector, std::int64_t at, std::uint32_t type, std::int64_t blockEnd,
                  std::int64_t& next);
    void OpenFinderAt(std::int64_t at, std::uint32_t type);
    void FeedFinders(const Window& w);
    void CloseFooters(const Window& w);
    void CarveCapped(std::int64_t start, std::int64_t size, std::uint32_t type);

    myJpg& e_;
    std::vector<EndRule> rules_;
    std::vector<std::vector<std::uint8_t>> footers_;
    std::vector<std::int64_t> footerFrom_;  // per type: the end of the last footer that closed a header
    std::vector<int> openPerType_;
    std::list<OpenFinder> finders_;
    std::vector<HeaderKey> keys_;              // by the sector's first byte, in row order within one
    std::array<std::uint32_t, 257> keysFrom_{};  // keys_[keysFrom_[b], keysFrom_[b + 1]) are byte b's
    static constexpr std::uint32_t kNoKey = ~0u;
    // The last sector start looked up and the key it matched; 1 in the tail's top bit fits no sector's two
    // bytes as loaded, so the first sector is always looked up.
    std::uint64_t lastHead_ = 0;
    std::uint32_t lastTail_ = 0x10000;
    std::uint32_t lastKey_ = kNoKey;
    std::int64_t nextHeaderAt_ = 0;
};

void CarveScan::CarveCapped(std::int64_t start, std::int64_t size, std::uint32_t type) {
    const FileTypeEntry& f = e_.fileTypeTable[type];
    if (f.approxSize > 0) size = std::min(size, f.approxSize);
    size = std::min(size, e_.volumeSize - start);
    if (size <= 0) return;
    e_.Carve(start, size, type);
}

void CarveScan::OpenFinderAt(std::int64_t at, std::uint32_t type) {
    const FileTypeEntry& f = e_.fileTypeTable[type];
    if (openPerType_[type] >= kMaxOpenFindersPerType) {
        for (auto it = finders_.begin(); it != finders_.end(); ++it) {
            if (it->type != type) continue;
            finders_.erase(it);
            --openPerType_[type];
            break;
        }
    }
    std::unique_ptr<EndFinder> finder;
    switch (rules_[type]) {
        case EndRule::Jpeg:
            finder = MakeJpegEndFinder(at, f.approxSize, footers_[type]);
            break;
        case EndRule::Zip:
            finder = MakeZipEndFinder(at, f.approxSize);
            break;
        case EndRule::Pdf:
            // A newer PDF header ends the search for the older ones' last %%EOF.
            for (OpenFinder& open : finders_)
                if (open.type == type) open.finder->Limit(at);
            finder = MakePdfEndFinder(at, f.approxSize);
            break;
        case EndRule::Footer:
            return;
    }
    finders_.push_back({at, type, std::move(finder)});
    ++openPerType_[type];
}

void CarveScan::OnHeader(const std::uint8_t* sector, std::int64_t at, std::uint32_t type,
                         std::int64_t blockEnd, std::int64_t& next) {
    const FileTypeEntry& f = e_.fileTypeTable[type];
    next = at + kSectorBytes;
    if (rules_[type] != EndRule::Footer) {
        OpenFinderAt(at, type);
        return;
    }
    if (f.endLength != 0) {
        e_.pendingStarts[type].push_back(at);
        return;
    }
    if (f.sizeFieldWidth < 1) {
        if (f.approxSize > 0) CarveCapped(at, f.approxSize, type);
        if (f.skipBytes > kSectorBytes)
            next = std::min(at + f.skipBytes / kSectorBytes * kSectorBytes, blockEnd);
        return;
    }
    // The loader refused size fields that do not lie inside the header sector.
    if (f.sizeFieldWidth != 4 || f.sizeFieldOffset < 0 ||
        f.sizeFieldOffset > static_cast<std::int32_t>(kSectorBytes) - 4)
        return;
    const auto stated = static_cast<std::int32_t>(
        le32(Bytes(sector, kSectorBytes), static_cast<std::size_t>(f.sizeFieldOffset)));
    if (stated <= 0 || (f.approxSize > 0 && stated > f.approxSize)) return;
    std::int64_t size = stated;
    if (!f.sizeIncludesHeader && f.headerSize > 0) size += f.headerSize;
    if (f.approxSize > 0) size = std::min(size, f.approxSize);
    // A size that runs past the volume is not this file's: the header is refused.
    if (size > e_.volumeSize - at) return;
    if (!SizedHeaderChecksOut(f.extension, Bytes(sector, kSectorBytes), size)) return;
    e_.Carve(at, size, type);
    // The scan goes on inside the claimed range: a header there that checks out is a file of its own, and a
    // wrong size cannot hide what follows it.
}

void CarveScan::WalkHeaders(const std::uint8_t* block, std::int64_t blockStart) {
    const std::int64_t blockEnd = blockStart + kCarveBlockBytes;
    std::int64_t at = std::max(blockStart, nextHeaderAt_);
    while (at < blockEnd) {
        if (e_.stopRequested.load(std::memory_order_relaxed)) break;
        const std::uint8_t* sector = block + (at - blockStart);
        // Only each sector's first line is read, too sparse for the hardware to fetch it ahead.
        __builtin_prefetch(sector + kPrefetchSectors * kSectorBytes);
        std::uint64_t head;
        std::uint16_t tail;
        std::memcpy(&head, sector, 8);
        std::memcpy(&tail, sector + 8, 2);
        std::int64_t next = at + kSectorBytes;
        // Runs of equal sector starts (zeros, above all) are common and match as the last one did.
        if (head != lastHead_ || tail != lastTail_) {
            lastHead_ = head;
            lastTail_ = tail;
            lastKey_ = kNoKey;
            for (std::uint32_t i = keysFrom_[sector[0]], to = keysFrom_[sector[0] + 1]; i < to; ++i) {
                const HeaderKey& key = keys_[i];
                if ((head & key.mask) == key.value && (tail & key.tailMask) == key.tailValue) {
                    lastKey_ = i;
                    break;
                }
            }
        }
        if (lastKey_ != kNoKey) OnHeader(sector, at, e_.matchTable[keys_[lastKey_].row].index, blockEnd, next);
        at = next;
    }
    nextHeaderAt_ = at;
}

void CarveScan::FeedFinders(const Window& w) {
    for (auto it = finders_.begin(); it != finders_.end();) {
        const std::optional<std::int64_t> end = it->finder->Feed(w);
        if (!end) {
            ++it;
            continue;
        }
        if (*end != kNoEnd) CarveCapped(it->start, *end - it->start, it->type);
        --openPerType_[it->type];
        it = finders_.erase(it);
    }
}

void CarveScan::CloseFooters(const Window& w) {
    for (std::size_t t = 0; t < e_.pendingStarts.size(); ++t) {
        auto& queue = e_.pendingStarts[t];
        const auto& footer = footers_[t];
        const FileTypeEntry& f = e_.fileTypeTable[t];
        while (!queue.empty()) {
            const std::int64_t start = queue.front();
            std::int64_t to = w.end;
            if (f.approxSize > 0 && f.approxSize < kNoLimit - start) to = std::min(to, start + f.approxSize);
            const std::int64_t from = std::max({footerFrom_[t], start + f.startLength, w.start});
            const std::int64_t at = FindPattern(w, from, to, footer);
            if (at >= 0) {
                // The oldest waiting header takes the footer; the file ends at the footer's last byte.
                const std::int64_t end = at + static_cast<std::int64_t>(footer.size());
                CarveCapped(start, end - start, static_cast<std::uint32_t>(t));
                footerFrom_[t] = end;
                queue.pop_front();
                continue;
            }
            if (f.approxSize > 0 && f.approxSize <= w.end - start) {
                CarveCapped(start, f.approxSize, static_cast<std::uint32_t>(t));
                queue.pop_front();
                continue;
            }
            break;
        }
    }
}

bool CarveScan::Run() {
    UiSink& ui = e_.Status();
    ui.SetProgressRange(0, 1000);
    const std::int64_t blocks = e_.volumeSize / kCarveBlockBytes;
    ui.SetProgressRange(0, blocks);
    if (!e_.window) return false;
    std::optional<SplitPass> pass;
    try {
        pass.emplace(e_.window, static_cast<std::uint64_t>(blocks), kCarveBlockBytes, kCarryBytes);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::system_error&) {  // no thread to be had
        return false;
    }
    bool finished = true;
    e_.scannedBytes = e_.unreadableBytes = 0;
    for (std::int64_t k = 0; k < blocks; ++k) {
        ui.SetProgressPos(k);
        if (PollStop(e_.stopRequested)) {
            finished = false;
            break;
        }
        const std::int64_t blockStart = k * kCarveBlockBytes;
        ByteRanges missing;
        const std::uint8_t* block = pass->Next(&missing);
        e_.scannedBytes += kCarveBlockBytes;
        for (const ByteRange& r : missing) e_.unreadableBytes += r.length;
        WalkHeaders(block, blockStart);
        if (e_.stopRequested.load(std::memory_order_relaxed)) {
            finished = false;
            break;
        }
        const Window w{block - kCarryBytes, blockStart - kCarryBytes, blockStart, blockStart + kCarveBlockBytes};
        FeedFinders(w);
        CloseFooters(w);
    }
    if (finished) {
        for (OpenFinder& open : finders_)
            if (const auto end = open.finder->Finish(); end && *end != kNoEnd)
                CarveCapped(open.start, *end - open.start, open.type);
    }
    finders_.clear();
    return true;
}

void myJpg::RunCarving() {
    if (!PrepareMatchTable()) {
        ShowInfo("not properly initialized");
        return;
    }
    SetUpTree();
    CarveScan scan(*this);
    if (!scan.Run()) return;
    // A stopped search is not done: the front end says how far it got.
    if (stopRequested.load()) return;
    ShowInfo("Scanning processing done.Select save button to save the data..");
}

}  // namespace salvora
