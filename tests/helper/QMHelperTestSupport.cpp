#include "QMHelperTestSupport.h"

#include "QMKeyedArchiver.h"
#include "QMLogFile.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskSaveEstimate.h"

#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMenu>

namespace QMHelperTest {

UrlCatcher::UrlCatcher()
{
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open");
}

UrlCatcher::~UrlCatcher()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

QMRamDisk::Ptr record(qint64 status, qint64 backupMode, qint64 action, quint64 volSize, quint64 volFree)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setStatus(status);
    r->setBackupMode(backupMode);
    r->setAction(action);
    r->setVolSize(volSize);
    r->setVolFree(volFree);
    return r;
}

QMRamDisk::Ptr withType(const QMRamDisk::Ptr &ramDisk, qint64 type)
{
    QVariantMap coder;
    ramDisk->encodeWithCoder(&coder);
    coder.insert(QStringLiteral("type"), type);
    QMRamDisk::Ptr r = QMRamDisk::initWithCoder(coder, ramDisk->className());
    r->setStatus(ramDisk->status());
    r->setAction(ramDisk->action());
    r->setVolSize(ramDisk->volSize());
    r->setVolFree(ramDisk->volFree());
    return r;
}

QMRamDisk::Ptr mounted(QMEngineTest::RamDiskSandbox &sandbox, const QString &name, qint64 backupMode,
                       const QString &backupDir, quint64 size)
{
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("mnt")), name, size);
    r->setBackupMode(backupMode);
    r->setBackupDir(backupDir);
    QMEngineTest::RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted)
        << (r->lastError() ? r->lastError()->description().toStdString() : std::string());
    return r;
}

QMRamDisk::Ptr mountedAndSavedOnce(QMEngineTest::RamDiskSandbox &sandbox, const QString &name)
{
    const QMRamDisk::Ptr r = mounted(sandbox, name, QMRamDiskBackupMode_defaultLocation, {}, 600000000ULL);
    if (r->status() != QMRamDiskStatus_mounted) {
        return {};
    }
    if (!writeSmallFiles(r->path() + QStringLiteral("/saved"), 0, 2000)) {
        ADD_FAILURE() << "cannot write the files to save";
        return {};
    }
    QMEngineTest::RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    if (!delegate.waitForEnd() || r->lastError() || r->saveTimeFactor() <= 0) {
        ADD_FAILURE() << "the first save failed";
        return {};
    }
    return r;
}

bool writeSmallFiles(const QString &folder, int from, int count)
{
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray data(100, 'p');
    for (int i = from; i < from + count; ++i)
        if (!QMEngineTest::writeFile(folder + QStringLiteral("/f%1").arg(i), data))
            return false;
    return true;
}

int fillUntilSaveTakes(const QMRamDisk::Ptr &ramDisk, double seconds)
{
    const QString copy = QMRamDiskAutoSave::saveDestinationOf(ramDisk);
    for (int written = 0; written < 100000;) {
        if (!writeSmallFiles(ramDisk->path() + QStringLiteral("/pending/d%1").arg(written / 1000), written, 1000))
            return -1;
        written += 1000;
        const QMRamDiskSaveEstimate::Work work =
            QMRamDiskSaveEstimate::pendingWork(ramDisk->path(), ramDisk->lastSaveDate(), copy);
        if (QMRamDiskSaveEstimate::estimatedSeconds(work, ramDisk->saveTimeFactor()) > seconds)
            return written;
    }
    return -1;
}

