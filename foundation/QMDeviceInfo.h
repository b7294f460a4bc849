#pragma once

#include <QString>

// Operating-system version questions. Linux is a current system: every "or better"
// question answers true and there is no product version of the other platform.
class QMDeviceInfo
{
public:
    static QString productSystemVersion();
    static bool isHighSierraOrBetter();
    static bool isSierraOrBetter();
    static bool isElCapitanOrBetter();
    static bool isYosemiteOrBetter();
    static bool isMavericksOrBetter();
};
