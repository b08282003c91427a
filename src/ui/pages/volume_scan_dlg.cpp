#include "ui/pages/volume_scan_dlg.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QSplitter>
#include <QVBoxLayout>
#include <filesystem>

#include "io/file_read_seek.h"
#include "io/pause_gate.h"
#include "scan/file_saver.h"
#include "scan/list_rows.h"
#include "scan/search_worker.h"
#include "ui/controls/dialogs.h"

namespace salvora::gui {

VolumeScanDlg::VolumeScanDlg(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume,
                             int recoveryMode, const AdvancedChoice& advanced)
    : WizardPage(wizard, parentPage, kResultsPage),
      volume_(volume),
      recoveryMode_(recoveryMode),
      advanced_(advanced) {
    volumeData = new QLineEdit(
        QString::fromStdString(volume_.displayName.empty() ? volume_.volumeName : volume_.displayName), this);
    volumeData->setReadOnly(true);
    volumeData->setObjectName("volumeData");
    searchPattern = new QLineEdit(this);
    searchPattern->setObjectName("searchPattern");
    searchButton = new QPushButton(QStringLiteral("Search"), this);
    auto* searchNote = new QLabel(QStringLiteral("* Use \"|\" to find multiple file type "), this);

    treeView = new QTreeView(this);
    treeView->setObjectName("resultTree");
    treeView->setHeaderHidden(true);
    treeView->setUniformRowHeights(true);
    treeView->setEnabled(false);
    connect(treeView, &QTreeView::clicked, this, &VolumeScanDlg::OnTreeClicked);
    treeView->setToolTipDuration(-1);

    fileList = new QTableView(this);
    fileList->setObjectName("fileList");
    listHeader = new CheckHeaderView(fileList);
    fileList->setHorizontalHeader(listHeader);
    fileList->verticalHeader()->hide();
    fileList->verticalHeader()->setDefaultSectionSize(fileList->fontMetrics().height() + 6);
    fileList->setShowGrid(true);
    fileList->setSelectionBehavior(QAbstractItemView::SelectRows);
    fileList->setWordWrap(false);

    pauseButton = new QPushButton(QStringLiteral("Pause"), this);
    resumeButton = new QPushButton(QStringLiteral("Resume"), this);
    stopButton = new QPushButton(QStringLiteral("Stop"), this);
    backButton = new QPushButton(QStringLiteral("Back"), this);
    saveButton = new QPushButton(QStringLiteral("Save"), this);
    fileSizeLine = new QLabel(this);
    fileSizeLine->setObjectName("fileSizeLine");
    outputFolderText = new QLabel(tr("Save to: (chosen at the first save)"), this);
    outputFolderText->setObjectName("outputFolderText");
    outputFolderText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    changeFolderButton = new QPushButton(tr("Change..."), this);
    changeFolderButton->setObjectName("changeFolderButton");
    connect(changeFolderButton, &QPushButton::clicked, this, &VolumeScanDlg::ChooseOutputFolder);
    connect(searchPattern, &QLineEdit::returnPressed, this, &VolumeScanDlg::OnSearch);
    connect(pauseButton, &QPushButton::clicked, this, &VolumeScanDlg::OnPause);
    connect(resumeButton, &QPushButton::clicked, this, &VolumeScanDlg::OnResume);
    connect(stopButton, &QPushButton::clicked, this, &VolumeScanDlg::OnStop);
    connect(backButton, &QPushButton::clicked, this, &VolumeScanDlg::OnBack);
    connect(saveButton, &QPushButton::clicked, this, &VolumeScanDlg::OnSave);
    connect(searchButton, &QPushButton::clicked, this, &VolumeScanDlg::OnSearch);

    triageBar = new TriageBar(this);
    triageBar->setEnabled(false);  // until the scan has ended
    previewPane = new PreviewPane(this);
    triage_ = std::make_unique<SerialWorker>();
    connect(triageBar, &TriageBar::changed, this, &VolumeScanDlg::ApplyFilter);
    connect(triageBar->checkAllShown, &QPushButton::clicked, this, &VolumeScanDlg::CheckAllShown);
    connect(triageBar->saveReport, &QPushButton::clicked, this, &VolumeScanDlg::OnSaveReport);
    connect(triageBar->browse, &QPushButton::clicked, this, &VolumeScanDlg::OnBrowse);
    connect(this, &VolumeScanDlg::scanFinished, this, [this] {
        triageBar->setEnabled(activeParser_ != nullptr);
        RequestVerdicts();
    });
    connect(this, &VolumeScanDlg::searchFinished, this, &VolumeScanDlg::RequestVerdicts);

    auto* volumeRow = new QHBoxLayout;
    volumeRow->addWidget(new QLabel(QStringLiteral("Volume Data:"), this));
    volumeRow->addWidget(volumeData, 1);
    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(searchPattern, 1);
    searchRow->addWidget(searchButton);
    searchRow->addWidget(searchNote);
    // The preview goes below the list: beside it, the list's seven columns would leave the names no room.
    auto* listAndPreview = new QSplitter(Qt::Vertical, this);
    listAndPreview->addWidget(fileList);
    listAndPreview->addWidget(previewPane);
    listAndPreview->setStretchFactor(0, 3);
    listAndPreview->setStretchFactor(1, 2);
    listAndPreview->setSizes({330, 220});
    auto* splitter = new QSplitter(this);
    splitter->addWidget(treeView);
    splitter->addWidget(listAndPreview);
    // The list's columns need the room: the tree gets a quarter of the width.
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 3);
    splitter->setSizes({280, 840});
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(ProgressBar(), 1);
    runRow->addWidget(pauseButton);
    runRow->addWidget(resumeButton);
    runRow->addWidget(stopButton);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(StatusLine(), 1);
    statusRow->addWidget(fileSizeLine);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addWidget(outputFolderText, 1);
    buttons->addWidget(changeFolderButton);
    buttons->addWidget(backButton);
    buttons->addWidget(saveButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(volumeRow);
    layout->addLayout(searchRow);
    layout->addWidget(triageBar);
    layout->addWidget(splitter, 1);
    layout->addLayout(runRow);
    layout->addLayout(statusRow);
    layout->addLayout(buttons);

    backButton->setEnabled(false);
    StartScan();
}

void VolumeScanDlg::CreateModels() {
    treeModel_ = new ResultTreeModel(Tree(), this);
    listModel_ = new FileListModel(Tree(), this);
    treeView->setModel(treeModel_);
    treeModel_->SetFolderFiller([this](ItemId item) {
        if (!busyFlag_ && activeParser_) FillFolderChildren(Tree(), *activeParser_, item);
    });
    connect(treeModel_, &ResultTreeModel::expandRequested, treeView, &QTreeView::expand);
    fileList->setModel(listModel_);
    // The name takes what the window gives; the other columns fit their contents and headers.
    for (int c = 0; c < FileListModel::kColumns; ++c)
        listHeader->setSectionResizeMode(c, c == 0 ? QHeaderView::Stretch : QHeaderView::ResizeToContents);
    // The arrow keys move the current item: the list follows it, as a click does (without writing a file).
    connect(treeView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { ShowItem(current); });
    connect(listHeader, &CheckHeaderView::toggled, listModel_, &FileListModel::SetAllChecked);
    connect(listModel_, &FileListModel::checksChanged, this,
            [this] { listHeader->SetChecked(listModel_->AllChecked()); });
    connect(treeModel_, &QAbstractItemModel::dataChanged, listModel_, &FileListModel::TreeChecksChanged);
    // The state beside the name; sorting starts with none, so a folder lists in the parser's order.
    listHeader->moveSection(FileListModel::kStateColumn, 1);
    listHeader->setSortIndicator(-1, Qt::AscendingOrder);
    fileList->setSortingEnabled(true);
    connect(fileList->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { PreviewListRow(current); });
}

VolumeScanDlg::~VolumeScanDlg() {
    StopBrowsing();
    if (activeParser_) activeParser_->stopRequested = true;
    Cancel() = true;
    for (const auto& stop : {filterStop_, verdictStop_, previewStop_})
        if (stop) *stop = true;
    Sink()->Abandon();
    while (pauseDepth_-- > 0) ThePauseGate().Resume();
    if (worker_) {
        worker_->wait();
        delete worker_;
    }
    triage_.reset();  // before the parser its jobs read goes
    // Views and models let go of the tree before the session or parser that owns the records goes.
    treeView->setModel(nullptr);
    fileList->setModel(nullptr);
    delete treeModel_;
    delete listModel_;
    if (session_) session_->onStateChanged = nullptr;
    session_.reset();
    // A lent parser goes back to the advanced-input page without this page's tree and sink.
    if (recoveryMode_ == 2 && advanced_.parser) {
        advanced_.parser->tree = nullptr;
        advanced_.parser->statusWindow = nullptr;
    }
}

void VolumeScanDlg::PrepareForExit() {
    if (activeParser_) {
        activeParser_->stopRequested = true;
        Sink()->SetStatus("All thread Stopped");
    }
    Cancel() = true;
    WizardPage::PrepareForExit();
    while (pauseDepth_ > 0) {
        --pauseDepth_;
        ThePauseGate().Resume();
    }
}

void VolumeScanDlg::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter) {
        // Enter does what a click does: on a focused button that button, in the search box Search (its own
        // returnPressed), anywhere else Save.
        event->accept();
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
        } else if (focusWidget() != searchPattern && saveButton->isEnabled() && saveButton->isVisible()) {
            OnSave();
        }
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        window()->close();  // the window asks first while results are on screen
        return;
    }
    WizardPage::keyPressEvent(event);
}

