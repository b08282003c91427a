#include "ui/pages/populate_drive_dlg.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "io/file_read_seek.h"
#include "scan/scan_session.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/raw_recovery_dialog.h"
#include "ui/pages/wizard_globals.h"

namespace salvora::gui {
namespace {

constexpr int kRecordRole = Qt::UserRole;
constexpr int kListColumns = 6;

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

PopulateDriveDlg::PopulateDriveDlg(WizardWindow* wizard, WizardPage* parentPage, const ScanSettings& settings)
    : WizardPage(wizard, parentPage, kVolumeListPage), settings_(settings) {
    list = new QTableWidget(0, kListColumns, this);
    list->setObjectName("volumeList");
    // Beside the labels the parsers go by: the file system's everyday name and label, and the table's name.
    list->setHorizontalHeaderLabels({QStringLiteral("VOLUME"), QStringLiteral("FILE_SYSTEM"),
                                     QStringLiteral("VOLUME_SIZE"), QStringLiteral("START_SECTOR"), tr("NAME"),
                                     tr("PARTITION")});
    // Every column fits its header and contents; the names take what is left.
    for (int c = 0; c < kListColumns; ++c)
        list->horizontalHeader()->setSectionResizeMode(c, c == 4 ? QHeaderView::Stretch : QHeaderView::ResizeToContents);
    list->verticalHeader()->hide();
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 8);

    customSettings = new QCheckBox(QStringLiteral("Custom Settings For Selected Volume "), this);
    selectedVolume = new QLabel(this);
    selectedVolume->setObjectName("selectedVolume");
    startSector = new SectorEdit(this);
    endSector = new SectorEdit(this);
    treatAs = new QComboBox(this);
    treatAs->addItems({QStringLiteral("EXTX"), QStringLiteral("FAT64"), QStringLiteral("FAT32"),
                       QStringLiteral("FAT16"), QStringLiteral("HFS+"), QStringLiteral("NTFS"),
                       QStringLiteral("RAW")});
    treatAs->setCurrentIndex(1);

