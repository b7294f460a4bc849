#include "QMTranslations.h"

#include "QMFunctions.h"
#include "QMLog.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QTranslator>

QString QMTranslations::translationsDirectory()
{
    return QMFunctions::shareDirectory() + QStringLiteral("/translations");
}

bool QMTranslations::installTranslations()
{
    static const bool installed = [] {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app) {
            QM_LogErrorMethod("QMTranslations", QStringLiteral("app==nil"));
            return false;
        }
        const QString dir = translationsDirectory();
        auto *english = new QTranslator(app);
        if (!english->load(QStringLiteral("quilmo_en"), dir)) {
            QM_LogErrorMethod("QMTranslations",
                              QStringLiteral("load==NO path:%1").arg(dir + QStringLiteral("/quilmo_en.qm")));
            delete english;
            return false;
        }
        QCoreApplication::installTranslator(english);

        // The user's language goes on top; what it lacks falls through to English.
        const QLocale locale;
        if (locale.language() != QLocale::English && locale.language() != QLocale::C) {
            auto *own = new QTranslator(app);
            if (own->load(locale, QStringLiteral("quilmo"), QStringLiteral("_"), dir)
                && QFileInfo(own->filePath()).fileName() != QLatin1String("quilmo_en.qm"))
                QCoreApplication::installTranslator(own);
            else
                delete own;
        }
        return true;
    }();
    return installed;
}

QString QMTranslations::localizedString(const char *key, const char *table)
{
    return QCoreApplication::translate(table ? table : "Localizable", key);
}
