#pragma once
// One thread for a page's short background jobs, run one at a time in the order posted. A job reports back
// with a queued call to the page; the page drops what a newer request made stale.
#include <QObject>
#include <QThread>
#include <functional>

namespace salvora::gui {

class SerialWorker final : public QObject {
  public:
    explicit SerialWorker(QObject* parent = nullptr);
    ~SerialWorker() override;  // waits for the running job; those not begun are dropped

    void Post(std::function<void()> job);

  private:
    QThread thread_;
    QObject* context_;  // lives on thread_: queued calls to it run there
};

}  // namespace salvora::gui