    auto* custom = new QGroupBox(this);
    auto* grid = new QGridLayout(custom);
    grid->addWidget(customSettings, 0, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Selected Volume :"), custom), 1, 0);
    grid->addWidget(selectedVolume, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Start Sector:"), custom), 2, 0);
    grid->addWidget(startSector, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("End Sector :"), custom), 3, 0);
    grid->addWidget(endSector, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Treat file system as:"), custom), 4, 0);
    grid->addWidget(treatAs, 4, 1);
    grid->setRowStretch(5, 1);

    filterButton = new QPushButton(QStringLiteral("Filter Entries"), this);
    filterButton->setToolTip(QStringLiteral("Filter volume entries."));
    addCustomButton = new QPushButton(QStringLiteral("Add Custom Volume"), this);
    addCustomButton->setToolTip(QStringLiteral("Add Custom Volume entry."));
    stopButton = new QPushButton(QStringLiteral("Stop"), this);
    backButton = new QPushButton(QStringLiteral("Back"), this);
    nextButton = new QPushButton(QStringLiteral("Next"), this);
    QPushButton* help = MakeHelpButton();

    connect(nextButton, &QPushButton::clicked, this, &PopulateDriveDlg::OnNext);
    connect(backButton, &QPushButton::clicked, this, &PopulateDriveDlg::OnBack);
    connect(stopButton, &QPushButton::clicked, this, &PopulateDriveDlg::OnStop);
    connect(filterButton, &QPushButton::clicked, this, &PopulateDriveDlg::OnFilterEntries);
    connect(addCustomButton, &QPushButton::clicked, this, &PopulateDriveDlg::OnAddCustomVolume);
    connect(list, &QTableWidget::itemSelectionChanged, this, &PopulateDriveDlg::OnRowSelected);
    connect(customSettings, &QCheckBox::toggled, this, &PopulateDriveDlg::OnCustomSettings);

    auto* top = new QHBoxLayout;
    top->addWidget(list, 3);
    top->addWidget(custom, 2);
    auto* tools = new QHBoxLayout;
    tools->addWidget(filterButton);
    tools->addWidget(addCustomButton);
    tools->addStretch();
    tools->addWidget(stopButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(help);
    buttons->addStretch();
    buttons->addWidget(backButton);
    buttons->addWidget(nextButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeHeading(tr("Volumes")));
    layout->addLayout(top, 1);
    layout->addLayout(tools);
    layout->addWidget(ProgressBar());
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);

    addCustomButton->setEnabled(false);
    customSettings->setEnabled(false);
    SetCustomControlsEnabled(false);

    if (sourcePageId == kDrivePage) {
        delete theReader;
        theReader = new FileReadSeek;
    }
    if (settings_.scanMode == 1)
        StandardScan();
    else
        AdvanceScan();
}

PopulateDriveDlg::~PopulateDriveDlg() {
    if (partition_) partition_->stopRequested = true;
    Sink()->Abandon();
    if (worker_) {
        worker_->wait();
        delete worker_;
    }
}

void PopulateDriveDlg::PrepareForExit() {
    if (partition_) partition_->stopRequested = true;
    WizardPage::PrepareForExit();
}

void PopulateDriveDlg::StandardScan() {
    Sink()->SetProgressRange(0, 1000);
    addCustomButton->hide();
    partition_ = std::make_unique<Partition>();
    partition_->useGpt = settings_.useGpt;
    if (sourcePageId == kDrivePage) {
        delete theReader;
        theReader = new FileReadSeek;
    }
    if (!theReader) {
        ShowBox(this, QStringLiteral("information lost ..go back and parse again"));
        return;
    }
    if (!theReader->OpenSource(settings_.drivePath.toStdString())) {
        ShowBox(this, QStringLiteral("file not opened.."));
    } else {
        partition_->statusWindow = Sink();
        partition_->progressWindow = Sink();
        DeleteAllRows();
        volumeList.clear();
        partition_->volumeList = &volumeList;
        partition_->ScanPartitionTables(*theReader);
        for (std::size_t i = 0; i < volumeList.size(); ++i) {
            volumeList[i].volumeName = std::to_string(i);
            InsertRow(list->rowCount(), volumeList[i]);
        }
        if (!volumeList.empty()) customSettings->setEnabled(true);
    }
    filterButton->setEnabled(true);
    Sink()->SetStatus("Finished Scanning.");
    ProgressBar()->hide();
    stopButton->hide();
    Sink()->SetStatus("Select volume and click next button...");
    Sink()->SetProgressPos(1000);
    if (volumeList.empty() && theReader && theReader->IsOpen()) {
        const QString hint = tr("No partition table and no file system were found at the start of this drive. Go "
                                "Back and choose \"Advance Scan\" to look for volumes anywhere on it, or \"Search by "
                                "file type\" to find files by their content. A FAT or exFAT volume whose boot sector "
                                "is gone: click \"Add Custom Volume\", treat it as FAT16, FAT32 or FAT64 and choose "
                                "\"Advanced\" on the next page.");
        // The way to a volume without a boot sector, which no scan lists.
        addCustomButton->show();
        addCustomButton->setEnabled(true);
        Sink()->SetStatus(hint.toStdString());
        ShowBox(this, hint);
    }
}

void PopulateDriveDlg::AdvanceScan() {
    SetButtonsEnabled(false);
    partition_ = std::make_unique<Partition>();
    partition_->skipFoundVolumes = !settings_.doNotSkip;
    partition_->rangeStartSector = settings_.rangeStartSector;
    partition_->rangeEndSector = settings_.rangeEndSector;
    if (sourcePageId == kDrivePage) {
        delete theReader;
        theReader = new FileReadSeek;
    }
    if (!theReader || !theReader->OpenSource(settings_.drivePath.toStdString())) {
        SetButtonsEnabled(true);
        ShowBox(this, QStringLiteral("file not opened.."));
        stopButton->hide();
        return;
    }
    DeleteAllRows();
    volumeList.clear();
    partition_->statusWindow = Sink();
    partition_->progressWindow = Sink();
    partition_->volumeList = &volumeList;
    // The worker owns volumeList until it ends; rows are made from copies sent to the UI thread.
    partition_->onVolumeRecorded = [this](const VolumeEntry& entry) {
        QMetaObject::invokeMethod(
            this, [this, entry] { InsertRow(list->rowCount(), entry); }, Qt::QueuedConnection);
    };
    stopButton->setEnabled(true);
    Partition* partition = partition_.get();
    FileReadSeek* reader = theReader;
    worker_ = QThread::create([partition, reader] { partition->ScanForBootSectors(*reader); });
    connect(worker_, &QThread::finished, this, &PopulateDriveDlg::AdvanceScanDone, Qt::QueuedConnection);
    worker_->start();
}

void PopulateDriveDlg::AdvanceScanDone() {
    worker_->wait();
    delete worker_;
    worker_ = nullptr;
    SetButtonsEnabled(true);
    Sink()->SetStatus("Scanned Partitions");
    const QString nothing = tr("No volume was found anywhere in the part of the drive that was scanned. Go Back and "
                               "choose \"Search by file type\" to find files by their content, or, for a FAT or "
                               "exFAT volume whose boot sector is gone, click \"Add Custom Volume\", treat it as "
                               "FAT16, FAT32 or FAT64 and choose \"Advanced\" on the next page.");
    ShowBox(this, volumeList.empty() ? nothing : QStringLiteral("populated partitions...."));
    Sink()->SetStatus("Finished Scanning.");
    partition_.reset();
    customSettings->setEnabled(!volumeList.empty());
    addCustomButton->setEnabled(true);
    ProgressBar()->hide();
    stopButton->hide();
    Sink()->SetStatus(volumeList.empty() ? nothing.toStdString() : std::string("Select volume and click next button..."));
    Q_EMIT scanFinished();
}

void PopulateDriveDlg::SetButtonsEnabled(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(filterButton), static_cast<QWidget*>(addCustomButton),
                       static_cast<QWidget*>(backButton), static_cast<QWidget*>(nextButton),
                       static_cast<QWidget*>(list), static_cast<QWidget*>(customSettings)})
        w->setEnabled(on);
}

void PopulateDriveDlg::SetCustomControlsEnabled(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(selectedVolume), static_cast<QWidget*>(startSector),
                       static_cast<QWidget*>(endSector), static_cast<QWidget*>(treatAs)})
        w->setEnabled(on);
}

