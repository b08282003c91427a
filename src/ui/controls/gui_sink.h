#pragma once
// The wizard's UiSink. Workers call it from their threads; everything reaches the widgets on the UI thread.
// Status and progress are coalesced (a worker may report far faster than a screen can show); a message box is
// shown by the UI thread while the calling worker waits for the answer.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "io/ui_sink.h"

namespace salvora::gui {

class GuiSink final : public QObject, public UiSink {
    Q_OBJECT
  public:
    explicit GuiSink(QWidget* owner);
    ~GuiSink() override;

    MsgAnswer ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                          MsgButtons buttons) override;
    void SetStatus(const std::string& text) override;
    void SetProgressRange(std::int64_t low, std::int64_t high) override;
    void SetProgressPos(std::int64_t pos) override;

    // From now on every question is answered at once (No / Ok) without a box: the page is going away and a
    // worker must not wait for a person who can no longer see it.
    void Abandon();

  Q_SIGNALS:
    void statusChanged(const QString& text);
    void progressRangeChanged(qint64 low, qint64 high);
    void progressPosChanged(qint64 pos);

  private:
    void FlushStatus();
    void FlushProgress();
    bool OnUiThread() const;

    QPointer<QWidget> owner_;
    std::mutex mutex_;
    std::condition_variable answered_;
    bool abandoned_ = false;
    std::string status_;
    bool statusPending_ = false;
    std::int64_t low_ = 0, high_ = 0, pos_ = 0;
    bool rangeDirty_ = false, posDirty_ = false, progressPending_ = false;
};

}  // namespace salvora::gui
