#pragma once
// The volume information page: what was chosen on the drive page, before the recovery mode.
#include <QLineEdit>

#include "ui/pages/wizard_page.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

class VolumeOperations final : public WizardPage {
    Q_OBJECT
  public:
    VolumeOperations(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume);
    const VolumeEntry& Volume() const { return volume_; }

  public Q_SLOTS:
    void OnNext();
    void OnBack();

  private:
    VolumeEntry volume_;
};

}  // namespace salvora::gui
