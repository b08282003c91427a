#pragma once
// The advanced-input page: searches a damaged volume for FAT copies (and, on exFAT, cluster-heap starts) on a
// worker and offers the candidates; the results page then scans with the chosen one.
#include <QComboBox>
#include <QLabel>
#include <QThread>
#include <atomic>
#include <memory>

#include "scan/deep_discovery.h"
#include "model/parser_base.h"
#include "ui/pages/wizard_page.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

class ParceModeNtfsDlg;

class advanceOptions final : public WizardPage {
    Q_OBJECT
  public:
    advanceOptions(WizardWindow* wizard, ParceModeNtfsDlg* parentPage);
    ~advanceOptions() override;
    bool AsksBeforeClose() const override { return true; }
    void PrepareForExit() override;

    bool Searching() const { return worker_ != nullptr; }
    ParserBase* Parser() const { return parser_.get(); }

    QComboBox* candidates;         // "TFS :"
    QComboBox* sectorsPerCluster;  // "Sector Per Cluster :"
    QComboBox* heapOffsets;        // "Heap Offset :"
    QPushButton* pauseButton;
    QPushButton* resumeButton;
    QPushButton* stopButton;
    QPushButton* backButton;
    QPushButton* nextButton;

  public Q_SLOTS:
    void OnNext();
    void OnBack();
    void OnPause();
    void OnResume();
    void OnStop();

  Q_SIGNALS:
    void searchFinished();

  private:
    void StartSearch();
    void ShowResults(const QStringList& fats, const QStringList& spc, const QStringList& heaps,
                     const QString& message, const QString& geometry, bool stopped);

    ParceModeNtfsDlg* modePage_;
    VolumeEntry volume_;
    DiscoveryKind kind_ = DiscoveryKind::None;
    std::unique_ptr<ParserBase> parser_;  // lent to the results page for its advanced run
    QThread* worker_ = nullptr;
    std::atomic<bool> pageStop_{false};
    int pauseDepth_ = 0;
    QLabel* spcLabel_;
    QLabel* heapLabel_;
};

}  // namespace salvora::gui
