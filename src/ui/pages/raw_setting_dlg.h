#pragma once
// The signature editor: one record per Save, appended to a settings file the user picks (created when
// missing). The number boxes keep digits only; every field carries its help text as a tooltip and behind a
// small "?" button.
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <functional>

#include "raw/settings_file.h"

namespace salvora::gui {

// Chooses a settings file; forEditor: the file may not exist yet. Empty: cancelled. Tests replace it.
using SettingsFileChooser = std::function<QString(QWidget* owner, bool forEditor)>;
SettingsFileChooser& SettingsFileHook();
QString ChooseSettingsFile(QWidget* owner, bool forEditor);

class RawSettingDlg final : public QDialog {
    Q_OBJECT
  public:
    explicit RawSettingDlg(QWidget* parent = nullptr);

    // The boxes as typed.
    SignatureFields Fields() const;
    const SignatureFileEditor& Editor() const { return editor_; }
    // Opens (or creates) the settings file and shows its path; false: "file can not be created".
    bool OpenFile(const QString& path);

    QLineEdit* extension;
    QLineEdit* startSignature;
    QLineEdit* endSignature;
    QLineEdit* sizeFieldOffset;
    QLineEdit* sizeFieldWidth;
    QCheckBox* sizeIncludesHeader;
    QLineEdit* headerSize;
    QLineEdit* skipBytes;
    QLineEdit* approxSize;
    QLineEdit* category;
    QLineEdit* filePath;
    QPushButton* browseButton;
    QPushButton* saveButton;

  public Q_SLOTS:
    void OnBrowse();
    // AppendSignatureRecord: true when the record was written.
    bool OnSave();

  private:
    SignatureFileEditor editor_;
};

}  // namespace salvora::gui
