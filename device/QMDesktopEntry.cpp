#include "QMDesktopEntry.h"

bool QMDesktopEntry::load(const QString &) { return false; }
bool QMDesktopEntry::loadFirst(const QStringList &) { return false; }
QString QMDesktopEntry::localizedValue(const QString &) const { return {}; }
QString QMDesktopEntry::value(const QString &) const { return {}; }
QStringList QMDesktopEntry::applicationDirectories() { return {}; }
