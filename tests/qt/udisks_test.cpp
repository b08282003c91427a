// Devices without root: the drives udisks lists, and a device opened read-only through the descriptor udisks
// hands over. udisks is played by a stand-in on a private bus (dbus-daemon), serving the demo disk as
// "/dev/standin0"; the test skips when dbus-daemon is missing.
#include <fcntl.h>

#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <array>

#include "app/wizard_window.h"
#include "io/file_read_seek.h"
#include "qt_test_support.h"
#include "ui/pages/drive_parsing_modes.h"
#include "ui/pages/physical_drive_dialog.h"
#include "ui/udisks/udisks_client.h"

using namespace salvora;
using namespace salvora::gui;

class UdisksTest : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase() {
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) QSKIP("dbus-daemon is missing (package dbus-daemon)");
        image_ = test::DemoDisk();
        QVERIFY(!image_.isEmpty());
        bus_.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
        QVERIFY(bus_.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(bus_.canReadLine(), 10000);
        const QByteArray address = bus_.readLine().trimmed();
        // Before the first use of the system bus: the client then talks to the stand-in only.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        standIn_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        standIn_.start(SALVORA_UDISKS_STANDIN_PATH, {image_});
        QVERIFY(standIn_.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(ListUdisksDrives().has_value(), 10000);
    }

    void cleanupTestCase() {
        standIn_.kill();
        standIn_.waitForFinished();
        bus_.kill();
        bus_.waitForFinished();
    }

    void listsTheDrivesUdisksKnows() {
        const auto drives = ListUdisksDrives();
        QVERIFY(drives.has_value());
        QCOMPARE(drives->size(), std::size_t{1});
        QCOMPARE(drives->front().devicePath, QStringLiteral("/dev/standin0"));
        QCOMPARE(drives->front().model, QStringLiteral("Salvora StandIn"));
        QCOMPARE(drives->front().sizeBytes, quint64(QFileInfo(image_).size()));
        QVERIFY(drives->front().removable);
    }

    void opensADeviceReadOnlyThroughItsDescriptor() {
        FileReadSeek before;
        QVERIFY(!before.OpenSource("/dev/standin0"));  // no such device: only udisks can give it
        QString error;
        QVERIFY2(OpenThroughUdisks("/dev/standin0", &error), qPrintable(error));
        FileReadSeek reader;
        QVERIFY(reader.OpenSource("/dev/standin0"));
        QCOMPARE(reader.sourceLength, std::uint64_t(QFileInfo(image_).size()));
        std::array<std::uint8_t, 512> sector{};
        QVERIFY(reader.ReadAt(0, sector));
        QFile file(image_);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(sector.data()), 512), file.read(512));
        QVERIFY(!OpenThroughUdisks("/dev/unknown", &error));
        QVERIFY(error.contains("does not know"));
    }

    // The drive page as the program opens it: listed on a worker, the stand-in's drive among the drives with its
    // model and size; choosing it opens it through udisks and goes on to the scan-mode page.
    void drivePageListsAndOpensTheUdisksDrive() {
        WizardWindow window;
        auto* page = new Physical_DriveDialog(&window, {});
        window.Push(page);
        QCOMPARE(page->DrivesRoot()->child(0)->text(0), QStringLiteral("reading..."));
        QTRY_VERIFY_WITH_TIMEOUT(page->ListingShown(), 20000);
        QTreeWidgetItem* standIn = nullptr;
        for (int i = 0; i < page->DrivesRoot()->childCount(); ++i)
            if (page->DrivesRoot()->child(i)->toolTip(0) == QStringLiteral("/dev/standin0")) standIn = page->DrivesRoot()->child(i);
        QVERIFY(standIn != nullptr);
        QVERIFY2(standIn->text(0).startsWith(QStringLiteral("Salvora StandIn  (")), qPrintable(standIn->text(0)));
        page->Tree()->setCurrentItem(standIn);
        page->OnNext();
        QVERIFY(qobject_cast<DriveParsingModes*>(window.CurrentPage()) != nullptr);
        QCOMPARE(page->SelectedDrivePath(), QStringLiteral("/dev/standin0"));
        FileReadSeek reader;
        QVERIFY(reader.OpenSource("/dev/standin0"));
    }

  private:
    QString image_;
    QProcess bus_;
    QProcess standIn_;
};

QTEST_MAIN(UdisksTest)
#include "udisks_test.moc"
