#pragma once

#include <QString>

// The hidden-name predicates for names held as strings. A null name is never listed.
class QMFinderTools
{
public:
    static bool isSystemFileNameInFolder(const QString &name, int mode);
    static bool isVolumeHiddenFilename(const QString &name);
    static bool isVolumeSystemHiddenFilename(const QString &name, int mode);
};
