#include "QMDeviceInfo.h"

QString QMDeviceInfo::productSystemVersion()
{
    return {};
}

bool QMDeviceInfo::isHighSierraOrBetter() { return true; }
bool QMDeviceInfo::isSierraOrBetter() { return true; }
bool QMDeviceInfo::isElCapitanOrBetter() { return true; }
bool QMDeviceInfo::isYosemiteOrBetter() { return true; }

bool QMDeviceInfo::isMavericksOrBetter()
{
    return isYosemiteOrBetter() || productSystemVersion().startsWith(QLatin1String("10.9"));
}
