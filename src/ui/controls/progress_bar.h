#pragma once
// A progress bar for 64-bit ranges (sector and file counts): values are scaled into the int range Qt draws.
#include <QProgressBar>
#include <cstdint>

namespace salvora::gui {

class ProgressBar64 final : public QProgressBar {
    Q_OBJECT
  public:
    using QProgressBar::QProgressBar;
    std::int64_t Low() const { return low_; }
    std::int64_t High() const { return high_; }
    std::int64_t Position() const { return pos_; }

  public Q_SLOTS:
    void SetRange64(qint64 low, qint64 high);
    void SetPosition64(qint64 pos);

  private:
    int Scaled(std::int64_t v) const;
    std::int64_t low_ = 0, high_ = 100, pos_ = 0;
};

}  // namespace salvora::gui
