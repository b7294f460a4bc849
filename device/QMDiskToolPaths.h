#pragma once

#include <QString>

// The disk tools Quilmo runs. On Linux each is a personality of quilmo-disktool,
// installed as a link of that name in the private tool directory.
enum class QMDiskTool { Hdiutil, NewfsHfs, Diskutil, Mount, Umount, Mdutil, Purge };

// The one table from tool to program path. Every tool lives in one directory,
// QMFunctions::libexecDirectory() unless redirected (tests point it at fakes).
class QMDiskToolPaths
{
public:
    // Full path of the program run for `tool`.
    static QString pathForTool(QMDiskTool tool);

    // The file name of the tool in the tool directory ("hdiutil", "newfs_hfs", ...).
    static QString toolName(QMDiskTool tool);

    // The directory the tools are taken from.
    static QString toolDirectory();

    // Takes every tool from `directory` from now on; a null string goes back to the
    // installed tools. Thread-safe.
    static void setToolDirectory(const QString &directory);
};
