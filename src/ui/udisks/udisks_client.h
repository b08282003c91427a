#pragma once
// udisks2 over D-Bus: the drives it knows, and a read-only descriptor of a block device that the user may not
// open, authorised by polkit (which asks for a password where its policy wants one). The system bus is the one
// named by DBUS_SYSTEM_BUS_ADDRESS when set, as everywhere in D-Bus.
#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace salvora::gui {

struct UdisksDrive {
    QString devicePath;  // "/dev/sdb"
    QString model;       // "Vendor Model", empty when unknown
    quint64 sizeBytes = 0;
    bool removable = false;
    bool mediaAvailable = true;
};

// The whole disks udisks lists (no partitions, no empty loop devices); nullopt when udisks is not running.
std::optional<std::vector<UdisksDrive>> ListUdisksDrives();

// Asks udisks for a read-only descriptor of devicePath (OpenDevice with mode "r", OpenForBackup where OpenDevice
// is not offered) and hands it to the sector reader (ProvideDescriptor). False with the reason in error.
bool OpenThroughUdisks(const QString& devicePath, QString* error);

}  // namespace salvora::gui
