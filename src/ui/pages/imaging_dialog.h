#pragma once
// Copying a failing drive to an image file before recovering from it, good areas first, with a ddrescue map
// beside the image so that a later run (ours or ddrescue's) goes on where this one ended.
#include <QDialog>
#include <atomic>
#include <memory>
#include <thread>

#include "io/imaging.h"

class QLabel;
class QPushButton;

namespace salvora::gui {

class ProgressBar64;

// The map's extent as a grid of cells, each in the colour of the worst status within it.
class RescueMapBar final : public QWidget {
  public:
    explicit RescueMapBar(QWidget* parent = nullptr);
    void SetMap(RescueMap map);
    const RescueMap& Map() const { return map_; }
    static QColor StatusColor(char status);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    RescueMap map_;
};

class ImagingDialog final : public QDialog {
    Q_OBJECT
  public:
    ImagingDialog(QWidget* parent, const QString& source, const QString& image, const QString& mapPath);
    ~ImagingDialog() override;

    // Opens the source, checks the image and its map and starts copying. False with *why (empty when the
    // reader has said it already) when it cannot start.
    bool Start(QString* why);
    bool Running() const { return worker_.joinable(); }
    RescueMapBar* Bar() const { return bar_; }
    QLabel* Status() const { return status_; }
    QPushButton* StopButton() const { return stopButton_; }

  Q_SIGNALS:
    // The worker is done; the image and its map are on disk, whole or as far as it got.
    void imagingEnded(bool stopped);

  protected:
    void reject() override;

  private:
    void Show(const RescueMap& map, double rate);
    void End(const ImagingOutcome& outcome, const RescueMap& map, const QString& saveError);

    QString source_, image_, mapPath_;
    std::unique_ptr<FileReadSeek> reader_;
    RescueMap map_;  // the worker's while it runs
    int out_ = -1;
    std::atomic<bool> stop_ = false;
    bool closeWhenEnded_ = false;
    std::thread worker_;
    RescueMapBar* bar_;
    ProgressBar64* progress_;
    QLabel* status_;
    QLabel* bad_;
    QPushButton* stopButton_;
};

}  // namespace salvora::gui
