#pragma once
// The one window of the wizard: a stack of pages. Next pushes a page (the current one is hidden and stays
// alive); Back shows the parent and destroys the current page.
#include <QMainWindow>
#include <QPointer>
#include <functional>

class QStackedWidget;

namespace salvora::gui {

class WizardPage;

class WizardWindow final : public QMainWindow {
    Q_OBJECT
  public:
    explicit WizardWindow(QWidget* parent = nullptr);
    ~WizardWindow() override;

    void Push(WizardPage* page);
    // Shows the current page's parent and destroys the current page.
    void Back();
    WizardPage* CurrentPage() const;
    int Depth() const;

    // Ends the process: every page sets its stop flags first. Tests replace how the end is carried out.
    void ExitApplication(int code);
    static std::function<void(int)>& ExitHook();

  Q_SIGNALS:
    void pageChanged(WizardPage* page);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QStackedWidget* stack_;
    bool exiting_ = false;
};

}  // namespace salvora::gui
