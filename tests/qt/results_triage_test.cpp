// Triage on the results page of the FAT32 fixture, offscreen: the State column, the filter bar narrowing the
// list and "Check all shown" ticking exactly what it shows, and the preview of a picture, a text and a binary
// file without saving them. Needs tests/fixtures (fat32) and zstd.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <set>

#include "app/wizard_window.h"
#include "mount/fuse_mount.h"
#include "qt_test_support.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/volume_operations.h"
#include "ui/pages/volume_scan_dlg.h"

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

class ResultsTriageTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<DialogRecorder> dialogs_;
    VolumeScanDlg* results_ = nullptr;

    VolumeScanDlg* OpenFat32() {
        window_ = std::make_unique<WizardWindow>();
        auto* page = new Physical_DriveDialog(window_.get(), {FixtureImage("fat32.img")}, DriveListing{});
        window_->Push(page);
        window_->resize(1280, 800);
        window_->show();
        QTreeWidgetItem* root = page->ImagesRoot();
        page->Tree()->setCurrentItem(root->child(root->childCount() - 1));
        page->OnNext();
        auto* volume = qobject_cast<VolumeOperations*>(window_->CurrentPage());
        if (!volume) return nullptr;
        volume->OnNext();
        auto* mode = qobject_cast<ParceModeNtfsDlg*>(window_->CurrentPage());
        if (!mode) return nullptr;
        mode->OnNext();
        auto* results = qobject_cast<VolumeScanDlg*>(window_->CurrentPage());
        if (!results) return nullptr;
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        if (results->Busy() && !done.wait(60000)) return nullptr;
        return results;
    }

    QModelIndex Child(const QModelIndex& parent, const QString& text) {
        QAbstractItemModel* model = results_->TreeModel();
        if (model->canFetchMore(parent)) model->fetchMore(parent);
        for (int r = 0; r < model->rowCount(parent); ++r)
            if (model->index(r, 0, parent).data().toString() == text) return model->index(r, 0, parent);
        return {};
    }

    // A deleted FAT entry has lost its first letter: the end of the path finds it.
    int RowOf(const QString& path, bool endOnly = false) {
        FileListModel* rows = results_->ListModel();
        for (int r = 0; r < rows->rowCount(); ++r) {
            const QString at = QString::fromStdString(rows->Row(r).path);
            if (at == path || (endOnly && at.endsWith(path))) return r;
        }
        return -1;
    }

    QString State(int row) {
        return results_->ListModel()->index(row, FileListModel::kStateColumn).data().toString();
    }

    // Sets the filter's fields and waits for the list they give.
    bool Filter(const QString& text, int show) {
        QSignalSpy applied(results_, &VolumeScanDlg::filterApplied);
        results_->triageBar->show->setCurrentIndex(show);
        results_->triageBar->pattern->setText(text);
        // The typing pause, then the walk on the worker: the last of the requests is the one shown.
        return applied.wait(10000) && (applied.wait(600) || true);
    }

    // The file items the tree has ticked.
    std::set<EntryId> CheckedFiles() {
        std::set<EntryId> out;
        ResultTree& tree = results_->Tree();
        std::vector<ItemId> stack{tree.Root()};
        while (!stack.empty()) {
            const ItemId at = stack.back();
            stack.pop_back();
            const ResultItem item = tree.Item(at);
            if (!item.isFolder && item.entry && item.check == CheckState::Checked) out.insert(*item.entry);
            for (ItemId c : item.children) stack.push_back(c);
        }
        return out;
    }

    // Selects a row of the list and waits for its preview.
    bool Preview(int row) {
        QSignalSpy shown(results_, &VolumeScanDlg::previewShown);
        results_->fileList->setCurrentIndex(results_->ListModel()->index(row, 0));
        return shown.wait(10000);
    }

  private Q_SLOTS:
    void init() {
        if (FixtureImage("fat32.img").isEmpty()) QSKIP("fixtures or zstd missing");
        dialogs_ = std::make_unique<DialogRecorder>();
        WizardWindow::ExitHook() = [](int) {};
        results_ = OpenFat32();
        QVERIFY(results_);
    }
    void cleanup() {
        window_.reset();
        dialogs_.reset();
        WizardWindow::ExitHook() = nullptr;
    }

    void stateColumnJudgesAndSorts() {
        FileListModel* rows = results_->ListModel();
        QCOMPARE(rows->headerData(FileListModel::kStateColumn, Qt::Horizontal).toString(), QString("State"));
        // Shown beside the name.
        QCOMPARE(results_->listHeader->visualIndex(FileListModel::kStateColumn), 1);
        const QModelIndex photos = Child(results_->TreeModel()->index(0, 0), "Photos");
        QVERIFY(photos.isValid());
        results_->treeView->setCurrentIndex(photos);
        results_->OnTreeClicked(photos);
        const int live = RowOf("IMG_0001.JPG");
        const int gone = RowOf("MG_0003.JPG", true);
        QVERIFY(live >= 0 && gone >= 0);
        QTRY_COMPARE(State(live), QString("intact"));
        QTRY_VERIFY(!State(gone).isEmpty());
        QVERIFY(State(gone) != "intact");
        QVERIFY(!rows->index(live, FileListModel::kStateColumn).data(Qt::DecorationRole).isNull());
        // Deleted rows stay red, the state included.
        QCOMPARE(rows->index(gone, FileListModel::kStateColumn).data(Qt::ForegroundRole).value<QBrush>().color(),
                 QColor(Qt::red));

        // Sorted by state, descending: the deleted picture leads, the live ones follow; the current row moves
        // with its file.
        results_->fileList->setCurrentIndex(rows->index(live, 0));
        results_->fileList->sortByColumn(FileListModel::kStateColumn, Qt::DescendingOrder);
        QVERIFY(QString::fromStdString(rows->Row(0).path).endsWith("MG_0003.JPG"));
        QCOMPARE(State(rows->rowCount() - 1), QString("intact"));
        QCOMPARE(QString::fromStdString(rows->Row(results_->fileList->currentIndex().row()).path),
                 QString("IMG_0001.JPG"));
    }

    void filterNarrowsAndCheckAllShownTicksThose() {
        QVERIFY(Filter("*.jpg", 1));  // deleted only
        FileListModel* rows = results_->ListModel();
        const int gone = RowOf("MG_0003.JPG", true);
        QVERIFY(gone >= 0);
        QVERIFY(rows->Row(gone).path.starts_with("/Photos/"));
        std::set<EntryId> shown;
        for (int r = 0; r < rows->rowCount(); ++r) {
            const ListRow& row = rows->Row(r);
            QVERIFY2(QString::fromStdString(row.path).endsWith(".jpg", Qt::CaseInsensitive), row.path.c_str());
            QVERIFY2(row.textColour.has_value(), row.path.c_str());  // deleted
            QVERIFY2(row.item != kNoItem, row.path.c_str());
            shown.insert(*row.entry);
        }
        // The CLI's words give the same: every deleted .jpg of the manifest is listed, nothing more.
        QFile manifestFile(QStringLiteral(SALVORA_FIXTURES_DIR "/fat32.manifest.json"));
        QVERIFY(manifestFile.open(QIODevice::ReadOnly));
        int deletedJpegs = 0;
        for (const auto f : QJsonDocument::fromJson(manifestFile.readAll()).object()["files"].toArray())
            if (f.toObject()["deleted"].toBool() && f.toObject()["path"].toString().endsWith(".jpg", Qt::CaseInsensitive))
                ++deletedJpegs;
        QCOMPARE(rows->rowCount(), deletedJpegs);

        results_->Tree().SetCheck(results_->Tree().Root(), false);
        QVERIFY(CheckedFiles().empty());
        results_->triageBar->checkAllShown->click();
        QCOMPARE(CheckedFiles(), shown);
        for (int r = 0; r < rows->rowCount(); ++r)
            QCOMPARE(rows->index(r, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));

        // A name part, live files only: the list follows; emptied, the folder's own files come back.
        QVERIFY(Filter("NOTES", 2));
        QCOMPARE(rows->rowCount(), 1);
        QCOMPARE(QString::fromStdString(rows->Row(0).path), QString("/Documents/NOTES.TXT"));
        QCOMPARE(results_->triageBar->shownCount->text(), QString("1 shown"));
        QVERIFY(Filter("", 0));
        QVERIFY(!rows->Rows().empty());
        QVERIFY(RowOf("/Documents/NOTES.TXT") < 0);
    }

    void previewShowsPictureTextAndHex() {
        QVERIFY(Filter("/Photos/IMG_000?.JPG", 0));
        const int jpeg = RowOf("/Photos/IMG_0001.JPG");
        QVERIFY(jpeg >= 0);
        QVERIFY(Preview(jpeg));
        QCOMPARE(results_->previewPane->Kind(), PreviewKind::Picture);
        QVERIFY(!results_->previewPane->Image().isNull());
        QVERIFY2(!results_->previewPane->Note().contains("damaged"), qPrintable(results_->previewPane->Note()));

        QVERIFY(Filter("/Sizes/*", 0));
        const int binary = RowOf("/Sizes/one_mib.bin");
        QVERIFY(binary >= 0);
        QVERIFY(Preview(binary));
        QCOMPARE(results_->previewPane->Kind(), PreviewKind::Hex);
        QVERIFY(results_->previewPane->Text().startsWith("00000000  "));
        QCOMPARE(results_->previewPane->Text().count('\n'), 4096 / 16);

        QVERIFY(Filter("NOTES.TXT", 0));
        QVERIFY(Preview(0));
        QCOMPARE(results_->previewPane->Kind(), PreviewKind::Text);
        QVERIFY(!results_->previewPane->Text().isEmpty());
        QVERIFY(!results_->previewPane->Text().startsWith("00000000  "));

        // A preview that comes after the selection moved on is dropped: the last file chosen is the one shown.
        QVERIFY(Filter("/Sizes/*", 0));
        results_->fileList->setCurrentIndex(results_->ListModel()->index(RowOf("/Sizes/one_mib.bin"), 0));
        QVERIFY(Preview(RowOf("/Sizes/s511.bin")));
        QTest::qWait(300);
        QVERIFY(results_->previewPane->Note().startsWith("s511.bin"));
        QCOMPARE(results_->previewPane->Text().count('\n'), 32);
    }

    void reportOfTheShownFiles() {
        QVERIFY(Filter("*.jpg", 1));
        const int shown = results_->ListModel()->rowCount();
        QVERIFY(shown > 0);
        QTemporaryDir dir;
        const QString path = dir.filePath("triage.jsonl");
        Hooks().saveReport = [&](QWidget*, const QString&) { return path; };
        QSignalSpy done(results_, &VolumeScanDlg::reportFinished);
        results_->triageBar->saveReport->click();
        QVERIFY(done.wait(30000));
        QFile report(path);
        QVERIFY2(report.open(QIODevice::ReadOnly), qPrintable(dialogs_->messages.back().text));
        const QList<QByteArray> lines = report.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), shown);
        for (int r = 0; r < shown; ++r)
            QCOMPARE(QJsonDocument::fromJson(lines[r]).object()["path"].toString(),
                     QString::fromStdString(results_->ListModel()->Row(r).path));
        QVERIFY(!QFile::exists(path + ".partial"));
    }

    // "Browse..." mounts the scanned volume read-only where the file manager is sent; Back unmounts it.
    void browseMountsTheVolumeUntilBack() {
        QTemporaryDir runtime;
        if (const std::string why = CheckMountPoint(runtime.path().toStdString()); !why.empty())
            QSKIP(why.c_str());
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        QUrl opened;
        Hooks().openUrl = [&](const QUrl& url) { opened = url; };
        results_->triageBar->browse->click();
        Hooks().openUrl = nullptr;
        QVERIFY2(opened.isLocalFile(), dialogs_->messages.empty() ? "" : qPrintable(dialogs_->messages.back().text));
        const QString mounted = opened.toLocalFile();
        QVERIFY(mounted.startsWith(runtime.path() + "/salvora/"));
        QFile file(mounted + "/Sizes/s511.bin");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().size(), 511);
        file.close();
        QVERIFY(!QFile(mounted + "/new.txt").open(QIODevice::WriteOnly));
        results_->OnBack();
        QFile mounts("/proc/self/mounts");
        QVERIFY(mounts.open(QIODevice::ReadOnly));
        QVERIFY(!QString::fromLocal8Bit(mounts.readAll()).contains(QString(mounted).replace(' ', "\\040")));
    }
};

QTEST_MAIN(ResultsTriageTest)
#include "results_triage_test.moc"
