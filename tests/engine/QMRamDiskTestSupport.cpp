#include "QMRamDiskTestSupport.h"

#include "QMDiskToolPaths.h"
#include "QMLog.h"
#include "QMRamDiskDevice.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <chrono>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace QMEngineTest {

// ---- LoopFileSystem ----

LoopFileSystem::LoopFileSystem(const QString &image, const QString &mountPoint, int megabytes,
                               const QStringList &mkfsOptions, bool directIo)
    : _image(image), _mountPoint(mountPoint)
{
    QFile f(image);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(megabytes) * 1024 * 1024))
        return;
    f.close();
    if (QMTest::run(QStringLiteral("mkfs.ext4"),
                    QStringList{QStringLiteral("-q"), QStringLiteral("-F")} + mkfsOptions + QStringList{image})
        != 0)
        return;
    QString out;
    QStringList args{QStringLiteral("-f"), QStringLiteral("--show")};
    if (directIo)
        args << QStringLiteral("--direct-io=on");
    if (QMTest::run(QStringLiteral("losetup"), args << image, &out) != 0)
        return;
    _device = out.trimmed();
    QDir().mkpath(mountPoint);
    _mounted = QMTest::run(QStringLiteral("mount"), {_device, mountPoint}) == 0;
}

bool LoopFileSystem::unmount()
{
    if (_mounted && QMTest::run(QStringLiteral("umount"), {_mountPoint}) == 0)
        _mounted = false;
    return !_mounted;
}

bool LoopFileSystem::mount()
{
    if (!_mounted && !_device.isEmpty())
        _mounted = QMTest::run(QStringLiteral("mount"), {_device, _mountPoint}) == 0;
    return _mounted;
}

LoopFileSystem::~LoopFileSystem()
{
    if (_mounted)
        QMTest::run(QStringLiteral("umount"), {_mountPoint});
    if (!_device.isEmpty())
        QMTest::run(QStringLiteral("losetup"), {QStringLiteral("-d"), _device});
}

QByteArray LoopFileSystem::catFromImage(const QString &path) const
{
    QProcess p;
    p.start(QStringLiteral("debugfs"),
            {QStringLiteral("-c"), QStringLiteral("-R"), QStringLiteral("cat \"%1\"").arg(path), _image});
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

bool waitUntilOlderThanASave(const QString &path)
{
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    const struct timespec changed = st.st_ctim;
    return QMTest::waitUntil(
        [&] {
            struct timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            return double(now.tv_sec - changed.tv_sec) + double(now.tv_nsec - changed.tv_nsec) / 1e9 > 1.2;
        },
        5000);
}

// ---- MappedWriter ----

MappedWriter::MappedWriter(const QString &program, const QString &file) : _process(new QProcess)
{
    _process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    _process->start(program, {file});
    _mapped = _process->waitForStarted() && readLine("mapped");
}

MappedWriter::~MappedWriter()
{
    if (_process->state() != QProcess::NotRunning) {
        _process->kill();
        _process->waitForFinished();
    }
    delete _process;
}

bool MappedWriter::readLine(const QByteArray &expected)
{
    while (!_process->canReadLine()) {
        if (_process->state() != QProcess::Running || !_process->waitForReadyRead(60000))
            return false;
    }
    return _process->readLine().trimmed() == expected;
}

bool MappedWriter::write(const QByteArray &text)
{
    _process->write("write " + text + '\n');
    return readLine("written");
}

bool MappedWriter::exit()
{
    _process->write("exit\n");
    _process->closeWriteChannel();
    return _process->waitForFinished(60000) && _process->exitStatus() == QProcess::NormalExit
           && _process->exitCode() == 0;
}

// ---- RecordingDelegate ----

void RecordingDelegate::ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk)
{
    ramDiskDidReport(ramDisk, ramDisk->report());
}

void RecordingDelegate::ramDiskDidReport(const QMRamDisk::Ptr &, const QMRamDiskReport &snapshot)
{
    Report report{snapshot.action, snapshot.actionInfo, snapshot.error};
    std::lock_guard lock(_mutex);
    _reports.append(report);
    _cv.notify_all();
}

