// Drives the whole wizard on the demo disk (MBR: FAT16, FAT32, exFAT) on the offscreen platform: drive page,
// scan modes, volume list, recovery modes, results (expand, click, search, stop, save) and the files written.
// Needs samples/demo-disk.img.zst and the zstd command.
#include <sys/stat.h>

#include <QAbstractItemModelTester>
#include <QDirIterator>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/single_instance.h"
#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "qt_test_support.h"
#include "wizard_walk.h"
#include "ui/pages/advance_options.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/populate_drive_dlg.h"
#include "ui/pages/volume_operations.h"
#include "ui/pages/volume_scan_dlg.h"

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

class WizardTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<DialogRecorder> dialogs_;
    int exitCode_ = -1;

    template <class Page>
    Page* Current() {
        return qobject_cast<Page*>(window_->CurrentPage());
    }

    Physical_DriveDialog* OpenWizard() {
        window_ = std::make_unique<WizardWindow>();
        auto* page = new Physical_DriveDialog(window_.get(), {DemoDisk()}, DriveListing{});
        window_->Push(page);
        window_->show();
        return page;
    }

    void SelectImage(Physical_DriveDialog* page) {
        QTreeWidgetItem* root = page->ImagesRoot();
        page->Tree()->setCurrentItem(root->child(root->childCount() - 1));
    }

    // Drive page -> scan-mode page -> volume list page, standard or advance scan.
    PopulateDriveDlg* ToVolumeList(bool advance) {
        auto* drives = OpenWizard();
        SelectImage(drives);
        drives->OnNext();
        return ScanModesToVolumeList(*window_, advance);
    }

    int RowWithLabel(PopulateDriveDlg* list, const QString& label) {
        for (int r = 0; r < list->list->rowCount(); ++r)
            if (list->list->item(r, 1)->text() == label) return r;
        return -1;
    }

    // Volume list -> recovery-mode page (Standard) -> results page, scan finished.
    VolumeScanDlg* ToResults(PopulateDriveDlg* list, const QString& label, bool advanced = false) {
        const int row = RowWithLabel(list, label);
        if (row < 0) return nullptr;
        list->list->selectRow(row);
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        if (!mode) return nullptr;
        if (advanced) {
            mode->advanced->click();
            mode->OnNext();
            auto* adv = Current<advanceOptions>();
            if (!adv) return nullptr;
            QSignalSpy found(adv, &advanceOptions::searchFinished);
            if (adv->Searching() && !found.wait(60000)) return nullptr;
            adv->OnNext();
        } else {
            mode->OnNext();
        }
        auto* results = Current<VolumeScanDlg>();
        if (!results) return nullptr;
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        if (results->Busy() && !done.wait(60000)) return nullptr;
        return results;
    }

    QModelIndex FindChild(QAbstractItemModel* model, const QModelIndex& parent, const QString& text) {
        if (model->canFetchMore(parent)) model->fetchMore(parent);
        for (int r = 0; r < model->rowCount(parent); ++r) {
            const QModelIndex i = model->index(r, 0, parent);
            if (i.data().toString() == text) return i;
        }
        return {};
    }

  private Q_SLOTS:
    void init() {
        if (DemoDisk().isEmpty()) QSKIP("demo disk or zstd missing");
        dialogs_ = std::make_unique<DialogRecorder>();
        exitCode_ = -1;
        WizardWindow::ExitHook() = [this](int code) { exitCode_ = code; };
    }
    void cleanup() {
        window_.reset();
        dialogs_.reset();
        WizardWindow::ExitHook() = nullptr;
    }

    void drivePageListsRootsAndRefusesARoot() {
        auto* page = OpenWizard();
        QCOMPARE(page->Tree()->topLevelItemCount(), 3);
        QCOMPARE(page->VolumesRoot()->text(0), QString("VOLUMES:"));
        QCOMPARE(page->DrivesRoot()->text(0), QString("PHYSICAL DRIVES:"));
        QCOMPARE(page->ImagesRoot()->text(0), QString("IMAGE FILES:"));
        QCOMPARE(page->ImagesRoot()->childCount(), 2);  // the open item and the image from the command line
        page->Tree()->setCurrentItem(page->DrivesRoot());
        page->OnNext();
        QVERIFY(dialogs_->Saw("Please select a volume or a drive.."));
        QCOMPARE(window_->Depth(), 1);
        // The open item asks for an image; a cancelled dialog stays on the page.
        page->Tree()->setCurrentItem(page->ImagesRoot()->child(0));
        page->OnNext();
        QCOMPARE(window_->Depth(), 1);
        dialogs_->imageToOpen = DemoDisk();
        page->OnNext();
        QVERIFY(Current<DriveParsingModes>());
        QCOMPARE(Current<DriveParsingModes>()->Settings().drivePath, DemoDisk());
        // Back destroys the page and shows the drive page again.
        QPointer<WizardPage> modes = window_->CurrentPage();
        Current<DriveParsingModes>()->OnBack();
        QCOMPARE(window_->CurrentPage(), page);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(modes.isNull());
    }

    void scanModeOptionsHandOnWhatTheyShow() {
        auto* drives = OpenWizard();
        SelectImage(drives);
        drives->OnNext();
        auto* modes = Current<DriveParsingModes>();
        QVERIFY(modes);
        QVERIFY(!modes->doNotSkip->isEnabled());
        modes->advanceScan->click();
        modes->startingSector->setText("100");
        modes->endingSector->setText("200");
        QCOMPARE(modes->Settings().rangeStartSector, 0u);  // without "Custom Setting:" the whole source
        modes->customSetting->setChecked(true);
        QCOMPARE(modes->Settings().rangeStartSector, 100u);
        QCOMPARE(modes->Settings().rangeEndSector, 200u);
        QCOMPARE(modes->Settings().scanMode, 2);
        modes->standardScan->click();
        QVERIFY(!modes->customSetting->isChecked());
        QCOMPARE(modes->Settings().scanMode, 1);
    }

    void standardScanListsTheVolumesAndChecksTheChoice() {
        auto* list = ToVolumeList(false);
        QVERIFY(list);
        QCOMPARE(list->list->horizontalHeaderItem(0)->text(), QString("VOLUME"));
        QCOMPARE(list->list->horizontalHeaderItem(3)->text(), QString("START_SECTOR"));
        // Headers are never cut ("/OLUME_SIZE"); the everyday name and the table's name stand beside the label.
        const QFontMetrics metrics(list->list->horizontalHeader()->font());
        for (int c = 0; c < 4; ++c)
            QVERIFY(list->list->columnWidth(c) >= metrics.horizontalAdvance(list->list->horizontalHeaderItem(c)->text()));
        QCOMPARE(list->list->horizontalHeaderItem(4)->text(), QString("NAME"));
        QCOMPARE(list->list->item(RowWithLabel(list, "FAT16"), 4)->text(), QString("FAT16 \"PHOTOS\""));
        QCOMPARE(list->list->item(RowWithLabel(list, "FAT16"), 5)->text(), QString("type 0x06"));
        QVERIFY(RowWithLabel(list, "FAT16") >= 0);
        QVERIFY(RowWithLabel(list, "FAT32") >= 0);
        QCOMPARE(list->StatusLine()->text(), QString("Select volume and click next button..."));
        QVERIFY(list->addCustomButton->isHidden());
        list->OnNext();
        QVERIFY(dialogs_->Saw("please select a valid volume."));

        const int fat32 = RowWithLabel(list, "FAT32");
        list->list->selectRow(fat32);
        QCOMPARE(list->startSector->text(), QString("69632"));
        const std::uint64_t mib = SizeTextMiB(list->RowRecord(fat32)->sizeText);
        QCOMPARE(list->endSector->text(), QString::number(69632 + mib * 2048 - 1));
        QCOMPARE(list->treatAs->currentText(), QString("FAT32"));

        // Custom settings override the start, the size and the file system.
        list->customSettings->setChecked(true);
        list->startSector->setText("2048");
        list->endSector->setText("4095");
        list->endSector->StepBy(1);
        list->endSector->StepBy(-1);
        list->treatAs->setCurrentText("FAT16");
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        QCOMPARE(mode->Volume().startSector, 2048u);
        QCOMPARE(mode->Volume().sizeText, std::string("1"));
        QCOMPARE(mode->Volume().fileSystemLabel, std::string("fat16"));
        QVERIFY(mode->deep->isHidden());
        QVERIFY(!mode->advanced->isHidden());
        mode->advanced->click();
        QVERIFY(mode->driveFormated->isVisibleTo(mode));
        mode->OnBack();
        QCOMPARE(window_->CurrentPage(), list);
        QVERIFY(list->list->rowCount() >= 3);  // Back keeps the list
    }

    void advanceScanRowsCustomVolumeAndFilter() {
        auto* list = ToVolumeList(true);
        QVERIFY(list);
        QVERIFY(dialogs_->Saw("populated partitions...."));
        QVERIFY(RowWithLabel(list, "FAT16") >= 0);
        QVERIFY(list->addCustomButton->isEnabled());
        const int before = list->list->rowCount();
        list->OnAddCustomVolume();
        QCOMPARE(list->list->rowCount(), before + 1);
        QCOMPARE(list->list->item(0, 1)->text(), QString("CUSTOM "));
        QVERIFY(list->customSettings->isChecked());
        QCOMPARE(list->startSector->text(), QString("0"));
        // Filter keeps records that start one sector after the previous one: none on this disk.
        list->OnFilterEntries();
        QCOMPARE(list->list->rowCount(), 0);
        list->OnBack();
        QVERIFY(Current<DriveParsingModes>());
    }

    void fat16StandardToSavedFiles() {
        auto* list = ToVolumeList(false);
        QVERIFY(list);
        auto* results = ToResults(list, "FAT16");
        QVERIFY(results);
        QVERIFY(dialogs_->Saw("Scanning processing done.Select save button to save the data."));
        QVERIFY(results->backButton->isEnabled());
        QVERIFY(results->stopButton->isHidden());
        ResultTreeModel* model = results->TreeModel();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);

        const QModelIndex root = model->index(0, 0);
        QVERIFY(root.isValid());
        QVERIFY(results->treeView->isExpanded(root));
        const QModelIndex dcim = FindChild(model, root, "DCIM");
        QVERIFY(dcim.isValid());
        QVERIFY(model->hasChildren(dcim));
        results->treeView->expand(dcim);
        const QModelIndex canon = FindChild(model, dcim, "100CANON");
        QVERIFY(canon.isValid());
        QCOMPARE(FindChild(model, dcim, "..DUMY..").isValid(), false);

        // A label click lists the folder's files with the six columns.
        results->OnTreeClicked(canon);
        FileListModel* rows = results->ListModel();
        QVERIFY(rows->rowCount() >= 4);
        QCOMPARE(rows->headerData(0, Qt::Horizontal).toString(), QString("File(s) List"));
        QCOMPARE(rows->headerData(5, Qt::Horizontal).toString(), QString("Attribute"));
        // The name column takes the room the window gives; the others fit their contents and whole headers.
        window_->resize(1280, 800);
        QCoreApplication::processEvents();
        const QFontMetrics metrics(results->fileList->horizontalHeader()->font());
        for (int c = 1; c < FileListModel::kColumns; ++c) {
            QVERIFY(results->fileList->columnWidth(0) > results->fileList->columnWidth(c));
            QVERIFY2(results->fileList->columnWidth(c) >=
                         metrics.horizontalAdvance(rows->headerData(c, Qt::Horizontal).toString()),
                     qPrintable(rows->headerData(c, Qt::Horizontal).toString()));
        }
        QVERIFY2(results->fileList->columnWidth(0) > 250, qPrintable(QString::number(results->fileList->columnWidth(0))));
        // Deleted entries are red, in the tree and in the list; the tree's tool tip is the whole name.
        bool sawRed = false;
        for (int r = 0; r < model->rowCount(canon); ++r)
            sawRed = sawRed ||
                     model->index(r, 0, canon).data(Qt::ForegroundRole).value<QBrush>().color() == Qt::red;
        QVERIFY(sawRed);
        bool listRed = false;
        for (int r = 0; r < rows->rowCount(); ++r)
            listRed = listRed || rows->index(r, 0).data(Qt::ForegroundRole).value<QBrush>().color() == Qt::red;
        QVERIFY(listRed);
        QCOMPARE(canon.data(Qt::ToolTipRole).toString(), QString("100CANON"));

        // Ticking a list row ticks its tree item, and the tree's parents follow.
        int liveRow = -1;
        for (int r = 0; r < rows->rowCount(); ++r)
            if (rows->Row(r).path == "IMG_0001.JPG") liveRow = r;
        QVERIFY(liveRow >= 0);
        QVERIFY(rows->setData(rows->index(liveRow, 0), Qt::Checked, Qt::CheckStateRole));
        model->Sync();
        const QModelIndex img1 = FindChild(model, canon, "IMG_0001.JPG");
        QCOMPARE(img1.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(canon.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));

        // Search: every JPG, including folders never expanded.
        results->searchPattern->setText("jpg");
        QSignalSpy searched(results, &VolumeScanDlg::searchFinished);
        results->OnSearch();
        QVERIFY(searched.wait(30000));
        QVERIFY(dialogs_->Saw("Searching Finished"));
        QVERIFY(rows->ShowsSearchHits());
        QStringList hits;
        for (int r = 0; r < rows->rowCount(); ++r) hits << QString::fromStdString(rows->Row(r).path);
        QVERIFY2(hits.filter("Beach at sunset.jpg", Qt::CaseInsensitive).size() == 1,
                 qPrintable(hits.join('|')));
        QVERIFY(hits.filter("IMG_0004.JPG").size() == 1);
        // Ticking a hit leaves the tree alone.
        const auto checkedBefore = results->Tree().CheckedRoots().size();
        rows->setData(rows->index(0, 0), Qt::Checked, Qt::CheckStateRole);
        QCOMPARE(results->Tree().CheckedRoots().size(), checkedBefore);

        // Save the checked file: the folder is chosen first, the count is asked, the file lands below its
        // folders.
        QTemporaryDir out;
        dialogs_->folderToChoose = out.path();
        QSignalSpy saved(results, &VolumeScanDlg::saveFinished);
        // Started through sudo, the wizard gives what it writes to the person who ran sudo.
        const bool asRoot = ::geteuid() == 0;
        if (asRoot) {
            qputenv("SUDO_UID", "4321");
            qputenv("SUDO_GID", "4322");
        }
        results->OnSave();
        QVERIFY(saved.wait(30000));
        qunsetenv("SUDO_UID");
        qunsetenv("SUDO_GID");
        QCOMPARE(dialogs_->folderCaptions.value(0), QString("Please choose a folder."));
        QVERIFY(dialogs_->Saw(
            "number of files found inside this folder = 1 .do u want to continue dumping these files..?\n\nThey "
            "will be saved in " + out.path() + "."));
        QVERIFY(dialogs_->SawStarting("work done"));
        const QString savedFile = out.filePath("DCIM/100CANON/IMG_0001.JPG");
        QVERIFY2(QFileInfo(savedFile).isFile(), qPrintable(savedFile));
        QCOMPARE(QFileInfo(savedFile).size(), 7212);
        if (asRoot) {
            for (const QString& made : {savedFile, out.filePath("DCIM"), out.filePath("DCIM/100CANON")}) {
                QCOMPARE(QFileInfo(made).ownerId(), 4321u);
                QCOMPARE(QFileInfo(made).groupId(), 4322u);
            }
        }
        results->OnTreeClicked(canon);
        for (int r = 0; r < rows->rowCount(); ++r)
            if (rows->Row(r).path == "IMG_0001.JPG")
                QCOMPARE(ListTimeText(QFileInfo(savedFile).lastModified()),
                         QString::fromStdString(rows->Row(r).modified));

        // Nothing checked: the selected folder is saved, its files straight into the output folder.
        results->Tree().SetCheck(results->Tree().Root(), false);
        model->Sync();
        QTemporaryDir out2;
        results->SetOutputFolder(out2.path());
        const QModelIndex albums = FindChild(model, root, "Albums");
        QVERIFY(albums.isValid());
        results->treeView->setCurrentIndex(albums);
        results->OnSave();
        QVERIFY(saved.wait(30000));
        QVERIFY(QFileInfo(out2.filePath("chart.png")).isFile());
        QVERIFY(QFileInfo(out2.filePath("Summer 2023/Beach at sunset.jpg")).isFile());
        QCOMPARE(QFileInfo(out2.filePath("animation.gif")).size(), 5672);

        // Back to the recovery-mode page, and on back to the drive page.
        results->OnBack();
        QVERIFY(Current<ParceModeNtfsDlg>());
        Current<ParceModeNtfsDlg>()->OnBack();
        QVERIFY(Current<PopulateDriveDlg>());
        Current<PopulateDriveDlg>()->OnBack();
        QVERIFY(Current<DriveParsingModes>());
        Current<DriveParsingModes>()->OnBack();
        QVERIFY(Current<Physical_DriveDialog>());
        QCOMPARE(window_->Depth(), 1);
    }

    void stopDuringScanKeepsThePartialTree() {
        auto* list = ToVolumeList(false);
        QVERIFY(list);
        list->list->selectRow(RowWithLabel(list, "FAT32"));
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        mode->OnNext();
        auto* results = Current<VolumeScanDlg>();
        QVERIFY(results);
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        results->OnStop();
        QVERIFY(results->Busy() ? done.wait(60000) : true);
        QVERIFY(dialogs_->Saw("Scanning processing done.Select save button to save the data."));
        // A save after the Stop is not ended by it.
        QTemporaryDir out;
        results->SetOutputFolder(out.path());
        results->treeView->setCurrentIndex(results->TreeModel()->index(0, 0));
        QSignalSpy saved(results, &VolumeScanDlg::saveFinished);
        results->OnSave();
        QVERIFY(saved.wait(30000));
        // The Stop may land before or during the walk: whatever the partial tree holds is saved whole, with its
        // count and "work done", and not cut short by the old Stop.
        const QString prefix = "number of files found inside this folder = ";
        const QString suffix = " .do u want to continue dumping these files..?";
        qint64 counted = -1;
        for (const auto& m : dialogs_->messages)
            if (m.text.startsWith(prefix) && m.text.contains(suffix))
                counted = m.text.mid(prefix.size(), m.text.indexOf(suffix) - prefix.size()).toLongLong();
        QVERIFY(counted >= 0);
        qint64 written = 0;
        for (QDirIterator it(out.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++written;
        QCOMPARE(written, counted);
        QVERIFY(dialogs_->SawStarting("work done"));
        QVERIFY(results->backButton->isEnabled());
    }

    void exfatStandardAndAdvanced() {
        auto* list = ToVolumeList(false);
        QVERIFY(list);
        const int row = RowWithLabel(list, "FAT64");
        if (row < 0) QSKIP("the partition scanner does not label the exFAT volume FAT64");
        auto* results = ToResults(list, "FAT64");
        QVERIFY(results);
        QVERIFY(FindChild(results->TreeModel(), results->TreeModel()->index(0, 0), "Pictures").isValid());
        results->OnBack();
        Current<ParceModeNtfsDlg>()->OnBack();
        auto* advancedResults = ToResults(list, "FAT64", true);
        QVERIFY(advancedResults);
        QVERIFY(dialogs_->messages.size() > 0);
        QVERIFY(advancedResults->TreeModel()->rowCount() > 0);
    }

    void fat32AdvancedFromACandidateFat() {
        auto* list = ToVolumeList(false);
        QVERIFY(list);
        const int row = RowWithLabel(list, "FAT32");
        QVERIFY(row >= 0);
        list->list->selectRow(row);
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        mode->advanced->click();
        mode->OnNext();
        auto* adv = Current<advanceOptions>();
        QVERIFY(adv);
        QSignalSpy found(adv, &advanceOptions::searchFinished);
        QVERIFY(!adv->Searching() || found.wait(60000));
        // Both FAT copies of the intact volume are candidates; the boot sector's value leads the list.
        QVERIFY(adv->candidates->count() >= 2);
        QCOMPARE(adv->candidates->itemText(0), QString("FAT32_ENTRY:0"));
        QCOMPARE(adv->candidates->itemText(1), QString("FAT32_ENTRY:1"));
        QVERIFY(!adv->sectorsPerCluster->isHidden());
        QVERIFY(adv->sectorsPerCluster->count() > 0);
        QCOMPARE(adv->sectorsPerCluster->itemText(0).toInt(), 1);
        QVERIFY(adv->heapOffsets->isHidden());
        QVERIFY(adv->nextButton->isEnabled());
        bool counted = false;
        for (const auto& m : dialogs_->messages) {
            QVERIFY(!m.text.contains("not available"));
            counted = counted || m.text.startsWith("Number of FAT32-ENTRY found = ");
        }
        QVERIFY(counted);
        // The geometry the folders tell is said before the page's own words.
        QTRY_VERIFY(adv->StatusLine()->text().endsWith(". Parsing done.Click Next to continue."));
        QVERIFY2(adv->StatusLine()->text().startsWith("geometry from "), qPrintable(adv->StatusLine()->text()));
        QVERIFY2(adv->StatusLine()->text().contains("cluster 512 bytes, data at sector "),
                 qPrintable(adv->StatusLine()->text()));
        ParserBase* lent = adv->Parser();
        adv->OnNext();

        auto* results = Current<VolumeScanDlg>();
        QVERIFY(results);
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        QVERIFY(!results->Busy() || done.wait(60000));
        QVERIFY(results->Session());
        QCOMPARE(results->ActiveParser(), lent);
        QVERIFY(dialogs_->Saw("Scanning processing done.Select save button to save the data."));
        ResultTreeModel* model = results->TreeModel();
        const QModelIndex root = model->index(0, 0);
        QVERIFY(root.isValid());
        const QModelIndex documents = FindChild(model, root, "Documents");
        QVERIFY(documents.isValid());
        results->OnTreeClicked(documents);
        QVERIFY(results->ListModel()->rowCount() > 0);
        // Back to the advanced-input page: the parser it lent is its own again.
        QPointer<VolumeScanDlg> gone(results);
        results->OnBack();
        QCOMPARE(Current<advanceOptions>(), adv);
        QTRY_VERIFY(gone.isNull());
        QVERIFY(lent->tree == nullptr);
        QVERIFY(lent->statusWindow == nullptr);
    }

    void closeAsksOnTheLaterPages() {
        auto* drives = OpenWizard();
        SelectImage(drives);
        drives->OnNext();
        QVERIFY(Current<DriveParsingModes>());
        dialogs_->answers = {MsgAnswer::No};
        window_->close();
        QVERIFY(dialogs_->Saw("Do you want to Close Application ?"));
        QCOMPARE(dialogs_->Find("Do you want to Close Application ?")->icon, MsgIcon::Question);
        QCOMPARE(exitCode_, -1);
        dialogs_->answers = {MsgAnswer::Yes};
        window_->close();
        QCOMPARE(exitCode_, 0);
        QCOMPARE(dialogs_->urls.size(), 1);
        QCOMPARE(dialogs_->urls[0].fragment(), QString("product"));
    }

    void secondInstanceIsRefused() {
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath("salvora.lock");
        SingleInstanceLock first(lockPath);
        QVERIFY(first.Acquired());
        QVERIFY(!SingleInstanceLock(lockPath).Acquired());

        QProcess second;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("SALVORA_NONINTERACTIVE", "1");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        second.setProcessEnvironment(env);
        second.start(SALVORA_GUI_PATH, {});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(second.readAllStandardError().contains("Another instance of application is already running"));
    }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
