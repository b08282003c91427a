// The raw recovery pages on the offscreen platform: volume list with "RAW" -> raw page -> carve the
// ground-truth image (placed behind an MBR at sector 2048) -> save the checked files, compared with the
// originals' sha256; and the signature editor appending records that the core's loader reads back. Needs
// tests/fixtures/carve-groundtruth.img.zst and the zstd command.
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "qt_test_support.h"
#include "raw/carving_engine.h"
#include "raw/settings_file.h"
#include "ui/controls/gui_sink.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/populate_drive_dlg.h"
#include "ui/pages/raw_recovery_dialog.h"
#include "ui/pages/raw_setting_dlg.h"

#define kFixtures SALVORA_FIXTURES_DIR

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

namespace {

constexpr std::uint32_t kVolumeStart = 2048;

// The ground-truth volume behind an MBR whose one partition starts at sector 2048, so the carving must honour
// the volume's start. Empty when the fixture or zstd is missing.
QString GroundTruthDisk(QTemporaryDir& dir) {
    const QString packed = QStringLiteral(kFixtures "/carve-groundtruth.img.zst");
    const QString volume = dir.filePath("volume.img");
    if (!QFileInfo::exists(packed) ||
        QProcess::execute("zstd", {"-d", "-q", "-f", packed, "-o", volume}) != 0)
        return {};
    QFile in(volume);
    const QString diskPath = dir.filePath("disk.img");
    QFile disk(diskPath);
    if (!in.open(QIODevice::ReadOnly) || !disk.open(QIODevice::WriteOnly)) return {};
    const qint64 sectors = in.size() / 512;
    QByteArray mbr(kVolumeStart * 512, '\0');
    auto put32 = [&](int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) mbr[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    mbr[0x1BE + 4] = static_cast<char>(0x0C);  // FAT32 LBA
    put32(0x1BE + 8, kVolumeStart);
    put32(0x1BE + 12, static_cast<std::uint32_t>(sectors));
    mbr[510] = static_cast<char>(0x55);
    mbr[511] = static_cast<char>(0xAA);
    disk.write(mbr);
    while (!in.atEnd()) disk.write(in.read(1 << 20));
    return diskPath;
}

QByteArray Sha256Hex(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

}  // namespace

class RawPagesTest : public QObject {
    Q_OBJECT

  private:
    QTemporaryDir dir_;
    QString disk_;
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<DialogRecorder> dialogs_;
    std::unique_ptr<GuiSink> coreSink_;
    QString settingsFileToChoose_;

    template <class Page>
    Page* Current() {
        return qobject_cast<Page*>(window_->CurrentPage());
    }

    // Drive page -> scan modes -> volume list -> custom settings "RAW" -> raw recovery page.
    RawRecoveryDialog* ToRawPage() {
        window_ = std::make_unique<WizardWindow>();
        auto* drives = new Physical_DriveDialog(window_.get(), {disk_}, DriveListing{});
        window_->Push(drives);
        window_->show();
        QTreeWidgetItem* images = drives->ImagesRoot();
        drives->Tree()->setCurrentItem(images->child(images->childCount() - 1));
        drives->OnNext();
        auto* modes = Current<DriveParsingModes>();
        if (!modes) return nullptr;
        modes->OnNext();
        auto* list = Current<PopulateDriveDlg>();
        if (!list || list->list->rowCount() < 1) return nullptr;
        int row = -1;
        for (int r = 0; r < list->list->rowCount(); ++r)
            if (list->RowRecord(r)->startSector == kVolumeStart) row = r;
        if (row < 0) return nullptr;
        list->list->selectRow(row);
        list->customSettings->setChecked(true);
        list->treatAs->setCurrentText("RAW");
        list->OnNext();
        return Current<RawRecoveryDialog>();
    }

    bool WaitIdle(RawRecoveryDialog* page, QSignalSpy& spy) {
        if (page->Busy() && !spy.wait(120000)) return false;
        page->TreeModel()->Sync();
        return true;
    }

  private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        disk_ = GroundTruthDisk(dir_);
        if (disk_.isEmpty()) QSKIP("carving fixture or zstd missing");
    }
    void init() {
        dialogs_ = std::make_unique<DialogRecorder>();
        coreSink_ = std::make_unique<GuiSink>(nullptr);
        SetUi(coreSink_.get());  // the core's own boxes reach the recorder, from workers too
        SettingsFileHook() = [this](QWidget*, bool) { return settingsFileToChoose_; };
    }
    void cleanup() {
        window_.reset();
        SetUi(nullptr);
        coreSink_.reset();
        dialogs_.reset();
        SettingsFileHook() = nullptr;
    }

    void rawChoiceOpensTheRawPageWithTheDefaultItems() {
        auto* page = ToRawPage();
        QVERIFY(page);
        QCOMPARE(page->Id(), 151);
        QCOMPARE(page->Volume().fileSystemLabel, std::string("RAW"));
        QCOMPARE(page->Volume().startSector, std::uint64_t{kVolumeStart});
        QCOMPARE(page->pathEdit->text(), page->DefaultPath());
        QVERIFY(page->DefaultPath().endsWith("FileSetting.txt"));
        QVERIFY2(QFileInfo::exists(page->DefaultPath()), qPrintable(page->DefaultPath()));
        QVERIFY(page->loadDefaultItems->isChecked());
        QCOMPARE(page->StatusLine()->text(), QString("Please select parse button to scan the default file."));
        QCOMPARE(page->parseButton->text(), QString("Parse"));
        QCOMPARE(page->browseButton->text(), QString("..."));
        // Back shows the volume list again, which keeps its rows.
        page->OnBack();
        QVERIFY(Current<PopulateDriveDlg>());
        QVERIFY(Current<PopulateDriveDlg>()->list->rowCount() >= 1);
    }

    void parseCarvesAndSaveWritesTheOriginalsBitExact() {
        auto* page = ToRawPage();
        QVERIFY(page);
        QSignalSpy parsed(page, &RawRecoveryDialog::parseFinished);
        page->OnParse();
        QVERIFY(page->Busy());
        QVERIFY(!page->parseButton->isEnabled());
        QVERIFY(!page->backButton->isEnabled());
        QVERIFY(WaitIdle(page, parsed));
        QVERIFY(page->parseButton->isEnabled());
        QVERIFY(dialogs_->Saw("Scanning processing done.Select save button to save the data.."));
        QCOMPARE(page->StatusLine()->text(), QString("Processing done"));
        // The default file named in the path box as well is loaded once.
        const std::size_t types = page->Engine()->fileTypeTable.size();
        myJpg once;
        QVERIFY(LoadSettingsFile(once, page->DefaultPath().toStdString(), SettingsKind::Default));
        QCOMPARE(types, once.fileTypeTable.size());

        // Root, then categories "name (count)" whose counts add up to the carved files.
        QAbstractItemModel* model = page->TreeModel();
        QCOMPARE(model->rowCount(), 1);
        const QModelIndex root = model->index(0, 0);
        QCOMPARE(root.data().toString(), QString("RAW RECOVERY "));
        QVERIFY(page->treeView->isExpanded(root));
        const QRegularExpression counted(QStringLiteral("^(.*) \\((\\d+)\\)$"));
        qint64 total = 0;
        int withFiles = 0;
        for (int r = 0; r < model->rowCount(root); ++r) {
            const QModelIndex cat = model->index(r, 0, root);
            const auto m = counted.match(cat.data().toString());
            if (!m.hasMatch()) {
                QCOMPARE(model->rowCount(cat), 0);
                continue;
            }
            ++withFiles;
            QCOMPARE(model->rowCount(cat), m.captured(2).toInt());
            total += m.captured(2).toInt();
        }
        QVERIFY(withFiles >= 3);  // pictures, archives, documents at least
        QCOMPARE(static_cast<std::size_t>(total), page->Engine()->CarvedCount());

        // Clicking a category lists its files by name.
        const QModelIndex firstCat = [&] {
            for (int r = 0; r < model->rowCount(root); ++r)
                if (model->rowCount(model->index(r, 0, root)) > 0) return model->index(r, 0, root);
            return QModelIndex();
        }();
        page->OnTreeClicked(firstCat);
        QCOMPARE(page->fileList->count(), model->rowCount(firstCat));
        QCOMPARE(page->fileList->item(0)->text(), model->index(0, 0, firstCat).data().toString());
        QVERIFY(page->fileList->item(0)->text().contains(" ."));

        // Check all and save into a temporary folder.
        QVERIFY(model->setData(root, Qt::Checked, Qt::CheckStateRole));
        QTemporaryDir out;
        dialogs_->folderToChoose = out.path();
        QSignalSpy saved(page, &RawRecoveryDialog::saveFinished);
        page->OnSave();
        QVERIFY(WaitIdle(page, saved));
        QCOMPARE(page->LastSaved(), page->Engine()->CarvedCount());
        QSet<QByteArray> hashes;
        int files = 0;
        for (QDirIterator it(out.path(), QDir::Files); it.hasNext();) {
            hashes.insert(Sha256Hex(it.next()));
            ++files;
        }
        QCOMPARE(static_cast<std::size_t>(files), page->Engine()->CarvedCount());
        QFile manifestFile(QStringLiteral(kFixtures "/carve-groundtruth.manifest.json"));
        QVERIFY(manifestFile.open(QIODevice::ReadOnly));
        const QJsonArray originals = QJsonDocument::fromJson(manifestFile.readAll())["files"].toArray();
        QCOMPARE(originals.size(), 11);
        for (const QJsonValue& f : originals)
            QVERIFY2(hashes.contains(f["sha256"].toString().toLatin1()), qPrintable(f["path"].toString()));

        // A second Parse appends to the same tree; the counts double.
        QSignalSpy again(page, &RawRecoveryDialog::parseFinished);
        const std::size_t first = page->Engine()->CarvedCount();
        page->OnParse();
        QVERIFY(WaitIdle(page, again));
        QCOMPARE(page->Engine()->CarvedCount(), 2 * first);
        QCOMPARE(model->rowCount(), 1);
    }

    void pauseHoldsTheCarvingAndStopEndsIt() {
        auto* page = ToRawPage();
        QVERIFY(page);
        QSignalSpy parsed(page, &RawRecoveryDialog::parseFinished);
        page->OnPause();  // no worker yet: ignored
        page->OnParse();
        page->OnPause();
        QCOMPARE(page->StatusLine()->text(), QString("Pause button pressed"));
        QVERIFY(!parsed.wait(300));  // held at its first block
        QVERIFY(page->Busy());
        QVERIFY(!page->backButton->isEnabled());
        page->OnStop();  // Stop wins over Pause
        QVERIFY(WaitIdle(page, parsed));
        QVERIFY(page->backButton->isEnabled());
        QVERIFY2(page->StatusLine()->text().startsWith("Stopped after searching"),
                 qPrintable(page->StatusLine()->text()));
        // The worker may have begun its first 1 MiB block before Pause landed (the gate is looked at between
        // blocks): the stopped run holds at most that block's files.
        const std::size_t stopped = page->Engine()->CarvedCount();
        QCOMPARE(page->TreeModel()->index(0, 0).data().toString(), QString("RAW RECOVERY "));
        // A fresh Parse runs to the end: neither the stop nor the pause of the last one holds it.
        QSignalSpy again(page, &RawRecoveryDialog::parseFinished);
        page->OnParse();
        QVERIFY(WaitIdle(page, again));
        QVERIFY(page->Engine()->CarvedCount() >= stopped + 11u);
    }

    void userFileAloneAndEmptyPath() {
        auto* page = ToRawPage();
        QVERIFY(page);
        // No default items and no path: nothing to carve.
        page->loadDefaultItems->setChecked(false);
        page->pathEdit->clear();
        QSignalSpy parsed(page, &RawRecoveryDialog::parseFinished);
        page->OnParse();
        QVERIFY(WaitIdle(page, parsed));
        QVERIFY(dialogs_->Saw("enter the info file first.."));
        QCOMPARE(page->StatusLine()->text(), QString("Processing done"));

        // A user file with one PNG record, chosen with "...": only its category is made.
        const QString path = dir_.filePath("png-only.txt");
        QFile::remove(path);
        {
            RawSettingDlg editor;
            QVERIFY(editor.OpenFile(path));
            editor.extension->setText("png");
            editor.startSignature->setText("0x89,0x50,0x4E,0x47");
            editor.endSignature->setText("0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82");
            editor.category->setText("Only PNG");
            QVERIFY(editor.OnSave());
        }
        settingsFileToChoose_ = path;
        page->OnBrowse();
        QCOMPARE(page->pathEdit->text(), path);
        QSignalSpy again(page, &RawRecoveryDialog::parseFinished);
        page->OnParse();
        QVERIFY(WaitIdle(page, again));
        QAbstractItemModel* model = page->TreeModel();
        const QModelIndex root = model->index(0, 0);
        QCOMPARE(model->rowCount(root), 1);
        QCOMPARE(model->index(0, 0, root).data().toString(), QString("Only PNG (2)"));
        // Without a check, Save takes the files under the selected category.
        page->treeView->setCurrentIndex(model->index(0, 0, root));
        QTemporaryDir out;
        page->SetOutputFolder(out.path());
        QSignalSpy saved(page, &RawRecoveryDialog::saveFinished);
        page->OnSave();
        QVERIFY(WaitIdle(page, saved));
        QCOMPARE(page->LastSaved(), 2u);
        QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), 2);
    }

    void editorAppendsRecordsTheLoaderReadsBack() {
        auto* page = ToRawPage();
        QVERIFY(page);
        page->OnOpenEditor();
        RawSettingDlg* editor = page->Editor();
        QVERIFY(editor);
        QVERIFY(!editor->saveButton->isEnabled());

        // Texts: labels, tooltips, and the help buttons' boxes (the extension's button says it differently).
        QVERIFY(
            editor->startSignature->toolTip().startsWith("here enter the file signature that happens to be "
                                                         "in the starting of the file."));
        QCOMPARE(editor->category->toolTip(),
                 QString("here enter the name of category you want to put these files under"));
        QCOMPARE(editor->sizeIncludesHeader->text(), QString("Size includes header size"));
        auto* extHelp = editor->findChild<QToolButton*>("extensionHelp");
        QVERIFY(extHelp);
        extHelp->click();
        QVERIFY(dialogs_->messages.back().text.startsWith("here enter the file extentiom .\n"));
        QVERIFY(editor->extension->toolTip().startsWith("Enter file extention .\n"));
        QCOMPARE(dialogs_->messages.back().title, QString("Salvora"));

        // Digits only, typed or pasted.
        QTest::keyClicks(editor->approxSize, "12a3-4 ");
        QCOMPARE(editor->approxSize->text(), QString("1234"));
        editor->skipBytes->setText("2x097152");
        QCOMPARE(editor->skipBytes->text(), QString("2097152"));

        const QString path = dir_.filePath("editor-settings.txt");
        QFile::remove(path);
        settingsFileToChoose_ = path;
        editor->browseButton->click();
        QCOMPARE(editor->filePath->text(), path);
        QVERIFY(QFileInfo::exists(path));  // created when missing
        QVERIFY(editor->saveButton->isEnabled());

        editor->extension->setText("mpeg3");
        editor->startSignature->setText(" ,,0x49, 44,0x33,");
        editor->sizeFieldOffset->setText("6");
        editor->sizeFieldWidth->setText("4");
        editor->sizeIncludesHeader->setChecked(true);
        editor->headerSize->setText("10");
        editor->category->setText("Music");
        editor->saveButton->click();
        QVERIFY(dialogs_->Saw("everything initialized well....."));
        QCOMPARE(QFileInfo(path).size(), 171);

        // Refused entries write nothing.
        editor->extension->clear();
        QVERIFY(!editor->OnSave());
        QVERIFY(dialogs_->Saw("extention length is zero.."));
        editor->extension->setText("bin");
        editor->startSignature->setText(",,");
        QVERIFY(!editor->OnSave());
        QVERIFY(dialogs_->Saw("signature length is zero.."));
        QCOMPARE(QFileInfo(path).size(), 171);

        editor->startSignature->setText("2A,ff");
        editor->endSignature->setText("0xEE");
        editor->sizeFieldOffset->clear();
        editor->sizeFieldWidth->clear();
        editor->sizeIncludesHeader->setChecked(false);
        editor->headerSize->clear();
        editor->category->clear();
        QVERIFY(editor->OnSave());
        QCOMPARE(QFileInfo(path).size(), 342);

        myJpg engine;
        QVERIFY(LoadSettingsFile(engine, path.toStdString(), SettingsKind::User));
        QCOMPARE(engine.fileTypeTable.size(), 2u);
        const FileTypeEntry& mp3 = engine.fileTypeTable[0];
        QCOMPARE(mp3.extension, std::string("mpeg"));
        QCOMPARE(engine.signatureTable[0].extensionLength, 5);
        QCOMPARE(mp3.startLength, 3);
        QCOMPARE(engine.signatureTable[0].startSignature[0], 0x49);
        QCOMPARE(engine.signatureTable[0].startSignature[1], 0x44);
        QCOMPARE(engine.signatureTable[0].startSignature[2], 0x33);
        QCOMPARE(mp3.endLength, 0);
        QCOMPARE(mp3.sizeFieldOffset, 6);
        QCOMPARE(mp3.sizeFieldWidth, 4);
        QCOMPARE(mp3.headerSize, 10);
        QCOMPARE(mp3.sizeIncludesHeader, 1);
        QCOMPARE(mp3.approxSize, 1234);
        QCOMPARE(mp3.skipBytes, 2097152);
        QCOMPARE(mp3.category, std::string("Music"));
        const FileTypeEntry& bin = engine.fileTypeTable[1];
        QCOMPARE(bin.extension, std::string("bin"));
        QCOMPARE(engine.signatureTable[1].index, 1u);
        QCOMPARE(bin.startLength, 2);
        QCOMPARE(engine.signatureTable[1].startSignature[1], 0xFF);
        QCOMPARE(bin.endLength, 1);
        QCOMPARE(bin.sizeFieldWidth, 0);
        QCOMPARE(bin.category, std::string());

        // Opening the editor again brings the same window forward.
        page->OnOpenEditor();
        QCOMPARE(page->Editor(), editor);
    }
};

QTEST_MAIN(RawPagesTest)
#include "raw_pages_test.moc"
