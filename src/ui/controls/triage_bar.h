#pragma once
// The bar above the results: which files the list shows (a name part or a path glob, deleted or live, a
// least size, a kind, a state), "Check all shown" and "Save report...". Says when its fields change, after a
// short pause in the typing.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "scan/triage.h"

namespace salvora::gui {

class TriageBar final : public QWidget {
    Q_OBJECT
  public:
    explicit TriageBar(QWidget* parent = nullptr);

    TriageFilterInput Input() const;
    void SetShownCount(int shown);  // negative: no filter, nothing to say

    QLineEdit* pattern;
    QComboBox* show;
    QLineEdit* minSize;
    QComboBox* kind;
    QComboBox* state;
    QPushButton* checkAllShown;
    QPushButton* saveReport;
    QPushButton* browse;
    QLabel* shownCount;

  Q_SIGNALS:
    void changed();

  private:
    QTimer pause_;
};

}  // namespace salvora::gui
