#pragma once
// Every modal question the wizard asks goes through here, so a test can answer it instead of a person.
#include <QString>
#include <QUrl>
#include <functional>

#include "io/ui_sink.h"

class QWidget;

namespace salvora::gui {

struct DialogHooks {
    std::function<MsgAnswer(QWidget* owner, const QString& text, const QString& title, MsgIcon icon,
                            MsgButtons buttons)>
        message;
    std::function<QString(QWidget* owner, const QString& caption)> chooseFolder;  // empty: cancelled
    std::function<QString(QWidget* owner)> openImage;                             // empty: cancelled
    std::function<QString(QWidget* owner, const QString& suggested)> saveImage;   // empty: cancelled
    std::function<void(const QUrl& url)> openUrl;
    std::function<QString(QWidget* owner, const QString& suggested)> saveReport;  // empty: cancelled
};

// The hooks in force; each empty member falls back to the real dialog.
DialogHooks& Hooks();

MsgAnswer ShowBox(QWidget* owner, const QString& text, const QString& title = QStringLiteral("Salvora"),
                  MsgIcon icon = MsgIcon::Information, MsgButtons buttons = MsgButtons::Ok);
QString ChooseFolderDialog(QWidget* owner, const QString& caption);
// The home folder of the person using the program: the invoking user's when run through sudo.
QString UserHomeFolder();
QString OpenImageDialog(QWidget* owner);
// Where to write an image of a drive. An existing file is not confirmed here: with its map it is gone on from.
QString SaveImageDialog(QWidget* owner, const QString& suggested);
// Where to write a report of the volume; its extension names the format (.xml, .csv, .jsonl, .body).
QString SaveReportDialog(QWidget* owner, const QString& suggested);
void OpenUrl(const QUrl& url);

// The end of a save: the summary text, the files that could not be written whole ("Save this list..."), and
// "Open folder". With a message hook set, the text goes to the hook as an Ok box.
void ShowSaveSummary(QWidget* owner, const QString& text, const QStringList& failedFiles, const QString& folder,
                     bool warn);

// The built-in help page in a window of its own (with "Open in browser" for the installed copy).
void ShowHelpWindow(QWidget* owner);

// The local help page, and the product page (an anchor of it).
QUrl HelpPageUrl();
QUrl ProductPageUrl();

}  // namespace salvora::gui
