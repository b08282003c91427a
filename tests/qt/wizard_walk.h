#pragma once
// Walks the wizard's first pages the way a person clicks through them, for the Qt tests.
#include <QSignalSpy>

#include "app/wizard_window.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/populate_drive_dlg.h"

namespace salvora::gui::test {

// From the scan-mode page (the current page) to the volume list, standard or advance scan, waiting for an
// advance scan to end. Null when a page did not come.
inline PopulateDriveDlg* ScanModesToVolumeList(WizardWindow& window, bool advance) {
    auto* modes = qobject_cast<DriveParsingModes*>(window.CurrentPage());
    if (!modes) return nullptr;
    if (advance) modes->advanceScan->click();
    modes->OnNext();
    auto* list = qobject_cast<PopulateDriveDlg*>(window.CurrentPage());
    if (list && advance) {
        QSignalSpy done(list, &PopulateDriveDlg::scanFinished);
        if (list->Scanning() && !done.wait(60000)) return nullptr;
    }
    return list;
}

}  // namespace salvora::gui::test
