#include "QMRamDiskUtils.h"

#include "QMFunctions.h"

bool QMRamDiskUtils::canPurgeMemory() { return false; }
bool QMRamDiskUtils::purgeMemory() { return false; }
QUrl QMRamDiskUtils::helperURL() { return {}; }
QString QMRamDiskUtils::ramDiskAppPath() { return QMFunctions::installPrefix(); }
bool QMRamDiskUtils::helperIsRunning() { return false; }
void QMRamDiskUtils::setHelperIsRunning(bool) {}
QUrl QMRamDiskUtils::activityMonitorURL() { return {}; }
QUrl QMRamDiskUtils::diskUtilityURL() { return {}; }
void QMRamDiskUtils::setInstallPrefixForTesting(const QString &) {}
QString QMRamDiskUtils::installPrefix() { return QMFunctions::installPrefix(); }
