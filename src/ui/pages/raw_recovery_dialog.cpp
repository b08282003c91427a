#include "ui/pages/raw_recovery_dialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QVBoxLayout>

#include "io/file_read_seek.h"
#include "io/imaging.h"
#include "io/pause_gate.h"
#include "raw/carved_saver.h"
#include "raw/raw_parse.h"
#include "raw/settings_file.h"
#include "ui/controls/dialogs.h"

namespace salvora::gui {

RawRecoveryDialog::RawRecoveryDialog(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume)
    : WizardPage(wizard, parentPage, kRawRecoveryPage), volume_(volume) {
    pathEdit = new QLineEdit(this);
    pathEdit->setObjectName("settingsPath");
    browseButton = new QPushButton(QStringLiteral("..."), this);
    parseButton = new QPushButton(QStringLiteral("Parse"), this);
    loadDefaultItems = new QCheckBox(QStringLiteral("Load Default Items"), this);
    loadDefaultItems->setChecked(true);
    editorButton = new QPushButton(tr("Signature Editor..."), this);
    editorButton->setToolTip(tr("Add your own file signatures to a settings file."));

    treeView = new QTreeView(this);
    treeView->setObjectName("rawTree");
    treeView->setHeaderHidden(true);
    treeView->setUniformRowHeights(true);
    treeModel_ = new ResultTreeModel(tree_, this);
    treeView->setModel(treeModel_);
    connect(treeModel_, &ResultTreeModel::expandRequested, treeView, &QTreeView::expand);
    connect(treeView, &QTreeView::clicked, this, &RawRecoveryDialog::OnTreeClicked);

    fileList = new QListWidget(this);
    fileList->setObjectName("rawFileList");
    auto* listBox = new QWidget(this);
    auto* listLayout = new QVBoxLayout(listBox);
    listLayout->setContentsMargins(0, 0, 0, 0);
    auto* listTitle = new QLabel(QStringLiteral("File(s) List"), listBox);
    listTitle->setFrameShape(QFrame::StyledPanel);
    listLayout->addWidget(listTitle);
    listLayout->addWidget(fileList, 1);
    listBox->setMinimumWidth(300);

    pauseButton = new QPushButton(QStringLiteral("Pause"), this);
    resumeButton = new QPushButton(QStringLiteral("Resume"), this);
    stopButton = new QPushButton(QStringLiteral("Stop"), this);
    backButton = new QPushButton(QStringLiteral("Back"), this);
    saveButton = new QPushButton(QStringLiteral("Save"), this);
    connect(browseButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnBrowse);
    connect(parseButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnParse);
    connect(editorButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnOpenEditor);
    connect(pauseButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnPause);
    connect(resumeButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnResume);
    connect(stopButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnStop);
    connect(backButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnBack);
    connect(saveButton, &QPushButton::clicked, this, &RawRecoveryDialog::OnSave);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel(tr("Settings file:"), this));
    pathRow->addWidget(pathEdit, 1);
    pathRow->addWidget(browseButton);
    pathRow->addWidget(parseButton);
    auto* optionRow = new QHBoxLayout;
    optionRow->addWidget(loadDefaultItems);
    optionRow->addStretch();
    optionRow->addWidget(editorButton);
    auto* splitter = new QSplitter(this);
    splitter->addWidget(treeView);
    splitter->addWidget(listBox);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(ProgressBar(), 1);
    runRow->addWidget(pauseButton);
    runRow->addWidget(resumeButton);
    runRow->addWidget(stopButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addStretch();
    buttons->addWidget(backButton);
    buttons->addWidget(saveButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeHeading(tr("Raw recovery")));
    layout->addLayout(pathRow);
    layout->addLayout(optionRow);
    layout->addWidget(splitter, 1);
    layout->addLayout(runRow);
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);

    defaultPath_ = QString::fromStdString(DefaultSettingsPath());
    pathEdit->setText(defaultPath_);
    Sink()->SetStatus(kRawOpenStatus);
    ShowRunControls(false);
}

