#pragma once
// The raw recovery page: loads signature settings (the default items and/or a file of the user's), carves the
// chosen volume on a worker, lists the carved files by category and saves the checked ones. Workers never
// touch widgets: they go through the page's sink, the tree model's queue and queued calls.
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTreeView>
#include <atomic>
#include <functional>
#include <memory>

#include "raw/carving_engine.h"
#include "model/result_tree.h"
#include "ui/controls/result_tree_model.h"
#include "ui/pages/raw_setting_dlg.h"
#include "ui/pages/wizard_page.h"
#include "volumes/volume_entry.h"

namespace salvora::gui {

inline constexpr int kRawRecoveryPage = 151;

class RawRecoveryDialog final : public WizardPage {
    Q_OBJECT
  public:
    RawRecoveryDialog(WizardWindow* wizard, WizardPage* parentPage, const VolumeEntry& volume);
    ~RawRecoveryDialog() override;
    void PrepareForExit() override;

    bool Busy() const { return worker_ != nullptr; }
    const QString& DefaultPath() const { return defaultPath_; }
    myJpg* Engine() const { return engine_.get(); }
    ResultTree& Tree() { return tree_; }
    ResultTreeModel* TreeModel() const { return treeModel_; }
    RawSettingDlg* Editor() const { return editor_; }
    const VolumeEntry& Volume() const { return volume_; }
    QString OutputFolder() const { return outputFolder_; }
    void SetOutputFolder(const QString& folder) { outputFolder_ = folder; }
    std::uint64_t LastSaved() const { return lastSaved_; }

    QLineEdit* pathEdit;
    QPushButton* browseButton;
    QPushButton* parseButton;
    QCheckBox* loadDefaultItems;
    QPushButton* editorButton;
    QTreeView* treeView;
    QListWidget* fileList;
    QPushButton* pauseButton;
    QPushButton* resumeButton;
    QPushButton* stopButton;
    QPushButton* backButton;
    QPushButton* saveButton;

  public Q_SLOTS:
    void OnBrowse();
    void OnParse();
    void OnOpenEditor();
    void OnTreeClicked(const QModelIndex& index);
    void OnPause();
    void OnResume();
    void OnStop();
    void OnBack();
    void OnSave();

  Q_SIGNALS:
    void parseFinished();
    void saveFinished();

  private:
    void RunWorker(std::function<void()> body, std::function<void()> done);
    void SetButtonsEnabled(bool on);
    void ShowRunControls(bool on);

    VolumeEntry volume_;
    QString defaultPath_;
    ResultTree tree_;
    std::unique_ptr<myJpg> engine_;
    ResultTreeModel* treeModel_ = nullptr;
    QPointer<RawSettingDlg> editor_;
    QThread* worker_ = nullptr;
    std::atomic<bool> cancel_{false};
    int pauseDepth_ = 0;
    QString outputFolder_;
    std::uint64_t lastSaved_ = 0;
};

}  // namespace salvora::gui
