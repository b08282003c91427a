#pragma once
// Folder and file icons from the desktop theme, a file's chosen by its extension; cached per extension.
#include <QHash>
#include <QIcon>
#include <QString>

namespace salvora::gui {

class FileIcons {
  public:
    QIcon Folder();
    QIcon ForExtension(const QString& extension);

  private:
    QIcon folder_;
    QIcon file_;
    QHash<QString, QIcon> byExtension_;
};

FileIcons& TheFileIcons();

}  // namespace salvora::gui
