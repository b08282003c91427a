// The results page's workers: the search and the save of checked items (the scan itself runs in the core's
// session). The steps run on a worker thread; what they show goes through the page's sink, what they change
// on the page goes through queued calls.
#include <QMetaObject>
#include <QTimer>

#include "io/file_read_seek.h"
#include "scan/deep_discovery.h"
#include "scan/file_saver.h"
#include "scan/list_rows.h"
#include "scan/search_worker.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/volume_scan_dlg.h"
#include "ui/pages/wizard_globals.h"

namespace salvora::gui {
namespace {

std::string TrimBoth(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

RecoveryMode ModeOfPage(int recoveryMode) {
    switch (recoveryMode) {
        case 2:
            return RecoveryMode::Advanced;
        case 3:
            return RecoveryMode::Deep;
        default:
            return RecoveryMode::Standard;
    }
}

}  // namespace

void VolumeScanDlg::StartScan() {
    busyFlag_ = true;
    if (!ParserKindForLabel(volume_.fileSystemLabel)) {
        CreateModels();
        ShowBox(this, QStringLiteral("not a valid drive."));
        backButton->setEnabled(true);
        Sink()->SetStatus("Not a valid Drive .Go back");
        busyFlag_ = false;
        return;
    }
    // The core's scan session runs the scan; the page shows its state. The advanced-input page has opened
    // the source already and lends its parser with the chosen items.
    if (sourceIsVolume && theReader && recoveryMode_ != 2) theReader->OpenSource(volume_.volumeName);
    session_ = std::make_unique<ScanSession>(volume_, ModeOfPage(recoveryMode_), Sink());
    if (recoveryMode_ == 2 && advanced_.parser)
        session_->SetAdvancedInput(advanced_.parser, advanced_.selection);
    CreateModels();
    session_->onStateChanged = [this](const PageState& state) {
        QMetaObject::invokeMethod(
            this,
            [this, state] {
                if (searching_ || saving_) return;  // those show their own controls
                backButton->setEnabled(state.backEnabled);
                ShowRunControls(state.progressVisible);
            },
            Qt::QueuedConnection);
    };
    const bool started = session_->Start();
    activeParser_ = session_->ActiveParser();
    if (!started) {
        busyFlag_ = false;
        backButton->setEnabled(true);
        return;
    }
    WatchSession();
}

void VolumeScanDlg::WatchSession() {
    // The session's worker is a plain thread; its end is noticed here, on the UI thread.
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        if (session_->WorkerRunning()) return;
        timer->deleteLater();
        timer->stop();
        busyFlag_ = false;
        const PageState state = session_->State();
        backButton->setEnabled(state.backEnabled);
        ShowRunControls(state.progressVisible);
        treeView->setEnabled(true);
        Q_EMIT scanFinished();
    });
    timer->start(20);
}

void VolumeScanDlg::OnSearch() {
    if (Busy()) {
        ShowBox(this, QStringLiteral("Please wait for other process to complete"), QString(), MsgIcon::None);
        return;
    }
    if (!activeParser_) return;
    searching_ = true;
    ShowRunControls(true);
    listModel_->BeginSearch();
    const std::string pattern = searchPattern->text().toStdString();
    RunWorker(
        [this, pattern] {
            SearchWorker search(Tree(), *activeParser_, *Sink(), Cancel());
            search.onHit = [this](const ListRow& row) {
                QMetaObject::invokeMethod(
                    this, [this, row] { listModel_->AppendHit(row); }, Qt::QueuedConnection);
            };
            search.onFolderSearch = [this](bool inFolder) {
                QMetaObject::invokeMethod(
                    this,
                    [this, inFolder] {
                        treeView->setEnabled(!inFolder);
                        searchButton->setEnabled(!inFolder);
                        saveButton->setEnabled(!inFolder);
                    },
                    Qt::QueuedConnection);
            };
            search.Run(pattern);
        },
        [this] {
            searching_ = false;
            treeView->setEnabled(true);
            searchButton->setEnabled(true);
            saveButton->setEnabled(true);
            ShowRunControls(false);
            Q_EMIT searchFinished();
        });
}

// Runs on a worker: writes every checked file and folder under the output folder, each below the folders that
// lead to it from the root item.
void VolumeScanDlg::SaveChecked(const std::vector<ItemId>& roots) {
    ParserBase& parser = *activeParser_;
    UiSink& ui = *Sink();
    FolderSaver saver(parser, ui, Cancel());
    saver.onFileSizeLine = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            fileSizeLine, [this, text = QString::fromStdString(line)] { fileSizeLine->setText(text); },
            Qt::QueuedConnection);
    };
    const ItemId top = Tree().Root();
    std::uint64_t count = 0;
    for (ItemId item : roots) {
        const EntryId entry = *Tree().Item(item).entry;
        count +=
            parser.IsWalkFolder(entry) || item == top ? saver.CountFiles(entry) : parser.IsWalkFile(entry);
    }
    ui.SetProgressRange(0, static_cast<std::int64_t>(count));
    char question[160];
    std::snprintf(
        question, sizeof question,
        "number of files found inside this folder = %lld .do u want to continue dumping these files..?",
        static_cast<long long>(count));
    if (ui.ShowMessage(question, "", MsgIcon::None, MsgButtons::YesNo) != MsgAnswer::Yes) return;

    const std::string output = outputFolder_.toStdString();
    std::uint64_t counter = 0;
    SaveOutcome outcome;
    for (ItemId item : roots) {
        if (Cancel()) break;
        const ResultItem it = Tree().Item(item);
        // The folders between the root item and this one, outermost first.
        std::vector<std::string> names;
        for (ItemId up = it.parent; up != kNoItem && up != top; up = Tree().Item(up).parent)
            names.insert(names.begin(), Tree().Item(up).text);
        std::string dir = output;
        for (const std::string& name : names) {
            if (dir.empty()) break;
            dir = MakeFolderIn(SafeName(name), dir);
        }
        if (dir.empty()) continue;
        const EntryId entry = *it.entry;
        if (item == top) {
            saver.SaveWalk(entry, dir, counter, outcome);
        } else if (parser.IsWalkFolder(entry)) {
            const std::string sub = MakeFolderIn(SafeName(parser.EntryName(entry)), dir);
            if (!sub.empty()) saver.SaveWalk(entry, sub, counter, outcome);
        } else if (parser.IsWalkFile(entry)) {
            ++counter;
            ui.SetProgressPos(static_cast<std::int64_t>(counter));
            const std::string dest = UniqueFilePath(dir, SafeName(TrimBoth(parser.EntryName(entry))));
            if (dest.empty()) continue;
            ui.SetStatus("saving File  " + dest);
            char line[64];
            std::snprintf(line, sizeof line, "File size: %llu kb",
                          static_cast<unsigned long long>(parser.EntrySizeBytes(entry) / 1024));
            saver.onFileSizeLine(line);
            parser.ExtractFile(entry, dest);
            saver.onFileSizeLine({});
        }
    }
    ui.SetProgressPos(static_cast<std::int64_t>(count));
    ui.ShowMessage("work done", kAppTitle, MsgIcon::Information, MsgButtons::Ok);
}

}  // namespace salvora::gui
