#include "ui/controls/dialogs.h"

#include <pwd.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFile>
#include <QDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QPushButton>
#include <QUrl>
#include <cstdio>

#include "scan/file_saver.h"

namespace salvora::gui {

DialogHooks& Hooks() {
    static DialogHooks hooks;
    return hooks;
}

MsgAnswer ShowBox(QWidget* owner, const QString& text, const QString& title, MsgIcon icon,
                  MsgButtons buttons) {
    if (Hooks().message) return Hooks().message(owner, text, title, icon, buttons);
    // Scripted runs (the screenshot tour, the second-instance check) must never wait for a person.
    if (qEnvironmentVariableIsSet("SALVORA_NONINTERACTIVE")) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
        return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
    QMessageBox box(owner);
    box.setWindowTitle(title);
    box.setText(text);
    switch (icon) {
        case MsgIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
    }
    if (buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MsgAnswer::Ok;
}

QString ChooseFolderDialog(QWidget* owner, const QString& caption) {
    if (Hooks().chooseFolder) return Hooks().chooseFolder(owner, caption);
    return QFileDialog::getExistingDirectory(owner, caption, UserHomeFolder(), QFileDialog::ShowDirsOnly);
}

QString UserHomeFolder() {
    // Run through sudo, the person's own home, not root's.
    if (const std::optional<FileOwner> user = InvokingUser()) {
        if (const passwd* entry = ::getpwuid(user->uid); entry != nullptr && entry->pw_dir != nullptr)
            return QString::fromLocal8Bit(entry->pw_dir);
    }
    return QDir::homePath();
}

void ShowSaveSummary(QWidget* owner, const QString& text, const QStringList& failedFiles, const QString& folder,
                     bool warn) {
    if (Hooks().message) {
        Hooks().message(owner, text, QStringLiteral("Salvora"), warn ? MsgIcon::Warning : MsgIcon::Information,
                        MsgButtons::Ok);
        return;
    }
    QMessageBox box(warn ? QMessageBox::Warning : QMessageBox::Information, QStringLiteral("Salvora"), text,
                    QMessageBox::Ok, owner);
    QPushButton* open = box.addButton(QCoreApplication::translate("salvora", "Open folder"), QMessageBox::ActionRole);
    QPushButton* saveList = nullptr;
    if (!failedFiles.isEmpty()) {
        box.setDetailedText(failedFiles.join('\n'));
        saveList = box.addButton(QCoreApplication::translate("salvora", "Save this list..."), QMessageBox::ActionRole);
    }
    box.setDefaultButton(QMessageBox::Ok);
    for (;;) {
        box.exec();
        if (box.clickedButton() == open) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
        } else if (saveList != nullptr && box.clickedButton() == saveList) {
            const QString path = QFileDialog::getSaveFileName(
                owner, QCoreApplication::translate("salvora", "Save the list of files not written"),
                UserHomeFolder() + QStringLiteral("/not-recovered.txt"));
            QFile file(path);
            if (!path.isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write((failedFiles.join('\n') + '\n').toUtf8());
            continue;  // the summary stays until it is closed
        }
        return;
    }
}

QString OpenImageDialog(QWidget* owner) {
    if (Hooks().openImage) return Hooks().openImage(owner);
    return QFileDialog::getOpenFileName(
        owner, QCoreApplication::translate("salvora", "Open a disk image"), UserHomeFolder(),
        QCoreApplication::translate(
            "salvora",
            "Disk images (*.img *.dd *.raw *.bin *.iso *.ima *.vfd *.E01 *.e01 *.Ex01 *.vhd *.vhdx *.vmdk "
            "*.qcow2 *.qcow *.001 *.000 *.aa);;Raw images (*.img *.dd *.raw *.bin *.iso *.ima *.vfd);;"
            "EnCase images (*.E01 *.e01 *.Ex01);;Virtual machine disks (*.vhd *.vhdx *.vmdk *.qcow2 *.qcow);;"
            "Split raw images, first piece (*.001 *.000 *.aa);;All files (*)"));
}

QString SaveImageDialog(QWidget* owner, const QString& suggested) {
    if (Hooks().saveImage) return Hooks().saveImage(owner, suggested);
    return QFileDialog::getSaveFileName(
        owner, QCoreApplication::translate("salvora", "Save the image as"), suggested,
        QCoreApplication::translate("salvora", "Raw images (*.img *.dd *.raw);;All files (*)"), nullptr,
        QFileDialog::DontConfirmOverwrite);
}

QString SaveReportDialog(QWidget* owner, const QString& suggested) {
    if (Hooks().saveReport) return Hooks().saveReport(owner, suggested);
    return QFileDialog::getSaveFileName(
        owner, QCoreApplication::translate("salvora", "Save report"), suggested,
        QCoreApplication::translate("salvora",
                                    "DFXML (*.xml);;CSV (*.csv);;JSON lines (*.jsonl);;Bodyfile (*.body);;All files (*)"));
}

void OpenUrl(const QUrl& url) {
    if (Hooks().openUrl) return Hooks().openUrl(url);
    QDesktopServices::openUrl(url);
}

void ShowHelpWindow(QWidget* owner) {
    if (Hooks().openUrl) {  // tests see which page would open
        Hooks().openUrl(QUrl(QStringLiteral("qrc:/help.html")));
        return;
    }
    static QPointer<QDialog> window;
    if (!window) {
        window = new QDialog(owner ? owner->window() : nullptr);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(QCoreApplication::translate("salvora", "Salvora help"));
        auto* browser = new QTextBrowser(window);
        browser->setObjectName("helpBrowser");
        browser->setSource(QUrl(QStringLiteral("qrc:/help.html")));
        auto* inBrowser = new QPushButton(QCoreApplication::translate("salvora", "Open in browser"), window);
        QObject::connect(inBrowser, &QPushButton::clicked, window, [] { QDesktopServices::openUrl(HelpPageUrl()); });
        auto* close = new QPushButton(QCoreApplication::translate("salvora", "Close"), window);
        close->setDefault(true);
        QObject::connect(close, &QPushButton::clicked, window, &QDialog::close);
        auto* buttons = new QHBoxLayout;
        buttons->addWidget(inBrowser);
        buttons->addStretch();
        buttons->addWidget(close);
        auto* layout = new QVBoxLayout(window);
        layout->addWidget(browser, 1);
        layout->addLayout(buttons);
        window->resize(720, 560);
    }
    window->show();
    window->raise();
}

QUrl HelpPageUrl() {
    // Installed beside the program first, then the source tree this binary was built from.
    const QString appDir = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {appDir + "/../share/salvora/help.html", appDir + "/../docs/help.html",
                                     QStringLiteral(SALVORA_HELP_PAGE)}) {
        if (QFileInfo::exists(candidate))
            return QUrl::fromLocalFile(QFileInfo(candidate).canonicalFilePath());
    }
    return QUrl::fromLocalFile(QStringLiteral(SALVORA_HELP_PAGE));
}

QUrl ProductPageUrl() {
    QUrl url = HelpPageUrl();
    url.setFragment(QStringLiteral("product"));
    return url;
}

}  // namespace salvora::gui
