#include "ui/pages/advance_options.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "io/file_read_seek.h"
#include "io/pause_gate.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/volume_scan_dlg.h"
#include "ui/pages/wizard_globals.h"

namespace salvora::gui {
namespace {

QStringList ToQt(const std::vector<std::string>& texts) {
    QStringList out;
    for (const std::string& t : texts) out << QString::fromStdString(t);
    return out;
}

}  // namespace

advanceOptions::advanceOptions(WizardWindow* wizard, ParceModeNtfsDlg* parentPage)
    : WizardPage(wizard, parentPage, kAdvancedInputPage),
      modePage_(parentPage),
      volume_(parentPage->Volume()) {
    auto* group = new QGroupBox(QStringLiteral("Advanced Input:"), this);
    candidates = new QComboBox(group);
    candidates->setObjectName("candidates");
    sectorsPerCluster = new QComboBox(group);
    sectorsPerCluster->setObjectName("sectorsPerCluster");
    heapOffsets = new QComboBox(group);
    heapOffsets->setObjectName("heapOffsets");
    spcLabel_ = new QLabel(QStringLiteral("Sector Per Cluster :"), group);
    heapLabel_ = new QLabel(QStringLiteral("Heap Offset :"), group);
    auto* grid = new QGridLayout(group);
    grid->addWidget(new QLabel(QStringLiteral("TFS :"), group), 0, 0);
    grid->addWidget(candidates, 0, 1);
    grid->addWidget(spcLabel_, 1, 0);
    grid->addWidget(sectorsPerCluster, 1, 1);
    grid->addWidget(heapLabel_, 2, 0);
    grid->addWidget(heapOffsets, 2, 1);
    grid->setColumnStretch(1, 1);

    pauseButton = new QPushButton(QStringLiteral("Pause"), this);
    resumeButton = new QPushButton(QStringLiteral("Resume"), this);
    stopButton = new QPushButton(QStringLiteral("Stop"), this);
    backButton = new QPushButton(QStringLiteral("Back"), this);
    nextButton = new QPushButton(QStringLiteral("Next"), this);
    connect(pauseButton, &QPushButton::clicked, this, &advanceOptions::OnPause);
    connect(resumeButton, &QPushButton::clicked, this, &advanceOptions::OnResume);
    connect(stopButton, &QPushButton::clicked, this, &advanceOptions::OnStop);
    connect(backButton, &QPushButton::clicked, this, &advanceOptions::OnBack);
    connect(nextButton, &QPushButton::clicked, this, &advanceOptions::OnNext);

    auto* run = new QHBoxLayout;
    run->addWidget(ProgressBar(), 1);
    run->addWidget(pauseButton);
    run->addWidget(resumeButton);
    run->addWidget(stopButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addStretch();
    buttons->addWidget(backButton);
    buttons->addWidget(nextButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeHeading(QStringLiteral("ADVANCE OPTIONS")));
    layout->addWidget(group);
    layout->addStretch();
    layout->addLayout(run);
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);

    nextButton->setEnabled(false);
    backButton->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(sectorsPerCluster), static_cast<QWidget*>(heapOffsets),
                       static_cast<QWidget*>(spcLabel_), static_cast<QWidget*>(heapLabel_)})
        w->hide();
    StartSearch();
}

advanceOptions::~advanceOptions() {
    pageStop_ = true;
    if (parser_) parser_->stopRequested = true;
    Sink()->Abandon();
    while (pauseDepth_-- > 0) ThePauseGate().Resume();
    if (worker_) {
        worker_->wait();
        delete worker_;
    }
}

void advanceOptions::PrepareForExit() {
    pageStop_ = true;
    if (parser_) parser_->stopRequested = true;
    Sink()->SetStatus("All thread Stopped");
    WizardPage::PrepareForExit();
    while (pauseDepth_ > 0) {
        --pauseDepth_;
        ThePauseGate().Resume();
    }
}

