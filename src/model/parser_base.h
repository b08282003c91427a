#pragma once
// What the results side (tree, list, save, search) needs of any parser. Each file-system class implements it over
// its own records; an EntryId is the parser's key for a record (FAT: index in its record vector).
#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io/ui_sink.h"
#include "model/allocation_map.h"
#include "model/entry_content.h"
#include "volumes/volume_entry.h"

namespace salvora {

class ResultTree;

using EntryId = std::uint64_t;

// The list texts of one entry, as the file list shows them.
struct EntryTexts {
    std::string created;
    std::string accessed;
    std::string modified;
    std::string attributes;
};

inline constexpr std::uint32_t kDeletedColour = 0x0000FF;  // red, as 0x00BBGGRR

enum class RecoveryMode { Standard = 1, Advanced = 2, Deep = 3 };

// What a scan of one volume is asked to do. Advanced runs take the damaged-volume searches' choices.
struct ScanRequest {
    RecoveryMode mode = RecoveryMode::Standard;
    readWriteInterface* source = nullptr;
    VolumeEntry volume;
    std::size_t candidate = 0;       // the FAT copy (FAT, exFAT)
    int sectorsPerCluster = 0;       // FAT: sectors; exFAT: the shift
    std::size_t heapCandidate = 0;   // exFAT: the cluster heap's start
    bool formattedDrive = false;     // FAT, exFAT: read chains as contiguous ("Is Drive Formated..?")
};

enum class ScanOutcome {
    Done,
    NotThisFileSystem,  // nothing of the kind the label promised was found
    RootUnreadable,     // found, but its root could not be read: what was found is kept
};

// What the searches of a damaged volume found, before any text is made of it: where FAT copies (and exFAT
// cluster heaps) seem to start, in volume bytes, and the boot sector's cluster factor as the Advanced run takes
// it (FAT: sectors, exFAT: the shift of 512-byte sectors), meaningful only when the boot sector passed.
struct DamagedVolumeSearch {
    bool bootValid = false;
    bool stopped = false;  // the stop flag was seen: the lists hold what was found before it
    std::vector<std::uint64_t> fatOffsets;
    std::vector<std::uint64_t> heapOffsets;
    int bootSectorsPerCluster = 0;
    // The geometry the folders found tell (FAT: each "." slot names its own cluster): cluster size and where
    // cluster 2 lies (volume byte offset), with how many pairs of entries agreed (exFAT: how many entries);
    // 0 votes when none could tell.
    std::uint64_t inferredClusterBytes = 0;
    std::uint64_t inferredDataStart = 0;
    std::size_t inferredVotes = 0;
    // Signs of a quick format: the FAT in use marks (nearly) nothing used, yet folders found in the data area
    // name clusters it marks free. looksFormatted when both hold.
    bool looksFormatted = false;
    std::size_t foldersOnFreeClusters = 0;
};

// The times a saved file gets; an empty one is left as the save makes it.
struct StoredTimes {
    std::optional<timespec> accessed;
    std::optional<timespec> modified;
    // Reported, never set on a saved file (Linux sets neither).
    std::optional<timespec> created;
    std::optional<timespec> changed;  // the metadata's last change (ext, NTFS)
};

// A file's content read ahead into memory, so that another thread can create and write it (a save's writers).
struct StagedCopy {
    std::string destPath;
    std::vector<std::uint8_t> bytes;  // the pieces that are stored, one after another
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;  // (file offset, length) of each, in order
    std::uint64_t end = 0;  // the length the file is left with
    StoredTimes stored;
    CopyResult result;  // size and missing come from the reading; written from WriteStaged
};

class ParserBase {
public:
    virtual ~ParserBase() = default;

    std::atomic<bool> stopRequested{false};
    // The scan request's "Is Drive Formated..?": FAT chains end at once (every directory is read as one
    // cluster) and content comes from consecutive clusters, since a quick format zeroes the FAT, not the data.
    bool formattedDrive = false;
    ResultTree* tree = nullptr;        // filled by CreateTreeStructure: the "ROOT" item and the first level
    UiSink* statusWindow = nullptr;    // status and progress; null sends them to Ui()
    UiSink& Status() const { return statusWindow ? *statusWindow : Ui(); }

