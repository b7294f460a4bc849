#include "QMTranslations.h"

#include "QMFunctions.h"

#include <QCoreApplication>

bool QMTranslations::installTranslations() { return false; }
QString QMTranslations::localizedString(const char *key, const char *table)
{
    return QCoreApplication::translate(table ? table : "Localizable", key);
}
QString QMTranslations::translationsDirectory() { return QMFunctions::shareDirectory() + QStringLiteral("/translations"); }
