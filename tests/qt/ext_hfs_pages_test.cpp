// The wizard on ext and HFS+ volumes, on the offscreen platform: an ext row of a partition table and a bare
// ext image through to saved files, the modes the recovery-mode page offers for each, the HFS+ volume inside
// an ISO image found by the advance scan and scanned in Deep mode (no message box, "Work Done."), and a
// volume treated as HFS+ that is not ("Work Aborted...."). Needs tests/fixtures (mbr, ext2, hfsplus-iso) and
// zstd.
#include <QAbstractItemModelTester>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "qt_test_support.h"
#include "wizard_walk.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/populate_drive_dlg.h"
#include "ui/pages/volume_operations.h"
#include "ui/pages/volume_scan_dlg.h"

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

namespace {

QJsonObject Manifest(const QString& image) {
    QFile f(QStringLiteral(SALVORA_FIXTURES_DIR "/") + QString(image).replace(".img", ".manifest.json"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

QString Sha256(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex());
}

}  // namespace

class ExtHfsPagesTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<DialogRecorder> dialogs_;

    template <class Page>
    Page* Current() {
        return qobject_cast<Page*>(window_->CurrentPage());
    }

    // Drive page with the image -> Next: the scan-mode page for a disk, the volume page for a bare volume.
    void OpenImage(const QString& image) {
        window_ = std::make_unique<WizardWindow>();
        auto* page = new Physical_DriveDialog(window_.get(), {image}, DriveListing{});
        window_->Push(page);
        window_->show();
        QTreeWidgetItem* root = page->ImagesRoot();
        page->Tree()->setCurrentItem(root->child(root->childCount() - 1));
        page->OnNext();
    }

    PopulateDriveDlg* ToVolumeList(const QString& image, bool advance) {
        OpenImage(image);
        return ScanModesToVolumeList(*window_, advance);
    }

    bool SelectRow(PopulateDriveDlg* list, const QString& label) {
        for (int r = 0; r < list->list->rowCount(); ++r) {
            if (list->list->item(r, 1)->text() != label) continue;
            list->list->selectRow(r);
            return true;
        }
        return false;
    }

    VolumeScanDlg* WaitForResults() {
        auto* results = Current<VolumeScanDlg>();
        if (!results) return nullptr;
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        if (results->Busy() && !done.wait(60000)) return nullptr;
        return results;
    }

    static QModelIndex FindChild(QAbstractItemModel* model, const QModelIndex& parent, const QString& text) {
        if (model->canFetchMore(parent)) model->fetchMore(parent);
        for (int r = 0; r < model->rowCount(parent); ++r) {
            const QModelIndex i = model->index(r, 0, parent);
            if (i.data().toString() == text) return i;
        }
        return {};
    }

    // Saves the selected folder (nothing checked) into a new folder and waits for the save to end.
    bool SaveSelected(VolumeScanDlg* results, const QModelIndex& folder, const QString& out) {
        results->Tree().SetCheck(results->Tree().Root(), false);
        results->TreeModel()->Sync();
        results->SetOutputFolder(out);
        results->treeView->setCurrentIndex(folder);
        QSignalSpy saved(results, &VolumeScanDlg::saveFinished);
        results->OnSave();
        return saved.wait(30000);
    }

  private Q_SLOTS:
    void init() {
        if (FixtureImage("mbr.img").isEmpty()) QSKIP("fixtures or zstd missing");
        dialogs_ = std::make_unique<DialogRecorder>();
        WizardWindow::ExitHook() = [](int) {};
    }
    void cleanup() {
        window_.reset();
        dialogs_.reset();
        WizardWindow::ExitHook() = nullptr;
    }

    void extRowOfADiskToSavedFiles() {
        auto* list = ToVolumeList(FixtureImage("mbr.img"), false);
        QVERIFY(list);
        QVERIFY(SelectRow(list, "extX"));
        list->OnNext();
        QVERIFY(!dialogs_->Saw("Software does not support selected file system."));
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        // ext: Standard only.
        QVERIFY(!mode->standard->isHidden());
        QVERIFY(mode->advanced->isHidden());
        QVERIFY(mode->deep->isHidden());
        mode->OnNext();
        auto* results = WaitForResults();
        QVERIFY(results);
        QVERIFY(dialogs_->Saw("Scanning processing done.Select save button to save the data."));
        QVERIFY(results->backButton->isEnabled());
        ResultTreeModel* model = results->TreeModel();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QModelIndex root = model->index(0, 0);
        QCOMPARE(root.data().toString(), QString("ROOT"));
        const QModelIndex docs = FindChild(model, root, "docs");
        QVERIFY(docs.isValid());
        QVERIFY(FindChild(model, root, "lost+found").isValid());
        // The removed /old.txt is listed, in red.
        const QModelIndex old = FindChild(model, root, "old.txt");
        QVERIFY(old.isValid());
        QCOMPARE(old.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));

        results->OnTreeClicked(docs);
        FileListModel* rows = results->ListModel();
        QCOMPARE(rows->rowCount(), 3);

        QTemporaryDir out;
        QVERIFY(SaveSelected(results, docs, out.path()));
        QVERIFY(dialogs_->SawStarting("work done"));
        QJsonObject ext;
        for (const auto p : Manifest("mbr.img")["partitions"].toArray())
            if (p.toObject()["filesystem"].toString() == "ext4") ext = p.toObject();
        int compared = 0;
        for (const auto f : ext["files"].toArray()) {
            const QString path = f.toObject()["path"].toString();
            if (!path.startsWith("/docs/")) continue;
            const QString saved = out.filePath(path.mid(6));
            QCOMPARE(Sha256(saved), f.toObject()["sha256"].toString());
            for (int r = 0; r < rows->rowCount(); ++r)
                if (QString::fromStdString(rows->Row(r).path) == path.mid(6))
                    QCOMPARE(ListTimeText(QFileInfo(saved).lastModified()),
                             QString::fromStdString(rows->Row(r).modified));
            ++compared;
        }
        QCOMPARE(compared, 3);
    }