QList<RecordingDelegate::Report> RecordingDelegate::reports() const
{
    std::lock_guard lock(_mutex);
    return _reports;
}

QList<qint64> RecordingDelegate::infos() const
{
    QList<qint64> infos;
    for (const Report &r : reports())
        infos << r.info;
    return infos;
}

void RecordingDelegate::clear()
{
    std::lock_guard lock(_mutex);
    _reports.clear();
}

bool RecordingDelegate::waitForEnd(int seconds)
{
    std::unique_lock lock(_mutex);
    return _cv.wait_for(lock, std::chrono::seconds(seconds), [this] {
        // Reads only: the list may be shared with a copy that reports() handed out.
        for (const Report &r : std::as_const(_reports))
            if (r.action == 0)
                return true;
        return false;
    });
}

// ---- RamDiskSandbox ----

namespace {
QString sandboxRoot()
{
    const QString root = qEnvironmentVariable("QUILMO_TEST_MOUNT_ROOT");
    if (!root.isEmpty())
        return root;
    // The test's own temporary tree, unless it lies in /tmp where nothing may be mounted.
    const QString temp = QDir::tempPath();
    if (temp != QLatin1String("/tmp") && !temp.startsWith(QLatin1String("/tmp/")))
        return temp;
    return QStringLiteral("/mnt");
}
} // namespace

RamDiskSandbox::RamDiskSandbox() : _dir(sandboxRoot() + QStringLiteral("/quilmo-engine-test-XXXXXX")) {}

RamDiskSandbox::~RamDiskSandbox()
{
    const QString root = _dir.path() + QLatin1Char('/');
    // Mounted below the sandbox: unmount and detach.
    if (const auto devices = QMRamDiskDevice::deviceList(false, nullptr)) {
        for (const QVariantMap &device : *devices) {
            const QString mountPoint = device.value(QStringLiteral("mountPoint")).toString();
            if (!mountPoint.isEmpty() && mountPoint.startsWith(root))
                // Forced: a test that failed half way may have left a file open there.
                QMRamDiskDevice::ejectRamDiskDeviceNode(device.value(QStringLiteral("devNode")).toString(),
                                                        mountPoint, false, true);
        }
    }
    // Devices this test unmounted but did not detach. The in-memory status is used on
    // purpose: a refresh could mistake another test's device, attached meanwhile under a
    // reused node, for one of ours.
    for (const QMRamDisk::Ptr &ramDisk : std::as_const(_watched)) {
        if (ramDisk->status() == 1 && !ramDisk->deviceNode().isEmpty())
            QMRamDiskDevice::ejectRamDiskDeviceNode(ramDisk->deviceNode(), QString(), false);
    }
    // The sandbox may still hold mount directories: never remove through a mount.
    if (const auto devices = QMRamDiskDevice::deviceList(false, nullptr)) {
        for (const QVariantMap &device : *devices) {
            if (device.value(QStringLiteral("mountPoint")).toString().startsWith(root)) {
                _dir.setAutoRemove(false);
                ADD_FAILURE() << "a RAM disk is still mounted below " << root.toStdString();
            }
        }
    }
}

QString RamDiskSandbox::mkdir(const QString &relative) const
{
    const QString p = _dir.path() + QLatin1Char('/') + relative;
    QDir().mkpath(p);
    return p;
}

void RamDiskSandbox::watch(const QMRamDisk::Ptr &ramDisk)
{
    _watched << ramDisk;
}

QMRamDisk::Ptr RamDiskSandbox::makeRamDisk(const QString &mountDirectory, const QString &name, quint64 size)
{
    QMRamDisk::Ptr ramDisk = QMRamDisk::create();
    ramDisk->setMountDirectory(mountDirectory);
    ramDisk->setName(name);
    ramDisk->setSize(size);
    watch(ramDisk);
    return ramDisk;
}

// ---- Tools ----

int runTool(const QString &tool, const QStringList &args, QString *err)
{
    return QMTest::run(QMTest::libexecDir() + QLatin1Char('/') + tool, args, nullptr, err);
}

