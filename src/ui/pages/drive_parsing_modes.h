#pragma once
// The scan-mode page: how the volume list page looks for volumes on the chosen drive or image.
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <cstdint>

#include "ui/pages/wizard_page.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

// What the scan-mode page hands to the volume list page.
struct ScanSettings {
    QString drivePath;
    int scanMode = 1;  // 1 standard (partition tables), 2 advance (every sector)
    bool useGpt = false;
    bool doNotSkip = false;
    std::uint64_t rangeStartSector = 0;  // both 0: the whole source
    std::uint64_t rangeEndSector = 0;
};

class DriveParsingModes final : public WizardPage {
    Q_OBJECT
  public:
    DriveParsingModes(WizardWindow* wizard, WizardPage* parentPage, const QString& drivePath);
    bool AsksBeforeClose() const override { return true; }

    ScanSettings Settings() const;

    QRadioButton* standardScan;
    QRadioButton* advanceScan;
    // Carving over the whole drive, for a card with no partition table and no file system left.
    QRadioButton* byFileType;
    QCheckBox* gptFormat;
    QCheckBox* doNotSkip;
    QCheckBox* customSetting;
    QLineEdit* startingSector;
    QLineEdit* endingSector;

  public Q_SLOTS:
    void OnNext();
    void OnBack();

  private:
    void OnStandardScan();
    void OnAdvanceScan();
    void OnCustomSetting(bool on);

    QString drivePath_;
    VolumeEntry wholeDrive_;
    class QLabel* startLabel_;
    class QLabel* endLabel_;
};

// Leading digits as a 64-bit number; 0 when there are none.
std::uint64_t LeadingNumber(const QString& text);

}  // namespace salvora::gui