void advanceOptions::StartSearch() {
    if (!theReader) {
        ShowBox(this, QStringLiteral("Please Restart the program to re begin necessary initialization..."));
        backButton->setEnabled(true);
        return;
    }
    const int maxFileSystems = modePage_->MaxFileSystems();
    kind_ = DiscoveryKindForLabel(volume_.fileSystemLabel);
    parser_ = CreateDiscoveryParser(kind_);
    if (!parser_) {
        backButton->setEnabled(true);
        return;
    }
    spcLabel_->setVisible(ShowsSectorsPerCluster(kind_));
    sectorsPerCluster->setVisible(ShowsSectorsPerCluster(kind_));
    heapLabel_->setVisible(ShowsHeapOffsets(kind_));
    heapOffsets->setVisible(ShowsHeapOffsets(kind_));
    parser_->statusWindow = Sink();
    if (sourceIsVolume) theReader->OpenSource(volume_.volumeName);
    const std::string opening = DiscoveryOpeningStatus(kind_);
    if (!opening.empty()) Sink()->SetStatus(opening);

    ParserBase* parser = parser_.get();
    FileReadSeek* reader = theReader;
    const VolumeEntry volume = volume_;
    const DiscoveryKind kind = kind_;
    worker_ = QThread::create([this, parser, reader, volume, maxFileSystems, kind] {
        const DeepDiscovery found = RunDeepDiscovery(*parser, kind, reader, volume, maxFileSystems);
        if (pageStop_ && found.stopped) return;  // the page is going away
        QMetaObject::invokeMethod(
            this,
            [this, fats = ToQt(found.candidateTexts), spc = ToQt(found.sectorsPerClusterTexts),
             heaps = ToQt(found.heapTexts), message = QString::fromStdString(found.message),
             geometry = QString::fromStdString(found.geometryText + (found.looksFormatted ? ". " + found.formattedText : "")),
             formatted = found.looksFormatted,
             stopped = found.stopped] {
                // The results page reads it as formatted, as the ticked box on the mode page says, unless the
                // person set that box themselves.
                if (formatted) {
                    auto* mode = qobject_cast<ParceModeNtfsDlg*>(ParentPage());
                    if (mode) mode->OfferFormatted();
                    else driveFormatted = true;
                }
                ShowResults(fats, spc, heaps, message, geometry, stopped);
            },
            Qt::QueuedConnection);
    });
    connect(
        worker_, &QThread::finished, this,
        [this] {
            worker_->wait();
            delete worker_;
            worker_ = nullptr;
            Q_EMIT searchFinished();
        },
        Qt::QueuedConnection);
    worker_->start();
}

void advanceOptions::ShowResults(const QStringList& fats, const QStringList& spc, const QStringList& heaps,
                                 const QString& message, const QString& geometry, bool) {
    candidates->clear();
    candidates->addItems(fats);
    sectorsPerCluster->clear();
    sectorsPerCluster->addItems(spc);
    heapOffsets->clear();
    heapOffsets->addItems(heaps);
    if (!message.isEmpty()) ShowBox(this, message);
    nextButton->setEnabled(true);
    backButton->setEnabled(true);
    pauseButton->hide();
    resumeButton->hide();
    stopButton->hide();
    // The geometry the entries told is what the first items of the lists are: said, so a person knows why.
    std::string said = geometry.toStdString();
    if (said.rfind(". ", 0) == 0) said.erase(0, 2);  // no geometry, only the format's words
    if (!said.empty() && said.back() == '.') said.pop_back();
    if (said.find("quick-formatted") != std::string::npos)
        said += driveFormatted ? ". It is read as formatted" : ". Read as it is (\"Is Drive Formated..?\" is unticked)";
    Sink()->SetStatus(said.empty() ? std::string(kDiscoveryDoneText) : said + ". " + kDiscoveryDoneText);
}

void advanceOptions::OnPause() {
    if (!worker_) return;
    ThePauseGate().Pause();
    ++pauseDepth_;
    Sink()->SetStatus("Pause button pressed");
}

void advanceOptions::OnResume() {
    if (!worker_) return;
    if (pauseDepth_ > 0) {
        ThePauseGate().Resume();
        --pauseDepth_;
    }
    Sink()->SetStatus("Resume button pressed");
}

void advanceOptions::OnStop() {
    if (!worker_) return;
    if (parser_) parser_->stopRequested = true;
    Sink()->SetStatus("stop button pressed");
    nextButton->setEnabled(true);
    backButton->setEnabled(true);
}

void advanceOptions::OnBack() {
    pageStop_ = true;
    if (parser_) parser_->stopRequested = true;
    GoBack();  // the destructor waits for the worker, which polls the stop flag
}

void advanceOptions::OnNext() {
    if (candidates->currentIndex() < 0 || sectorsPerCluster->currentIndex() < 0 || worker_) return;
    parser_->stopRequested = false;
    AdvancedChoice choice;
    choice.parser = parser_.get();
    choice.selection.candidateIndex = static_cast<std::size_t>(candidates->currentIndex());
    choice.selection.sectorsPerClusterText = sectorsPerCluster->currentText().toStdString();
    choice.selection.heapIndex = static_cast<std::size_t>(std::max(heapOffsets->currentIndex(), 0));
    GoNext(new VolumeScanDlg(Wizard(), this, volume_, 2, choice));
}

}  // namespace salvora::gui
