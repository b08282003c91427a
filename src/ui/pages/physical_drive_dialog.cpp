#include "ui/pages/physical_drive_dialog.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QPointer>
#include <algorithm>
#include <thread>

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QVBoxLayout>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "io/imaging.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/imaging_dialog.h"
#include "ui/pages/volume_operations.h"
#include "ui/pages/wizard_globals.h"
#include "volumes/bare_volume.h"

namespace salvora::gui {
namespace {

enum ItemKind { kDriveItem = 1, kVolumeItem, kImageItem, kOpenImageItem };
constexpr int kKindRole = Qt::UserRole;
constexpr int kValueRole = Qt::UserRole + 1;

}  // namespace

namespace {

QString SizeText(std::uint64_t bytes) {
    if (bytes == 0) return {};
    const double gb = static_cast<double>(bytes) / 1e9;
    return gb >= 1.0 ? QStringLiteral("%1 GB").arg(gb, 0, 'f', 1)
                     : QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / 1e6, 0, 'f', 0);
}

}  // namespace

Physical_DriveDialog::Physical_DriveDialog(WizardWindow* wizard, const QStringList& images,
                                           std::optional<DriveListing> listing,
                                           std::optional<std::vector<UdisksDrive>> udisks)
    : WizardPage(wizard, nullptr, kDrivePage), tree_(new QTreeWidget(this)) {
    tree_->setObjectName("driveTree");
    tree_->setHeaderHidden(true);
    volumesRoot_ = new QTreeWidgetItem(tree_, {QStringLiteral("VOLUMES:")});
    drivesRoot_ = new QTreeWidgetItem(tree_, {QStringLiteral("PHYSICAL DRIVES:")});
    imagesRoot_ = new QTreeWidgetItem(tree_, {QStringLiteral("IMAGE FILES:")});
    openImageItem_ = new QTreeWidgetItem(imagesRoot_, {tr("Open an image file...")});
    openImageItem_->setData(0, kKindRole, kOpenImageItem);
    for (const QString& image : images) AddImage(image);

    createImageAction_ = new QAction(tr("Create an image first…"), this);
    createImageAction_->setObjectName("createImageAction");
    createImageAction_->setToolTip(tr("Copy a failing drive to an image file, then recover from the image"));
    connect(createImageAction_, &QAction::triggered, this, &Physical_DriveDialog::CreateImageOfCurrent);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QTreeWidgetItem* item = tree_->itemAt(at);
        if (DevicePathOf(item).isEmpty()) return;
        tree_->setCurrentItem(item);
        QMenu menu(this);
        menu.addAction(createImageAction_);
        menu.exec(tree_->viewport()->mapToGlobal(at));
    });

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

    if (listing) {
        ShowListing(*listing, udisks);
        return;
    }
    readingItem_ = new QTreeWidgetItem(drivesRoot_, {tr("reading...")});
    tree_->expandAll();
    // Detached: a device that never answers keeps only this thread waiting, and the process ends without it.
    QPointer<Physical_DriveDialog> page(this);
    std::thread([page] {
        DriveListing found = EnumerateDrives();
        std::optional<std::vector<UdisksDrive>> known = ListUdisksDrives();
        QMetaObject::invokeMethod(
            qApp,
            [page, found = std::move(found), known = std::move(known)] {
                if (page) page->ShowListing(found, known);
            },
            Qt::QueuedConnection);
    }).detach();
}

void Physical_DriveDialog::ShowListing(const DriveListing& listing,
                                       const std::optional<std::vector<UdisksDrive>>& udisks) {
    delete readingItem_;
    readingItem_ = nullptr;
    listing_ = listing;
    udisksRunning_ = udisks.has_value();
    // udisks opens what this user cannot: its drives join the list when /sys/block gave them as unreadable.
    if (udisks) {
        for (const UdisksDrive& known : *udisks) {
            const std::string path = known.devicePath.toStdString();
            const bool listed = std::any_of(listing_.drives.begin(), listing_.drives.end(),
                                            [&](const PhysicalDrive& d) { return d.devicePath == path; });
            if (listed || !known.mediaAvailable) continue;
            PhysicalDrive drive;
            drive.number = static_cast<int>(listing_.drives.size());
            drive.devicePath = path;
            drive.modelText = known.model.toStdString();
            drive.sizeBytes = known.sizeBytes;
            listing_.drives.push_back(drive);
        }
    }
    volumes_ = listing_.volumes;
    for (const PhysicalDrive& drive : listing_.drives) {
        QString text = QString::fromStdString(drive.ItemText());
        QStringList details;
        if (const QString size = SizeText(drive.sizeBytes); !size.isEmpty()) details << size;
        // The labels of the volumes on it, so a person can tell the card from the system disk.
        QStringList labels;
        for (const VolumeEntry& v : volumes_)
            if (v.volumeName.rfind(drive.devicePath, 0) == 0 && !v.fileSystemLabel.empty())
                labels << QString::fromStdString(v.fileSystemLabel);
        labels.removeDuplicates();
        if (!labels.isEmpty()) details << labels.join(QStringLiteral(", "));
        if (!drive.backingFile.empty()) details << QString::fromStdString(drive.backingFile);
        if (!details.isEmpty()) text += QStringLiteral("  (%1)").arg(details.join(QStringLiteral(", ")));
        auto* item = new QTreeWidgetItem(drivesRoot_, {text});
        item->setData(0, kKindRole, kDriveItem);
        item->setData(0, kValueRole, drive.number);
        item->setToolTip(0, QString::fromStdString(drive.devicePath));
    }
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
    tree_->expandAll();
    listingShown_ = true;

    if (::geteuid() != 0 && !listing_.unreadable.empty()) {
        StatusLine()->setText(
            udisksRunning_
                ? tr("Drives this user cannot read are opened read-only through udisks; you may be asked for your "
                     "password. Image files always work.")
                : tr("Block devices can only be read as root (run salvora with sudo to list them); "
                     "image files always work."));
    }
}

