#pragma once
// Shared by the Qt tests: the demo disk unpacked into a temporary folder, and dialog hooks that record every
// message box and answer it as the test says.
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <deque>

#include "io/ui_sink.h"
#include "ui/controls/dialogs.h"

namespace salvora::gui::test {

struct ShownMessage {
    QString text;
    QString title;
    MsgIcon icon;
    MsgButtons buttons;
};

class DialogRecorder {
  public:
    DialogRecorder() {
        Hooks().message = [this](QWidget*, const QString& text, const QString& title, MsgIcon icon,
                                 MsgButtons buttons) {
            messages.push_back({text, title, icon, buttons});
            if (buttons == MsgButtons::YesNo) {
                if (answers.empty()) return MsgAnswer::Yes;
                const MsgAnswer a = answers.front();
                answers.pop_front();
                return a;
            }
            return MsgAnswer::Ok;
        };
        Hooks().chooseFolder = [this](QWidget*, const QString& caption) {
            folderCaptions << caption;
            return folderToChoose;
        };
        Hooks().openImage = [this](QWidget*) { return imageToOpen; };
        Hooks().saveImage = [this](QWidget*, const QString&) { return imageToSave; };
        Hooks().openUrl = [this](const QUrl& url) { urls << url; };
    }
    ~DialogRecorder() { Hooks() = {}; }

    bool Saw(const QString& text) const {
        for (const auto& m : messages)
            if (m.text == text) return true;
        return false;
    }
    // A message that opens with text (the end of a save adds its summary below "work done").
    bool SawStarting(const QString& text) const {
        for (const auto& m : messages)
            if (m.text.startsWith(text)) return true;
        return false;
    }
    const ShownMessage* Find(const QString& text) const {
        for (const auto& m : messages)
            if (m.text == text) return &m;
        return nullptr;
    }

    std::vector<ShownMessage> messages;
    std::deque<MsgAnswer> answers;  // for Yes/No questions; Yes when empty
    QStringList folderCaptions;
    QString folderToChoose;
    QString imageToOpen;
    QString imageToSave;
    QList<QUrl> urls;
};

// A zstd-packed image decompressed once per test binary into a temporary folder; empty when the file or zstd
// is missing.
inline QString Unpacked(const QString& packed) {
    static QTemporaryDir dir;
    static QMap<QString, QString> done;
    if (done.contains(packed)) return done.value(packed);
    if (!dir.isValid() || !QFileInfo::exists(packed)) return {};
    QString name = QFileInfo(packed).fileName();
    name.chop(4);  // ".zst"
    const QString out = dir.filePath(name);
    if (QProcess::execute("zstd", {"-d", "-q", "-f", packed, "-o", out}) != 0) return {};
    done.insert(packed, out);
    return out;
}

inline QString DemoDisk() { return Unpacked(QStringLiteral(SALVORA_SAMPLES_DIR "/demo-disk.img.zst")); }

// A test image of tests/fixtures by its name ("ext4.img").
inline QString FixtureImage(const QString& name) {
    return Unpacked(QStringLiteral(SALVORA_FIXTURES_DIR "/") + name + QStringLiteral(".zst"));
}

// A file time as the file list writes it: "%02d/%02d/%d  %02d:%02d AM", hours above 12 less 12 with PM.
inline QString ListTimeText(const QDateTime& t) {
    const int hour = t.time().hour();
    return QStringLiteral("%1/%2/%3  %4:%5 %6")
        .arg(t.date().month(), 2, 10, QLatin1Char('0'))
        .arg(t.date().day(), 2, 10, QLatin1Char('0'))
        .arg(t.date().year())
        .arg(hour < 13 ? hour : hour - 12, 2, 10, QLatin1Char('0'))
        .arg(t.time().minute(), 2, 10, QLatin1Char('0'))
        .arg(hour < 13 ? "AM" : "PM");
}

}  // namespace salvora::gui::test
