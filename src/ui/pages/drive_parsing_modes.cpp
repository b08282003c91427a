#include "ui/pages/drive_parsing_modes.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "io/file_read_seek.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/populate_drive_dlg.h"
#include "ui/pages/raw_recovery_dialog.h"
#include "volumes/partition_tables.h"

namespace salvora::gui {

std::uint64_t LeadingNumber(const QString& text) {
    const QString trimmed = text.trimmed();
    std::uint64_t value = 0;
    for (const QChar c : trimmed) {
        if (!c.isDigit()) break;
        const std::uint64_t digit = static_cast<std::uint64_t>(c.digitValue());
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

DriveParsingModes::DriveParsingModes(WizardWindow* wizard, WizardPage* parentPage, const QString& drivePath)
    : WizardPage(wizard, parentPage, kScanModePage), drivePath_(drivePath) {
    auto* driveLine = new QLineEdit(drivePath_, this);
    driveLine->setReadOnly(true);
    driveLine->setObjectName("currentDrive");
    standardScan = new QRadioButton(QStringLiteral("Standard Scan"), this);
    advanceScan = new QRadioButton(QStringLiteral("Advance Scan"), this);
    byFileType = new QRadioButton(tr("Search by file type (the whole drive)"), this);
    byFileType->setObjectName("byFileTypeDrive");
    byFileType->setToolTip(tr("No partition table and no file system left: finds files by their content."));
    gptFormat = new QCheckBox(QStringLiteral("GPT format"), this);
    auto* gptNote = new QLabel(QStringLiteral("* Check If Partition type is GPT"), this);
    doNotSkip =
        new QCheckBox(QStringLiteral("Do not Skip Volume Size While Parsing in Advance  Scan "), this);
    customSetting = new QCheckBox(QStringLiteral("Custom Setting:"), this);
    startLabel_ = new QLabel(QStringLiteral("Starting Sector:"), this);
    endLabel_ = new QLabel(QStringLiteral("Ending Sector:"), this);
    startingSector = new QLineEdit(QStringLiteral("0"), this);
    endingSector = new QLineEdit(QStringLiteral("0"), this);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Currently Selected Drive :"), this), 0, 0);
    grid->addWidget(driveLine, 0, 1, 1, 2);
    grid->addWidget(standardScan, 1, 0);
    grid->addWidget(gptFormat, 1, 1);
    grid->addWidget(gptNote, 1, 2);
    grid->addWidget(advanceScan, 2, 0);
    grid->addWidget(doNotSkip, 2, 1, 1, 2);
    grid->addWidget(customSetting, 3, 1);
    grid->addWidget(startLabel_, 4, 1);
    grid->addWidget(startingSector, 4, 2);
    grid->addWidget(endLabel_, 5, 1);
    grid->addWidget(endingSector, 5, 2);
    grid->addWidget(byFileType, 6, 0, 1, 3);

    auto* back = new QPushButton(tr("Back"), this);
    back->setObjectName("backButton");
    auto* next = new QPushButton(tr("Next"), this);
    next->setObjectName("nextButton");
    connect(back, &QPushButton::clicked, this, &DriveParsingModes::OnBack);
    connect(next, &QPushButton::clicked, this, &DriveParsingModes::OnNext);
    connect(standardScan, &QRadioButton::clicked, this, &DriveParsingModes::OnStandardScan);
    connect(advanceScan, &QRadioButton::clicked, this, &DriveParsingModes::OnAdvanceScan);
    connect(byFileType, &QRadioButton::clicked, this, [this] {
        doNotSkip->setEnabled(false);
        customSetting->setChecked(false);
        customSetting->setEnabled(false);
    });
    connect(customSetting, &QCheckBox::toggled, this, &DriveParsingModes::OnCustomSetting);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addStretch();
    buttons->addWidget(back);
    buttons->addWidget(next);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeHeading(QStringLiteral(" Drive Parsing Modes")));
    layout->addLayout(grid);
    layout->addStretch();
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);
    ProgressBar()->hide();

    if (theReader) theReader->OpenSource(drivePath_.toStdString());
    standardScan->setChecked(true);
    OnStandardScan();
    // A protective MBR with a GPT header behind it: the GPT is what holds the partitions.
    if (theReader && theReader->IsOpen() && HasGpt(*theReader)) {
        gptFormat->setChecked(true);
        StatusLine()->setText(tr("This drive has a GUID partition table (GPT): \"GPT format\" is ticked."));
    }
}

void DriveParsingModes::OnStandardScan() {
    standardScan->setChecked(true);
    doNotSkip->setEnabled(false);
    if (customSetting->isChecked()) customSetting->setChecked(false);
    customSetting->setEnabled(false);
    OnCustomSetting(false);
}

void DriveParsingModes::OnAdvanceScan() {
    advanceScan->setChecked(true);
    doNotSkip->setEnabled(true);
    customSetting->setEnabled(true);
}

void DriveParsingModes::OnCustomSetting(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(startingSector), static_cast<QWidget*>(endingSector),
                       static_cast<QWidget*>(startLabel_), static_cast<QWidget*>(endLabel_)})
        w->setEnabled(on);
}

ScanSettings DriveParsingModes::Settings() const {
    ScanSettings s;
    s.drivePath = drivePath_;
    s.doNotSkip = doNotSkip->isChecked();
    s.scanMode = standardScan->isChecked() ? 1 : 2;
    s.useGpt = gptFormat->isChecked();
    if (customSetting->isChecked()) {
        s.rangeStartSector = LeadingNumber(startingSector->text());
        s.rangeEndSector = LeadingNumber(endingSector->text());
    }
    return s;
}

void DriveParsingModes::OnNext() {
    if (byFileType->isChecked()) {
        VolumeEntry whole;
        whole.fileSystemLabel = "RAW";
        whole.volumeName = drivePath_.toStdString();
        whole.displayName = drivePath_.toStdString();
        whole.sizeBytes = theReader ? theReader->sourceLength : 0;
        whole.sizeText = std::to_string(whole.sizeBytes / 1048576);
        wholeDrive_ = whole;
        GoNext(new RawRecoveryDialog(Wizard(), this, wholeDrive_));
        return;
    }
    GoNext(new PopulateDriveDlg(Wizard(), this, Settings()));
}

void DriveParsingModes::OnBack() { GoBack(); }

}  // namespace salvora::gui