bool Physical_DriveDialog::OpenableDrive(const QString& devicePath) {
    const int fd = ::open(QFile::encodeName(devicePath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (!udisksRunning_) return true;  // the reader says "invalid handle ..." as before
    QString error;
    if (OpenThroughUdisks(devicePath, &error)) return true;
    ShowBox(this, tr("%1 could not be opened through udisks: %2").arg(devicePath, error), QStringLiteral("Salvora"),
            MsgIcon::Warning);
    return false;
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
            selectedDrivePath_ = DevicePathOf(item);
            if (!OpenableDrive(selectedDrivePath_)) return;
            GoNext(new DriveParsingModes(Wizard(), this, selectedDrivePath_));
            break;
        }
        case kImageItem:
            OpenImageAndGo(item->data(0, kValueRole).toString());
            break;
    }
}

QString Physical_DriveDialog::DevicePathOf(const QTreeWidgetItem* item) const {
    const int kind = item ? item->data(0, kKindRole).toInt() : 0;
    const int value = kind ? item->data(0, kValueRole).toInt() : 0;
    if (kind == kVolumeItem) return QString::fromStdString(volumes_.at(value).volumeName);
    if (kind == kDriveItem) {
        for (const PhysicalDrive& drive : listing_.drives)
            if (drive.number == value) return QString::fromStdString(drive.devicePath);
    }
    return {};
}

void Physical_DriveDialog::CreateImageOfCurrent() {
    const QString source = DevicePathOf(tree_->currentItem());
    if (source.isEmpty()) {
        ShowBox(this, tr("Select a drive or a volume to copy to an image file."));
        return;
    }
    if (!OpenableDrive(source)) return;
    const QString image = SaveImageDialog(this, UserHomeFolder() + '/' + QFileInfo(source).fileName() + ".img");
    if (image.isEmpty()) return;
    const QString mapPath = image + QStringLiteral(".map");
    auto* dialog = new ImagingDialog(this, source, image, mapPath);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (QString why; !dialog->Start(&why)) {
        delete dialog;
        if (!why.isEmpty()) ShowBox(this, why, QStringLiteral("Salvora"), MsgIcon::Warning);
        return;
    }
    connect(dialog, &ImagingDialog::imagingEnded, this, [this, image, mapPath] {
        imageMaps_.insert(QFileInfo(image).absoluteFilePath(), QFileInfo(mapPath).absoluteFilePath());
        tree_->setCurrentItem(AddImage(image));
    });
    dialog->open();
}

QString Physical_DriveDialog::MapOf(const QString& image) const {
    const QString absolute = QFileInfo(image).absoluteFilePath();
    if (const auto made = imageMaps_.constFind(absolute); made != imageMaps_.constEnd()) return *made;
    const QString beside = absolute + QStringLiteral(".map");
    return QFileInfo(beside).isFile() ? beside : QString();
}

QString Physical_DriveDialog::ApplyMap(const QString& image) {
    const QString mapPath = MapOf(image);
    if (mapPath.isEmpty()) return {};
    std::string why;
    const std::optional<RescueMap> map = RescueMap::Load(QFile::encodeName(mapPath).toStdString(), &why);
    if (!map) return tr("map %1 could not be read (%2): the image is read as it is").arg(mapPath, QString::fromStdString(why));
    // Unread areas hold zeros in the image: files over them are reported damaged, not recovered as zeros.
    theReader->MarkUnreadable(map->NotRescued());
    const std::uint64_t notRescued = map->Size() - map->BytesWith(kRescued);
    if (notRescued == 0) return {};
    return tr("map %1: %2 not rescued, read as unreadable").arg(mapPath, QString::fromStdString(HumanBytes(notRescued)));
}

void Physical_DriveDialog::OpenImageAndGo(const QString& path) {
    // The reader says "invalid handle ..." itself when the file cannot be opened; a container says why.
    if (!theReader->OpenSource(path.toStdString())) {
        if (!theReader->OpenError().empty())
            ShowBox(this, QString::fromStdString(theReader->OpenError()), QStringLiteral("Salvora"), MsgIcon::Warning);
        return;
    }
    const QString mapNote = ApplyMap(path);
    if (!mapNote.isEmpty()) StatusLine()->setText(mapNote);
    const auto go = [&](WizardPage* next) {
        if (next->StatusLine()->text().isEmpty()) next->StatusLine()->setText(mapNote);
        GoNext(next);
    };
    if (std::optional<VolumeEntry> bare = ProbeBareVolume(*theReader)) {
        // One file system from the first byte: the volume way, reopened by path like a volume device.
        bare->displayName = path.toStdString();
        bare->volumeName = path.toStdString();
        sourceIsVolume = true;
        selectedVolume_ = *bare;
        go(new VolumeOperations(Wizard(), this, selectedVolume_));
        return;
    }
    sourceIsVolume = false;
    selectedDrivePath_ = path;
    go(new DriveParsingModes(Wizard(), this, selectedDrivePath_));
}

}  // namespace salvora::gui
