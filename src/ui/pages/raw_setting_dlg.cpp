#include "ui/pages/raw_setting_dlg.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/controls/dialogs.h"

namespace salvora::gui {
namespace {

const char* const kExtensionHelp =
    "Enter file extention .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before extention(i.e "
    ".mp3)";
const char* const kExtensionButtonHelp =
    "here enter the file extentiom .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before "
    "extention(i.e .mp3)";
const char* const kStartHelp =
    "here enter the file signature that happens to be in the starting of the file.\n example "
    "0x89,0x50,0x4E,0x47  for png File";
const char* const kEndHelp =
    "here enter the file signature that happens to be in the end of the file.\n Example "
    "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82 for png File.\n its optional Field .you can leave it if you "
    "dont "
    "know .";
const char* const kOffsetHelp =
    "if  the size of file is given in the header and you know its offset please enter that offset here.\n "
    "its "
    "optional Field .you can leave it if you don't know.";
const char* const kWidthHelp =
    "if  you know how many bytes represents size please enter that number of bytes  here.\n its optional "
    "Field "
    ".you can leave it ifyou  don't know.";
const char* const kIncludesHelp =
    "check this checkbox if the size alkso includes the header size else leave it.\n its optional Field .you "
    "can leave it if you don't know.";
const char* const kHeaderHelp =
    "please enter the header size in bytes here.\n its optional Field .you can leave it if you don't know.";
const char* const kSkipHelp =
    "when we find the file signature you mentioned  above we can skip further file scanning by an amount you "
    "enter here.\n For example mp3 are generally greater then 2 mb .so you can enter 2097152 bytes here.\n "
    "its "
    "optional Field .you can leave it .";
const char* const kApproxHelp =
    "please enter approx file size here.\n its optional Field .you can leave it if you don't know.";
const char* const kCategoryHelp = "here enter the name of category you want to put these files under";

// Typed or pasted text loses everything but its digits, the cursor staying where it was among them.
void KeepDigitsOnly(QLineEdit* box) {
    QObject::connect(box, &QLineEdit::textChanged, box, [box](const QString& text) {
        const QString digits = QString::fromStdString(DigitsOnly(text.toStdString()));
        if (digits == text) return;
        const int cursor = box->cursorPosition();
        const int removedBefore =
            cursor -
            static_cast<int>(QString::fromStdString(DigitsOnly(text.left(cursor).toStdString())).size());
        box->setText(digits);
        box->setCursorPosition(cursor - removedBefore);
    });
}

}  // namespace

SettingsFileChooser& SettingsFileHook() {
    static SettingsFileChooser hook;
    return hook;
}

QString ChooseSettingsFile(QWidget* owner, bool forEditor) {
    if (SettingsFileHook()) return SettingsFileHook()(owner, forEditor);
    const QString filter = QObject::tr("Signature settings (*.txt);;All files (*)");
    if (forEditor)
        return QFileDialog::getSaveFileName(owner, QObject::tr("Choose or create a signature settings file"),
                                            QDir::homePath(), filter, nullptr,
                                            QFileDialog::DontConfirmOverwrite);
    return QFileDialog::getOpenFileName(owner, QObject::tr("Open a signature settings file"),
                                        QDir::homePath(), filter);
}

RawSettingDlg::RawSettingDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Salvora"));
    setObjectName("rawSettingDlg");
    auto* grid = new QGridLayout;
    int row = 0;
    const auto addRow = [&](const char* label, QWidget* field, const char* help, const char* buttonHelp) {
        if (label) grid->addWidget(new QLabel(QString::fromLatin1(label), this), row, 0);
        grid->addWidget(field, row, label ? 1 : 0, 1, label ? 1 : 2);
        field->setToolTip(QString::fromLatin1(help));
        auto* helpButton = new QToolButton(this);
        helpButton->setText(QStringLiteral("?"));
        helpButton->setObjectName(field->objectName() + "Help");
        const QString shown = QString::fromLatin1(buttonHelp ? buttonHelp : help);
        connect(helpButton, &QToolButton::clicked, this, [this, shown] { ShowBox(this, shown); });
        grid->addWidget(helpButton, row, 2);
        ++row;
    };
    const auto box = [this](const char* name) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        return edit;
    };
    extension = box("extension");
    startSignature = box("startSignature");
    endSignature = box("endSignature");
    sizeFieldOffset = box("sizeFieldOffset");
    sizeFieldWidth = box("sizeFieldWidth");
    sizeIncludesHeader = new QCheckBox(QStringLiteral("Size includes header size"), this);
    sizeIncludesHeader->setObjectName("sizeIncludesHeader");
    headerSize = box("headerSize");
    skipBytes = box("skipBytes");
    approxSize = box("approxSize");
    category = box("category");
    for (QLineEdit* digits : {sizeFieldOffset, sizeFieldWidth, headerSize, skipBytes, approxSize})
        KeepDigitsOnly(digits);

    addRow("File Extention :", extension, kExtensionHelp, kExtensionButtonHelp);
    addRow("Starting Signature :", startSignature, kStartHelp, nullptr);
    addRow("Ending Signature :", endSignature, kEndHelp, nullptr);
    addRow("Offset to Size Byte :", sizeFieldOffset, kOffsetHelp, nullptr);
    addRow("Number Of Bytes In Size :", sizeFieldWidth, kWidthHelp, nullptr);
    addRow(nullptr, sizeIncludesHeader, kIncludesHelp, nullptr);
    addRow("Header size :", headerSize, kHeaderHelp, nullptr);
    addRow("Size_to_skip_WhileParsing :", skipBytes, kSkipHelp, nullptr);
    addRow("Approx file size :", approxSize, kApproxHelp, nullptr);
    addRow("Put Under Category :", category, kCategoryHelp, nullptr);
    grid->setColumnStretch(1, 1);

    filePath = new QLineEdit(this);
    filePath->setObjectName("filePath");
    filePath->setReadOnly(true);
    filePath->setPlaceholderText(tr("Settings file to append to: choose it with ..."));
    browseButton = new QPushButton(QStringLiteral("..."), this);
    saveButton = new QPushButton(QStringLiteral("Save"), this);
    saveButton->setEnabled(false);  // nothing to append to until a file is open
    connect(browseButton, &QPushButton::clicked, this, &RawSettingDlg::OnBrowse);
    connect(saveButton, &QPushButton::clicked, this, &RawSettingDlg::OnSave);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(filePath, 1);
    fileRow->addWidget(browseButton);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(saveButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(fileRow);
    layout->addLayout(buttons);
    resize(560, sizeHint().height());
}

SignatureFields RawSettingDlg::Fields() const {
    SignatureFields f;
    f.extension = extension->text().toStdString();
    f.startSignature = startSignature->text().toStdString();
    f.endSignature = endSignature->text().toStdString();
    f.sizeFieldOffset = sizeFieldOffset->text().toStdString();
    f.sizeFieldWidth = sizeFieldWidth->text().toStdString();
    f.sizeIncludesHeader = sizeIncludesHeader->isChecked();
    f.headerSize = headerSize->text().toStdString();
    f.skipBytes = skipBytes->text().toStdString();
    f.approxSize = approxSize->text().toStdString();
    f.category = category->text().toStdString();
    return f;
}

bool RawSettingDlg::OpenFile(const QString& path) {
    if (path.isEmpty() || !editor_.Open(path.toStdString())) return false;
    filePath->setText(path);
    saveButton->setEnabled(true);
    return true;
}

void RawSettingDlg::OnBrowse() {
    const QString path = ChooseSettingsFile(this, true);
    if (!path.isEmpty()) OpenFile(path);
}

bool RawSettingDlg::OnSave() {
    if (!editor_.IsOpen()) return false;
    return editor_.AppendSignatureRecord(Fields());
}

}  // namespace salvora::gui