RawRecoveryDialog::~RawRecoveryDialog() {
    if (engine_) engine_->stopRequested = true;
    cancel_ = true;
    Sink()->Abandon();
    while (pauseDepth_-- > 0) ThePauseGate().Resume();
    if (worker_) {
        worker_->wait();
        delete worker_;
    }
    treeView->setModel(nullptr);
    delete treeModel_;
}

void RawRecoveryDialog::PrepareForExit() {
    if (engine_) engine_->stopRequested = true;
    cancel_ = true;
    WizardPage::PrepareForExit();
    while (pauseDepth_ > 0) {
        --pauseDepth_;
        ThePauseGate().Resume();
    }
}

void RawRecoveryDialog::SetButtonsEnabled(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(browseButton), static_cast<QWidget*>(parseButton),
                       static_cast<QWidget*>(loadDefaultItems), static_cast<QWidget*>(editorButton),
                       static_cast<QWidget*>(pathEdit), static_cast<QWidget*>(backButton),
                       static_cast<QWidget*>(saveButton)})
        w->setEnabled(on);
}

void RawRecoveryDialog::ShowRunControls(bool on) {
    ProgressBar()->setVisible(on);
    pauseButton->setVisible(on);
    resumeButton->setVisible(on);
    stopButton->setVisible(on);
}

void RawRecoveryDialog::RunWorker(std::function<void()> body, std::function<void()> done) {
    SetButtonsEnabled(false);
    ShowRunControls(true);
    worker_ = QThread::create(std::move(body));
    connect(
        worker_, &QThread::finished, this,
        [this, done = std::move(done)] {
            worker_->wait();
            delete worker_;
            worker_ = nullptr;
            // A pause left over from the run must not hold the next one.
            while (pauseDepth_ > 0) {
                --pauseDepth_;
                ThePauseGate().Resume();
            }
            treeModel_->Sync();
            SetButtonsEnabled(true);
            ShowRunControls(false);
            done();
        },
        Qt::QueuedConnection);
    worker_->start();
}

void RawRecoveryDialog::OnBrowse() {
    if (Busy()) return;
    const QString path = ChooseSettingsFile(this, false);
    if (!path.isEmpty()) pathEdit->setText(path);
}

void RawRecoveryDialog::OnOpenEditor() {
    if (editor_) {
        editor_->raise();
        editor_->activateWindow();
        return;
    }
    editor_ = new RawSettingDlg(this);
    editor_->setAttribute(Qt::WA_DeleteOnClose);
    editor_->setWindowModality(Qt::WindowModal);
    editor_->show();
}

void RawRecoveryDialog::OnParse() {
    if (Busy()) return;
    if (!theReader) {
        ShowBox(this, QStringLiteral("information lost ..go back and parse again"));
        return;
    }
    if (!engine_) {
        engine_ = std::make_unique<myJpg>();
        engine_->tree = &tree_;
        engine_->statusWindow = Sink();
    }
    engine_->stopRequested = false;
    RawParseInput input;
    input.loadDefaultItems = loadDefaultItems->isChecked();
    input.defaultPath = defaultPath_.toStdString();
    input.settingsPaths = {pathEdit->text().toStdString()};
    input.volume = volume_;
    myJpg* engine = engine_.get();
    readWriteInterface* reader = theReader;
    RunWorker([engine, input, reader] { RunRawParse(*engine, input, *reader); },
              [this, engine] {
                  // Said on the status line, never hidden behind "Processing done": what could not be read
                  // was scanned as zeros.
                  if (engine->stopRequested)
                      // Stopped is not done: the files past that point were never looked for.
                      Sink()->SetStatus("Stopped after searching " +
                                        HumanBytes(static_cast<std::uint64_t>(engine->scannedBytes)) + " of " +
                                        HumanBytes(static_cast<std::uint64_t>(engine->volumeSize)) +
                                        ": files past that point were not looked for. Start again to search it all.");
                  else if (engine->scannedBytes > 0 && engine->unreadableBytes >= engine->scannedBytes)
                      Sink()->SetStatus("Nothing could be read from this source: every sector failed. Check the "
                                        "cable and the device, or image it with ddrescue first.");
                  else if (engine->unreadableBytes > 0)
                      Sink()->SetStatus("Processing done, but " + std::to_string(engine->unreadableBytes) + " of " +
                                        std::to_string(engine->scannedBytes) +
                                        " bytes could not be read: files over them are missing or cut.");
                  Q_EMIT parseFinished();
              });
}

