#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

// How the disk tools' output is read. Output that is not a property list reads as empty.
class QMDiskToolOutput
{
public:
    // The device node of `hdiutil attach -plist`: the "dev-entry" of the only element of
    // "system-entities". Null unless there is exactly one element with a "dev-entry" string.
    static QString deviceNodeFromAttachOutput(const QString &stdOut);

    // The RAM devices of `hdiutil info -plist`, in order: {"devNode", "mountPoint" (only when
    // mounted)} for each image whose "image-path" begins with "ram://" and whose
    // "system-entities" hold exactly one element with a "dev-entry".
    static QList<QVariantMap> deviceRecordsFromInfoOutput(const QString &stdOut);

    // The format check of `newfs_hfs`: exactly one line containing " as a " and one of
    // "Initialized /dev/rdisk" with "HFS Plus volume", "Initialized /dev/loop" with
    // "ext4 volume", or "Initialized quilmo-ram" (a memory instance) with "memory volume".
    static bool isFormatOutputValid(const QString &stdOut);
};
