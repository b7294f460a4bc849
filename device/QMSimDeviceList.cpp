#include "QMSimDeviceList.h"

#include "QMLog.h"

#include <QDir>

#include <algorithm>

QMSimDeviceList *QMSimDeviceList::sharedInstance()
{
    static QMSimDeviceList instance;
    return &instance;
}

QList<QMSimDevice> QMSimDeviceList::devices()
{
    {
        std::lock_guard lock(_mutex);
        if (_devices)
            return *_devices;
    }
    update();
    std::lock_guard lock(_mutex);
    return _devices ? *_devices : QList<QMSimDevice>();
}

void QMSimDeviceList::update()
{
    // Read without the lock: the scans touch the disk.
    QList<QMSimDevice> kept;
    const QDir dir(QMSimDevice::devicesDirPath());
    const QStringList entries = dir.exists()
        ? dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name)
        : QStringList();
    for (const QString &entry : entries) {
        const auto device = QMSimDevice::simDeviceWithDirId(entry);
        if (!device) {
            QM_LogErrorMethod(this, QStringLiteral("device==nil file:%1").arg(entry));
            continue;
        }
        if (!(device->state() & QMSimDevice::StateHasData)) {
            QM_LogErrorMethod(this, QStringLiteral("empty device:%1").arg(device->description()));
            continue;
        }
        kept.append(*device);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const QMSimDevice &a, const QMSimDevice &b) {
        if (int c = a.type().compare(b.type(), Qt::CaseInsensitive))
            return c < 0;
        if (int c = a.version().compare(b.version(), Qt::CaseInsensitive))
            return c < 0;
        return a.name().compare(b.name(), Qt::CaseInsensitive) < 0;
    });
    std::lock_guard lock(_mutex);
    _devices = kept;
}

std::optional<QMSimDevice> QMSimDeviceList::simDeviceWithDirId(const QString &dirId)
{
    for (const QMSimDevice &device : devices()) {
        if (device.dirId() == dirId)
            return device;
    }
    return std::nullopt;
}
