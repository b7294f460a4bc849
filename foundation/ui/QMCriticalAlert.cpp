#include "QMCriticalAlert.h"

#include "QMAlert.h"
#include "QMLog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QThread>

namespace {

QMCriticalAlert::Button runOnMainThread(const QString &title, const QString &text)
{
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("QMCriticalAlert");
    alert.icon = QMessageBox::Critical;
    alert.messageText = title;
    // The failed condition means something to support only: it goes behind the details.
    alert.informativeText = QCoreApplication::translate(
        "Localizable", "Quilmo goes on, but what it was doing may not have been done completely: check the RAM disk "
                       "it was working on. Send the crash report so that this can be fixed.");
    alert.detailedText = text;
    // In the order of QMCriticalAlert::Button; "OK" answers Escape.
    alert.buttons = {QCoreApplication::translate("Localizable", "Send Crash Report"),
                     QCoreApplication::translate("Localizable", "Contact Support"), QStringLiteral("OK")};
    switch (QMAlert::runModal(alert)) {
    case QMCriticalAlert::SendCrashReport:
        QMLog::presentCrashReporter(2);
        return QMCriticalAlert::SendCrashReport;
    case QMCriticalAlert::ContactSupport:
        QDesktopServices::openUrl(QMLog::supportPageURL());
        return QMCriticalAlert::ContactSupport;
    default:
        return QMCriticalAlert::Ok;
    }
}

} // namespace

QMCriticalAlert::Button QMCriticalAlert::show(const QString &title, const QString &text)
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app) {
        QMLog::logCriticalException(title + QLatin1Char('\n') + text);
        return Ok;
    }
    if (QThread::currentThread() == app->thread())
        return runOnMainThread(title, text);
    Button pressed = Ok;
    QMetaObject::invokeMethod(
        app, [&] { pressed = runOnMainThread(title, text); }, Qt::BlockingQueuedConnection);
    return pressed;
}

void QMCriticalAlert::install()
{
    QMLog::setCriticalAlertHandler([](const QString &title, const QString &text) { show(title, text); });
}
