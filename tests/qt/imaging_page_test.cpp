// "Create an image first…" on the drive page: a drive copied to an image file with its map, the image then
// opened from the list with what its map does not mark rescued read as unreadable, and the outputs it refuses.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "io/rescue_map.h"
#include "qt_test_support.h"
#include "ui/pages/imaging_dialog.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/pages/volume_operations.h"

using namespace salvora;
using namespace salvora::gui;
using namespace salvora::gui::test;

class ImagingPageTest : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<WizardWindow> window_;
    std::unique_ptr<DialogRecorder> dialogs_;
    QTemporaryDir dir_;

    // The drive page listing one "drive": a file standing in for a card.
    Physical_DriveDialog* DrivePage(const QString& device, const QStringList& images = {}) {
        DriveListing listing;
        PhysicalDrive drive;
        drive.devicePath = device.toStdString();
        drive.modelText = "Failing card";
        listing.drives.push_back(drive);
        window_ = std::make_unique<WizardWindow>();
        auto* page = new Physical_DriveDialog(window_.get(), images, listing);
        window_->Push(page);
        window_->show();
        page->Tree()->setCurrentItem(page->DrivesRoot()->child(0));
        return page;
    }

    static QByteArray Contents(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

  private Q_SLOTS:
    void init() { dialogs_ = std::make_unique<DialogRecorder>(); }
    void cleanup() {
        window_.reset();
        dialogs_.reset();
    }

    void imagesADriveAndOpensTheImageWithItsMap() {
        const QString card = dir_.filePath("card");
        QVERIFY(QFile::copy(FixtureImage("fat16.img"), card));
        Physical_DriveDialog* page = DrivePage(card);
        const QString image = dir_.filePath("card.img");
        dialogs_->imageToSave = image;
        page->CreateImageAction()->trigger();
        auto* dialog = page->findChild<ImagingDialog*>();
        QVERIFY(dialog);
        QSignalSpy ended(dialog, &ImagingDialog::imagingEnded);
        QVERIFY(ended.count() == 1 || ended.wait(30000));
        QCOMPARE(ended.at(0).at(0).toBool(), false);
        if (qEnvironmentVariableIsSet("SALVORA_IMAGING_SHOT"))
            dialog->grab().save(qEnvironmentVariable("SALVORA_IMAGING_SHOT"));

        const QByteArray source = Contents(card);
        QVERIFY(!source.isEmpty());
        QVERIFY(Contents(image) == source);
        std::string why;
        const std::optional<RescueMap> map = RescueMap::Load((image + ".map").toStdString(), &why);
        QVERIFY2(map, why.c_str());
        QCOMPARE(map->Blocks(), (std::vector<MapBlock>{{0, static_cast<std::uint64_t>(source.size()), kRescued}}));
        QVERIFY(dialog->Status()->text().contains("every byte was read"));
        QCOMPARE(dialog->Bar()->Map().BytesWith(kRescued), static_cast<std::uint64_t>(source.size()));
        QTreeWidgetItem* item = page->Tree()->currentItem();
        QVERIFY(item && item->parent() == page->ImagesRoot());
        QCOMPARE(item->text(0), QFileInfo(image).absoluteFilePath());
        QCOMPARE(page->MapOf(image), QFileInfo(image + ".map").absoluteFilePath());
        dialog->StopButton()->click();  // "Close" now

        // A copy whose map (beside it, not made here) says 64 KiB are bad: those bytes read as unreadable.
        const QString copy = dir_.filePath("copy.img");
        QVERIFY(QFile::copy(image, copy));
        RescueMap partial(source.size());
        partial.Mark(0, source.size(), kRescued);
        partial.Mark(1 << 20, 1 << 16, kBadSector);
        QVERIFY(partial.Save((copy + ".map").toStdString(), &why));
        page = DrivePage(card, {copy});
        page->Tree()->setCurrentItem(page->ImagesRoot()->child(1));
        page->OnNext();
        QVERIFY(qobject_cast<VolumeOperations*>(window_->CurrentPage()));
        QCOMPARE(theReader->Known().BytesWith(kBadSector), std::uint64_t{1 << 16});
        QCOMPARE(page->StatusLine()->text(),
                 QStringLiteral("map %1.map: 64.0 KiB not rescued, read as unreadable").arg(copy));
    }

    void refusesTheSourceItselfAFolderAndAnImageWithoutItsMap() {
        const QString card = dir_.filePath("card2");
        const QString unmapped = dir_.filePath("unmapped.img");
        QVERIFY(QFile::copy(FixtureImage("fat16.img"), card));
        QVERIFY(QFile::copy(card, unmapped));
        QVERIFY(QDir(dir_.path()).mkdir("folder.img"));
        Physical_DriveDialog* page = DrivePage(card);
        for (const QString& output : {card, dir_.filePath("folder.img"), unmapped}) {
            dialogs_->messages.clear();
            dialogs_->imageToSave = output;
            page->CreateImageAction()->trigger();
            QVERIFY2(!page->findChild<ImagingDialog*>(), qPrintable(output));
            QCOMPARE(dialogs_->messages.size(), std::size_t{1});
            QVERIFY2(dialogs_->messages[0].text.startsWith(output + ' '), qPrintable(dialogs_->messages[0].text));
            QVERIFY(!QFileInfo::exists(output + ".map"));
        }
        QVERIFY(Contents(unmapped) == Contents(card));
    }
};

QTEST_MAIN(ImagingPageTest)
#include "imaging_page_test.moc"
