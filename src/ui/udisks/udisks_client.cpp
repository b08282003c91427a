#include "ui/udisks/udisks_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QMap>
#include <QVariantMap>

#include "io/file_read_seek.h"

namespace salvora::gui {
namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

constexpr auto kService = "org.freedesktop.UDisks2";
constexpr auto kRoot = "/org/freedesktop/UDisks2";
constexpr auto kBlock = "org.freedesktop.UDisks2.Block";
constexpr auto kDrive = "org.freedesktop.UDisks2.Drive";
// udisks waits for polkit, which may wait for a person typing a password.
constexpr int kAuthorisationTimeoutMs = 120'000;

void RegisterTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<Interfaces>();
        qDBusRegisterMetaType<ManagedObjects>();
        return true;
    }();
    (void)registered;
}

bool UdisksRunning(QDBusConnection& bus) {
    return bus.isConnected() && bus.interface() != nullptr && bus.interface()->isServiceRegistered(kService).value();
}

std::optional<ManagedObjects> Objects(QDBusConnection& bus) {
    RegisterTypes();
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, "org.freedesktop.DBus.ObjectManager",
                                                       "GetManagedObjects");
    const QDBusReply<ManagedObjects> reply = bus.call(call, QDBus::Block, 5000);
    if (!reply.isValid()) return std::nullopt;
    return reply.value();
}

// udisks gives device paths as NUL-terminated byte arrays.
QString DevicePath(const QVariantMap& block) {
    QByteArray bytes = block.value("PreferredDevice").toByteArray();
    if (bytes.isEmpty() || bytes == QByteArray(1, '\0')) bytes = block.value("Device").toByteArray();
    while (bytes.endsWith('\0')) bytes.chop(1);
    return QString::fromLocal8Bit(bytes);
}

QString RawDevicePath(const QVariantMap& block) {
    QByteArray bytes = block.value("Device").toByteArray();
    while (bytes.endsWith('\0')) bytes.chop(1);
    return QString::fromLocal8Bit(bytes);
}

}  // namespace

std::optional<std::vector<UdisksDrive>> ListUdisksDrives() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!UdisksRunning(bus)) return std::nullopt;
    const std::optional<ManagedObjects> objects = Objects(bus);
    if (!objects) return std::nullopt;
    std::vector<UdisksDrive> drives;
    for (auto it = objects->begin(); it != objects->end(); ++it) {
        const Interfaces& interfaces = it.value();
        if (!interfaces.contains(kBlock) || interfaces.contains("org.freedesktop.UDisks2.Partition")) continue;
        const QVariantMap block = interfaces.value(kBlock);
        const quint64 size = block.value("Size").toULongLong();
        const QString drivePath = block.value("Drive").value<QDBusObjectPath>().path();
        if (size == 0 && (drivePath.isEmpty() || drivePath == "/")) continue;  // an unused loop device
        UdisksDrive drive;
        drive.devicePath = DevicePath(block);
        drive.sizeBytes = size;
        const auto owner = objects->find(QDBusObjectPath(drivePath));
        if (owner != objects->end() && owner.value().contains(kDrive)) {
            const QVariantMap d = owner.value().value(kDrive);
            drive.model = (d.value("Vendor").toString().trimmed() + " " + d.value("Model").toString().trimmed()).trimmed();
            drive.removable = d.value("Removable").toBool() || d.value("MediaRemovable").toBool();
            drive.mediaAvailable = d.value("MediaAvailable", true).toBool();
        }
        drives.push_back(drive);
    }
    return drives;
}

bool OpenThroughUdisks(const QString& devicePath, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error) *error = why;
        return false;
    };
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!UdisksRunning(bus)) return fail(QStringLiteral("udisks is not running"));
    const std::optional<ManagedObjects> objects = Objects(bus);
    if (!objects) return fail(QStringLiteral("udisks did not list its devices"));
    QString object;
    for (auto it = objects->begin(); it != objects->end() && object.isEmpty(); ++it) {
        const QVariantMap block = it.value().value(kBlock);
        if (!block.isEmpty() && (DevicePath(block) == devicePath || RawDevicePath(block) == devicePath))
            object = it.key().path();
    }
    if (object.isEmpty()) return fail(QStringLiteral("udisks does not know %1").arg(devicePath));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, object, kBlock, "OpenDevice");
    call << QStringLiteral("r") << QVariantMap();
    QDBusMessage reply = bus.call(call, QDBus::Block, kAuthorisationTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod") {
        // Older udisks: the backup variant opens read-only as well.
        call = QDBusMessage::createMethodCall(kService, object, kBlock, "OpenForBackup");
        call << QVariantMap();
        reply = bus.call(call, QDBus::Block, kAuthorisationTimeoutMs);
    }
    if (reply.type() == QDBusMessage::ErrorMessage) return fail(reply.errorMessage());
    if (reply.arguments().isEmpty()) return fail(QStringLiteral("udisks answered without a descriptor"));
    const auto descriptor = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    if (!descriptor.isValid()) return fail(QStringLiteral("udisks answered without a descriptor"));
    const int fd = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(QStringLiteral("the descriptor could not be kept"));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        ::close(fd);
        return fail(QStringLiteral("udisks gave a descriptor that can write; it was not used"));
    }
    ProvideDescriptor(devicePath.toStdString(), fd);
    return true;
}

}  // namespace salvora::gui
