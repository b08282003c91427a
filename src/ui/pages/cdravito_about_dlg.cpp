#include "ui/pages/cdravito_about_dlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace salvora::gui {

CDravitoAboutDlg::CDravitoAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Mendro"));
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        tr("<b>Salvora</b> %1<br><br>Read-only file recovery for FAT16, FAT32 and exFAT volumes.<br>"
           "It never writes to the disk it recovers from.")
            .arg(QStringLiteral(SALVORA_VERSION_TEXT)),
        this);
    text->setTextFormat(Qt::RichText);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

}  // namespace salvora::gui