    // The record behind the tree's root item.
    virtual EntryId RootEntry() const = 0;
    virtual std::optional<EntryId> FirstChild(EntryId id) const = 0;
    virtual std::optional<EntryId> NextSibling(EntryId id) const = 0;
    virtual std::string EntryName(EntryId id) const = 0;  // UTF-8
    // Recycle Bin renaming gives a content file back its former name.
    virtual void RenameEntry(EntryId id, const std::string& name) = 0;
    virtual bool IsDeleted(EntryId id) const = 0;
    // Bytes the volume's own header says it spans (0: unknown), to tell a user when the source holds less.
    virtual std::uint64_t ClaimedVolumeBytes() const { return 0; }
    // A symbolic link's target; empty for anything else. ExtractFile writes a link as a text file holding the
    // target, which a saver may replace with a real link when that stays inside its output folder.
    virtual std::optional<std::string> LinkTarget(EntryId /*id*/) const { return std::nullopt; }
    // Shown as a folder in the tree and skipped by the file list.
    virtual bool IsFolder(EntryId id) const = 0;
    // May the selected item be saved as a folder (its children written below the output folder)?
    virtual bool IsSaveFolder(EntryId id) const = 0;
    // Walked into by save, count and search.
    virtual bool IsWalkFolder(EntryId id) const = 0;
    // Written and counted by save; searched by name.
    virtual bool IsWalkFile(EntryId id) const = 0;
    virtual std::uint64_t EntrySizeBytes(EntryId id) const = 0;
    virtual std::string FormatEntrySize(EntryId id) const = 0;
    virtual EntryTexts FormatEntryTimes(EntryId id) const = 0;
    virtual std::uint32_t DeletedColour() const { return kDeletedColour; }
    // Writes the entry's content to destPath and sets its stored times. destPath is a new file: the caller has
    // already picked a name that does not exist. The result says whether it was written and how many of its
    // bytes could not be read. Parsers with content runs leave this to the engine's copier.
    virtual CopyResult ExtractFile(EntryId id, const std::string& destPath);
    // What ExtractFile would write, read into memory for a writer thread; nullopt when the entry has more than
    // maxBytes or no content runs (the saver then calls ExtractFile). A parser that overrides ExtractFile
    // overrides this too.
    virtual std::optional<StagedCopy> StageFile(EntryId id, const std::string& destPath, std::uint64_t maxBytes);
    virtual StoredTimes EntryStoredTimes(EntryId /*id*/) { return {}; }
    // Reads the volume the request names with the steps of its file system and mode, and fills the result
    // tree's first level. Status texts go to Status(); stopRequested ends it early, keeping what was found.
    virtual ScanOutcome Scan(const ScanRequest& /*request*/) { return ScanOutcome::NotThisFileSystem; }
    // The searches an Advanced run of a damaged volume offers its choices from (at most maxFileSystems FAT
    // copies; below 1: 3). The parser keeps what it found for that run. Empty for a file system without them.
    virtual std::optional<DamagedVolumeSearch> SearchDamagedVolume(readWriteInterface* /*source*/,
                                                                   const VolumeEntry& /*volume*/,
                                                                   int /*maxFileSystems*/) {
        return std::nullopt;
    }
    // Where a file's bytes lie on the source; empty for folders and for parsers that cannot say.
    virtual std::optional<EntryContent> Content(EntryId /*id*/) { return std::nullopt; }
    // The source the runs of Content lie on.
    virtual readWriteInterface* Source() const { return nullptr; }
    // Where the content's bytes are stored, for judging: Content, but the stored clusters of a compressed file.
    virtual std::optional<EntryContent> Placement(EntryId id) { return Content(id); }
    // The units the file system holds in use, read once when first asked; null when there is nothing to judge
    // by (a volume read without its FAT, a formatted drive read as such).
    virtual const AllocationMap* Allocation() { return nullptr; }
    // Live: intact. Deleted: its content's runs against Allocation(); unknown without one.
    EntryVerdict Judge(EntryId id);

    // Folders whose listing could not be read whole (an unreadable sector in one of their clusters or blocks):
    // entries in them are missing. Filled by the scan, each once, in the order found.
    const std::vector<EntryId>& UnreadableFolders() const { return unreadableFolders_; }

  protected:
    // Notes the folder and says so on the status line.
    void NoteUnreadableFolder(EntryId folder) {
        if (std::find(unreadableFolders_.begin(), unreadableFolders_.end(), folder) != unreadableFolders_.end())
            return;
        unreadableFolders_.push_back(folder);
        const std::string name = EntryName(folder);
        Status().SetStatus("Folder " + (name.empty() ? "#" + std::to_string(folder) : name) +
                           " could not be read whole: files in it are missing.");
    }
    std::vector<EntryId> unreadableFolders_;
};

}  // namespace salvora
