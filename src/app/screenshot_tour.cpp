#include "app/screenshot_tour.h"

#include <QDir>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <vector>

#include "app/cmendro_app.h"
#include "app/wizard_window.h"
#include "ui/pages/advance_options.h"
#include "ui/pages/cdravito_about_dlg.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/populate_drive_dlg.h"
#include "ui/pages/raw_recovery_dialog.h"
#include "ui/pages/raw_setting_dlg.h"
#include "ui/pages/volume_operations.h"
#include "ui/pages/volume_scan_dlg.h"

namespace salvora::gui {
namespace {

class Tour : public QObject {
  public:
    Tour(CMendroApp& app) : app_(app), window_(app.Window()) {
        dir_ = qEnvironmentVariable("SALVORA_SCREENSHOT_DIR", QStringLiteral("docs/screenshots"));
        QDir().mkpath(dir_);
        images_ = app.Images();
        window_->resize(1280, 800);
        Build();
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this, timer] {
            if (step_ >= steps_.size()) {
                timer->stop();
                QCoreApplication::exit(0);
                return;
            }
            if (steps_[step_]()) ++step_;
        });
        timer->start(300);
    }

  private:
    template <class Page>
    Page* Current() const {
        return qobject_cast<Page*>(window_->CurrentPage());
    }
    void Shot(const QString& name) { window_->grab().save(dir_ + "/" + name + ".png"); }
    int Row(PopulateDriveDlg* list, const QString& label) {
        for (int r = 0; r < list->list->rowCount(); ++r)
            if (list->list->item(r, 1)->text() == label) return r;
        return 0;
    }
    void SelectImage(int index) {
        auto* page = Current<Physical_DriveDialog>();
        QTreeWidgetItem* images = page->ImagesRoot();
        page->Tree()->setCurrentItem(images->child(std::min(index + 1, images->childCount() - 1)));
    }
    QModelIndex Child(QAbstractItemModel* model, const QModelIndex& parent, const QString& text) {
        if (model->canFetchMore(parent)) model->fetchMore(parent);
        for (int r = 0; r < model->rowCount(parent); ++r)
            if (model->index(r, 0, parent).data().toString() == text) return model->index(r, 0, parent);
        return {};
    }

