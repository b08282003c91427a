// What a new user meets on the wizard: saves that fail or are stopped say so and leave nothing incomplete, an
// empty scan names the next step, Save after a search saves the hits, the keyboard works, a GPT disk is found by
// itself, and every page fits a 1024x600 screen. Driven on the demo disk and images made here.
#include <sys/resource.h>
#include <unistd.h>

#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "io/pause_gate.h"
#include "qt_test_support.h"
#include "ui/pages/advance_options.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/parce_mode_ntfs_dlg.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/populate_drive_dlg.h"
#include "ui/pages/raw_recovery_dialog.h"
#include "ui/pages/volume_scan_dlg.h"
#include "wizard_walk.h"

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

class FirstHourTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<DialogRecorder> dialogs_;

    template <class Page>
    Page* Current() {
        return qobject_cast<Page*>(window_->CurrentPage());
    }

    // Drive page with one image -> scan-mode page.
    DriveParsingModes* ToScanModes(const QString& image) {
        window_ = std::make_unique<WizardWindow>();
        auto* page = new Physical_DriveDialog(window_.get(), {image}, DriveListing{});
        window_->Push(page);
        window_->show();
        QTreeWidgetItem* root = page->ImagesRoot();
        page->Tree()->setCurrentItem(root->child(root->childCount() - 1));
        page->OnNext();
        return Current<DriveParsingModes>();
    }

    // The demo disk's volume of this label, Standard mode, scan finished.
    VolumeScanDlg* Results(const QString& label) {
        if (!ToScanModes(DemoDisk())) return nullptr;
        PopulateDriveDlg* list = ScanModesToVolumeList(*window_, false);
        if (!list) return nullptr;
        for (int r = 0; r < list->list->rowCount(); ++r)
            if (list->list->item(r, 1)->text() == label) list->list->selectRow(r);
        list->OnNext();
        auto* mode = Current<ParceModeNtfsDlg>();
        if (!mode) return nullptr;
        mode->OnNext();
        auto* results = Current<VolumeScanDlg>();
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        if (results && results->Busy() && !done.wait(60000)) return nullptr;
        return results;
    }

    bool Save(VolumeScanDlg* results) {
        QSignalSpy saved(results, &VolumeScanDlg::saveFinished);
        results->OnSave();
        return saved.wait(30000);
    }

    static int FilesBelow(const QString& folder) {
        int n = 0;
        for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++n;
        return n;
    }

    const ShownMessage* LastStarting(const QString& text) const {
        for (auto m = dialogs_->messages.rbegin(); m != dialogs_->messages.rend(); ++m)
            if (m->text.startsWith(text)) return &*m;
        return nullptr;
    }

  private Q_SLOTS:
    void init() {
        if (DemoDisk().isEmpty()) QSKIP("demo disk or zstd missing");
        dialogs_ = std::make_unique<DialogRecorder>();
    }
    void cleanup() {
        window_.reset();
        dialogs_.reset();
    }

    void unwritableAndFullFoldersAreSaidAndLeaveNothingIncomplete() {
        VolumeScanDlg* results = Results("FAT32");
        QVERIFY(results);
        // /proc takes no new file, whoever asks: refused when chosen, with the reason.
        results->SetOutputFolder("/proc");
        QVERIFY(results->OutputFolder().isEmpty());
        QVERIFY(dialogs_->SawStarting("The folder /proc cannot be written"));

        // A disk that fills up: files over 4 KiB cannot be written. Each failure is named, removed, and the
        // summary says how many.
        QTemporaryDir out;
        results->SetOutputFolder(out.path());
        QCOMPARE(results->OutputFolder(), out.path());
        results->treeView->setCurrentIndex(results->TreeModel()->index(0, 0));
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        rlimit small = before;
        small.rlim_cur = 4096;
        std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &small);
        const bool done = Save(results);
        ::setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY(done);
        const ShownMessage* end = LastStarting("work done");
        QVERIFY(end);
        QVERIFY2(end->text.contains(QRegularExpression(", [1-9][0-9]* could not be written")), qPrintable(end->text));
        QVERIFY(end->text.contains("Not written whole"));
        QCOMPARE(end->icon, MsgIcon::Warning);
        for (QDirIterator it(out.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
            const QFileInfo file(it.next());
            QVERIFY2(file.size() <= 4096, qPrintable(file.filePath()));  // nothing cut short under its own name
        }
        QVERIFY(results->StatusLine()->text().isEmpty());  // no stale "saving File ..."
    }

    void stopDuringASaveSaysHowFarItGot() {
        VolumeScanDlg* results = Results("FAT32");
        QVERIFY(results);
        QTemporaryDir out;
        results->SetOutputFolder(out.path());
        results->treeView->setCurrentIndex(results->TreeModel()->index(0, 0));
        // Held at its first file, then stopped: nothing more is written and the end says so.
        ThePauseGate().Pause();
        QSignalSpy saved(results, &VolumeScanDlg::saveFinished);
        results->OnSave();
        QTest::qWait(200);
        results->OnStop();
        ThePauseGate().Resume();
        QVERIFY(saved.wait(30000));
        const ShownMessage* end = LastStarting("(stopped)\nwork done");
        QVERIFY(end);
        QVERIFY2(end->text.contains(QRegularExpression("stopped after \\d+ of \\d+")), qPrintable(end->text));
        QVERIFY(FilesBelow(out.path()) < 16);
        QVERIFY(results->backButton->isEnabled());
    }

    void emptyScanNamesTheNextStep() {
        // A FAT32 card quick-formatted over its files.
        QTemporaryDir work;
        const QString card = work.filePath("formatted.img");
        QVERIFY(QFile::copy(FixtureImage("fat32.img"), card));
        QFile::setPermissions(card, QFile::ReadOwner | QFile::WriteOwner);
        if (QProcess::execute("mkfs.fat", {"-F", "32", card}) != 0) QSKIP("mkfs.fat (dosfstools) is missing");
        window_ = std::make_unique<WizardWindow>();
        auto* page = new Physical_DriveDialog(window_.get(), {card}, DriveListing{});
        window_->Push(page);
        window_->show();
        QTreeWidgetItem* root = page->ImagesRoot();
        page->Tree()->setCurrentItem(root->child(root->childCount() - 1));
        page->OnNext();  // a bare volume: the volume page
        QVERIFY(window_->CurrentPage() != page);
        QTest::keyClick(window_->CurrentPage(), Qt::Key_Return);  // Enter presses Next
        auto* mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        QVERIFY(mode->byFileType->isVisible());  // carving offered for every volume
        mode->OnNext();
        auto* results = Current<VolumeScanDlg>();
        QVERIFY(results);
        QSignalSpy done(results, &VolumeScanDlg::scanFinished);
        if (results->Busy()) QVERIFY(done.wait(60000));
        QVERIFY(dialogs_->SawStarting("Nothing was found on this volume."));
        QVERIFY(results->StatusLine()->text().contains("Advanced"));
        QVERIFY(results->StatusLine()->text().contains("Search by file type"));
        // Back to the mode page: "Advanced" finds the volume formatted and ticks "Is Drive Formated..?" for
        // the person; a box the person unticked stays unticked.
        results->OnBack();
        mode = Current<ParceModeNtfsDlg>();
        QVERIFY(mode);
        for (const bool untickedByHand : {false, true}) {
            mode->advanced->click();
            QVERIFY(!mode->driveFormated->isChecked());
            if (untickedByHand) {
                mode->driveFormated->click();
                mode->driveFormated->click();
            }
            mode->OnNext();
            auto* input = Current<advanceOptions>();
            QVERIFY(input);
            QSignalSpy searched(input, &advanceOptions::searchFinished);
            if (input->Searching()) QVERIFY(searched.wait(60000));
            QCoreApplication::processEvents();
            const QString status = input->StatusLine()->text();
            QVERIFY2(status.contains(untickedByHand ? "Read as it is" : "It is read as formatted"), qPrintable(status));
            QCOMPARE(mode->driveFormated->isChecked(), !untickedByHand);
            input->OnBack();
            QCOMPARE(Current<ParceModeNtfsDlg>(), mode);
        }
        mode->byFileType->click();
        mode->OnNext();
        QVERIFY(Current<RawRecoveryDialog>());
    }

    void saveAfterASearchSavesTheHitsAndTheKeyboardWorks() {
        VolumeScanDlg* results = Results("FAT16");
        QVERIFY(results);
        // Arrow keys move through the tree and the list follows.
        results->treeView->setFocus();
        results->treeView->setCurrentIndex(results->TreeModel()->index(0, 0));
        results->treeView->expand(results->TreeModel()->index(0, 0));
        QTest::keyClick(results->treeView, Qt::Key_Down);
        const QModelIndex current = results->treeView->currentIndex();
        QVERIFY(current.isValid());
        QVERIFY(results->ListModel()->rowCount() > 0 || results->TreeModel()->hasChildren(current));

        // Enter in the search box searches.
        results->searchPattern->setText("jpg");
        QSignalSpy searched(results, &VolumeScanDlg::searchFinished);
        QTest::keyClick(results->searchPattern, Qt::Key_Return);
        QVERIFY(searched.wait(30000));
        const int hits = results->ListModel()->rowCount();
        QVERIFY(hits >= 3);

        // Nothing ticked: Save writes the hits on screen, after naming the count and the folder.
        QTemporaryDir out;
        results->SetOutputFolder(out.path());
        QVERIFY(Save(results));
        QVERIFY(dialogs_->SawStarting(QStringLiteral("number of files found inside this folder = %1 .").arg(hits)));
        QVERIFY(dialogs_->SawStarting(QStringLiteral("number of files found inside this folder = %1 .do u want to "
                                                     "continue dumping these files..?\n\nThey will be saved in %2.")
                                          .arg(hits)
                                          .arg(out.path())));
        QCOMPARE(FilesBelow(out.path()), hits);
        QVERIFY(LastStarting("work done")->text.contains(QStringLiteral("%1 file(s) saved in %2").arg(hits).arg(out.path())));

        // Escape asks before closing.
        dialogs_->answers.push_back(MsgAnswer::No);
        QTest::keyClick(results, Qt::Key_Escape);
        QVERIFY(dialogs_->Saw("Do you want to Close Application ?"));
        QVERIFY(window_->isVisible());
    }

    void gptDiskIsTickedByItself() {
        const QString gpt = FixtureImage("gpt.img");
        QVERIFY(!gpt.isEmpty());
        DriveParsingModes* modes = ToScanModes(gpt);
        QVERIFY(modes);
        QVERIFY(modes->gptFormat->isChecked());
        PopulateDriveDlg* list = ScanModesToVolumeList(*window_, false);
        QVERIFY(list);
        QStringList labels;
        for (int r = 0; r < list->list->rowCount(); ++r) labels << list->list->item(r, 1)->text();
        QVERIFY2(labels.contains("extX") && labels.contains("FAT32") && labels.contains("FAT64"), qPrintable(labels.join(',')));
        // A disk without a GPT is not ticked.
        QVERIFY(!ToScanModes(DemoDisk())->gptFormat->isChecked());
    }

    void everyPageFitsA1024By600Screen() {
        // What is left of 1024x600 under a title bar and a panel.
        const QSize screen(1024, 540);
        const auto check = [&](const char* name) {
            window_->resize(screen);
            QCoreApplication::processEvents();
            QVERIFY2(window_->minimumSizeHint().height() <= screen.height(), name);
            QVERIFY2(window_->height() <= screen.height() && window_->width() <= screen.width(), name);
            const QRect inside(QPoint(0, 0), window_->size());
            for (QPushButton* button : window_->CurrentPage()->findChildren<QPushButton*>()) {
                if (!button->isVisible()) continue;
                const QRect at(button->mapTo(window_.get(), QPoint(0, 0)), button->size());
                QVERIFY2(inside.contains(at), qPrintable(QStringLiteral("%1: %2").arg(name, button->text())));
            }
        };
        VolumeScanDlg* results = Results("FAT16");
        QVERIFY(results);
        check("results");
        results->OnBack();
        check("recovery mode");
        window_->CurrentPage()->findChild<QPushButton*>("backButton")->click();
        check("volume list");
        QVERIFY(ToScanModes(DemoDisk()));
        check("scan mode");
    }
};

QTEST_MAIN(FirstHourTest)
#include "first_hour_test.moc"
