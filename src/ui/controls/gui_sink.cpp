#include "ui/controls/gui_sink.h"

#include <QCoreApplication>
#include <QThread>
#include <memory>

#include "ui/controls/dialogs.h"

namespace salvora::gui {

GuiSink::GuiSink(QWidget* owner) : owner_(owner) {}

GuiSink::~GuiSink() { Abandon(); }

bool GuiSink::OnUiThread() const { return QThread::currentThread() == thread(); }

void GuiSink::Abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    answered_.notify_all();
}

MsgAnswer GuiSink::ShowMessage(const std::string& text, const std::string& title, MsgIcon icon,
                               MsgButtons buttons) {
    const MsgAnswer fallback = buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    if (OnUiThread()) {
        FlushStatus();
        FlushProgress();
        return ShowBox(owner_, QString::fromStdString(text), QString::fromStdString(title), icon, buttons);
    }
    // The request outlives this call if the sink is abandoned first; share it with the UI-thread side.
    struct Request {
        bool done = false;
        MsgAnswer answer = MsgAnswer::Ok;
    };
    auto request = std::make_shared<Request>();
    {
        std::lock_guard lock(mutex_);
        if (abandoned_) return fallback;
    }
    QMetaObject::invokeMethod(
        this,
        [this, request, text, title, icon, buttons] {
            FlushStatus();
            FlushProgress();
            bool skip;
            {
                std::lock_guard lock(mutex_);
                skip = abandoned_;
            }
            const MsgAnswer answer = skip ? MsgAnswer::No
                                          : ShowBox(owner_, QString::fromStdString(text),
                                                    QString::fromStdString(title), icon, buttons);
            std::lock_guard lock(mutex_);
            request->answer = answer;
            request->done = true;
            answered_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [&] { return request->done || abandoned_; });
    return request->done ? request->answer : fallback;
}

void GuiSink::SetStatus(const std::string& text) {
    if (OnUiThread()) {
        {
            std::lock_guard lock(mutex_);
            status_ = text;
            statusPending_ = false;
        }
        Q_EMIT statusChanged(QString::fromStdString(text));
        return;
    }
    std::lock_guard lock(mutex_);
    status_ = text;
    if (statusPending_) return;
    statusPending_ = true;
    QMetaObject::invokeMethod(this, &GuiSink::FlushStatus, Qt::QueuedConnection);
}

void GuiSink::FlushStatus() {
    QString text;
    {
        std::lock_guard lock(mutex_);
        if (!statusPending_) return;
        statusPending_ = false;
        text = QString::fromStdString(status_);
    }
    Q_EMIT statusChanged(text);
}

void GuiSink::SetProgressRange(std::int64_t low, std::int64_t high) {
    {
        std::lock_guard lock(mutex_);
        low_ = low;
        high_ = high;
        rangeDirty_ = true;
        if (!OnUiThread()) {
            if (progressPending_) return;
            progressPending_ = true;
            QMetaObject::invokeMethod(this, &GuiSink::FlushProgress, Qt::QueuedConnection);
            return;
        }
        progressPending_ = true;
    }
    FlushProgress();
}

void GuiSink::SetProgressPos(std::int64_t pos) {
    {
        std::lock_guard lock(mutex_);
        pos_ = pos;
        posDirty_ = true;
        if (!OnUiThread()) {
            if (progressPending_) return;
            progressPending_ = true;
            QMetaObject::invokeMethod(this, &GuiSink::FlushProgress, Qt::QueuedConnection);
            return;
        }
        progressPending_ = true;
    }
    FlushProgress();
}

void GuiSink::FlushProgress() {
    std::int64_t low, high, pos;
    bool range, position;
    {
        std::lock_guard lock(mutex_);
        if (!progressPending_) return;
        progressPending_ = false;
        low = low_, high = high_, pos = pos_;
        range = rangeDirty_, position = posDirty_;
        rangeDirty_ = posDirty_ = false;
    }
    if (range) Q_EMIT progressRangeChanged(low, high);
    if (position) Q_EMIT progressPosChanged(pos);
}

}  // namespace salvora::gui