void VolumeScanDlg::ShowRunControls(bool on) {
    ProgressBar()->setVisible(on);
    pauseButton->setVisible(on);
    resumeButton->setVisible(on);
    stopButton->setVisible(on);
}

void VolumeScanDlg::RunWorker(std::function<void()> body, std::function<void()> done) {
    worker_ = QThread::create(std::move(body));
    connect(
        worker_, &QThread::finished, this,
        [this, done = std::move(done)] {
            worker_->wait();
            delete worker_;
            worker_ = nullptr;
            done();
        },
        Qt::QueuedConnection);
    worker_->start();
}

void VolumeScanDlg::OnPause() {
    if (!worker_ && !(session_ && session_->WorkerRunning())) return;
    ThePauseGate().Pause();
    ++pauseDepth_;
    Sink()->SetStatus("Pause button pressed");
}

void VolumeScanDlg::OnResume() {
    if (!worker_ && !(session_ && session_->WorkerRunning())) return;
    if (pauseDepth_ > 0) {
        ThePauseGate().Resume();
        --pauseDepth_;
    }
    Sink()->SetStatus("Resume button pressed");
}

void VolumeScanDlg::OnStop() {
    if (!activeParser_) return;
    if (session_) {
        session_->Stop();
        return;
    }
    activeParser_->stopRequested = true;
    cancelFlag_ = true;
    Sink()->SetStatus("stop button pressed.Please wait for the process to be stopped.");
}

