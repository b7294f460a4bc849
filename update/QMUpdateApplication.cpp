#include "QMUpdateApplication.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMUpdateInstaller.h"

#include <QStandardPaths>

QMUpdateApplication QMUpdateApplication::current()
{
    QMUpdateApplication app;
    app.name = QMFunctions::appName();
    app.version = QMFunctions::appVersion();
    app.bundleIdentifier = QStringLiteral("org.quilmo.Quilmo");
    app.installPrefix = QMFunctions::installPrefix();
    app.executable = QStringLiteral("bin/Quilmo");
    app.website = QMLog::vendorWebsiteURL();
    app.settingsPath = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                       + QStringLiteral("/quilmo/Quilmo.conf");
    app.packageManaged = QMUpdateInstaller::isPackageManaged(app.installPrefix + QLatin1Char('/') + app.executable);
    return app;
}
