#include "QMDeviceTestSupport.h"

#include "QMTestSupport.h"

#include <cerrno>
#include <sys/mount.h>

namespace QMDeviceTest {

FakeTools::FakeTools()
{
    QMDiskToolPaths::setToolDirectory(_dir.path());
}

FakeTools::~FakeTools()
{
    QMDiskToolPaths::setToolDirectory(QString());
}

void FakeTools::add(const QString &tool, const QString &body)
{
    QMTest::writeScript(_dir.path(), tool,
                        QStringLiteral("echo \"%1 $*\" >> '%2/calls.log'\n%3\n")
                            .arg(tool, _dir.path(), body));
}

QStringList FakeTools::calls() const
{
    QFile f(_dir.path() + QStringLiteral("/calls.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

LogCapture::LogCapture()
{
    _previous = QMLog::setSink([this](const QString &entry) {
        std::lock_guard lock(_mutex);
        _lines << entry;
    });
}

LogCapture::~LogCapture()
{
    QMLog::setSink(_previous);
}

QString LogCapture::all()
{
    std::lock_guard lock(_mutex);
    return _lines.join(QLatin1Char('\n'));
}

MountGuard::~MountGuard()
{
    if (!path.isEmpty())
        umount2(QFile::encodeName(path).constData(), MNT_DETACH);
}

LoopGuard::~LoopGuard()
{
    if (!device.isEmpty())
        QMTest::run(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("-d"), device});
}

bool mountTmpfs(const QString &path, QString *why)
{
    if (!QMTest::canUseLoopDevices(why))
        return false;
    if (mount("quilmo-test", QFile::encodeName(path).constData(), "tmpfs", 0, "size=4m") != 0) {
        if (why)
            *why = QStringLiteral("cannot mount a tmpfs: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

QString makeForeignExt4(const QString &imagePath)
{
    QFile image(imagePath);
    if (!image.open(QIODevice::WriteOnly) || !image.resize(8 * 1024 * 1024))
        return {};
    image.close();
    if (QMTest::run(QStringLiteral("/usr/sbin/mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), imagePath}) != 0)
        return {};
    QString out;
    if (QMTest::run(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), imagePath}, &out) != 0)
        return {};
    return out.trimmed();
}

} // namespace QMDeviceTest
