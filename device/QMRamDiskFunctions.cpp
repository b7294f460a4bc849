#include "QMRamDiskFunctions.h"

QString QMRamDiskFunctions::stringFromBytesWithBin1000Style(qint64) { return {}; }
QString QMRamDiskFunctions::stringFromBytesWithBin1024Style(qint64) { return {}; }
QImage QMRamDiskFunctions::icon16Named(const QString &) { return {}; }
