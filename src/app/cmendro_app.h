#pragma once
// Start-up: one instance per user session, the wizard window with the drive page, and the core's message
// boxes routed to whatever page is showing.
#include <QApplication>
#include <QStringList>
#include <memory>

namespace salvora::gui {

class GuiSink;
class SingleInstanceLock;
class WizardWindow;

class CMendroApp final : public QApplication {
    Q_OBJECT
  public:
    CMendroApp(int& argc, char** argv);
    ~CMendroApp() override;

    // False when another instance runs (after telling the user so); the program then ends.
    bool InitInstance();
    WizardWindow* Window() const { return window_.get(); }
    // Image paths from the command line: salvora [IMAGE ...].
    QStringList Images() const;

  private:
    std::unique_ptr<SingleInstanceLock> lock_;
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<GuiSink> sink_;
};

}  // namespace salvora::gui
