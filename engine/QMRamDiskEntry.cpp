#include "QMRamDiskEntry.h"

QMRamDisk::Ptr QMRamDiskEntry::create()
{
    return Ptr(new QMRamDiskEntry());
}

QString QMRamDiskEntry::className() const
{
    return QStringLiteral("QMRamDiskEntry");
}

QMRamDiskEntry::QMRamDiskEntry(Bare bare) : QMRamDisk(bare) {}

QMRamDiskEntry::QMRamDiskEntry() = default;
