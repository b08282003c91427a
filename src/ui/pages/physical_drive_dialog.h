#pragma once
// The first page: physical drives, the volumes on them, and image files. A drive or an image that holds a
// partition table goes on to the scan-mode page; a volume, or an image of one volume, to the volume
// information page.
#include <QStringList>
#include <QTreeWidget>
#include <vector>

#include "ui/pages/wizard_page.h"
#include "volumes/drives.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

class Physical_DriveDialog final : public WizardPage {
    Q_OBJECT
  public:
    // images: the paths given on the command line.
    Physical_DriveDialog(WizardWindow* wizard, const QStringList& images, const DriveListing& listing);
    ~Physical_DriveDialog() override;

    QTreeWidget* Tree() const { return tree_; }
    QTreeWidgetItem* DrivesRoot() const { return drivesRoot_; }
    QTreeWidgetItem* VolumesRoot() const { return volumesRoot_; }
    QTreeWidgetItem* ImagesRoot() const { return imagesRoot_; }
    // Adds an image under "IMAGE FILES:" (once) and returns its item.
    QTreeWidgetItem* AddImage(const QString& path);

    // What the scan-mode page opens: the chosen drive's device path or image path.
    QString SelectedDrivePath() const { return selectedDrivePath_; }
    const VolumeEntry& SelectedVolume() const { return selectedVolume_; }

  public Q_SLOTS:
    void OnNext();

  private:
    void OpenImageAndGo(const QString& path);

    QTreeWidget* tree_;
    QTreeWidgetItem* volumesRoot_;
    QTreeWidgetItem* drivesRoot_;
    QTreeWidgetItem* imagesRoot_;
    QTreeWidgetItem* openImageItem_;
    std::vector<VolumeEntry> volumes_;
    DriveListing listing_;
    QString selectedDrivePath_;
    VolumeEntry selectedVolume_;
};

}  // namespace salvora::gui
