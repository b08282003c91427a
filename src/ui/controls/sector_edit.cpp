#include "ui/controls/sector_edit.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace salvora::gui {

SectorEdit::SectorEdit(QWidget* parent)
    : QWidget(parent), edit_(new QLineEdit(this)), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFixedSize(18, 12);
    }
    auto* arrows = new QVBoxLayout;
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    arrows->addWidget(up_);
    arrows->addWidget(down_);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    layout->addWidget(edit_, 1);
    layout->addLayout(arrows);
    connect(up_, &QToolButton::clicked, this, [this] { StepBy(1); });
    connect(down_, &QToolButton::clicked, this, [this] { StepBy(-1); });
}

void SectorEdit::StepBy(int delta) {
    bool ok = false;
    const qulonglong value = edit_->text().trimmed().toULongLong(&ok);
    qulonglong next = ok ? value : 0;
    if (delta > 0 && next < UINT64_MAX) ++next;
    if (delta < 0 && next > 0) --next;
    edit_->setText(QString::number(next));
}

}  // namespace salvora::gui
