#include "app/cmendro_app.h"

#include <QFileInfo>

#include "app/single_instance.h"
#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "io/ui_sink.h"
#include "ui/controls/dialogs.h"
#include "ui/controls/gui_sink.h"
#include "ui/pages/physical_drive_dialog.h"

namespace salvora::gui {

CMendroApp::CMendroApp(int& argc, char** argv) : QApplication(argc, argv) {
    theReader = nullptr;
    setApplicationName(QStringLiteral("Salvora"));
    setOrganizationName(QStringLiteral("SalvoraV22"));
}

CMendroApp::~CMendroApp() {
    SetUi(nullptr);
    window_.reset();
}

QStringList CMendroApp::Images() const {
    QStringList images;
    const QStringList args = arguments();
    for (int i = 1; i < args.size(); ++i)
        if (!args[i].startsWith(QLatin1Char('-')) && QFileInfo(args[i]).isFile()) images << args[i];
    return images;
}

bool CMendroApp::InitInstance() {
    lock_ = std::make_unique<SingleInstanceLock>();
    if (!lock_->Acquired()) {
        ShowBox(nullptr, QStringLiteral("Another instance of application is already running"));
        return false;
    }
    window_ = std::make_unique<WizardWindow>();
    // The core's own boxes and status texts (the reader's "invalid handle ...", for one) reach the page
    // shown.
    sink_ = std::make_unique<GuiSink>(window_.get());
    connect(sink_.get(), &GuiSink::statusChanged, window_.get(), [this](const QString& text) {
        if (WizardPage* page = window_->CurrentPage()) page->StatusLine()->setText(text);
    });
    SetUi(sink_.get());
    window_->Push(new Physical_DriveDialog(window_.get(), Images()));
    window_->show();
    return true;
}

}  // namespace salvora::gui
