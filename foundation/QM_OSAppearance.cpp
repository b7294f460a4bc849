#include "QM_OSAppearance.h"

#include <QGuiApplication>
#include <QPalette>

QM_OSAppearance *QM_OSAppearance::sharedInstance()
{
    static QM_OSAppearance instance;
    return &instance;
}

bool QM_OSAppearance::isDarkMode()
{
    bool dark = false;
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        dark = QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
    sharedInstance()->_isDarkMode.store(dark ? 1 : -1);
    return dark;
}

bool QM_OSAppearance::isDarkModeCached()
{
    const int cached = sharedInstance()->_isDarkMode.load();
    if (cached != 0)
        return cached == 1;
    return isDarkMode();
}

bool QM_OSAppearance::isGraphiteTheme()
{
    return false;
}

bool QM_OSAppearance::hasReduceTransparency()
{
    return false;
}
