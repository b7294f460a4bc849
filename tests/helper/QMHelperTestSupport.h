#pragma once

#include "QMRamDisk.h"
#include "QMTemporaryDir.h"

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QUrl>
#include <QStringList>
#include <QVariantMap>

class QAction;
class QMenu;

namespace QMEngineTest {
class RamDiskSandbox;
}

namespace QMHelperTest {

// Receives the files and folders the menu opens, instead of the desktop's file manager.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    UrlCatcher();
    ~UrlCatcher() override;
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

// A record held in memory only, in the state given.
QMRamDisk::Ptr record(qint64 status, qint64 backupMode = 0, qint64 action = 0, quint64 volSize = 0,
                      quint64 volFree = 0);
// The same record, archived with another type (the type has no setter: presets are applied
// through the record's own rules, which a test cannot meet for the simulator types here).
QMRamDisk::Ptr withType(const QMRamDisk::Ptr &ramDisk, qint64 type);

// A RAM disk of the sandbox with this backup mode, created and mounted.
QMRamDisk::Ptr mounted(QMEngineTest::RamDiskSandbox &sandbox, const QString &name, qint64 backupMode = 0,
                       const QString &backupDir = QString(), quint64 size = 128000000ULL);

// A RAM disk of 600 MB saving to its default place (room for as many files as a save
// longer than logind's delay takes on a quick machine), with 2000 small files saved once,
// which measures how fast it saves; null, after a failure, when it cannot be had.
QMRamDisk::Ptr mountedAndSavedOnce(QMEngineTest::RamDiskSandbox &sandbox, const QString &name);

// Writes `count` files of 100 bytes into `folder` of a mounted volume (made when missing),
// named after their number.
bool writeSmallFiles(const QString &folder, int from, int count);
// Writes files of 100 bytes under "pending" on the mounted RAM disk, a thousand at a time,
// until a save of what changed since its last save would take, at the speed its own saves
// were measured at, more than `seconds`. The number written; -1 when even 100,000 files
// (room enough on a RAM disk of 600 MB) were not enough.
int fillUntilSaveTakes(const QMRamDisk::Ptr &ramDisk, double seconds);
// The regular files below `path`, all levels.
int countFiles(const QString &path);

// Writes the entries file (the default place unless `path` is given) with these records.
bool writeEntries(const QList<QMRamDisk::Ptr> &ramDisks, bool showInMenuBar, const QString &path = QString());

// A menu's items as "name" (its object name), "-" for a separator, a leading "!" for a
// disabled item.
QStringList itemNames(const QMenu *menu);
QAction *item(const QMenu *menu, const QString &name);
// Opens a menu as the user does (so that it fills itself) and closes it again.
void openAndClose(QMenu *menu);

// An installation whose disk tools write each call's start and end into calls.log before
// handing over to the build tree's tools, and whose helper is the build tree's.
class LoggingInstallation
{
public:
    LoggingInstallation();
    QString prefix() const { return _dir.path(); }
    QString log() const { return _dir.path() + QStringLiteral("/calls.log"); }
    QStringList calls() const;

private:
    QMTemporaryDir _dir;
};

// One Quilmo-Helper process of an installation, offscreen unless the environment given
// says otherwise; ended (and waited for) when the object goes.
class Helper
{
public:
    Helper(const LoggingInstallation &installation, const QStringList &arguments,
           const QProcessEnvironment &extra = QProcessEnvironment());
    ~Helper();
    bool waitForExit(int ms) { return _process.state() == QProcess::NotRunning || _process.waitForFinished(ms); }
    bool isRunning() const { return _process.state() == QProcess::Running; }
    int exitCode() const { return _process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return _process.exitStatus(); }
    void terminate() { _process.terminate(); }
    qint64 pid() const { return _process.processId(); }

private:
    QProcess _process;
};

// The helper's log file of this test's home.
QString helperLog();

// The desktop's notification service on the test's session bus: the real
// notification-daemon, on an X server of its own (Xvfb). Ended with the object.
class NotificationDaemon
{
public:
    NotificationDaemon();
    ~NotificationDaemon();
    bool isRunning() const { return _running; }
    QString why() const { return _why; }

private:
    QProcess *_xvfb = nullptr;
    QProcess *_daemon = nullptr;
    bool _running = false;
    QString _why;
};

} // namespace QMHelperTest
