// A stand-in for udisks2 on a private bus, for the tests: one whole disk "/dev/standin0" (model "Salvora
// StandIn") whose Block.OpenDevice answers with a read-only descriptor of the image named on the command line.
// It refuses any mode but "r", as a read-only client must never need more. Usage: udisks_standin IMAGE
// (the bus is DBUS_SYSTEM_BUS_ADDRESS's).
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QMap>
#include <QVariantMap>
#include <cstdio>

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

namespace {

constexpr auto kBlockPath = "/org/freedesktop/UDisks2/block_devices/standin0";
constexpr auto kDrivePath = "/org/freedesktop/UDisks2/drives/Salvora_StandIn";

class StandIn final : public QDBusVirtualObject {
  public:
    explicit StandIn(QString image) : image_(std::move(image)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        QDBusConnection bus(connection);
        const QString member = message.member();
        if (message.interface() == "org.freedesktop.DBus.ObjectManager" && member == "GetManagedObjects") {
            bus.send(message.createReply(QVariant::fromValue(Objects())));
            return true;
        }
        if (message.path() == kBlockPath && message.interface() == "org.freedesktop.UDisks2.Block" &&
            member == "OpenDevice") {
            const QString mode = message.arguments().value(0).toString();
            if (mode != "r") {
                bus.send(message.createErrorReply("org.freedesktop.UDisks2.Error.NotAuthorized",
                                                  "the stand-in opens read-only only"));
                return true;
            }
            const int fd = ::open(QFile::encodeName(image_).constData(), O_RDONLY | O_CLOEXEC);
            QDBusUnixFileDescriptor descriptor(fd);
            ::close(fd);
            bus.send(message.createReply(QVariant::fromValue(descriptor)));
            return true;
        }
        bus.send(message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", member));
        return true;
    }

  private:
    ManagedObjects Objects() const {
        ManagedObjects objects;
        QVariantMap block;
        block["Device"] = QByteArray("/dev/standin0") + '\0';
        block["PreferredDevice"] = QByteArray("/dev/standin0") + '\0';
        block["Size"] = static_cast<qulonglong>(QFileInfo(image_).size());
        block["Drive"] = QVariant::fromValue(QDBusObjectPath(kDrivePath));
        objects[QDBusObjectPath(kBlockPath)]["org.freedesktop.UDisks2.Block"] = block;
        QVariantMap drive;
        drive["Vendor"] = QStringLiteral("Salvora");
        drive["Model"] = QStringLiteral("StandIn");
        drive["Removable"] = true;
        drive["MediaAvailable"] = true;
        objects[QDBusObjectPath(kDrivePath)]["org.freedesktop.UDisks2.Drive"] = drive;
        return objects;
    }

    QString image_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: udisks_standin IMAGE\n");
        return 2;
    }
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    QDBusConnection bus = QDBusConnection::systemBus();
    StandIn standIn(QString::fromLocal8Bit(argv[1]));
    if (!bus.registerVirtualObject("/org/freedesktop/UDisks2", &standIn, QDBusConnection::SubPath) ||
        !bus.registerService("org.freedesktop.UDisks2")) {
        std::fprintf(stderr, "udisks_standin: cannot register on the bus\n");
        return 1;
    }
    return app.exec();
}
