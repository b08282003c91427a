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
    StopBrowsing();  // the mount reads the parser this scan replaces
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
    session_ = std::make_unique<ScanSession>(volume_, ModeOfPage(recoveryMode_), Sink(), theReader);
    session_->formattedDrive = driveFormatted.load();
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
        // An empty result is no success: say so, and what to try next.
        if (session_->ScanCompleted() && session_->FoundNothing()) {
            const QString hint = QString::fromStdString(EmptyScanHint(ModeOfPage(recoveryMode_), volume_.fileSystemLabel));
            StatusLine()->setText(hint);
            StatusLine()->setToolTip(hint);
            ShowBox(this, hint, QStringLiteral("Salvora"), MsgIcon::Information);
        }
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
            std::lock_guard lock(parserUse_);
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
    FolderSaver saver(*activeParser_, *Sink(), Cancel());
    saver.owner = InvokingUser();
    saver.onFinished = [this](const SaveOutcome& outcome) { ShowSummaryFromWorker(outcome); };
    saver.onFileSizeLine = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            fileSizeLine, [this, text = QString::fromStdString(line)] { fileSizeLine->setText(text); },
            Qt::QueuedConnection);
    };
    saver.SaveItems(Tree(), roots, outputFolder_.toStdString());
}

}  // namespace salvora::gui
