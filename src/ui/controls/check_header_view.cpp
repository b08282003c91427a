#include "ui/controls/check_header_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>

namespace salvora::gui {

CheckHeaderView::CheckHeaderView(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(true);
}

void CheckHeaderView::SetChecked(bool checked) {
    if (checked_ == checked) return;
    checked_ = checked;
    viewport()->update();
}

QRect CheckHeaderView::CheckBoxRect(const QRect& section) const {
    QStyleOptionButton option;
    const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    return QRect(section.left() + 3, section.top() + (section.height() - box.height()) / 2, box.width(),
                 box.height());
}

void CheckHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (logicalIndex != 0) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    // The section, its label moved right of the box, then the box.
    QStyleOptionHeader header;
    initStyleOption(&header);
    initStyleOptionForIndex(&header, logicalIndex);
    header.rect = rect;
    painter->save();
    style()->drawControl(QStyle::CE_HeaderSection, &header, painter, this);
    const QRect box = CheckBoxRect(rect);
    QStyleOptionHeader label = header;
    label.rect = rect.adjusted(box.width() + 6, 0, 0, 0);
    style()->drawControl(QStyle::CE_HeaderLabel, &label, painter, this);
    painter->restore();
    QStyleOptionButton option;
    option.rect = box;
    option.state = QStyle::State_Enabled | (checked_ ? QStyle::State_On : QStyle::State_Off);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, painter, this);
}

void CheckHeaderView::mousePressEvent(QMouseEvent* event) {
    const int logical = logicalIndexAt(event->position().toPoint());
    if (logical == 0) {
        const QRect section(sectionViewportPosition(0), 0, sectionSize(0), height());
        if (CheckBoxRect(section).adjusted(-2, -2, 2, 2).contains(event->position().toPoint())) {
            checked_ = !checked_;
            viewport()->update();
            Q_EMIT toggled(checked_);
            return;
        }
    }
    QHeaderView::mousePressEvent(event);
}

}  // namespace salvora::gui