ToolWrappers::ToolWrappers(const QStringList &wrapped, const QMap<QString, QString> &bodies)
{
    _logPath = _dir.path() + QStringLiteral("/calls.log");
    // Around the tools in use: the build tree's, or the loop build of LoopRealisation.
    const QString real = QMDiskToolPaths::toolDirectory();
    const QStringList tools{QStringLiteral("hdiutil"), QStringLiteral("newfs_hfs"), QStringLiteral("diskutil"),
                            QStringLiteral("mount"),   QStringLiteral("umount"),    QStringLiteral("mdutil"),
                            QStringLiteral("purge")};
    for (const QString &tool : tools) {
        QString body;
        if (bodies.contains(tool))
            body = bodies.value(tool);
        else if (wrapped.contains(tool))
            body = QStringLiteral("echo \"%1 $*\" >> '%2'\nexec '%3/%1' \"$@\"\n").arg(tool, _logPath, real);
        else
            body = QStringLiteral("exec '%2/%1' \"$@\"\n").arg(tool, real);
        QMTest::writeScript(_dir.path(), tool,
                            body.replace(QStringLiteral("@LOG@"), _logPath).replace(QStringLiteral("@REAL@"), real));
    }
    QMDiskToolPaths::setToolDirectory(_dir.path());
}

ToolWrappers::~ToolWrappers()
{
    QMDiskToolPaths::setToolDirectory(QString());
}

QStringList ToolWrappers::log() const
{
    QFile f(_logPath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// ---- Kernels ----

LoopRealisation::LoopRealisation()
{
    QStringList features;
    if (QFileInfo::exists(QStringLiteral("/sys/fs/ext4/features/casefold")))
        features << QStringLiteral("sys/fs/ext4/features/casefold");
    _kernel = std::make_unique<QMTest::KernelFeaturesRoot>(QStringLiteral("6.1.0-quilmo-test"), features);
    QMDiskToolPaths::setToolDirectory(QStringLiteral(QUILMO_DISKTOOL_LOOP_DIR));
}

LoopRealisation::~LoopRealisation()
{
    QMDiskToolPaths::setToolDirectory(QString());
}

// ---- Files ----

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(contents) == contents.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeBytes(const QByteArray &path, const QByteArray &data)
{
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = write(fd, data.constData(), size_t(data.size())) == data.size();
    return close(fd) == 0 && ok;
}

QByteArray readBytes(const QByteArray &path)
{
    const int fd = open(path.constData(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    QByteArray data;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        data.append(buffer, n);
    close(fd);
    return data;
}

// ---- LogCapture ----

namespace {
QMLog::Sink gPreviousSink;
}

LogCapture::LogCapture()
{
    gPreviousSink = QMLog::setSink([this](const QString &entry) {
        {
            std::lock_guard lock(_mutex);
            _lines << entry;
        }
        // Still shown, so that a failing test tells its story.
        if (gPreviousSink)
            gPreviousSink(entry);
        else
            fprintf(stderr, "%s\n", entry.toLocal8Bit().constData());
    });
}

LogCapture::~LogCapture()
{
    QMLog::setSink(gPreviousSink);
}

QStringList LogCapture::lines() const
{
    std::lock_guard lock(_mutex);
    return _lines;
}

bool LogCapture::contains(const QString &text) const
{
    for (const QString &line : lines())
        if (line.contains(text))
            return true;
    return false;
}

} // namespace QMEngineTest

#if defined(__SANITIZE_THREAD__)
// Qt, GLib and libdbus are not built with ThreadSanitizer: it cannot see the acquire in Qt's own
// reference counting, so every implicitly shared value freed inside Qt after being handed
// between threads looks like a race, and the D-Bus connection thread's locking is invisible
// to it. Our code, which is instrumented, is still checked.
extern "C" const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6DBus.so.6\n"
           "called_from_lib:libdbus-1.so.3\n"
           "race:libdbus-1.so.3\n"
           "race:libQt6DBus.so.6\n"
           "deadlock:libdbus-1.so.3\n"
           "deadlock:libQt6DBus.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "race:libglib-2.0.so.0\n";
}
#endif
