#pragma once

#include <QString>

// What the running kernel offers RAM disks. The disk tool decides for itself, by trying, when
// it attaches a device (it runs as root); these answers predict what it will make, so that
// the windows offer only what works and a creation checks a backup against the volume it
// will really get. They are read from the kernel's release and its feature files in sysfs,
// below a root that tests point at a tree of their own.
class QMKernelFeatures
{
public:
    // RAM disks are memory instances (a tmpfs of their own, which carries the volume tag as
    // a user extended attribute: Linux 6.6 and later); elsewhere loop devices with ext4.
    static bool memoryInstances();

    // "Prefer Wired Memory" can be honoured: a memory instance that never goes to swap
    // (tmpfs noswap, Linux 6.4 and later, so every kernel with memory instances).
    static bool wiredMemory();

    // RAM disks made here can have case-insensitive names: tmpfs casefold (Linux 6.13 and
    // later, built with Unicode support) for memory instances, ext4 casefold for loop devices.
    static bool caseInsensitiveNames();

    // The kernel release's major and minor number ("6.18.44-..." gives 6 and 18); false
    // when it cannot be read.
    static bool kernelVersion(int *major, int *minor);

    // Reads everything below `root` from now on; a null string goes back to "/".
    static void setRootForTesting(const QString &root);
};