    void bareExtImageGoesTheVolumeWay() {
        OpenImage(FixtureImage("ext2.img"));
        auto* volume = Current<VolumeOperations>();
        QVERIFY(volume);
        volume->OnNext();
        QVERIFY(!dialogs_->Saw("Software does not support selected file system."));
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        mode->OnNext();
        auto* results = WaitForResults();
        QVERIFY(results);
        ResultTreeModel* model = results->TreeModel();
        const QModelIndex docs = FindChild(model, model->index(0, 0), "docs");
        QVERIFY(docs.isValid());
        results->treeView->expand(docs);
        for (const char* name : {"deleted.bin", "Deleted with a longer name.txt"}) {
            const QModelIndex removed = FindChild(model, docs, name);
            QVERIFY2(removed.isValid(), name);
            QCOMPARE(removed.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
        }
        QVERIFY(FindChild(model, docs, "Café Menü.txt").isValid());
        results->OnBack();
        QVERIFY(Current<ParceModeNtfsDlg>());
    }

    void hfsPlusInsideAnIsoInDeepMode() {
        auto* list = ToVolumeList(FixtureImage("hfsplus-iso.img"), true);
        QVERIFY(list);
        QVERIFY(SelectRow(list, "HFS+"));
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        // HFS+: Standard and Deep.
        QVERIFY(!mode->standard->isHidden());
        QVERIFY(mode->advanced->isHidden());
        QVERIFY(!mode->deep->isHidden());
        mode->deep->click();
        const std::size_t boxesBefore = dialogs_->messages.size();
        mode->OnNext();
        auto* results = WaitForResults();
        QVERIFY(results);
        // The HFS+ worker ends on its status line, without a box.
        QCOMPARE(dialogs_->messages.size(), boxesBefore);
        QCOMPARE(results->StatusLine()->text(), QString("Work Done."));
        QVERIFY(results->backButton->isEnabled());
        QVERIFY(results->stopButton->isHidden());

        ResultTreeModel* model = results->TreeModel();
        const QModelIndex root = model->index(0, 0);
        QVERIFY(FindChild(model, root, "ORPHAN_ENTRY").isValid());
        QTemporaryDir out;
        QVERIFY(SaveSelected(results, root, out.path()));
        const QJsonObject manifest = Manifest("hfsplus-iso.img");
        for (const auto f : manifest["files"].toArray()) {
            const QJsonObject file = f.toObject();
            const QString saved = out.filePath(file["path"].toString().mid(1));
            QCOMPARE(Sha256(saved), file["sha256"].toString());
            if (file.contains("mtime"))
                QCOMPARE(QFileInfo(saved).lastModified().toSecsSinceEpoch(),
                         static_cast<qint64>(file["mtime"].toDouble()));
        }
    }

    void volumeTreatedAsHfsPlusThatIsNotAborts() {
        auto* list = ToVolumeList(FixtureImage("mbr.img"), false);
        QVERIFY(list);
        QVERIFY(SelectRow(list, "FAT16"));
        list->customSettings->setChecked(true);
        list->treatAs->setCurrentText("HFS+");
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        const std::size_t boxesBefore = dialogs_->messages.size();
        mode->OnNext();
        auto* results = WaitForResults();
        QVERIFY(results);
        QCOMPARE(dialogs_->messages.size(), boxesBefore);
        QCOMPARE(results->StatusLine()->text(), QString("Work Aborted...."));
        QVERIFY(results->backButton->isEnabled());
        QVERIFY(results->stopButton->isHidden());
    }
};

QTEST_MAIN(ExtHfsPagesTest)
#include "ext_hfs_pages_test.moc"
