#pragma once
// NTFS volumes rebuilt from the MFT alone: every record, in use or not, read once in large blocks; folders from
// the parent references of the $FILE_NAME attributes, so a deleted file finds its folder while its folder's
// record still names it; content as runs from the $DATA attributes. No index ($I30) is needed.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/ntfs/ntfs_boot.h"
#include "fs/ntfs/ntfs_runlist.h"
#include "io/volume_window.h"
#include "model/parser_base.h"
#include "model/result_tree.h"

namespace salvora {

inline constexpr const char* kNtfsOrphanName = "ORPHAN ENTRY";
inline constexpr std::uint64_t kNtfsRootRecord = 5;

class NtfsClass final : public ParserBase {
  public:
    // One $DATA attribute (the unnamed one or a named stream), its pieces joined over extension records.
    struct Stream {
        std::u16string name;
        bool resident = false;
        std::vector<std::uint8_t> value;  // resident bytes
        std::vector<NtfsRun> runs;        // in VCN order
        std::uint64_t dataSize = 0, initializedSize = 0;
        std::uint16_t flags = 0;
        std::uint16_t compressionUnit = 0;
        bool runsBroken = false;  // a piece's runlist could not be decoded
    };
    // What the scan keeps of one base record.
    struct RecordInfo {
        bool seen = false;  // a record with a good header was read here
        bool inUse = false;
        bool directory = false;
        bool damaged = false;  // fixups did not match: not trusted
        std::uint16_t sequence = 0;
        std::uint64_t created = 0, modified = 0, changed = 0, accessed = 0;
        std::uint32_t dosAttributes = 0;
        struct Name {
            std::uint64_t parent = 0;  // file reference
            std::u16string name;
            std::uint8_t nameSpace = 0;
        };
        std::vector<Name> names;  // the best one per parent
        std::vector<Stream> streams;
    };
    // One line of the tree: a name of a record, or one of its named streams ("NAME:STREAM").
    struct Entry {
        std::string name;
        std::uint64_t record = 0;
        int stream = -1;  // index in the record's streams; -1: none (folders, empty files)
        bool folder = false;
        bool deleted = false;
        EntryId parent = 0, firstChild = kNone, nextSibling = kNone, lastChild = kNone;
    };
    static constexpr EntryId kNone = ~EntryId{0};

    NtfsClass() = default;
    NtfsClass(const NtfsClass&) = delete;
    NtfsClass& operator=(const NtfsClass&) = delete;

    // Boot sector (or its backup), the MFT's runs, every record, the tree.
    ScanOutcome Scan(const ScanRequest& request) override;

    const NtfsBoot& Boot() const { return boot_; }
    const std::vector<Entry>& Entries() const { return entries_; }
    const RecordInfo* Record(std::uint64_t number) const;
    std::uint64_t DamagedRecords() const { return damagedRecords_; }

    // ParserBase
    EntryId RootEntry() const override { return 0; }
    std::optional<EntryId> FirstChild(EntryId id) const override;
    std::optional<EntryId> NextSibling(EntryId id) const override;
    std::string EntryName(EntryId id) const override;
    void RenameEntry(EntryId id, const std::string& name) override;
    bool IsDeleted(EntryId id) const override;
    std::uint64_t ClaimedVolumeBytes() const override { return boot_.VolumeBytes(); }
    bool IsFolder(EntryId id) const override;
    bool IsSaveFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFolder(EntryId id) const override { return IsFolder(id); }
    bool IsWalkFile(EntryId id) const override { return id < entries_.size() && !IsFolder(id); }
    std::uint64_t EntrySizeBytes(EntryId id) const override;
    std::string FormatEntrySize(EntryId id) const override;
    EntryTexts FormatEntryTimes(EntryId id) const override;
    StoredTimes EntryStoredTimes(EntryId id) override;
    std::optional<EntryContent> Content(EntryId id) override;
    readWriteInterface* Source() const override { return reader_; }
    // A compressed stream's clusters as they are stored (Content gives its bytes unpacked).
    std::optional<EntryContent> Placement(EntryId id) override;
    // $Bitmap (record 6), read when first asked.
    const AllocationMap* Allocation() override;

  private:
    bool FindBoot(const ScanRequest& request);
    // Both boot sectors gone: the volume is searched for records; the $MFT record found where its own runlist
    // puts it tells the cluster size, and stands in for the boot sector. False when none agrees.
    bool InferBootFromRecords(const ScanRequest& request);
    bool ReadMftRuns();
    std::optional<std::uint64_t> Mapped(const std::vector<NtfsRun>& runs, std::uint64_t offset) const;
    void ReadRecords();
    void TakeRecord(std::uint64_t number, std::span<std::uint8_t> bytes);
    void BuildTree();
    EntryId AddEntry(Entry entry);
    void Link(EntryId parent, EntryId child);
    void FillResultTree();
    const Stream* StreamOf(EntryId id) const;
    std::uint64_t ReadableBytes() const;
    std::uint64_t ClusterLimit() const;

    readWriteInterface* reader_ = nullptr;
    VolumeWindow window_;
    NtfsBoot boot_{};
    std::vector<NtfsRun> mftRuns_;
    std::uint64_t mftBytes_ = 0;
    std::vector<RecordInfo> records_;  // the records that hold "FILE", in MFT order
    std::vector<std::uint32_t> slots_;  // record number -> index in records_ + 1; 0: none
    // Extension records' attributes wait here for their base record: base record number -> pieces.
    std::unordered_map<std::uint64_t, std::vector<Stream>> extensionStreams_;
    std::unordered_map<std::uint64_t, std::vector<RecordInfo::Name>> extensionNames_;
    std::uint64_t damagedRecords_ = 0;
    std::vector<Entry> entries_;
    bool encryptedSeen_ = false;
    std::optional<AllocationMap> allocation_;
    bool allocationTried_ = false;
};

}  // namespace salvora
