#include "QMFileManager.h"

#include "QMAlert.h"
#include "RamDiskConfigPresentation.h"

#include <QDesktopServices>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {

using P = RamDiskConfigPresentation;

void tellNoFileManager(const QString &path, QWidget *window, const QString &why)
{
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("NoFileManagerAlert");
    alert.icon = QMessageBox::Warning;
    alert.messageText = P::fill(P::localizedDefault("No file manager could open \"%@\"."), {path});
    alert.informativeText = why.isEmpty() ? P::localizedDefault("Install a file manager, or set one to open folders.")
                                          : why;
    alert.window = window;
    QMAlert::beginSheet(alert, {});
}

} // namespace

void QMFileManager::openFolder(const QString &path, QWidget *window)
{
    // The desktop's own opener tells whether anything opened the folder; Qt's only whether
    // it could start the opener.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
            tellNoFileManager(path, window, QString());
        return;
    }
    // Without a parent: a file manager that the opener waits for is never ended with Quilmo.
    auto *process = new QProcess;
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardInputFile(QProcess::nullDevice());
    auto *stdErr = new QByteArray;
    // Read as it comes, so that a chatty file manager never fills the pipe; the end is kept.
    QObject::connect(process, &QProcess::readyReadStandardError, process, [process, stdErr] {
        stdErr->append(process->readAllStandardError());
        if (stdErr->size() > 4096)
            stdErr->remove(0, stdErr->size() - 4096);
    });
    const QPointer<QWidget> owner(window);
    auto done = [process, stdErr, path, owner](bool failed) {
        if (failed)
            tellNoFileManager(path, owner, QString::fromLocal8Bit(*stdErr).trimmed());
        delete stdErr;
        process->deleteLater();
    };
    QObject::connect(process, &QProcess::finished, process, [process, done](int code, QProcess::ExitStatus status) {
        process->disconnect();
        done(status != QProcess::NormalExit || code != 0);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->disconnect();
        done(true);
    });
    process->start(opener, {path});
}
