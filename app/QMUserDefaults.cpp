#include "QMUserDefaults.h"

#include <QDir>
#include <QSettings>

QString QMUserDefaults::path()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/quilmo/Quilmo.conf");
}

QSettings *QMUserDefaults::standardUserDefaults()
{
    static QSettings *settings = new QSettings(path(), QSettings::IniFormat);
    return settings;
}

void QMUserDefaults::synchronize()
{
    standardUserDefaults()->sync();
}