void PopulateDriveDlg::OnCustomSettings(bool on) { SetCustomControlsEnabled(on); }

void PopulateDriveDlg::DeleteAllRows() {
    list->setRowCount(0);
    rowRecords_.clear();
}

int PopulateDriveDlg::InsertRow(int at, const VolumeEntry& record) {
    rowRecords_.push_back(std::make_unique<VolumeEntry>(record));
    const int recordIndex = static_cast<int>(rowRecords_.size()) - 1;
    list->insertRow(at);
    const QStringList texts{Q(record.volumeName),
                            Q(record.fileSystemLabel),
                            Q(record.sizeText),
                            QString::number(record.startSector),
                            record.commonName.empty() ? QStringLiteral("-") : Q(record.commonName),
                            record.partitionName.empty() ? QStringLiteral("-") : Q(record.partitionName)};
    for (int c = 0; c < kListColumns; ++c) {
        auto* item = new QTableWidgetItem(texts[c]);
        if (c == 0) item->setData(kRecordRole, recordIndex);
        list->setItem(at, c, item);
    }
    return at;
}

VolumeEntry* PopulateDriveDlg::RowRecord(int row) const {
    const QTableWidgetItem* item = row >= 0 ? list->item(row, 0) : nullptr;
    if (!item) return nullptr;
    const int index = item->data(kRecordRole).toInt();
    return index >= 0 && index < static_cast<int>(rowRecords_.size()) ? rowRecords_[index].get() : nullptr;
}

void PopulateDriveDlg::OnRowSelected() {
    const VolumeEntry* record = RowRecord(list->currentRow());
    if (!record || list->selectedItems().isEmpty()) return;
    selectedVolume->setText(Q(record->volumeName));
    startSector->setText(QString::number(record->startSector));
    const std::uint64_t sizeSectors = SizeTextMiB(record->sizeText) * 2048;
    endSector->setText(QString::number(sizeSectors == 0 ? 0 : record->startSector + sizeSectors - 1));
    const QString label = Q(record->fileSystemLabel);
    if (label.isEmpty()) return;
    for (int i = 0; i < treatAs->count(); ++i) {
        if (treatAs->itemText(i).startsWith(label, Qt::CaseInsensitive)) {
            treatAs->setCurrentIndex(i);
            break;
        }
    }
}

