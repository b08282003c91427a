#pragma once
// The look at one file beside the results, from its bytes on the source, without saving it: a picture scaled
// to the pane (what decodes of a damaged one), text, or the first bytes in hex.
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QWidget>

#include "scan/triage.h"

namespace salvora::gui {

// What the pane shows, made on a worker (pictures are decoded there).
struct PreviewResult {
    PreviewKind kind = PreviewKind::None;
    QImage image;
    QString text;
    QString note;  // below the name: damaged, cut to the first bytes, unreadable bytes
    std::uint64_t size = 0;
};

PreviewResult DecodePreview(const Preview& preview);

class PreviewPane final : public QWidget {
    Q_OBJECT
  public:
    explicit PreviewPane(QWidget* parent = nullptr);

    void ShowNothing(const QString& why);
    void ShowLoading(const QString& name);
    void ShowResult(const QString& name, const PreviewResult& result);

    PreviewKind Kind() const { return kind_; }
    bool Loading() const { return loading_; }
    const QImage& Image() const { return image_; }
    QString Text() const { return textView->toPlainText(); }
    QString Note() const { return caption->text(); }

    QLabel* caption;
    QLabel* imageView;
    QPlainTextEdit* textView;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void ScaleImage();

    QStackedWidget* stack_;
    QLabel* message_;
    QImage image_;
    PreviewKind kind_ = PreviewKind::None;
    bool loading_ = false;
};

}  // namespace salvora::gui