void RawRecoveryDialog::OnTreeClicked(const QModelIndex& index) {
    const ItemId item = treeModel_->ItemAt(index);
    fileList->clear();
    if (!engine_ || item == kNoItem) return;
    for (std::size_t row : CarvedRowsUnder(tree_, item))
        fileList->addItem(QString::fromStdString(engine_->CarvedName(row)));
}

void RawRecoveryDialog::OnPause() {
    if (!worker_) return;
    ThePauseGate().Pause();
    ++pauseDepth_;
    Sink()->SetStatus("Pause button pressed");
}

void RawRecoveryDialog::OnResume() {
    if (!worker_) return;
    if (pauseDepth_ > 0) {
        ThePauseGate().Resume();
        --pauseDepth_;
    }
    Sink()->SetStatus("Resume button pressed");
}

void RawRecoveryDialog::OnStop() {
    if (!worker_) return;
    if (engine_) engine_->stopRequested = true;
    cancel_ = true;
    Sink()->SetStatus("stop button pressed.Please wait for the process to be stopped.");
}

void RawRecoveryDialog::OnBack() {
    if (Busy()) return;
    GoBack();
}

void RawRecoveryDialog::OnSave() {
    if (Busy()) {
        ShowBox(this, QStringLiteral("Please wait for other process to complete"));
        return;
    }
    if (!engine_ || !theReader) return;
    // The checked files; without any, the files under the selected item.
    std::vector<std::size_t> rows = CheckedCarvedRows(tree_);
    if (rows.empty()) {
        const ItemId item = treeModel_->ItemAt(treeView->currentIndex());
        if (item != kNoItem) rows = CarvedRowsUnder(tree_, item);
    }
    if (rows.empty()) {
        ShowBox(this, tr("Check the files to save, or select a category."));
        return;
    }
    if (outputFolder_.isEmpty())
        outputFolder_ = ChooseFolderDialog(this, QStringLiteral("Please choose a folder."));
    if (outputFolder_.isEmpty()) {
        ShowBox(this, QStringLiteral("select output folder"));
        return;
    }
    // Said before anything is carved out, not as a list of failures after.
    if (const std::string problem = OutputFolderProblem(outputFolder_.toStdString()); !problem.empty()) {
        outputFolder_.clear();
        ShowBox(this, QString::fromStdString(problem) + tr("\n\nChoose another folder."), QStringLiteral("Salvora"),
                MsgIcon::Warning);
        return;
    }
    cancel_ = false;
    auto outcome = std::make_shared<CarvedSaveOutcome>();
    const myJpg* engine = engine_.get();
    const std::string folder = outputFolder_.toStdString();
    RunWorker([=, this] { *outcome = SaveCarvedFiles(*engine, rows, folder, cancel_, false, InvokingUser()); },
              [this, outcome, folder] {
                  lastSaved_ = outcome->written;
                  QString text =
                      tr("%1 file(s) saved in %2").arg(outcome->written).arg(QString::fromStdString(folder));
                  if (outcome->failed > 0) text += tr(", %1 could not be written").arg(outcome->failed);
                  if (outcome->cancelled) text += tr(" (stopped)");
                  Sink()->SetStatus(text.toStdString());
                  if (outcome->failed > 0 || outcome->cancelled) {
                      QStringList failed;
                      for (const std::string& name : outcome->failedNames) failed << QString::fromStdString(name);
                      ShowSaveSummary(this, text + (failed.isEmpty() ? QString() : tr("\n\nNot written whole (removed):\n  ") +
                                                                                    failed.mid(0, 20).join("\n  ")),
                                      failed, QString::fromStdString(folder), true);
                  }
                  Q_EMIT saveFinished();
              });
}

}  // namespace salvora::gui
