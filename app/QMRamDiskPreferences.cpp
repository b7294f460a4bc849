#include "QMRamDiskPreferences.h"

#include "QMUserDefaults.h"

#include <QSettings>
#include <QTimer>

namespace {
const QString kStatusItemIconStyleKey = QStringLiteral("StatusItemIconStyle");
}

QMRamDiskPreferences *QMRamDiskPreferences::sharedInstance()
{
    static QMRamDiskPreferences *instance = [] {
        auto *p = new QMRamDiskPreferences;
        p->restoreFromUserDefaults();
        return p;
    }();
    return instance;
}

QMRamDiskPreferences::QMRamDiskPreferences()
{
    _saveTimer = new QTimer(this);
    _saveTimer->setSingleShot(true);
    _saveTimer->setInterval(1000);
    connect(_saveTimer, &QTimer::timeout, this, &QMRamDiskPreferences::saveToUserDefaults);
}

void QMRamDiskPreferences::restoreFromUserDefaults()
{
    _statusItemIconStyle = QMUserDefaults::standardUserDefaults()->value(kStatusItemIconStyleKey, 0).toLongLong();
}

void QMRamDiskPreferences::saveToUserDefaults()
{
    _saveTimer->stop();
    QSettings *defaults = QMUserDefaults::standardUserDefaults();
    defaults->setValue(kStatusItemIconStyleKey, _statusItemIconStyle);
    defaults->sync();
}

void QMRamDiskPreferences::synchroniseDelayed()
{
    _saveTimer->start();
}

bool QMRamDiskPreferences::hasPendingSave() const
{
    return _saveTimer->isActive();
}
