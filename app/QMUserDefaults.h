#pragma once

#include <QString>

class QSettings;

// Quilmo's user defaults: $XDG_CONFIG_HOME/quilmo/Quilmo.conf (an INI file), where the
// helper also reads "StatusItemIconStyle". Main thread only.
class QMUserDefaults
{
public:
    static QString path();
    // The one settings object of the program, made on first use.
    static QSettings *standardUserDefaults();
    // Writes what changed to the file.
    static void synchronize();
};
