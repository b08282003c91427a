#pragma once
// The about box: a modal dialog closed with OK.
#include <QDialog>

namespace salvora::gui {

class CDravitoAboutDlg final : public QDialog {
    Q_OBJECT
  public:
    explicit CDravitoAboutDlg(QWidget* parent = nullptr);
};

}  // namespace salvora::gui
