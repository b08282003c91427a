#pragma once
// The first page: physical drives, the volumes on them, and image files. A drive or an image that holds a
// partition table goes on to the scan-mode page; a volume, or an image of one volume, to the volume
// information page.
#include <QAction>
#include <QHash>
#include <QStringList>
#include <QTreeWidget>
#include <optional>
#include <vector>

#include "ui/pages/wizard_page.h"
#include "ui/udisks/udisks_client.h"
#include "volumes/drives.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

class Physical_DriveDialog final : public WizardPage {
    Q_OBJECT
  public:
    // images: the paths given on the command line. listing: shown at once; without one the drives are listed
    // on a worker thread (a slow or hung device never blocks the window) and a row says "reading..." until
    // then. Drives that udisks2 knows and that cannot be opened directly are listed too, and opened through
    // udisks when chosen.
    Physical_DriveDialog(WizardWindow* wizard, const QStringList& images,
                         std::optional<DriveListing> listing = std::nullopt,
                         std::optional<std::vector<UdisksDrive>> udisks = std::nullopt);
    ~Physical_DriveDialog() override;

    QTreeWidget* Tree() const { return tree_; }
    QTreeWidgetItem* DrivesRoot() const { return drivesRoot_; }
    QTreeWidgetItem* VolumesRoot() const { return volumesRoot_; }
    QTreeWidgetItem* ImagesRoot() const { return imagesRoot_; }
    // Adds an image under "IMAGE FILES:" (once) and returns its item.
    QTreeWidgetItem* AddImage(const QString& path);
    // "Create an image first…" on a drive or a volume: copies the current item to an image file with a map.
    QAction* CreateImageAction() const { return createImageAction_; }
    // The ddrescue map read with an image: the one written here, else IMAGE.map beside it; empty when none.
    QString MapOf(const QString& image) const;

    // What the scan-mode page opens: the chosen drive's device path or image path.
    QString SelectedDrivePath() const { return selectedDrivePath_; }
    const VolumeEntry& SelectedVolume() const { return selectedVolume_; }

    // The listing arrived (from the worker, or given): fills "PHYSICAL DRIVES:" and "VOLUMES:".
    void ShowListing(const DriveListing& listing, const std::optional<std::vector<UdisksDrive>>& udisks);
    bool ListingShown() const { return listingShown_; }

  public Q_SLOTS:
    void OnNext();

  private:
    void OpenImageAndGo(const QString& path);
    // The device of a drive or volume item; empty for anything else.
    QString DevicePathOf(const QTreeWidgetItem* item) const;
    void CreateImageOfCurrent();
    // Marks what the image's map does not mark rescued unreadable in theReader; the status line text.
    QString ApplyMap(const QString& image);
    // A drive the user cannot open: asks udisks for a read-only descriptor. False (and said) when refused.
    bool OpenableDrive(const QString& devicePath);

    QTreeWidget* tree_;
    QTreeWidgetItem* volumesRoot_;
    QTreeWidgetItem* drivesRoot_;
    QTreeWidgetItem* imagesRoot_;
    QTreeWidgetItem* openImageItem_;
    QAction* createImageAction_;
    QHash<QString, QString> imageMaps_;  // absolute image path -> its map
    std::vector<VolumeEntry> volumes_;
    DriveListing listing_;
    bool listingShown_ = false;
    bool udisksRunning_ = false;
    QTreeWidgetItem* readingItem_ = nullptr;
    QString selectedDrivePath_;
    VolumeEntry selectedVolume_;
};

}  // namespace salvora::gui
