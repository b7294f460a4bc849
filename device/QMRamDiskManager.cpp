#include "QMRamDiskManager.h"

// Bodies follow; these keep the interface usable meanwhile.
QString QMRamDiskManager::appSupportPath() { return {}; }
QString QMRamDiskManager::favoriteSafariPath() { return {}; }
QString QMRamDiskManager::favoriteXcodePath() { return {}; }
QString QMRamDiskManager::favoriteFirefoxAppPath() { return {}; }
QString QMRamDiskManager::favoriteChromeAppPath() { return {}; }
std::optional<QVariantMap> QMRamDiskManager::creationInfosOfRamDiskType(qint64, const QString &) { return std::nullopt; }
bool QMRamDiskManager::hasRunningApplication(const QString &, QString *message) { if (message) *message = QString(); return false; }
bool QMRamDiskManager::hasRunningAppForType(qint64, QString *message) { if (message) *message = QString(); return false; }
bool QMRamDiskManager::canCreateWithName(const QString &, quint64, qint64, const QString &, QString *message) { if (message) *message = QString(); return true; }
bool QMRamDiskManager::canUseMountDirectory(const QString &, const QString &, qint64, QString *message) { if (message) *message = QString(); return true; }
QString QMRamDiskManager::displayStringFromAction(qint64, qint64) { return {}; }
QImage QMRamDiskManager::ramDiskIcon(int) { return {}; }
QImage QMRamDiskManager::imageOfType(qint64, int) { return {}; }
QImage QMRamDiskManager::specificIconFromType(qint64, int) { return {}; }
