#include "ui/controls/preview_pane.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QImageReader>
#include <QLocale>
#include <QVBoxLayout>

namespace salvora::gui {

PreviewResult DecodePreview(const Preview& preview) {
    PreviewResult out;
    out.kind = preview.kind;
    out.size = preview.size;
    QStringList notes;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(preview.bytes.data()),
                                                     static_cast<qsizetype>(preview.bytes.size()));
    const bool cut = preview.bytes.size() < preview.size;
    switch (preview.kind) {
        case PreviewKind::None:
            out.note = QObject::tr("Where this file's bytes lie is not known: there is nothing to show.");
            return out;
        case PreviewKind::Picture: {
            QByteArray copy(bytes.constData(), bytes.size());
            QBuffer buffer(&copy);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer);
            reader.setDecideFormatFromContent(true);
            out.image = reader.read();
            if (out.image.isNull()) {
                // Nothing decodes: the pane says so, in place of a picture.
                out.text = QObject::tr("This picture is damaged: nothing of it could be decoded (%1).")
                               .arg(reader.errorString());
                notes << QObject::tr("damaged");
            } else if (preview.unreadable > 0 || (!cut && PictureLooksCut(preview.bytes))) {
                notes << QObject::tr("damaged: what decodes is shown");
            }
            if (cut) notes << QObject::tr("first %1 MiB read").arg(kPreviewPictureBytes >> 20);
            break;
        }
        case PreviewKind::Text:
            out.text = QString::fromUtf8(bytes);
            if (cut) notes << QObject::tr("first %1 KiB").arg(preview.bytes.size() >> 10);
            break;
        case PreviewKind::Hex:
            out.text = QString::fromStdString(HexDump(preview.bytes));
            if (cut) notes << QObject::tr("first %1 bytes").arg(preview.bytes.size());
            break;
    }
    if (preview.unreadable > 0)
        notes << QObject::tr("%1 bytes unreadable").arg(QLocale().toString(static_cast<qulonglong>(preview.unreadable)));
    out.note = notes.join(QStringLiteral(", "));
    return out;
}

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
    setObjectName("previewPane");
    caption = new QLabel(this);
    caption->setObjectName("previewCaption");
    caption->setWordWrap(true);
    caption->setTextInteractionFlags(Qt::TextSelectableByMouse);
    imageView = new QLabel(this);
    imageView->setAlignment(Qt::AlignCenter);
    imageView->setMinimumSize(80, 80);
    imageView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    textView = new QPlainTextEdit(this);
    textView->setReadOnly(true);
    textView->setLineWrapMode(QPlainTextEdit::NoWrap);
    message_ = new QLabel(this);
    message_->setAlignment(Qt::AlignCenter);
    message_->setWordWrap(true);
    message_->setEnabled(false);
    stack_ = new QStackedWidget(this);
    stack_->addWidget(message_);
    stack_->addWidget(imageView);
    stack_->addWidget(textView);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(stack_, 1);
    layout->addWidget(caption);
    ShowNothing(tr("Select a file to see it here before saving it."));
}

void PreviewPane::ShowNothing(const QString& why) {
    kind_ = PreviewKind::None;
    loading_ = false;
    image_ = {};
    textView->clear();
    message_->setText(why);
    caption->clear();
    stack_->setCurrentWidget(message_);
}

void PreviewPane::ShowLoading(const QString& name) {
    loading_ = true;
    message_->setText(tr("Reading %1...").arg(name));
    caption->setText(name);
    stack_->setCurrentWidget(message_);
}

void PreviewPane::ShowResult(const QString& name, const PreviewResult& result) {
    loading_ = false;
    kind_ = result.kind;
    image_ = result.image;
    QString line = tr("%1 - %2 bytes").arg(name, QLocale().toString(static_cast<qulonglong>(result.size)));
    if (!result.note.isEmpty()) line += QStringLiteral(" (") + result.note + QStringLiteral(")");
    caption->setText(line);
    switch (result.kind) {
        case PreviewKind::None:
            ShowNothing(result.note);
            return;
        case PreviewKind::Picture:
            if (image_.isNull()) {
                message_->setText(result.text);
                stack_->setCurrentWidget(message_);
                return;
            }
            stack_->setCurrentWidget(imageView);
            ScaleImage();
            return;
        case PreviewKind::Text:
            textView->setFont(font());
            break;
        case PreviewKind::Hex:
            textView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
            break;
    }
    textView->setPlainText(result.text);
    stack_->setCurrentWidget(textView);
}

void PreviewPane::ScaleImage() {
    if (image_.isNull()) return;
    const QSize room = imageView->size();
    // Small pictures are not blown up: a 16-pixel icon stays an icon.
    const QImage shown = image_.width() > room.width() || image_.height() > room.height()
                             ? image_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                             : image_;
    imageView->setPixmap(QPixmap::fromImage(shown));
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (kind_ == PreviewKind::Picture) ScaleImage();
}

}  // namespace salvora::gui
