#pragma once

#include <QString>

// The compiled translations in share/quilmo/translations. The English one carries the texts
// of the symbolic keys ("QMRamDiskType_Firefox" and the like), so it is always installed;
// the user's language, when shipped, goes on top of it.
class QMTranslations
{
public:
    // Installs them into the running QCoreApplication once; later calls only report the
    // first outcome. False (logged) when the English translation cannot be loaded.
    static bool installTranslations();

    // The text of `key` in the string table `table` ("QMRamDiskLocalizable", "QMFunctions";
    // a null table is the default table, "Localizable").
    static QString localizedString(const char *key, const char *table = nullptr);

    // Where the .qm files are looked for.
    static QString translationsDirectory();
};
