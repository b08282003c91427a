#include "ui/pages/parce_mode_ntfs_dlg.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "scan/deep_discovery.h"
#include "scan/recovery_options.h"
#include "ui/pages/advance_options.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/raw_recovery_dialog.h"
#include "ui/pages/volume_scan_dlg.h"
#include "ui/pages/wizard_globals.h"

namespace salvora::gui {

ParceModeNtfsDlg::ParceModeNtfsDlg(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume)
    : WizardPage(wizard, parentPage, kRecoveryModePage), volume_(volume) {
    auto* group = new QGroupBox(QStringLiteral("Select Recovery Mode:"), this);
    standard = new QRadioButton(QStringLiteral("Standard"), group);
    advanced = new QRadioButton(QStringLiteral("Advanced"), group);
    deep = new QRadioButton(QStringLiteral("Deep"), group);
    byFileType = new QRadioButton(tr("Search by file type"), group);
    byFileType->setObjectName("byFileType");
    // One line under each mode says when it is the one to take.
    const auto note = [group](const QString& text) {
        auto* label = new QLabel(text, group);
        label->setIndent(24);
        label->setWordWrap(true);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::Disabled, QPalette::WindowText));
        label->setPalette(palette);
        return label;
    };
    standardNote_ = note(tr("The file system as it is: live and deleted files in their folders."));
    advancedNote_ = note(tr("A damaged or formatted volume: the tree is rebuilt from a copy of its allocation table."));
    deepNote_ = note(tr("Looks across the whole volume for pieces of the catalog that are no longer linked in."));
    auto* byTypeNote = note(tr("No file system left: finds photos, documents and other files by their content."));
    auto* modes = new QVBoxLayout(group);
    modes->addWidget(standard);
    modes->addWidget(standardNote_);
    modes->addWidget(advanced);
    modes->addWidget(advancedNote_);
    modes->addWidget(deep);
    modes->addWidget(deepNote_);
    modes->addWidget(byFileType);
    modes->addWidget(byTypeNote);

    maxLabel_ = new QLabel(QStringLiteral("Please Enter Max File Systems to Find :"), this);
    maxFileSystems = new QLineEdit(this);
    maxFileSystems->setObjectName("maxFileSystems");
    maxFileSystems->setMaximumWidth(80);
    maxNote_ = new QLabel(QStringLiteral("( By  Default  it's  = 3 )"), this);
    driveFormated = new QCheckBox(QStringLiteral("Is Drive Formated..?"), this);

    auto* options = new QGridLayout;
    options->addWidget(maxLabel_, 0, 0);
    options->addWidget(maxFileSystems, 0, 1);
    options->addWidget(maxNote_, 0, 2);
    options->addWidget(driveFormated, 1, 0);
    options->setColumnStretch(3, 1);

    auto* volumeLine = new QLabel(
        tr("Volume: %1   %2   start sector %3")
            .arg(QString::fromStdString(volume_.displayName.empty() ? volume_.volumeName
                                                                    : volume_.displayName),
                 QString::fromStdString(volume_.fileSystemLabel), QString::number(volume_.startSector)),
        this);
    volumeLine->setObjectName("volumeLine");

    auto* back = new QPushButton(tr("Back"), this);
    back->setObjectName("backButton");
    auto* next = new QPushButton(tr("Next"), this);
    next->setObjectName("nextButton");
    connect(back, &QPushButton::clicked, this, &ParceModeNtfsDlg::OnBack);
    connect(next, &QPushButton::clicked, this, &ParceModeNtfsDlg::OnNext);
    connect(standard, &QRadioButton::clicked, this, &ParceModeNtfsDlg::OnStandard);
    connect(advanced, &QRadioButton::clicked, this, &ParceModeNtfsDlg::OnAdvanced);
    connect(deep, &QRadioButton::clicked, this, &ParceModeNtfsDlg::OnDeep);
    connect(byFileType, &QRadioButton::clicked, this, [this] {
        OnStandard();
        recoveryMode_ = kByFileType;
    });
    connect(driveFormated, &QCheckBox::toggled, this, [](bool on) { driveFormatted = on; });
    connect(driveFormated, &QCheckBox::clicked, this, [this] { formattedChosen_ = true; });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addStretch();
    buttons->addWidget(back);
    buttons->addWidget(next);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeHeading(tr("Recovery Mode")));
    layout->addWidget(volumeLine);
    layout->addWidget(group);
    layout->addLayout(options);
    layout->addStretch();
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);
    ProgressBar()->hide();

    ShowMaxControls(false);
    driveFormated->hide();
    maxFileSystems->setText(QStringLiteral("3"));
    standard->setChecked(true);

    prefix_ = QString::fromStdString(volume_.fileSystemLabel).trimmed().left(3);
    // The modes the file system's row offers; the formatted switch is FAT's alone.
    const ModeOffer offer = ModesForLabel(volume_.fileSystemLabel);
    if (ParserKindForLabel(volume_.fileSystemLabel) == ParserKind::Ntfs)
        advancedNote_->setText(tr("Both boot sectors gone: the MFT is found by its first record and the tree rebuilt from it."));
    if (!offer.advanced) {
        advanced->hide();
        advancedNote_->hide();
    }
    if (!offer.deep) {
        deep->hide();
        deepNote_->hide();
    }
    OnStandard();
}

void ParceModeNtfsDlg::ShowMaxControls(bool on) {
    maxLabel_->setVisible(on);
    maxFileSystems->setVisible(on);
    maxNote_->setVisible(on);
}

void ParceModeNtfsDlg::OnStandard() {
    formattedChosen_ = false;
    recoveryMode_ = 1;
    ShowMaxControls(false);
    driveFormated->hide();
    driveFormated->setChecked(false);
    driveFormatted = false;
}

void ParceModeNtfsDlg::OnAdvanced() {
    formattedChosen_ = false;
    recoveryMode_ = 2;
    ShowMaxControls(true);
    driveFormated->setChecked(false);
    driveFormated->setVisible(prefix_.compare(QLatin1String("fat"), Qt::CaseInsensitive) == 0);
    driveFormatted = false;
}

void ParceModeNtfsDlg::OnDeep() {
    formattedChosen_ = false;
    recoveryMode_ = 3;
    ShowMaxControls(false);
    driveFormated->hide();
    driveFormated->setChecked(false);
    driveFormatted = false;
}

bool ParceModeNtfsDlg::OfferFormatted() {
    if (!formattedChosen_ && !driveFormated->isHidden()) {
        driveFormated->setChecked(true);
        StatusLine()->setText(tr("\"Is Drive Formated..?\" was ticked: the search found a quick-formatted volume."));
    }
    return driveFormated->isChecked();
}

int ParceModeNtfsDlg::MaxFileSystems() const {
    const std::uint64_t n = LeadingNumber(maxFileSystems->text());
    return n < 1 || n > 1000 ? (n < 1 ? 3 : 1000) : static_cast<int>(n);
}

void ParceModeNtfsDlg::OnNext() {
    if (recoveryMode_ == kByFileType) {
        GoNext(new RawRecoveryDialog(Wizard(), this, volume_));
        return;
    }
    if (recoveryMode_ == 2 && DiscoveryKindForLabel(volume_.fileSystemLabel) != DiscoveryKind::None) {
        GoNext(new advanceOptions(Wizard(), this));
        return;
    }
    GoNext(new VolumeScanDlg(Wizard(), this, volume_, recoveryMode_));
}

void ParceModeNtfsDlg::OnBack() { GoBack(); }

}  // namespace salvora::gui