void VolumeScanDlg::OnBack() {
    if (Busy() || worker_) return;
    StopBrowsing();
    GoBack();
}

void VolumeScanDlg::ShowItem(const QModelIndex& index) {
    if (!treeModel_ || searching_) return;
    const ItemId item = treeModel_->ItemAt(index);
    if (busyFlag_ || !activeParser_ || item == kNoItem) return;
    const ResultItem it = Tree().Item(item);
    if (!it.entry) return;
    const bool folder = activeParser_->IsFolder(*it.entry);
    RequestPreview(folder ? std::nullopt : it.entry);
    if (filterActive_) {
        // The filtered list stays; a folder becomes where it looks.
        if (folder) ApplyFilter();
        return;
    }
    if (folder) FillFolderChildren(Tree(), *activeParser_, item);
    listModel_->SetRows(ShowFolderFiles(Tree(), *activeParser_, item));
    RequestVerdicts();
}

void VolumeScanDlg::OnTreeClicked(const QModelIndex& index) {
    const ItemId item = treeModel_->ItemAt(index);
    if (busyFlag_ || !activeParser_ || item == kNoItem) return;
    const ResultItem it = Tree().Item(item);
    if (!it.entry) return;
    ShowItem(index);
    if (!activeParser_->IsFolder(*it.entry)) DumpClickedFile(item);
}

