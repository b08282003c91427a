#include "ui/pages/wizard_page.h"

#include <QKeyEvent>
#include <QPushButton>

#include <QMenu>

#include "app/wizard_window.h"
#include "ui/controls/dialogs.h"
#include "ui/pages/cdravito_about_dlg.h"

namespace salvora::gui {

WizardPage::WizardPage(WizardWindow* wizard, WizardPage* parentPage, int pageId)
    : wizard_(wizard),
      parentPage_(parentPage),
      pageId_(pageId),
      sink_(new GuiSink(this)),
      statusLine_(new QLabel(this)),
      progressBar_(new ProgressBar64(this)) {
    setWindowTitle(QStringLiteral("Salvora"));
    statusLine_->setObjectName("statusLine");
    statusLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusLine_->setMinimumWidth(200);
    progressBar_->setObjectName("progressBar");
    progressBar_->setTextVisible(false);
    connect(sink_, &GuiSink::statusChanged, statusLine_, &QLabel::setText);
    connect(sink_, &GuiSink::progressRangeChanged, progressBar_, &ProgressBar64::SetRange64);
    connect(sink_, &GuiSink::progressPosChanged, progressBar_, &ProgressBar64::SetPosition64);
}

WizardPage::~WizardPage() { sink_->Abandon(); }

void WizardPage::PrepareForExit() { sink_->Abandon(); }

void WizardPage::GoNext(WizardPage* next) { wizard_->Push(next); }

void WizardPage::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (button == nullptr) button = findChild<QPushButton*>(QStringLiteral("nextButton"));
    if (button != nullptr && button->isEnabled() && button->isVisible()) button->click();
}

void WizardPage::GoBack() { wizard_->Back(); }

QPushButton* WizardPage::MakeHelpButton() {
    auto* button = new QPushButton(tr("Help"), this);
    button->setObjectName("helpButton");
    auto* menu = new QMenu(button);
    menu->setObjectName("Menu_Help");
    menu->addAction(tr("Help"), this, [this] { ShowHelpWindow(this); });
    menu->addAction(tr("About"), this, [this] {
        CDravitoAboutDlg about(this);
        about.exec();
    });
    menu->addAction(tr("Software Webpage"), this, [] { OpenUrl(ProductPageUrl()); });
    button->setMenu(menu);
    return button;
}

QLabel* WizardPage::MakeHeading(const QString& text) {
    auto* heading = new QLabel(text, this);
    heading->setObjectName("heading");
    QFont font = heading->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    heading->setFont(font);
    return heading;
}

}  // namespace salvora::gui
