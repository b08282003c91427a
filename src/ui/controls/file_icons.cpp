#include "ui/controls/file_icons.h"

#include <QFileIconProvider>
#include <QMimeDatabase>

namespace salvora::gui {

FileIcons& TheFileIcons() {
    static FileIcons icons;
    return icons;
}

QIcon FileIcons::Folder() {
    if (folder_.isNull())
        folder_ = QIcon::fromTheme("folder", QFileIconProvider().icon(QFileIconProvider::Folder));
    return folder_;
}

QIcon FileIcons::ForExtension(const QString& extension) {
    if (file_.isNull())
        file_ = QIcon::fromTheme("text-x-generic", QFileIconProvider().icon(QFileIconProvider::File));
    if (extension.isEmpty()) return file_;
    const auto found = byExtension_.constFind(extension);
    if (found != byExtension_.constEnd()) return *found;
    QIcon icon = file_;
    static const QMimeDatabase mimes;
    for (const QMimeType& mime : mimes.mimeTypesForFileName("x." + extension)) {
        if (QIcon::hasThemeIcon(mime.iconName())) {
            icon = QIcon::fromTheme(mime.iconName());
            break;
        }
        if (QIcon::hasThemeIcon(mime.genericIconName())) {
            icon = QIcon::fromTheme(mime.genericIconName());
            break;
        }
    }
    byExtension_.insert(extension, icon);
    return icon;
}

}  // namespace salvora::gui
