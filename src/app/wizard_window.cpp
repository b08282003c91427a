#include "app/wizard_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QStackedWidget>

#include "ui/controls/dialogs.h"
#include "ui/pages/wizard_page.h"

namespace salvora::gui {

WizardWindow::WizardWindow(QWidget* parent) : QMainWindow(parent), stack_(new QStackedWidget(this)) {
    setWindowTitle(QStringLiteral("Salvora"));
    setCentralWidget(stack_);
    // Fits a 1024x600 screen with its title bar and panel: every page's buttons stay on the screen.
    setMinimumSize(720, 460);
    resize(960, 540);
}

WizardWindow::~WizardWindow() {
    // Later pages first: they borrow from the pages below them (readers, parsers, records).
    while (stack_->count() > 0) {
        QWidget* top = stack_->widget(stack_->count() - 1);
        stack_->removeWidget(top);
        delete top;
    }
}

void WizardWindow::Push(WizardPage* page) {
    stack_->addWidget(page);
    stack_->setCurrentWidget(page);
    setWindowTitle(QStringLiteral("Salvora"));
    Q_EMIT pageChanged(page);
}

void WizardWindow::Back() {
    auto* current = CurrentPage();
    if (!current || stack_->count() < 2) return;
    WizardPage* parent = current->ParentPage();
    stack_->setCurrentWidget(parent ? static_cast<QWidget*>(parent) : stack_->widget(stack_->count() - 2));
    stack_->removeWidget(current);
    current->hide();
    current->deleteLater();
    Q_EMIT pageChanged(CurrentPage());
}

WizardPage* WizardWindow::CurrentPage() const { return qobject_cast<WizardPage*>(stack_->currentWidget()); }

int WizardWindow::Depth() const { return stack_->count(); }

std::function<void(int)>& WizardWindow::ExitHook() {
    static std::function<void(int)> hook;
    return hook;
}

void WizardWindow::ExitApplication(int code) {
    exiting_ = true;
    for (int i = stack_->count() - 1; i >= 0; --i)
        if (auto* page = qobject_cast<WizardPage*>(stack_->widget(i))) page->PrepareForExit();
    if (ExitHook()) {
        ExitHook()(code);
        return;
    }
    // main() ends the process after the loop returns, without waiting for workers that were told to stop.
    QCoreApplication::exit(code);
}

void WizardWindow::closeEvent(QCloseEvent* event) {
    WizardPage* page = CurrentPage();
    if (exiting_ || !page || !page->AsksBeforeClose()) {
        event->accept();
        if (!exiting_) ExitApplication(0);
        return;
    }
    event->ignore();
    if (ShowBox(this, QStringLiteral("Do you want to Close Application ?"), QStringLiteral("Salvora"),
                MsgIcon::Question, MsgButtons::YesNo) != MsgAnswer::Yes)
        return;
    OpenUrl(ProductPageUrl());
    ExitApplication(0);
}

}  // namespace salvora::gui
