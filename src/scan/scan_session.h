#pragma once
// The results page without its widgets: picks the parser for a volume by its file-system label, runs its
// worker on a thread of its own, and offers what the page does with the result (lazy tree, file list, save,
// search) with the page's texts. Front ends show the tree, the rows and the PageState, and forward Pause,
// Resume and Stop.
//
//     ScanSession session(volume, RecoveryMode::Standard, &ui, &reader);   // reader: the open source
//     if (session.Start()) session.Wait();    // or keep the UI live while it runs
//     session.SaveSelectedFolder(session.Tree().Root(), "/mnt/rescue");
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "io/ui_sink.h"
#include "scan/deep_discovery.h"
#include "scan/file_saver.h"
#include "scan/list_rows.h"
#include "model/parser_base.h"
#include "scan/recovery_options.h"
#include "model/result_tree.h"
#include "scan/file_systems.h"
#include "scan/search_worker.h"
#include "volumes/volume_entry.h"

namespace salvora {

// The kind of the file-system table's row for a label; empty for a label no parser reads.
std::optional<ParserKind> ParserKindForLabel(const std::string& fileSystemLabel);

// Whether the volume list's Next takes a row's label without custom settings: any label holding "FAT", and
// every label a parser runs for ("extX", "HFS+"), which would otherwise need custom settings to be read.
bool LabelTakenWithoutCustomSettings(const std::string& fileSystemLabel);

inline constexpr const char* kScanDoneText = "Scanning processing done.Select save button to save the data.";
inline constexpr const char* kWorkDoneText = "Work Done.";
inline constexpr const char* kWorkAbortedText = "Work Aborted....";
inline constexpr const char* kNotExtText = "Selected Drive is not in ext2/ext3/ext4 Format";
inline constexpr const char* kPleaseWaitText = "Please wait for other process to complete";

// After a scan that found no entry at all: what to try next, in the wizard's words (the mode page's names).
std::string EmptyScanHint(RecoveryMode mode, const std::string& fileSystemLabel);

// What the page shows besides the tree and the list.
struct PageState {
    bool backEnabled = false;
    bool progressVisible = false;  // the progress bar with the Pause, Resume and Stop buttons
    bool treeEnabled = true;  // false while a search walks a folder; Search and Save are disabled then too
};

class ScanSession {
  public:
    // ui: where messages, status texts and progress go; null sends them to Ui(). source: the open source the
    // volume lies on (null: every scan is refused as "not a valid drive.").
    ScanSession(const VolumeEntry& volume, RecoveryMode mode, UiSink* ui, readWriteInterface* source);
    // Stops a running worker and waits for it.
    ~ScanSession();
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    // Advanced mode: the parser the advanced-input page prepared (RunDeepDiscovery) and the items chosen
    // there. Borrowed: it must outlive the session. Without it an Advanced session runs the searches itself
    // first and takes the first candidate and the first sectors-per-cluster item.
    void SetAdvancedInput(ParserBase* parser, const AdvancedSelection& selection);
    // The same, the session owning the parser.
    void SetAdvancedInput(std::unique_ptr<ParserBase> parser, const AdvancedSelection& selection);
    RecoveryMode Mode() const { return mode_; }

    // Start-up: picks and creates the parser by the label and starts its worker on the source. False when
    // nothing was started; the reason has been shown ("not a valid drive.", the restart message).
    bool Start();
    // Waits for the last worker started (scan or search). Not from a worker's own callbacks.
    void Wait();
    bool WorkerRunning() const { return running_.load(); }

    // Pause and Resume act at the workers' poll points; pausing twice needs two resumes.
    void Pause();
    void Resume();
    // Asks the running scan or search to end with what it has, and a running save to end at its next file.
    // The worker still runs its completion, so a stopped scan's tree is kept and can be saved and searched.
    void Stop();

