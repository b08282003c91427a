#include "ui/pages/physical_drive_dialog.h"

#include <unistd.h>

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/volume_operations.h"
#include "ui/pages/wizard_globals.h"
#include "volumes/bare_volume.h"

namespace salvora::gui {
namespace {

enum ItemKind { kDriveItem = 1, kVolumeItem, kImageItem, kOpenImageItem };
constexpr int kKindRole = Qt::UserRole;
constexpr int kValueRole = Qt::UserRole + 1;

}  // namespace

Physical_DriveDialog::Physical_DriveDialog(WizardWindow* wizard, const QStringList& images,
                                           const DriveListing& listing)
    : WizardPage(wizard, nullptr, kDrivePage), tree_(new QTreeWidget(this)), listing_(listing) {
    tree_->setObjectName("driveTree");
    tree_->setHeaderHidden(true);
    volumesRoot_ = new QTreeWidgetItem(tree_, {QStringLiteral("VOLUMES:")});
    drivesRoot_ = new QTreeWidgetItem(tree_, {QStringLiteral("PHYSICAL DRIVES:")});
    imagesRoot_ = new QTreeWidgetItem(tree_, {QStringLiteral("IMAGE FILES:")});

    for (const PhysicalDrive& drive : listing_.drives) {
        QString text = QString::fromStdString(drive.ItemText());
        if (!drive.backingFile.empty())
            text += QStringLiteral("  (%1)").arg(QString::fromStdString(drive.backingFile));
        auto* item = new QTreeWidgetItem(drivesRoot_, {text});
        item->setData(0, kKindRole, kDriveItem);
        item->setData(0, kValueRole, drive.number);
        item->setToolTip(0, QString::fromStdString(drive.devicePath));
    }
    volumes_ = listing_.volumes;
    // Shown from the last record to the first.
    for (int i = static_cast<int>(volumes_.size()) - 1; i >= 0; --i) {
        const VolumeEntry& v = volumes_[i];
        auto* item = new QTreeWidgetItem(volumesRoot_, {QString::fromStdString(v.displayName)});
        item->setData(0, kKindRole, kVolumeItem);
        item->setData(0, kValueRole, i);
        item->setToolTip(
            0, QStringLiteral("%1  %2  %3")
                   .arg(QString::fromStdString(v.volumeName), QString::fromStdString(v.fileSystemLabel),
                        QString::fromStdString(v.sizeText)));
    }
    openImageItem_ = new QTreeWidgetItem(imagesRoot_, {tr("Open an image file...")});
    openImageItem_->setData(0, kKindRole, kOpenImageItem);
    for (const QString& image : images) AddImage(image);
    tree_->expandAll();

    auto* next = new QPushButton(tr("Next"), this);
    next->setObjectName("nextButton");
    connect(next, &QPushButton::clicked, this, &Physical_DriveDialog::OnNext);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (item && item->data(0, kKindRole).toInt() != 0) OnNext();
    });

    auto* caption = new QLabel(tr("Select a drive, a volume or an image file and click Next."), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(MakeHelpButton());
    buttons->addStretch();
    buttons->addWidget(next);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(caption);
    layout->addWidget(tree_, 1);
    layout->addWidget(StatusLine());
    layout->addLayout(buttons);
    ProgressBar()->hide();

    if (::geteuid() != 0 || !listing_.unreadable.empty()) {
        StatusLine()->setText(
            tr("Block devices can only be read as root (run salvora with sudo to list them); "
               "image files always work."));
    }
}

Physical_DriveDialog::~Physical_DriveDialog() {
    delete theReader;
    theReader = nullptr;
}

QTreeWidgetItem* Physical_DriveDialog::AddImage(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    for (int i = 0; i < imagesRoot_->childCount(); ++i) {
        QTreeWidgetItem* child = imagesRoot_->child(i);
        if (child->data(0, kKindRole).toInt() == kImageItem &&
            child->data(0, kValueRole).toString() == absolute)
            return child;
    }
    auto* item = new QTreeWidgetItem(imagesRoot_, {absolute});
    item->setData(0, kKindRole, kImageItem);
    item->setData(0, kValueRole, absolute);
    imagesRoot_->setExpanded(true);
    return item;
}

void Physical_DriveDialog::OnNext() {
    QTreeWidgetItem* item = tree_->currentItem();
    const int kind = item ? item->data(0, kKindRole).toInt() : 0;
    if (kind == 0) {
        ShowBox(this, QStringLiteral("Please select a volume or a drive.."));
        return;
    }
    if (kind == kOpenImageItem) {
        const QString path = OpenImageDialog(this);
        if (path.isEmpty()) return;
        QTreeWidgetItem* image = AddImage(path);
        tree_->setCurrentItem(image);
        item = image;
    }

    delete theReader;
    theReader = new FileReadSeek;
    sourcePageId = kDrivePage;

    switch (item->data(0, kKindRole).toInt()) {
        case kVolumeItem:
            sourceIsVolume = true;
            selectedVolume_ = volumes_.at(item->data(0, kValueRole).toInt());
            GoNext(new VolumeOperations(Wizard(), this, selectedVolume_));
            break;
        case kDriveItem: {
            sourceIsVolume = false;
            const int number = item->data(0, kValueRole).toInt();
            for (const PhysicalDrive& drive : listing_.drives)
                if (drive.number == number) selectedDrivePath_ = QString::fromStdString(drive.devicePath);
            GoNext(new DriveParsingModes(Wizard(), this, selectedDrivePath_));
            break;
        }
        case kImageItem:
            OpenImageAndGo(item->data(0, kValueRole).toString());
            break;
    }
}

void Physical_DriveDialog::OpenImageAndGo(const QString& path) {
    // The reader says "invalid handle ..." itself when the file cannot be opened; a container says why.
    if (!theReader->OpenSource(path.toStdString())) {
        if (!theReader->OpenError().empty())
            ShowBox(this, QString::fromStdString(theReader->OpenError()), QStringLiteral("Salvora"), MsgIcon::Warning);
        return;
    }
    if (std::optional<VolumeEntry> bare = ProbeBareVolume(*theReader)) {
        // One file system from the first byte: the volume way, reopened by path like a volume device.
        bare->displayName = path.toStdString();
        bare->volumeName = path.toStdString();
        sourceIsVolume = true;
        selectedVolume_ = *bare;
        GoNext(new VolumeOperations(Wizard(), this, selectedVolume_));
        return;
    }
    sourceIsVolume = false;
    selectedDrivePath_ = path;
    GoNext(new DriveParsingModes(Wizard(), this, selectedDrivePath_));
}

}  // namespace salvora::gui
