#pragma once
// What every page of the wizard shares: its parent page, the status line and progress bar that the core's
// status and progress reach through the page's sink, and the Help menu button.
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "ui/controls/gui_sink.h"
#include "ui/controls/progress_bar.h"

namespace salvora::gui {

class WizardWindow;

// Resource ids of the pages: a page records the id of the page that chose its source.
enum PageId : int {
    kDrivePage = 130,
    kVolumeInfoPage = 135,
    kScanModePage = 152,
    kVolumeListPage = 134,
    kRecoveryModePage = 136,
    kAdvancedInputPage = 153,
    kResultsPage = 139,
};

class WizardPage : public QWidget {
    Q_OBJECT
  public:
    WizardPage(WizardWindow* wizard, WizardPage* parentPage, int pageId);
    ~WizardPage() override;

    int Id() const { return pageId_; }
    WizardPage* ParentPage() const { return parentPage_; }
    WizardWindow* Wizard() const { return wizard_; }
    GuiSink* Sink() const { return sink_; }
    QLabel* StatusLine() const { return statusLine_; }
    ProgressBar64* ProgressBar() const { return progressBar_; }

    // Closing the window on this page asks "Do you want to Close Application ?" first.
    virtual bool AsksBeforeClose() const { return false; }
    // The process is about to end: set stop flags, stop waiting for answers.
    virtual void PrepareForExit();

  protected:
    // Enter does what a click does: the focused button, or Next (a button named "nextButton") elsewhere.
    void keyPressEvent(QKeyEvent* event) override;
    void GoNext(WizardPage* next);
    void GoBack();
    QPushButton* MakeHelpButton();
    QLabel* MakeHeading(const QString& text);

  private:
    WizardWindow* wizard_;
    WizardPage* parentPage_;
    int pageId_;
    GuiSink* sink_;
    QLabel* statusLine_;
    ProgressBar64* progressBar_;
};

}  // namespace salvora::gui
