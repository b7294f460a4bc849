#pragma once

#include "QMRamDisk.h"

// The archived form of a record: an archive that names its objects with this class
// decodes into it, with the same behaviour as QMRamDisk.
class QMRamDiskEntry : public QMRamDisk
{
public:
    static Ptr create();
    QString className() const override;

protected:
    explicit QMRamDiskEntry(Bare bare);
    QMRamDiskEntry();

    friend class QMRamDisk;
};
