#pragma once
// A sector number edit with a spin button: each click adds or subtracts 1, never below 0. Sector numbers do
// not fit an int, so QSpinBox will not do.
#include <QLineEdit>
#include <QToolButton>
#include <QWidget>
#include <cstdint>

namespace salvora::gui {

class SectorEdit final : public QWidget {
    Q_OBJECT
  public:
    explicit SectorEdit(QWidget* parent = nullptr);
    QLineEdit* Edit() const { return edit_; }
    QString text() const { return edit_->text(); }
    void setText(const QString& text) { edit_->setText(text); }
    void StepBy(int delta);
    QToolButton* UpButton() const { return up_; }
    QToolButton* DownButton() const { return down_; }

  private:
    QLineEdit* edit_;
    QToolButton* up_;
    QToolButton* down_;
};

}  // namespace salvora::gui
