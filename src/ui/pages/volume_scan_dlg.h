#pragma once
// The results page: scans the chosen volume on a worker, shows the result tree and the file list, searches
// names and saves checked items or the selected folder into an output folder. Workers never touch widgets:
// they go through the page's sink and queued calls.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QTreeView>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "scan/deep_discovery.h"
#include "model/parser_base.h"
#include "model/result_tree.h"
#include "mount/fuse_mount.h"
#include "scan/scan_session.h"
#include "ui/controls/check_header_view.h"
#include "ui/controls/file_list_model.h"
#include "ui/controls/preview_pane.h"
#include "ui/controls/result_tree_model.h"
#include "ui/controls/serial_worker.h"
#include "ui/controls/triage_bar.h"
#include "ui/pages/wizard_page.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

// What the advanced-input page hands over: its parser (lent, not given) and the choices of its combo boxes.
struct AdvancedChoice {
    ParserBase* parser = nullptr;
    AdvancedSelection selection;
};

class VolumeScanDlg final : public WizardPage {
    Q_OBJECT
  public:
    VolumeScanDlg(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume, int recoveryMode,
                  const AdvancedChoice& advanced = {});
    ~VolumeScanDlg() override;
    bool AsksBeforeClose() const override { return true; }
    void PrepareForExit() override;

    bool Busy() const { return busyFlag_ || searching_ || saving_; }
    ParserBase* ActiveParser() const { return activeParser_; }
    ResultTree& Tree() { return session_ ? session_->Tree() : tree_; }
    ScanSession* Session() const { return session_.get(); }
    ResultTreeModel* TreeModel() const { return treeModel_; }
    FileListModel* ListModel() const { return listModel_; }
    QString OutputFolder() const { return outputFolder_; }
    void SetOutputFolder(const QString& folder) { UseOutputFolder(folder); }
    // Runs the folder browser; a cancelled choice leaves the output folder empty.
    void ChooseOutputFolder();

    QLineEdit* volumeData;
    QLineEdit* searchPattern;
    QPushButton* searchButton;
    QTreeView* treeView;
    QTableView* fileList;
    CheckHeaderView* listHeader;
    QPushButton* pauseButton;
    QPushButton* resumeButton;
    QPushButton* stopButton;
    QPushButton* backButton;
    QPushButton* saveButton;
    QLabel* fileSizeLine;
    QLabel* outputFolderText;  // where Save writes, with "Change..." beside it
    QPushButton* changeFolderButton;
    TriageBar* triageBar;
    PreviewPane* previewPane;

  public Q_SLOTS:
    void OnPause();
    void OnResume();
    void OnStop();
    void OnBack();
    void OnSave();
    void OnSearch();
    void OnTreeClicked(const QModelIndex& index);
    // The list of what the tree's current item holds (a click, or the arrow keys); writes nothing.
    void ShowItem(const QModelIndex& index);
    // The triage bar's fields changed: the list shows the files below the current folder that match them
    // (every file of the volume from ROOT), or, with every field empty, the folder's own files again.
    void ApplyFilter();
    // Ticks every row the list shows, so Save writes exactly those.
    void CheckAllShown();
    void OnSaveReport();
    // Mounts the scanned volume read-only under the user's runtime folder and opens it in the file manager.
    void OnBrowse();
    void StopBrowsing();

  Q_SIGNALS:
    void scanFinished();
    void searchFinished();
    void saveFinished();
    void filterApplied();
    void previewShown();
    void reportFinished();

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void StartScan();
    void RunWorker(std::function<void()> body, std::function<void()> done);
    void ShowRunControls(bool on);
    void SaveChecked(const std::vector<ItemId>& roots);
    void DumpClickedFile(ItemId item);
    // Sets outputFolder_ when files can be written there; otherwise says why and keeps the old one.
    bool UseOutputFolder(const QString& folder);
    // The summary box at the end of a save (from the worker, waiting until it is closed).
    void ShowSummaryFromWorker(const SaveOutcome& outcome);
    bool OutputOnSourceDevice() const;
    void CreateModels();
    void WatchSession();
    std::atomic<bool>& Cancel() { return session_ ? session_->CancelFlag() : cancelFlag_; }
    // Triage work runs on triage_, one job at a time; each kind's newest request stops the one before it.
    void RequestVerdicts();
    void RequestPreview(std::optional<EntryId> entry);
    void PreviewListRow(const QModelIndex& index);
    bool FilterActive() const { return filterActive_; }
    // Writes the report the triage bar's button asks for ("dfxml", "csv", "jsonl", "bodyfile") on a worker;
    // false when it could not begin.
    bool WriteReportFile(const QString& path, const QString& format);

    VolumeEntry volume_;
    int recoveryMode_ = -1;
    AdvancedChoice advanced_;
    ResultTree tree_;  // what the views show when no session runs (a label without a parser)
    std::unique_ptr<ScanSession> session_;
    ParserBase* activeParser_ = nullptr;
    ResultTreeModel* treeModel_ = nullptr;
    FileListModel* listModel_ = nullptr;
    QThread* worker_ = nullptr;
    std::atomic<bool> busyFlag_{false};
    std::atomic<bool> cancelFlag_{false};
    bool searching_ = false;
    bool saving_ = false;
    int pauseDepth_ = 0;
    QString outputFolder_;
    // Held by whatever reads the parser or the source off the UI thread (triage jobs, search, save): the
    // reader and a parser's lazily read data are not shared between threads.
    std::mutex parserUse_;
    std::unique_ptr<MountTree> mountTree_;
    std::optional<MountHandle> mount_;
    QString mountPoint_;
    std::unique_ptr<SerialWorker> triage_;
    std::shared_ptr<std::atomic<bool>> filterStop_, verdictStop_, previewStop_;
    bool filterActive_ = false;
};

}  // namespace salvora::gui