int countFiles(const QString &path)
{
    int count = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

bool writeEntries(const QList<QMRamDisk::Ptr> &ramDisks, bool showInMenuBar, const QString &path)
{
    QVariantList objects;
    for (const QMRamDisk::Ptr &r : ramDisks) {
        QMKeyedArchiver::Object object;
        object.className = r->className();
        object.classHierarchy = {object.className};
        if (object.className != QLatin1String("QMRamDisk"))
            object.classHierarchy << QStringLiteral("QMRamDisk");
        r->encodeWithCoder(&object.values);
        objects << QVariant::fromValue(object);
    }
    const QVariantMap dico{
        {QStringLiteral("RamDiskEntries"), QMKeyedArchiver::archivedDataWithRootObject(objects)},
        {QStringLiteral("showInMenuBar"), showInMenuBar},
        {QStringLiteral("showInMenuBarAtLogin"), false},
    };
    return QMPropertyListSerialization::writeFileAtomically(
        path.isEmpty() ? QMRamDiskEntries::defaultEntriesFilePath() : path, dico,
        QMPropertyListSerialization::Format::Xml);
}

QStringList itemNames(const QMenu *menu)
{
    QStringList names;
    for (const QAction *a : menu->actions()) {
        if (a->isSeparator())
            names << QStringLiteral("-");
        else
            names << (a->isEnabled() ? QString() : QStringLiteral("!")) + a->objectName();
    }
    return names;
}

QAction *item(const QMenu *menu, const QString &name)
{
    for (QAction *a : menu->actions())
        if (!a->isSeparator() && a->objectName() == name)
            return a;
    return nullptr;
}

void openAndClose(QMenu *menu)
{
    menu->popup(QPoint(10, 10));
    QApplication::processEvents();
    menu->hide();
    QApplication::processEvents();
}

const QStringList kTools{"hdiutil", "newfs_hfs", "diskutil", "mount", "umount", "mdutil", "purge"};

LoggingInstallation::LoggingInstallation() : _dir(QMTest::testHome() + QStringLiteral("/prefix-XXXXXX"))
{
    const QString libexec = _dir.path() + QStringLiteral("/libexec/quilmo");
    QDir().mkpath(libexec);
    QDir().mkpath(_dir.path() + QStringLiteral("/share"));
    const QString build = QStringLiteral(QUILMO_BUILD_DIR);
    QFile::link(build + QStringLiteral("/libexec/quilmo/Quilmo-Helper"), libexec + QStringLiteral("/Quilmo-Helper"));
    QFile::link(build + QStringLiteral("/share/quilmo"), _dir.path() + QStringLiteral("/share/quilmo"));
    for (const QString &tool : kTools)
        QMTest::writeScript(libexec, tool,
                            QStringLiteral("echo \"start %1 $*\" >> '%2'\n"
                                           "'%3/%1' \"$@\"\nstatus=$?\n"
                                           "echo \"end %1\" >> '%2'\nexit $status\n")
                                .arg(tool, log(), build + QStringLiteral("/libexec/quilmo")));
}

QStringList LoggingInstallation::calls() const
{
    QFile f(log());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

Helper::Helper(const LoggingInstallation &installation, const QStringList &arguments, const QProcessEnvironment &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILMO_PREFIX"), installation.prefix());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString &key : extra.keys())
        env.insert(key, extra.value(key));
    _process.setProcessEnvironment(env);
    _process.setProcessChannelMode(QProcess::ForwardedChannels);
    _process.start(installation.prefix() + QStringLiteral("/libexec/quilmo/Quilmo-Helper"), arguments);
    _process.waitForStarted();
}

Helper::~Helper()
{
    if (_process.state() != QProcess::NotRunning) {
        _process.terminate();
        if (!_process.waitForFinished(90000))
            _process.kill();
        _process.waitForFinished();
    }
}

QString helperLog()
{
    QFile f(QMLogFile::logFilePath(QStringLiteral("Quilmo-Helper")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

NotificationDaemon::NotificationDaemon()
{
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    const QString program = QStringLiteral("/usr/lib/notification-daemon/notification-daemon");
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus) {
        _why = QStringLiteral("no session bus");
        return;
    }
    if (!QFileInfo(program).isExecutable()) {
        _why = program + QStringLiteral(" is not installed");
        return;
    }
    // Xvfb writes the display it took on the descriptor it is given: here its output.
    _xvfb = new QProcess;
    _xvfb->setProcessChannelMode(QProcess::SeparateChannels);
    _xvfb->start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                          QStringLiteral("tcp")});
    if (!_xvfb->waitForStarted() || !QMTest::waitUntil([&] { return _xvfb->canReadLine(); }, 30000)) {
        _why = QStringLiteral("Xvfb did not start");
        return;
    }
    const QString display = QLatin1Char(':') + QString::fromLatin1(_xvfb->readLine().trimmed());
    _daemon = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    _daemon->setProcessEnvironment(env);
    _daemon->setProcessChannelMode(QProcess::ForwardedChannels);
    _daemon->start(program, {});
    _running = _daemon->waitForStarted()
               && QMTest::waitUntil([&] { return bus->isServiceRegistered(service).value(); }, 30000);
    if (!_running)
        _why = QStringLiteral("notification-daemon did not take %1").arg(service);
}

NotificationDaemon::~NotificationDaemon()
{
    for (QProcess *p : {_daemon, _xvfb}) {
        if (!p)
            continue;
        p->terminate();
        if (!p->waitForFinished(10000)) {
            p->kill();
            p->waitForFinished();
        }
        delete p;
    }
}

} // namespace QMHelperTest