void VolumeScanDlg::DumpClickedFile(ItemId item) {
    // Without an output folder a click writes nothing: the user has not said where files may go.
    const ResultItem it = Tree().Item(item);
    if (outputFolder_.isEmpty() || !it.entry || searching_ || saving_) return;
    std::atomic<bool> never{false};
    std::lock_guard lock(parserUse_);
    FolderSaver saver(*activeParser_, *Sink(), never);
    saver.owner = InvokingUser();
    std::uint64_t missing = 0;
    const std::string dest = saver.SaveOneFile(*it.entry, outputFolder_.toStdString(), &missing);
    if (!dest.empty() && missing > 0) {
        ShowBox(this,
                tr("%1 was saved as %2, but %3 of its %4 bytes could not be read: they are zeros in the saved file.")
                    .arg(QString::fromStdString(activeParser_->EntryName(*it.entry)), QString::fromStdString(dest))
                    .arg(missing)
                    .arg(activeParser_->EntrySizeBytes(*it.entry)),
                QStringLiteral("Salvora"), MsgIcon::Warning);
        return;
    }
    if (dest.empty()) {
        // Not left behind half-written; said, never passed over in silence.
        ShowBox(this,
                tr("%1 could not be written whole into %2.")
                    .arg(QString::fromStdString(activeParser_->EntryName(*it.entry)), outputFolder_),
                QStringLiteral("Salvora"), MsgIcon::Warning);
        return;
    }
    // The FAT results pages never said where a single file went; the others do.
    const auto kind = ParserKindForLabel(volume_.fileSystemLabel);
    if (kind != ParserKind::Fat16 && kind != ParserKind::Fat32 && kind != ParserKind::Fat12) {
        char text[4200];
        std::snprintf(text, sizeof text, "file is dumped in path  :  %s   ", dest.c_str());
        ShowBox(this, QString::fromStdString(text), QString(), MsgIcon::None);
    }
}

void VolumeScanDlg::ChooseOutputFolder() {
    const QString chosen = ChooseFolderDialog(this, QStringLiteral("Please choose a folder."));
    if (!chosen.isEmpty()) UseOutputFolder(chosen);
}

bool VolumeScanDlg::UseOutputFolder(const QString& folder) {
    if (const std::string problem = OutputFolderProblem(folder.toStdString()); !problem.empty()) {
        ShowBox(this, QString::fromStdString(problem) + tr("\n\nChoose another folder."), QStringLiteral("Salvora"),
                MsgIcon::Warning);
        return false;
    }
    outputFolder_ = folder;
    outputFolderText->setText(tr("Save to: %1").arg(folder));
    outputFolderText->setToolTip(folder);
    return true;
}

