#include "QMCriticalAlert.h"

#include "QMLog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace {

QMCriticalAlert::Button runOnMainThread(const QString &title, const QString &text)
{
    QMessageBox box;
    box.setObjectName(QStringLiteral("QMCriticalAlert"));
    box.setIcon(QMessageBox::Critical);
    box.setText(title);
    box.setInformativeText(text);
    box.setWindowModality(Qt::ApplicationModal);
    QAbstractButton *send =
        box.addButton(QCoreApplication::translate("Localizable", "Send Crash Report"), QMessageBox::AcceptRole);
    QAbstractButton *support =
        box.addButton(QCoreApplication::translate("Localizable", "Contact Support"), QMessageBox::ActionRole);
    QAbstractButton *ok = box.addButton(QStringLiteral("Ok"), QMessageBox::RejectRole);
    box.setDefaultButton(qobject_cast<QPushButton *>(send));
    box.setEscapeButton(ok);
    box.exec();

    if (box.clickedButton() == send) {
        QMLog::presentCrashReporter(2);
        return QMCriticalAlert::SendCrashReport;
    }
    if (box.clickedButton() == support) {
        QDesktopServices::openUrl(QMLog::supportPageURL());
        return QMCriticalAlert::ContactSupport;
    }
    return QMCriticalAlert::Ok;
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
