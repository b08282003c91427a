#pragma once
// A horizontal header with a check box in its first section: clicking it checks or unchecks every row.
#include <QHeaderView>

namespace salvora::gui {

class CheckHeaderView final : public QHeaderView {
    Q_OBJECT
  public:
    explicit CheckHeaderView(QWidget* parent = nullptr);
    bool IsChecked() const { return checked_; }
    void SetChecked(bool checked);  // shows the state; does not emit
    QRect CheckBoxRect(const QRect& section) const;

  Q_SIGNALS:
    void toggled(bool checked);

  protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    bool checked_ = false;
};

}  // namespace salvora::gui