void VolumeScanDlg::ShowSummaryFromWorker(const SaveOutcome& outcome) {
    QString text = QStringLiteral("%1work done\n\n%2")
                       .arg(outcome.cancelled ? QStringLiteral("(stopped)\n") : QString(),
                            QString::fromStdString(SaveSummaryText(outcome)));
    QStringList damaged;
    for (const std::string& folder : outcome.unreadableFolders)
        damaged << QString::fromStdString(UnreadableFolderLine(folder));
    for (const DamagedFile& file : outcome.damagedFiles) damaged << QString::fromStdString(DamagedLine(file));
    if (!damaged.isEmpty())
        text += tr("\n\nWhat could not be read (files saved with zeros where their bytes were unreadable):\n  ") +
                damaged.mid(0, 20).join(QStringLiteral("\n  ")) +
                (damaged.size() > 20 ? tr("\n  ... and %1 more").arg(damaged.size() - 20) : QString());
    QStringList failed;
    for (const std::string& name : outcome.failedFiles) failed << QString::fromStdString(name);
    if (!failed.isEmpty()) text += tr("\n\nNot written whole (removed, so nothing incomplete looks saved):\n  ") +
                                   failed.mid(0, 20).join(QStringLiteral("\n  ")) +
                                   (failed.size() > 20 ? tr("\n  ... and %1 more").arg(failed.size() - 20) : QString());
    const QString folder = QString::fromStdString(outcome.outputFolder);
    // "Save this list..." keeps both: the damaged files first, then those not written.
    failed = damaged + failed;
    QMetaObject::invokeMethod(
        this,
        [this, text, failed, folder,
         warn = outcome.filesFailed > 0 || outcome.filesDamaged > 0 || !outcome.unreadableFolders.empty() ||
                outcome.cancelled] {
            StatusLine()->clear();
            ShowSaveSummary(this, text, failed, folder, warn);
        },
        QThread::currentThread() == thread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
}

bool VolumeScanDlg::OutputOnSourceDevice() const {
    if (!theReader || !theReader->IsBlockDevice()) return false;
    struct stat source {
    }, out{};
    if (::stat(theReader->Path().c_str(), &source) != 0 ||
        ::stat(outputFolder_.toLocal8Bit().constData(), &out) != 0)
        return false;
    if (out.st_dev == source.st_rdev) return true;
    // The folder is on a partition of the disk being read.
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path part =
        fs::canonical(fs::path("/sys/dev/block") /
                          (std::to_string(major(out.st_dev)) + ":" + std::to_string(minor(out.st_dev))),
                      ec);
    if (ec || !fs::exists(part / "partition")) return false;
    QFile devFile(QString::fromStdString((part.parent_path() / "dev").string()));
    if (!devFile.open(QIODevice::ReadOnly)) return false;
    const QString disk = QString::fromLatin1(devFile.readAll()).trimmed();
    return disk == QStringLiteral("%1:%2").arg(major(source.st_rdev)).arg(minor(source.st_rdev));
}

void VolumeScanDlg::OnSave() {
    if (Busy()) {
        ShowBox(this, QStringLiteral("Please wait for other process to complete"));
        return;
    }
    if (!activeParser_) return;
    if (outputFolder_.isEmpty()) ChooseOutputFolder();
    if (outputFolder_.isEmpty()) {
        ShowBox(this, QStringLiteral("select output folder"));
        return;
    }
    if (OutputOnSourceDevice() &&
        ShowBox(this,
                tr("The output folder lies on the device being recovered. Writing there can overwrite the "
                   "deleted "
                   "files you want back.\n\nSave there anyway?"),
                QStringLiteral("Salvora"), MsgIcon::Warning, MsgButtons::YesNo) != MsgAnswer::Yes)
        return;

    // The same checks as when the folder was chosen: a disk may have filled up since.
    if (const std::string problem = OutputFolderProblem(outputFolder_.toStdString()); !problem.empty()) {
        ShowBox(this, QString::fromStdString(problem) + tr("\n\nUse \"Change...\" to choose another folder."),
                QStringLiteral("Salvora"), MsgIcon::Warning);
        return;
    }

    // What is saved: the ticked items of the tree; else, after a search, the hits on screen (the ticked ones,
    // or all); else the selected folder. The question names the count and the folder before anything is written.
    const std::vector<ItemId> checked = Tree().CheckedRoots();
    const std::vector<EntryId> hits =
        checked.empty() && listModel_->ShowsSearchHits() ? listModel_->HitsToSave() : std::vector<EntryId>{};
    std::optional<EntryId> selected;
    if (hits.empty() && checked.empty()) {
        const ItemId item = treeModel_->ItemAt(treeView->currentIndex());
        selected = Tree().Item(item).entry;
        if (!selected || !activeParser_->IsSaveFolder(*selected)) {
            ShowBox(this, tr("Tick the files and folders to save, or select a folder (ROOT saves everything)."));
            return;
        }
    }
    saving_ = true;
    Cancel() = false;  // a Stop from before must not end this save
    ProgressBar()->show();
    stopButton->show();
    const std::string output = outputFolder_.toStdString();
    RunWorker(
        [this, hits, checked, selected, output] {
            std::lock_guard lock(parserUse_);
            if (!checked.empty()) {
                SaveChecked(checked);
                return;
            }
            FolderSaver saver(*activeParser_, *Sink(), Cancel());
            saver.owner = InvokingUser();
            saver.onFinished = [this](const SaveOutcome& outcome) { ShowSummaryFromWorker(outcome); };
            saver.onFileSizeLine = [this](const std::string& line) {
                QMetaObject::invokeMethod(
                    fileSizeLine,
                    [this, text = QString::fromStdString(line)] { fileSizeLine->setText(text); },
                    Qt::QueuedConnection);
            };
            if (!hits.empty())
                saver.SaveFiles(hits, output);
            else
                saver.SaveSelectedFolder(*selected, output);
        },
        [this] {
            saving_ = false;
            ShowRunControls(false);
            Q_EMIT saveFinished();
        });
}

}  // namespace salvora::gui
