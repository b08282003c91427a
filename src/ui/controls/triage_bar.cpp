#include "ui/controls/triage_bar.h"

#include <QHBoxLayout>

namespace salvora::gui {

TriageBar::TriageBar(QWidget* parent) : QWidget(parent) {
    pattern = new QLineEdit(this);
    pattern->setObjectName("filterPattern");
    pattern->setPlaceholderText(tr("Filter: part of a name, a name glob (*.jpg) or a path glob (/DCIM/**)"));
    pattern->setClearButtonEnabled(true);
    show = new QComboBox(this);
    show->setObjectName("filterShow");
    show->addItem(tr("All files"), static_cast<int>(TriageFilterInput::Show::All));
    show->addItem(tr("Deleted only"), static_cast<int>(TriageFilterInput::Show::Deleted));
    show->addItem(tr("Live only"), static_cast<int>(TriageFilterInput::Show::Live));
    minSize = new QLineEdit(this);
    minSize->setObjectName("filterMinSize");
    minSize->setPlaceholderText(tr("Min size (10K, 2M)"));
    minSize->setMaximumWidth(130);
    kind = new QComboBox(this);
    kind->setObjectName("filterKind");
    kind->addItem(tr("Any type"), QString());
    kind->addItem(tr("Photos"), QStringLiteral("photo"));
    kind->addItem(tr("Videos"), QStringLiteral("video"));
    kind->addItem(tr("Audio"), QStringLiteral("audio"));
    kind->addItem(tr("Documents"), QStringLiteral("document"));
    kind->addItem(tr("Archives"), QStringLiteral("archive"));
    state = new QComboBox(this);
    state->setObjectName("filterState");
    state->addItem(tr("Any state"), QString());
    for (Verdict v : {Verdict::Intact, Verdict::Recoverable, Verdict::Partial, Verdict::Overwritten, Verdict::Unknown})
        state->addItem(QString::fromLatin1(VerdictName(v)), QString::fromLatin1(VerdictName(v)));
    shownCount = new QLabel(this);
    shownCount->setObjectName("filterShownCount");
    checkAllShown = new QPushButton(tr("Check all shown"), this);
    checkAllShown->setObjectName("checkAllShown");
    saveReport = new QPushButton(tr("Save report..."), this);
    saveReport->setObjectName("saveReport");
    browse = new QPushButton(tr("Browse..."), this);
    browse->setObjectName("browseMount");
    browse->setToolTip(tr("Show the files found, deleted ones too, in the file manager (read-only)"));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(pattern, 1);
    row->addWidget(show);
    row->addWidget(minSize);
    row->addWidget(kind);
    row->addWidget(state);
    row->addWidget(shownCount);
    row->addWidget(checkAllShown);
    row->addWidget(saveReport);
    row->addWidget(browse);

    pause_.setSingleShot(true);
    pause_.setInterval(250);
    connect(&pause_, &QTimer::timeout, this, &TriageBar::changed);
    const auto soon = [this] { pause_.start(); };
    connect(pattern, &QLineEdit::textChanged, this, soon);
    connect(minSize, &QLineEdit::textChanged, this, soon);
    // A choice in a box is made once: no pause.
    for (QComboBox* box : {show, kind, state})
        connect(box, &QComboBox::currentIndexChanged, this, &TriageBar::changed);
}

TriageFilterInput TriageBar::Input() const {
    TriageFilterInput in;
    in.text = pattern->text().trimmed().toStdString();
    in.show = static_cast<TriageFilterInput::Show>(show->currentData().toInt());
    in.minSize = minSize->text().trimmed().toStdString();
    in.kind = kind->currentData().toString().toStdString();
    in.verdict = state->currentData().toString().toStdString();
    return in;
}

void TriageBar::SetShownCount(int shown) {
    shownCount->setText(shown < 0 ? QString() : tr("%n shown", nullptr, shown));
}

}  // namespace salvora::gui