    // Closes pages until `depth` are left.
    void BackTo(int depth) {
        while (window_->Depth() > depth) {
            window_->Back();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    // Expands a first-level folder of the results page and lists its files.
    void ShowFolder(const QString& name) {
        auto* results = Current<VolumeScanDlg>();
        QAbstractItemModel* model = results->TreeModel();
        const QModelIndex folder = Child(model, model->index(0, 0), name);
        results->treeView->expand(folder);
        results->treeView->setCurrentIndex(folder);
        results->OnTreeClicked(folder);
    }

    void Build() {
        const auto once = [this](std::function<void()> f) {
            steps_.push_back([f] {
                f();
                return true;
            });
        };
        once([this] { SelectImage(0); });
        once([this] { Shot("01-drive-page"); });
        once([this] { Current<Physical_DriveDialog>()->OnNext(); });
        once([this] { Shot("02-scan-mode"); });
        once([this] { Current<DriveParsingModes>()->OnNext(); });
        once([this] {
            auto* list = Current<PopulateDriveDlg>();
            list->list->selectRow(Row(list, "FAT64"));
        });
        once([this] { Shot("03-volume-list"); });
        once([this] { Current<PopulateDriveDlg>()->OnNext(); });
        once([this] { Current<ParceModeNtfsDlg>()->advanced->click(); });
        once([this] { Shot("04-recovery-mode"); });
        once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
        steps_.push_back(
            [this] { return Current<advanceOptions>() && !Current<advanceOptions>()->Searching(); });
        once([this] { Shot("05-advanced-input"); });
        once([this] { Current<advanceOptions>()->OnBack(); });
        once([this] { Current<ParceModeNtfsDlg>()->OnBack(); });
        once([this] {
            auto* list = Current<PopulateDriveDlg>();
            list->list->selectRow(Row(list, "FAT32"));
            list->OnNext();
        });
        once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
        steps_.push_back([this] { return Current<VolumeScanDlg>() && !Current<VolumeScanDlg>()->Busy(); });
        once([this] {
            auto* results = Current<VolumeScanDlg>();
            QAbstractItemModel* model = results->TreeModel();
            const QModelIndex docs = Child(model, model->index(0, 0), "Documents");
            results->treeView->expand(docs);
            results->treeView->setCurrentIndex(docs);
            results->OnTreeClicked(docs);
            const QModelIndex notes = Child(model, docs, "notes.txt");
            if (notes.isValid()) model->setData(notes, Qt::Checked, Qt::CheckStateRole);
        });
        once([this] { Shot("06-results"); });
        once([this] {
            auto* results = Current<VolumeScanDlg>();
            results->searchPattern->setText("jpg|png");
            results->OnSearch();
        });
        steps_.push_back([this] { return !Current<VolumeScanDlg>()->Busy(); });
        once([this] { Shot("07-search"); });
        // Raw recovery of the FAT32 volume: the volume list's custom "RAW" choice.
        once([this] {
            BackTo(3);
            auto* list = Current<PopulateDriveDlg>();
            list->list->selectRow(Row(list, "FAT32"));
            list->customSettings->setChecked(true);
            list->treatAs->setCurrentText("RAW");
            list->OnNext();
        });
        once([this] { Current<RawRecoveryDialog>()->OnParse(); });
        steps_.push_back([this] { return !Current<RawRecoveryDialog>()->Busy(); });
        once([this] {
            auto* raw = Current<RawRecoveryDialog>();
            QAbstractItemModel* model = raw->treeView->model();
            const QModelIndex root = model->index(0, 0);
            for (int r = 0; r < model->rowCount(root); ++r) {
                const QModelIndex category = model->index(r, 0, root);
                if (model->rowCount(category) == 0) continue;
                raw->treeView->expand(category);
                raw->treeView->setCurrentIndex(category);
                raw->OnTreeClicked(category);
                break;
            }
        });
        once([this] { Shot("10-raw-recovery"); });
        once([this] { Current<RawRecoveryDialog>()->OnOpenEditor(); });
        once([this] {
            RawSettingDlg* editor = Current<RawRecoveryDialog>()->Editor();
            editor->extension->setText("png");
            editor->startSignature->setText("0x89,0x50,0x4E,0x47");
            editor->endSignature->setText("0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82");
            editor->category->setText("Pictures");
            editor->grab().save(dir_ + "/11-signature-editor.png");
            editor->close();
        });
        once([this] { BackTo(1); });  // back down the chain to the drive page
        if (images_.size() > 1) {
            once([this] { SelectImage(1); });
            once([this] { Current<Physical_DriveDialog>()->OnNext(); });
            once([this] { Shot("08-volume-information"); });
            // Triage of the card's pictures: the filter over the whole volume, the states, a deleted one shown.
            once([this] { Current<VolumeOperations>()->OnNext(); });
            once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<VolumeScanDlg>() && !Current<VolumeScanDlg>()->Busy(); });
            once([this] {
                ShowFolder("DCIM");
                auto* results = Current<VolumeScanDlg>();
                QAbstractItemModel* model = results->TreeModel();
                results->treeView->expand(Child(model, Child(model, model->index(0, 0), "DCIM"), "100CANON"));
                results->treeView->setCurrentIndex(model->index(0, 0));
                results->triageBar->pattern->setText("*.jpg");
            });
            steps_.push_back([this] {
                FileListModel* rows = Current<VolumeScanDlg>()->ListModel();
                return rows->rowCount() > 0 && rows->Row(0).path.starts_with("/");
            });
            once([this] {
                auto* results = Current<VolumeScanDlg>();
                FileListModel* rows = results->ListModel();
                for (int r = 0; r < rows->rowCount(); ++r)
                    if (rows->Row(r).textColour) {
                        results->fileList->setCurrentIndex(rows->index(r, 0));
                        break;
                    }
            });
            steps_.push_back([this] {
                const PreviewPane* preview = Current<VolumeScanDlg>()->previewPane;
                return !preview->Loading() && preview->Kind() != PreviewKind::None;
            });
            once([this] { Shot("21-triage"); });
        }
        if (images_.size() > 3) {
            // The ext volume of a partitioned disk, then the HFS+ volume inside an ISO image (advance scan).
            once([this] {
                BackTo(1);
                SelectImage(2);
                Current<Physical_DriveDialog>()->OnNext();
            });
            once([this] { Current<DriveParsingModes>()->OnNext(); });
            once([this] {
                auto* list = Current<PopulateDriveDlg>();
                list->list->selectRow(Row(list, "extX"));
                list->OnNext();
            });
            once([this] { Shot("12-ext-recovery-mode"); });
            once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<VolumeScanDlg>() && !Current<VolumeScanDlg>()->Busy(); });
            once([this] { ShowFolder("docs"); });
            once([this] { Shot("13-ext-results"); });
            once([this] {
                BackTo(1);
                SelectImage(3);
                Current<Physical_DriveDialog>()->OnNext();
            });
            once([this] {
                Current<DriveParsingModes>()->advanceScan->click();
                Current<DriveParsingModes>()->OnNext();
            });
            steps_.push_back(
                [this] { return Current<PopulateDriveDlg>() && !Current<PopulateDriveDlg>()->Scanning(); });
            once([this] {
                auto* list = Current<PopulateDriveDlg>();
                list->list->selectRow(Row(list, "HFS+"));
                list->OnNext();
            });
            once([this] { Current<ParceModeNtfsDlg>()->deep->click(); });
            once([this] { Shot("14-hfs-recovery-mode"); });
            once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<VolumeScanDlg>() && !Current<VolumeScanDlg>()->Busy(); });
            once([this] { ShowFolder("docs"); });
            once([this] { Shot("15-hfs-results"); });
        }
        if (images_.size() > 4) {
            // A FAT32 card whose boot sector is gone: a custom volume over the whole image, the advanced run with
            // the geometry the search infers, and what it finds.
            once([this] {
                BackTo(1);
                SelectImage(4);
                Current<Physical_DriveDialog>()->OnNext();
            });
            once([this] { Current<DriveParsingModes>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<PopulateDriveDlg>() && !Current<PopulateDriveDlg>()->Scanning(); });
            once([this] {
                auto* list = Current<PopulateDriveDlg>();
                list->addCustomButton->click();
                list->treatAs->setCurrentText("FAT32");
            });
            once([this] { Shot("16-damaged-custom-volume"); });
            once([this] { Current<PopulateDriveDlg>()->OnNext(); });
            once([this] { Current<ParceModeNtfsDlg>()->advanced->click(); });
            once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<advanceOptions>() && !Current<advanceOptions>()->Searching(); });
            once([this] { Shot("17-damaged-advanced-input"); });
            once([this] { Current<advanceOptions>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<VolumeScanDlg>() && !Current<VolumeScanDlg>()->Busy(); });
            once([this] {
                auto* results = Current<VolumeScanDlg>();
                QAbstractItemModel* model = results->TreeModel();
                results->treeView->expand(model->index(0, 0));
            });
            once([this] { Shot("18-damaged-results"); });
        }
        if (images_.size() > 5) {
            // An NTFS volume image: the volume page, the modes NTFS offers, and its tree with a deleted folder.
            once([this] {
                BackTo(1);
                SelectImage(5);
                Current<Physical_DriveDialog>()->OnNext();
            });
            once([this] { Current<VolumeOperations>()->OnNext(); });
            once([this] { Shot("19-ntfs-recovery-mode"); });
            once([this] { Current<ParceModeNtfsDlg>()->OnNext(); });
            steps_.push_back(
                [this] { return Current<VolumeScanDlg>() && !Current<VolumeScanDlg>()->Busy(); });
            once([this] { ShowFolder("Documents"); });
            once([this] { Shot("20-ntfs-results"); });
        }
        once([this] {
            auto* about = new CDravitoAboutDlg(window_);
            about->show();
            about->adjustSize();
            about->grab().save(dir_ + "/09-about.png");
            about->deleteLater();
        });
    }

    CMendroApp& app_;
    WizardWindow* window_;
    QString dir_;
    QStringList images_;
    std::vector<std::function<bool()>> steps_;
    std::size_t step_ = 0;
};

}  // namespace

void StartScreenshotTour(CMendroApp& app) { new Tour(app); }

}  // namespace salvora::gui
