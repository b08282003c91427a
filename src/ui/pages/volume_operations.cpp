#include "ui/pages/volume_operations.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "scan/scan_session.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"

namespace salvora::gui {

VolumeOperations::VolumeOperations(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume)
    : WizardPage(wizard, parentPage, kVolumeInfoPage), volume_(volume) {
    const auto field = [this](const std::string& text, const char* name) {
        auto* edit = new QLineEdit(QString::fromStdString(text), this);
        edit->setReadOnly(true);
        edit->setObjectName(name);
        return edit;
    };
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Volume Name:"), field(volume_.displayName, "volumeName"));
    form->addRow(QStringLiteral("Volume File System:"), field(volume_.fileSystemLabel, "volumeFileSystem"));
    form->addRow(QStringLiteral("Volume Size:"), field(volume_.sizeText, "volumeSize"));

    auto* back = new QPushButton(tr("Back"), this);
    back->setObjectName("backButton");
    auto* next = new QPushButton(tr("Next"), this);
    next->setObjectName("nextButton");
    connect(back, &QPushButton::clicked, this, &VolumeOperations::OnBack);
    connect(next, &QPushButton::clicked, this, &VolumeOperations::OnNext);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addStretch();
    buttons->addWidget(back);
    buttons->addWidget(next);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeHeading(tr("Volume Information")));
    layout->addLayout(form);
    layout->addStretch();
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);
    ProgressBar()->hide();
}

void VolumeOperations::OnNext() {
    if (!QString::fromStdString(volume_.fileSystemLabel).toUpper().contains(QStringLiteral("FAT")) &&
        !ParserKindForLabel(volume_.fileSystemLabel)) {
        ShowBox(this, QStringLiteral("Software does not support selected file system."));
        return;
    }
    GoNext(new ParceModeNtfsDlg(Wizard(), this, volume_));
}

void VolumeOperations::OnBack() { GoBack(); }

}  // namespace salvora::gui
