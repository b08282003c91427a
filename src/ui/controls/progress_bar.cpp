#include "ui/controls/progress_bar.h"

#include <algorithm>

namespace salvora::gui {

namespace {
constexpr std::int64_t kSteps = 1'000'000;
}

int ProgressBar64::Scaled(std::int64_t v) const {
    const std::int64_t span = high_ - low_;
    if (span <= 0) return 0;
    v = std::clamp(v, low_, high_);
    if (span <= kSteps) return static_cast<int>(v - low_);
    return static_cast<int>(static_cast<long double>(v - low_) * kSteps / span);
}

void ProgressBar64::SetRange64(qint64 low, qint64 high) {
    low_ = low;
    high_ = std::max<std::int64_t>(low, high);
    const std::int64_t span = high_ - low_;
    setRange(0, static_cast<int>(std::min(span, kSteps)));
    setValue(Scaled(pos_));
}

void ProgressBar64::SetPosition64(qint64 pos) {
    pos_ = pos;
    setValue(Scaled(pos));
}

}  // namespace salvora::gui
