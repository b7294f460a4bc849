#include "QMAppInLoginItem.h"

#include "QMAlert.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMSharedLoginItems.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

namespace {

QUrl applicationUrl()
{
    return QUrl::fromLocalFile(QCoreApplication::applicationFilePath());
}

// The desktop's own editor of startup programs, or else the autostart directory in the
// file manager, where a program's desktop entry can be dropped.
void openLoginItemsSettings()
{
    static const char *const tools[] = {"gnome-session-properties", "xfce4-session-settings"};
    for (const char *tool : tools) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(tool));
        if (!path.isEmpty() && QProcess::startDetached(path, {}))
            return;
    }
    const QString dir = QMSharedLoginItems::autostartDirectory();
    if (QDir().mkpath(dir))
        QDesktopServices::openUrl(QUrl::fromLocalFile(dir));
}

} // namespace

int QMAppInLoginItem::loginItemStatus()
{
    bool isValid = false;
    if (!QMSharedLoginItems::isLoginItem(applicationUrl(), &isValid))
        return 0;
    return isValid ? 1 : -1;
}

void QMAppInLoginItem::setIsLoginItem(bool flag, QObject *sender)
{
    Q_UNUSED(sender);
    if (flag)
        QMSharedLoginItems::addLoginItem(applicationUrl());
    else
        QMSharedLoginItems::removeLoginItem(applicationUrl());
}

void QMAppInLoginItem::showHowTo(QWidget *window)
{
    if (!window)
        QM_CriticalException("QMAppInLoginItem", "window==nil");

    const QString name = QMFunctions::appName();
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("QMAppInLoginItemHowTo");
    alert.messageText = QCoreApplication::translate("Localizable", "Relaunch %@ on Login.").replace(QLatin1String("%@"), name);
    alert.informativeText =
        QCoreApplication::translate("Localizable", "Drag & Drop %@ to \"Login Items\" section of Accounts Preferences.")
            .replace(QLatin1String("%@"), name);
    alert.buttons = {QCoreApplication::translate("Localizable", "OK"),
                     QCoreApplication::translate("Localizable", "Open Accounts Preferences")};
    alert.window = window;
    QMAlert::beginSheet(alert, [](int button) {
        if (button == 1)
            openLoginItemsSettings();
    });
}
