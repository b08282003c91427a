#pragma once
// The volume list page: scans the chosen drive or image for volumes (partition tables on the UI thread, or
// every sector on a worker with rows appearing as they are found), lets the user correct a volume, and goes
// on to the recovery-mode page.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTableWidget>
#include <QThread>
#include <memory>
#include <vector>

#include "ui/controls/sector_edit.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/wizard_page.h"
#include "volumes/partition.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

class PopulateDriveDlg final : public WizardPage {
    Q_OBJECT
  public:
    PopulateDriveDlg(WizardWindow* wizard, WizardPage* parentPage, const ScanSettings& settings);
    ~PopulateDriveDlg() override;
    bool AsksBeforeClose() const override { return true; }
    void PrepareForExit() override;

    bool Scanning() const { return worker_ != nullptr; }
    const std::vector<VolumeEntry>& VolumeList() const { return volumeList; }
    // The record of a row (a copy that belongs to the row).
    VolumeEntry* RowRecord(int row) const;
    // The record handed to the recovery-mode page by the last Next.
    const VolumeEntry& ChosenVolume() const { return chosen_; }

    QTableWidget* list;
    QCheckBox* customSettings;
    QLabel* selectedVolume;
    SectorEdit* startSector;
    SectorEdit* endSector;
    QComboBox* treatAs;
    QPushButton* filterButton;
    QPushButton* addCustomButton;
    QPushButton* stopButton;
    QPushButton* backButton;
    QPushButton* nextButton;

  public Q_SLOTS:
    void OnNext();
    void OnBack();
    void OnStop();
    void OnFilterEntries();
    void OnAddCustomVolume();
    void OnRowSelected();
    void OnCustomSettings(bool on);

  Q_SIGNALS:
    void scanFinished();

  private:
    void StandardScan();
    void AdvanceScan();
    void AdvanceScanDone();
    void DeleteAllRows();
    int InsertRow(int at, const VolumeEntry& record);
    void SetButtonsEnabled(bool on);
    void SetCustomControlsEnabled(bool on);

    ScanSettings settings_;
    std::vector<VolumeEntry> volumeList;
    std::vector<std::unique_ptr<VolumeEntry>> rowRecords_;
    std::unique_ptr<Partition> partition_;
    QThread* worker_ = nullptr;
    bool customEntry_ = false;
    VolumeEntry chosen_;
};

}  // namespace salvora::gui
