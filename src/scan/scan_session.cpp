#include "scan/scan_session.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "io/file_read_seek.h"
#include "io/imaging.h"
#include "io/pause_gate.h"
#include "scan/recycle_bin.h"

namespace salvora {
namespace {

// "1.5 GiB": the unit that keeps the number below 1,024, one decimal.
std::string ByteCountText(std::uint64_t bytes) {
    return bytes < 1024 ? std::to_string(bytes) + " bytes" : HumanBytes(bytes);
}

}  // namespace

std::optional<ParserKind> ParserKindForLabel(const std::string& fileSystemLabel) {
    const FileSystemRow* row = FindFileSystem(fileSystemLabel);
    if (!row) return std::nullopt;
    return row->kind;
}

bool LabelTakenWithoutCustomSettings(const std::string& fileSystemLabel) {
    return fileSystemLabel.find("FAT") != std::string::npos ||
           ParserKindForLabel(fileSystemLabel).has_value();
}

ScanSession::ScanSession(const VolumeEntry& volume, RecoveryMode mode, UiSink* ui, readWriteInterface* source)
    : volume_(volume), mode_(mode), ui_(ui), source_(source) {}

ScanSession::~ScanSession() {
    if (parser_) parser_->stopRequested = true;
    cancelFlag_ = true;
    Wait();
    ThePauseGate().Reset();
}

void ScanSession::SetAdvancedInput(ParserBase* parser, const AdvancedSelection& selection) {
    if (workerStarted_) return;
    ownedParser_.reset();
    parser_ = parser;
    advancedInput_ = parser != nullptr;
    selection_ = selection;
}

void ScanSession::SetAdvancedInput(std::unique_ptr<ParserBase> parser, const AdvancedSelection& selection) {
    if (workerStarted_) return;
    ownedParser_ = std::move(parser);
    parser_ = ownedParser_.get();
    advancedInput_ = parser_ != nullptr;
    selection_ = selection;
}

PageState ScanSession::State() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void ScanSession::SetState(const std::function<void(PageState&)>& change) {
    PageState now;
    {
        std::lock_guard lock(stateMutex_);
        change(state_);
        now = state_;
    }
    if (onStateChanged) onStateChanged(now);
}

void ScanSession::StartWorker(std::function<void()> body) {
    std::lock_guard lock(threadMutex_);
    if (worker_.joinable()) worker_.join();  // the previous worker has ended: the flags said so
    // A pause left from an earlier worker would hold this one with no visible Resume.
    ThePauseGate().Reset();
    workerStarted_ = true;
    running_ = true;
    worker_ = std::thread([this, body = std::move(body)] {
        body();
        running_ = false;
    });
}

bool ScanSession::OnWorkerThread() {
    std::lock_guard lock(threadMutex_);
    return worker_.joinable() && worker_.get_id() == std::this_thread::get_id();
}

void ScanSession::Wait() {
    std::lock_guard lock(threadMutex_);
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool ScanSession::Start() {
    if (workerStarted_ || (parser_ && !advancedInput_)) return false;  // one scan per session
    busyFlag_ = true;
    SetState([](PageState& s) { s.backEnabled = false; });
    const FileSystemRow* row = FindFileSystem(volume_.fileSystemLabel);
    if (!row) {
        Sink().ShowMessage("not a valid drive.", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
        SetState([](PageState& s) { s.backEnabled = true; });
        Sink().SetStatus("Not a valid Drive .Go back");
        busyFlag_ = false;  // nothing runs: Save and Search find an empty tree rather than a wait
        return false;
    }
    // HFS+ runs without a reader and ends at "Work Aborted....".
    if (source_ == nullptr && row->kind != ParserKind::HfsPlus) {
        Sink().ShowMessage("Please Restart the program to re begin necessary initialization...", kAppTitle,
                           MsgIcon::Information, MsgButtons::Ok);
        return false;
    }
    if (!ModesForLabel(volume_.fileSystemLabel).Offers(mode_)) {
        // The recovery-mode page does not offer a mode without a worker.
        busyFlag_ = false;
        SetState([](PageState& s) { s.backEnabled = true; });
        return false;
    }
    const bool advanced = mode_ == RecoveryMode::Advanced;
    if (!advanced || !advancedInput_) {
        ownedParser_ = row->create();
        parser_ = ownedParser_.get();
    }
    parser_->tree = &tree_;
    parser_->statusWindow = ui_;
    SetState([](PageState& s) { s.progressVisible = true; });
    StartWorker([this, row] { RunScan(*row); });
    return true;
}

void ScanSession::RunScan(const FileSystemRow& row) {
    ScanRequest request;
    request.mode = mode_;
    request.source = source_;
    request.volume = volume_;
    request.formattedDrive = formattedDrive && mode_ == RecoveryMode::Advanced;
    if (mode_ == RecoveryMode::Advanced && row.discovery != DiscoveryKind::None) {
        DiscoverIfNeeded(row.discovery);
        tree_.Clear();
        request.candidate = selection_.candidateIndex;
        request.sectorsPerCluster = SectorsPerClusterValue(selection_.sectorsPerClusterText);
        request.heapCandidate = selection_.heapIndex;
    }
    const ScanOutcome outcome = parser_->Scan(request);
    if (row.notThisText == nullptr) {
        // HFS+ ends on its status line, without a box.
        if (outcome == ScanOutcome::Done) PlaceFirstLevelPlaceholders(tree_, *parser_);
        Sink().SetStatus(outcome == ScanOutcome::Done ? kWorkDoneText : kWorkAbortedText);
        SetState([](PageState& s) {
            s.backEnabled = true;
            s.progressVisible = false;
        });
        scanCompleted_ = outcome == ScanOutcome::Done;
        busyFlag_ = false;
        return;
    }
    if (outcome == ScanOutcome::NotThisFileSystem) {
        // Saying "Scanning processing done." over an empty tree would pass a wrong file system off as an empty
        // volume.
        Sink().ShowMessage(row.notThisText, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
        if (mode_ != RecoveryMode::Advanced && row.advanced) {
            advancedMayHelp_ = true;
            Sink().SetStatus("No boot sector of this file system was found at the start of the volume. If it is "
                             "damaged or gone, go Back and choose \"Advanced\": it finds the volume's layout from "
                             "what is left on it.");
        }
        SetState([](PageState& s) { s.backEnabled = true; });
        busyFlag_ = false;
        return;
    }
    if (outcome == ScanOutcome::RootUnreadable)
        Sink().ShowMessage("error...", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
    FinishScan(row.recycleBin);
}

void ScanSession::DiscoverIfNeeded(DiscoveryKind kind) {
    if (advancedInput_) return;
    const DeepDiscovery found = RunDeepDiscovery(*parser_, kind, source_, volume_, kDefaultMaxFileSystems);
    selection_ = AdvancedSelection{};
    if (!found.sectorsPerClusterTexts.empty())
        selection_.sectorsPerClusterText = found.sectorsPerClusterTexts.front();
}


void ScanSession::FinishScan(bool renameRecycled) {
    PlaceFirstLevelPlaceholders(tree_, *parser_);
    if (renameRecycled) RenameRecycledFiles(tree_, *parser_);
    SetState([](PageState& s) { s.backEnabled = true; });
    if (const std::string note = MissingBytesNote(); !note.empty())
        Sink().ShowMessage(note, kAppTitle, MsgIcon::Warning, MsgButtons::Ok);
    Sink().ShowMessage(kScanDoneText, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
    Sink().SetStatus(kScanDoneText);
    SetState([](PageState& s) { s.progressVisible = false; });
    scanCompleted_ = true;
    busyFlag_ = false;
}

void ScanSession::Pause() {
    if (!workerStarted_) return;
    ThePauseGate().Pause();
    Sink().SetStatus("Pause button pressed");
}

void ScanSession::Resume() {
    if (!workerStarted_) return;
    ThePauseGate().Resume();
    Sink().SetStatus("Resume button pressed");
}

void ScanSession::Stop() {
    if (!parser_) return;
    parser_->stopRequested = true;
    cancelFlag_ = true;
    Sink().SetStatus("stop button pressed.Please wait for the process to be stopped.");
}

void ScanSession::FillFolderChildren(ItemId item) {
    if (parser_) salvora::FillFolderChildren(tree_, *parser_, item);
}

std::vector<ListRow> ScanSession::ShowFolderFiles(ItemId item) {
    if (!parser_) return {};
    salvora::FillFolderChildren(tree_, *parser_, item);
    return salvora::ShowFolderFiles(tree_, *parser_, item);
}

std::string EmptyScanHint(RecoveryMode mode, const std::string& fileSystemLabel) {
    const ModeOffer offer = ModesForLabel(fileSystemLabel);
    std::string text = "Nothing was found on this volume.";
    if (mode == RecoveryMode::Standard && offer.Offers(RecoveryMode::Advanced)) {
        text += " If it was formatted or damaged, go Back and choose Advanced";
        text += offer.formattedSwitch ? " (tick \"Is Drive Formated..?\" for a formatted card)." : ".";
    } else if (mode == RecoveryMode::Standard && offer.Offers(RecoveryMode::Deep)) {
        text += " Go Back and choose Deep to look for catalog pieces across the volume.";
    } else if (mode == RecoveryMode::Advanced && offer.formattedSwitch) {
        text += " If the card was formatted, go Back and tick \"Is Drive Formated..?\", or try another FAT copy.";
    }
    return text + " \"Search by file type\" finds files by their content when no file system is left.";
}

bool ScanSession::FoundNothing() const {
    return parser_ == nullptr || !parser_->FirstChild(parser_->RootEntry());
}

std::uint64_t ScanSession::MissingBytes() const {
    if (!parser_ || !source_ || source_->sourceLength == 0) return 0;
    const std::uint64_t claimed = parser_->ClaimedVolumeBytes();
    const std::uint64_t start = volume_.startSector * kSectorBytes;
    const std::uint64_t held = source_->sourceLength > start ? source_->sourceLength - start : 0;
    return claimed > held ? claimed - held : 0;
}

std::string ScanSession::MissingBytesNote() const {
    const std::uint64_t missing = MissingBytes();
    if (missing == 0) return {};
    return "The volume says it holds " + ByteCountText(parser_->ClaimedVolumeBytes()) + ", but the source ends " +
           ByteCountText(missing) + " before that: files in the missing part cannot be read whole. " +
           "What is there has been read; if the source is an image, it may have been cut short.";
}

bool ScanSession::DumpClickedFile(ItemId item, const std::string& outputFolder) {
    const ResultItem clicked = tree_.Item(item);
    if (!parser_ || busyFlag_ || outputFolder.empty() || !clicked.entry || parser_->IsFolder(*clicked.entry))
        return false;
    FolderSaver saver(*parser_, Sink(), cancelFlag_);
    saver.keepPartial = keepPartial;
    saver.owner = saveOwner;
    return !saver.SaveOneFile(*clicked.entry, outputFolder).empty();
}

SaveOutcome ScanSession::WithSaver(const std::function<SaveOutcome(FolderSaver&)>& body) {
    if (busyFlag_ || resultsInUse_.exchange(true)) {
        Sink().ShowMessage(kPleaseWaitText, kAppTitle, MsgIcon::Information, MsgButtons::Ok);
        return {};
    }
    SaveOutcome outcome;
    if (parser_) {
        // A Stop pressed during the scan or an earlier run must not end this save.
        cancelFlag_ = false;
        ThePauseGate().Reset();
        FolderSaver saver(*parser_, Sink(), cancelFlag_);
        saver.onFileSizeLine = onFileSizeLine;
        saver.onFinished = onSaveFinished;
        saver.keepPartial = keepPartial;
        saver.owner = saveOwner;
        outcome = body(saver);
    }
    resultsInUse_ = false;
    return outcome;
}

SaveOutcome ScanSession::SaveSelectedFolder(ItemId item, const std::string& outputFolder) {
    const ResultItem selected = tree_.Item(item);
    if (outputFolder.empty() && (!parser_ || !selected.entry)) {
        Sink().ShowMessage("select output folder", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
        return {};
    }
    return WithSaver([&](FolderSaver& saver) {
        return selected.entry ? saver.SaveSelectedFolder(*selected.entry, outputFolder) : SaveOutcome{};
    });
}

SaveOutcome ScanSession::SaveItems(const std::vector<ItemId>& roots, const std::string& outputFolder) {
    return WithSaver([&](FolderSaver& saver) { return saver.SaveItems(tree_, roots, outputFolder); });
}

SaveOutcome ScanSession::SaveFiles(const std::vector<EntryId>& files, const std::string& outputFolder) {
    return WithSaver([&](FolderSaver& saver) { return saver.SaveFiles(files, outputFolder); });
}

bool ScanSession::StartSearch(const std::string& pattern, std::function<void(const ListRow&)> onHit) {
    if (!parser_) return false;
    // From a callback of the worker itself (it has not ended yet) a new worker cannot start either.
    if (busyFlag_ || OnWorkerThread() || resultsInUse_.exchange(true)) {
        Sink().ShowMessage(kPleaseWaitText, "", MsgIcon::None, MsgButtons::Ok);
        return false;
    }
    SetState([](PageState& s) { s.progressVisible = true; });
    StartWorker([this, pattern, onHit = std::move(onHit)] {
        SearchWorker worker(tree_, *parser_, Sink(), cancelFlag_);
        worker.onHit = onHit;
        worker.onFolderSearch = [this](bool active) {
            SetState([active](PageState& s) { s.treeEnabled = !active; });
        };
        SearchOutcome outcome = worker.Run(pattern);
        {
            std::lock_guard lock(stateMutex_);
            lastSearch_ = std::move(outcome);
        }
        SetState([](PageState& s) {
            s.progressVisible = false;
            s.treeEnabled = true;
        });
        resultsInUse_ = false;
    });
    return true;
}

SearchOutcome ScanSession::LastSearch() const {
    std::lock_guard lock(stateMutex_);
    return lastSearch_;
}

}  // namespace salvora
