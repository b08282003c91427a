#pragma once
// A MountTree served read-only through libfuse3 at a mount point, its request loop on threads of its own, so
// the command line and the wizard mount the same way. No libfuse header leaks out of here.
#include <memory>
#include <string>

#include "mount/mount_tree.h"

namespace salvora {

class FuseMount;

// Why a folder cannot take a mount, as a sentence to show ("" when it can): missing, not a folder, not empty,
// no usable /dev/fuse, no fusermount3 for a user without root.
std::string CheckMountPoint(const std::string& mountpoint);

// Mounts tree at mountpoint (read-only, fsname and subtype "salvora") without serving it yet; null with the
// reason in error. The tree must outlive the mount.
std::unique_ptr<FuseMount, void (*)(FuseMount*)> MountTreeAt(MountTree& tree, const std::string& mountpoint,
                                                             std::string& error);
// Starts serving requests on threads of the mount's own.
void ServeMount(FuseMount& mount);
// The mount has ended: unmounted from outside (fusermount3 -u, umount) or stopped.
bool MountEnded(const FuseMount& mount);
// Unmounts (lazily, if still mounted), waits for the request loop to end and frees the session; then
// MountEnded holds. Safe to call more than once. Also done when the handle goes.
void StopMount(FuseMount& mount);

using MountHandle = std::unique_ptr<FuseMount, void (*)(FuseMount*)>;

// MountTreeAt and ServeMount: the mount in one step, for a caller that stays in its process.
inline MountHandle StartMount(MountTree& tree, const std::string& mountpoint, std::string& error) {
    MountHandle mount = MountTreeAt(tree, mountpoint, error);
    if (mount) ServeMount(*mount);
    return mount;
}

}  // namespace salvora
