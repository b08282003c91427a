#include "ui/controls/serial_worker.h"

namespace salvora::gui {

SerialWorker::SerialWorker(QObject* parent) : QObject(parent), context_(new QObject) {
    context_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

SerialWorker::~SerialWorker() {
    thread_.quit();
    thread_.wait();
}

void SerialWorker::Post(std::function<void()> job) {
    QMetaObject::invokeMethod(context_, std::move(job), Qt::QueuedConnection);
}

}  // namespace salvora::gui