void PopulateDriveDlg::OnStop() {
    if (partition_) partition_->stopRequested = true;
    SetButtonsEnabled(true);
}

void PopulateDriveDlg::OnAddCustomVolume() {
    if (worker_) return;  // the scan still appends to volumeList
    VolumeEntry record;
    record.fileSystemLabel = "CUSTOM ";
    record.volumeName = std::to_string(volumeList.size());
    record.sizeText = "0";
    record.startSector = 0;
    volumeList.push_back(record);
    InsertRow(0, record);
    list->selectRow(0);
    list->setCurrentCell(0, 0);
    customSettings->setEnabled(true);
    customSettings->setChecked(true);
    SetCustomControlsEnabled(true);
    startSector->setText(QStringLiteral("0"));
    endSector->setText(QStringLiteral("0"));
    customEntry_ = true;
}

void PopulateDriveDlg::OnFilterEntries() {
    if (worker_) return;
    DeleteAllRows();
    for (std::size_t i = 1; i < volumeList.size(); ++i) {
        if (volumeList[i].startSector != volumeList[i - 1].startSector + 1) continue;
        volumeList[i].volumeName = std::to_string(i);
        InsertRow(list->rowCount(), volumeList[i]);
    }
}

void PopulateDriveDlg::OnNext() {
    const int row = list->currentRow();
    VolumeEntry* record = list->selectedItems().isEmpty() ? nullptr : RowRecord(row);
    if (!record) {
        ShowBox(this, QStringLiteral("please select a valid volume."));
        return;
    }
    const bool customOn = customSettings->isChecked();
    if (!customOn && !LabelTakenWithoutCustomSettings(list->item(row, 1)->text().toStdString())) {
        ShowBox(this, QStringLiteral("Software does not support selected file system."));
        return;
    }
    if (customEntry_ && !customOn) {
        record->volumeName = list->item(row, 0)->text().toStdString();
        record->fileSystemLabel = list->item(row, 1)->text().toStdString();
        record->sizeText = list->item(row, 2)->text().remove(QStringLiteral("MB")).trimmed().toStdString();
        record->sizeBytes = SizeTextMiB(record->sizeText) << 20;
        record->startSector = LeadingNumber(list->item(row, 3)->text());
    }
    const QString choice = treatAs->currentText();
    if (customOn) {
        customEntry_ = true;
        const std::uint64_t start = LeadingNumber(startSector->text());
        const std::uint64_t end = LeadingNumber(endSector->text());
        record->startSector = start;
        record->sizeText = std::to_string(end > start ? (end - start + 1) / 2048 : 0);
        record->sizeBytes = end > start ? (end - start + 1) * kSectorBytes : 0;
        static const char* const kLabels[] = {"fat16", "fat32", "fat64", "extX", "HFS+", "NTFS"};
        for (const char* label : kLabels)
            if (choice.compare(QLatin1String(label), Qt::CaseInsensitive) == 0)
                record->fileSystemLabel = label;
    }
    partition_.reset();
    if (customOn && choice == QStringLiteral("RAW")) {
        record->fileSystemLabel = "RAW";
        chosen_ = *record;
        GoNext(new RawRecoveryDialog(Wizard(), this, chosen_));
        return;
    }
    if (QString::fromStdString(record->fileSystemLabel)
            .compare(QStringLiteral("unknown"), Qt::CaseInsensitive) == 0) {
        ShowBox(this, QStringLiteral("can not parse unknown volume"));
        return;
    }
    chosen_ = *record;
    GoNext(new ParceModeNtfsDlg(Wizard(), this, chosen_));
}

void PopulateDriveDlg::OnBack() {
    if (worker_) return;
    DeleteAllRows();
    GoBack();
}

}  // namespace salvora::gui
