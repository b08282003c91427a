#pragma once
// The recovery-mode page: Standard, Advanced (through the advanced-input page) or Deep for the chosen volume.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "ui/pages/wizard_page.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

class ParceModeNtfsDlg final : public WizardPage {
    Q_OBJECT
  public:
    ParceModeNtfsDlg(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume);

    const VolumeEntry& Volume() const { return volume_; }
    int RecoveryMode() const { return recoveryMode_; }
    // "Search by file type": carving on this volume, for when no file system is left.
    QRadioButton* byFileType;
    // Leading digits of the edit; below 1 becomes 3 where the searches use it.
    int MaxFileSystems() const;

    QRadioButton* standard;
    QRadioButton* advanced;
    QRadioButton* deep;
    QLineEdit* maxFileSystems;
    QCheckBox* driveFormated;

  public Q_SLOTS:
    void OnNext();
    void OnBack();
    // The search found a quick-formatted volume: ticks "Is Drive Formated..?" unless the person set it.
    // Whether it is ticked.
    bool OfferFormatted();

  private:
    bool formattedChosen_ = false;
    void OnStandard();
    void OnAdvanced();
    void OnDeep();
    void ShowMaxControls(bool on);

    VolumeEntry volume_;
    QString prefix_;
    static constexpr int kByFileType = 4;
    int recoveryMode_ = 1;
    QLabel* standardNote_;
    QLabel* advancedNote_;
    QLabel* deepNote_;
    QLabel* maxLabel_;
    QLabel* maxNote_;
};

}  // namespace salvora::gui
