#pragma once

#include "QMRamDisk.h"

#include <QMenu>

// A menu that carries the RAM disk it acts on: the submenu of one RAM disk's row.
class QMNSMenuRepresentedObject : public QMenu
{
    Q_OBJECT

public:
    explicit QMNSMenuRepresentedObject(const QString &title, QWidget *parent = nullptr);

    QMRamDisk::Ptr repObject() const { return _repObject; }
    void setRepObject(const QMRamDisk::Ptr &repObject) { _repObject = repObject; }

private:
    QMRamDisk::Ptr _repObject;
};
