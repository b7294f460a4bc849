#include "QMRunningApplications.h"

QMRunningApplications::Application QMRunningApplications::applicationForIdentifier(const QString &) { return {}; }
QList<pid_t> QMRunningApplications::processIds(const QString &) { return {}; }
QList<pid_t> QMRunningApplications::processIdsOfExecutables(const QStringList &) { return {}; }
QString QMRunningApplications::localizedName(const QString &) { return {}; }
bool QMRunningApplications::terminate(const QList<pid_t> &, int) { return false; }
bool QMRunningApplications::isAlive(pid_t) { return false; }