    bool Busy() const { return busyFlag_.load(); }  // a scan runs: Save and Search refuse
    // The scan ran to its completion (also after a Stop); false when the boot sector (superblock, volume
    // header) was refused.
    bool ScanCompleted() const { return scanCompleted_.load(); }
    // The boot sector was refused in a mode that needs it, and the advanced run, which does not, is offered.
    bool AdvancedMayHelp() const { return advancedMayHelp_.load(); }
    // The scan ended with no file or folder below the root: the volume looks empty as read in this mode.
    bool FoundNothing() const;
    // How many bytes of what the volume's header claims lie past the end of the source (0: none, or unknown).
    // Files there cannot be read whole.
    std::uint64_t MissingBytes() const;
    // The sentence a person reads about MissingBytes; empty when nothing is missing.
    std::string MissingBytesNote() const;
    // What Stop sets for saves and searches; an interrupt handler may set it directly to end a running save.
    std::atomic<bool>& CancelFlag() { return cancelFlag_; }
    PageState State() const;
    // Called, on the thread that made the change, whenever State() changes.
    std::function<void(const PageState&)> onStateChanged;

    const VolumeEntry& Volume() const { return volume_; }
    // The "Volume Data:" text: the display name when there is one, else the volume name.
    ResultTree& Tree() { return tree_; }
    ParserBase* ActiveParser() const { return parser_; }

    // Expansion of a tree item.
    void FillFolderChildren(ItemId item);
    // A label click: fills the folder when needed and returns the rows of the file list.
    std::vector<ListRow> ShowFolderFiles(ItemId item);

    // A click on a file item writes that one file into the output folder (under a free name); nothing without
    // an output folder. False when nothing was written.
    bool DumpClickedFile(ItemId item, const std::string& outputFolder);

    // Save of the selected folder (the root saves everything) on the calling thread; refused with "Please
    // wait for other process to complete" while a scan or a search runs.
    SaveOutcome SaveSelectedFolder(ItemId item, const std::string& outputFolder);
    // Checked items (ResultTree::CheckedRoots), or the files a search found, the same way.
    SaveOutcome SaveItems(const std::vector<ItemId>& roots, const std::string& outputFolder);
    SaveOutcome SaveFiles(const std::vector<EntryId>& files, const std::string& outputFolder);
    // The "File size: N kb" line while a file is written.
    std::function<void(const std::string&)> onFileSizeLine;
    // Replaces the "work done" box at the end of a save (see FolderSaver::onFinished).
    std::function<void(const SaveOutcome&)> onSaveFinished;
    // Keep files that could not be written whole as "NAME.incomplete".
    bool keepPartial = false;
    // "Is Drive Formated..?": read chains as ending at once and content from consecutive clusters. Only an
    // Advanced run takes it.
    bool formattedDrive = false;
    // Whom saved files and folders are given to (the wizard run through sudo: the invoking user).
    std::optional<FileOwner> saveOwner;

    // Starts a search on a worker thread; onHit gets every row as it is found (on the worker). False when
    // refused.
    bool StartSearch(const std::string& pattern, std::function<void(const ListRow&)> onHit = {});
    // The outcome of the last search that ended.
    SearchOutcome LastSearch() const;

  private:
    UiSink& Sink() const { return ui_ ? *ui_ : Ui(); }
    void SetState(const std::function<void(PageState&)>& change);
    void StartWorker(std::function<void()> body);
    bool OnWorkerThread();
    // The worker: the parser's own scan, then what the page says of it.
    void RunScan(const FileSystemRow& row);
    // Advanced mode without a prepared parser: the searches, as the advanced-input page runs them.
    void DiscoverIfNeeded(DiscoveryKind kind);
    void FinishScan(bool renameRecycled);
    // Runs body with a saver unless a scan, search or other save runs ("Please wait ...").
    SaveOutcome WithSaver(const std::function<SaveOutcome(FolderSaver&)>& body);

    VolumeEntry volume_;
    RecoveryMode mode_;
    UiSink* ui_;
    readWriteInterface* source_;
    ResultTree tree_;
    std::unique_ptr<ParserBase> ownedParser_;
    ParserBase* parser_ = nullptr;  // ownedParser_, or the advanced-input page's parser
    bool advancedInput_ = false;
    AdvancedSelection selection_;

    std::atomic<bool> busyFlag_{false};
    std::atomic<bool> cancelFlag_{false};
    std::atomic<bool> resultsInUse_{false};  // a search or a save runs: the other is refused
    std::atomic<bool> running_{false};
    std::atomic<bool> scanCompleted_{false};
    std::atomic<bool> advancedMayHelp_{false};
    bool workerStarted_ = false;

    mutable std::mutex stateMutex_;
    PageState state_;
    SearchOutcome lastSearch_;

    std::mutex threadMutex_;
    std::thread worker_;
};

}  // namespace salvora
