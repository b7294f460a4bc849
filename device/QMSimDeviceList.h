#pragma once

#include "QMSimDevice.h"

#include <QList>

#include <mutex>
#include <optional>

// The used iOS simulator devices, sorted by type, version and name. One per process.
class QMSimDeviceList
{
public:
    static QMSimDeviceList *sharedInstance();

    // The devices, computed on first use.
    QList<QMSimDevice> devices();

    // Reads the devices directory again.
    void update();

    // The listed device with that directory identifier.
    std::optional<QMSimDevice> simDeviceWithDirId(const QString &dirId);

private:
    QMSimDeviceList() = default;

    std::mutex _mutex;
    std::optional<QList<QMSimDevice>> _devices;
};
