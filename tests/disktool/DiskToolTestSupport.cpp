#include "DiskToolTestSupport.h"
#include "QMFileRemover.h"

#include "QMTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>

#include <plist/plist.h>

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DiskToolTest {

bool Result::isRefusal() const
{
    return status == 1 && err.count(QLatin1Char('\n')) == 1 && err.endsWith(QLatin1Char('\n')) && out.isEmpty();
}

static QString g_toolDirectory;

static QString toolDirectory()
{
    return g_toolDirectory.isEmpty() ? QMTest::libexecDir() : g_toolDirectory;
}

const char *realisationName(Realisation realisation)
{
    return realisation == Realisation::Memory ? "Memory" : "Loop";
}

Realisation realisationOf(const QString &device)
{
    return device.startsWith(QLatin1String("/dev/loop")) ? Realisation::Loop : Realisation::Memory;
}

LoopTool::LoopTool()
{
    g_toolDirectory = directory();
}

LoopTool::~LoopTool()
{
    g_toolDirectory.clear();
}

QString LoopTool::directory()
{
    return QStringLiteral(QUILMO_DISKTOOL_LOOP_DIR);
}

RealisationTool::RealisationTool(Realisation realisation)
{
    if (realisation == Realisation::Loop)
        _loop = std::make_unique<LoopTool>();
}

// The instances an isolated tool left in its private place.
static void unmountIsolatedInstances()
{
    const QString place = IsolatedTool::stateDir() + QStringLiteral("/ram");
    for (const QString &name : QDir(place).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString device = name;
        for (const QString &point : mountPointsOf(device))
            umount2(point.toLocal8Bit().constData(), MNT_DETACH);
        umount2((place + QLatin1Char('/') + name).toLocal8Bit().constData(), MNT_DETACH);
    }
}

IsolatedTool::IsolatedTool(Realisation realisation)
{
    g_toolDirectory = realisation == Realisation::Memory ? QStringLiteral(QUILMO_DISKTOOL_ISOLATED_DIR)
                                                         : QStringLiteral(QUILMO_DISKTOOL_ISOLATED_LOOP_DIR);
    unmountIsolatedInstances();
    QMFileRemover::removePath(stateDir()).ok();
    QFile::remove(publicList());
    QFile::remove(publicInstanceList());
}

IsolatedTool::~IsolatedTool()
{
    g_toolDirectory.clear();
    unmountIsolatedInstances();
    QMFileRemover::removePath(stateDir()).ok();
    QFile::remove(publicList());
    QFile::remove(publicInstanceList());
    // What was set aside beside it.
    for (const QString &name : QDir(QStringLiteral(QUILMO_DISKTOOL_ISOLATED_RUN)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QString path = QStringLiteral(QUILMO_DISKTOOL_ISOLATED_RUN "/") + name;
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
            QMFileRemover::removePath(path).ok();
        else
            QFile::remove(path);
    }
}

QString IsolatedTool::stateDir()
{
    return QStringLiteral(QUILMO_DISKTOOL_ISOLATED_RUN "/quilmo");
}

QString IsolatedTool::publicList()
{
    return QStringLiteral(QUILMO_DISKTOOL_ISOLATED_RUN "/quilmo-devices");
}

QString IsolatedTool::publicInstanceList()
{
    return QStringLiteral(QUILMO_DISKTOOL_ISOLATED_RUN "/quilmo-instances");
}

QStringList plainMountArgs(const QString &device, const QString &path)
{
    return {QStringLiteral("-o"), QStringLiteral("noatime"), QStringLiteral("-t"), QStringLiteral("hfs"), device, path};
}

KillAtEnd::~KillAtEnd()
{
    process.kill();
    process.waitForFinished(10000);
}

Result runAsUser(uid_t uid, const QString &program, const QStringList &args)
{
    Result r;
    r.status = QMTest::run(QStringLiteral("/usr/bin/setpriv"),
                           QStringList{QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid),
                                       QStringLiteral("--clear-groups"), program}
                               + args,
                           &r.out, &r.err);
    return r;
}

static QString blkidValue(const QString &device, const QString &tag)
{
    QString out;
    QMTest::run(QStringLiteral("/usr/sbin/blkid"),
                {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"), QStringLiteral("-s"), tag, device},
                &out);
    return out.trimmed();
}

QString labelOf(const QString &device)
{
    if (realisationOf(device) == Realisation::Memory) {
        const auto entry = infoFor(device);
        return entry ? entry->volumeName : QString();
    }
    return blkidValue(device, QStringLiteral("LABEL"));
}

QString uuidOf(const QString &device)
{
    if (realisationOf(device) == Realisation::Memory)
        return instanceDeviceOf(device);
    return blkidValue(device, QStringLiteral("UUID"));
}

// Runs `program` as the tool would be run for `asUid` (root's own request without it).
static Result runForUser(const QString &program, const QStringList &args, std::optional<uid_t> asUid, int budgetMs)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PKEXEC_UID"));
    if (asUid)
        env.insert(QStringLiteral("PKEXEC_UID"), QString::number(*asUid));
    p.setProcessEnvironment(env);
    p.start(program, args);
    Result r;
    if (!p.waitForStarted(10000))
        return r;
    if (!p.waitForFinished(budgetMs)) {
        p.kill();
        p.waitForFinished(-1);
        r.err = QStringLiteral("still running after %1 ms").arg(budgetMs);
        return r;
    }
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

QStringList attachArgs(quint64 sectors, bool wired)
{
    QStringList args{QStringLiteral("attach"), QStringLiteral("-nomount"), QStringLiteral("-plist"),
                     QStringLiteral("ram://%1").arg(sectors)};
    if (wired)
        args << QStringLiteral("-kernel");
    return args;
}

Result runTool(const QString &tool, const QStringList &args, std::optional<uid_t> asUid, int budgetMs)
{
    const Result r = runForUser(toolDirectory() + QLatin1Char('/') + tool, args, asUid, budgetMs);
    if (r.status == 0 && (tool == QLatin1String("newfs_hfs") || tool == QLatin1String("diskutil")) && !args.isEmpty())
        RamDisk::formatted(args.last());
    return r;
}

Result runToolBehind(const QString &script, const QString &toolPath, const QStringList &args, uid_t asUid, int budgetMs)
{
    return runForUser(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), script, toolPath} + args, asUid, budgetMs);
}

uid_t testUid(int offset)
{
    return static_cast<uid_t>(200000 + (getpid() % 100000) * 4 + offset);
}

static plist_t parsePlist(const QString &text)
{
    const QByteArray xml = text.toUtf8();
    plist_t root = nullptr;
    plist_from_xml(xml.constData(), static_cast<uint32_t>(xml.size()), &root);
    return root;
}

static QString stringItem(plist_t dict, const char *key)
{
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return {};
    char *value = nullptr;
    plist_get_string_val(node, &value);
    const QString result = QString::fromUtf8(value);
    free(value);
    return result;
}

QString deviceFromAttachOutput(const QString &text)
{
    plist_t root = parsePlist(text);
    QString device;
    plist_t entities = root ? plist_dict_get_item(root, "system-entities") : nullptr;
    if (entities && plist_get_node_type(entities) == PLIST_ARRAY && plist_array_get_size(entities) == 1)
        device = stringItem(plist_array_get_item(entities, 0), "dev-entry");
    if (root)
        plist_free(root);
    return device;
}

QList<InfoEntry> info(std::optional<uid_t> asUid)
{
    QList<InfoEntry> list;
    const Result r = runTool(QStringLiteral("hdiutil"), {QStringLiteral("info"), QStringLiteral("-plist")}, asUid);
    plist_t root = parsePlist(r.out);
    plist_t images = root ? plist_dict_get_item(root, "images") : nullptr;
    for (uint32_t i = 0; images && i < plist_array_get_size(images); ++i) {
        plist_t image = plist_array_get_item(images, i);
        plist_t entities = plist_dict_get_item(image, "system-entities");
        if (!entities || plist_array_get_size(entities) != 1)
            continue;
        plist_t entity = plist_array_get_item(entities, 0);
        plist_t unrecorded = plist_dict_get_item(image, "unrecorded");
        uint8_t flag = 0;
        if (unrecorded && plist_get_node_type(unrecorded) == PLIST_BOOLEAN)
            plist_get_bool_val(unrecorded, &flag);
        list.append({stringItem(image, "image-path"), stringItem(entity, "dev-entry"), stringItem(entity, "mount-point"),
                     stringItem(entity, "volume-name"), flag != 0});
    }
    if (root)
        plist_free(root);
    return list;
}

std::optional<InfoEntry> infoFor(const QString &device, std::optional<uid_t> asUid)
{
    for (const auto &e : info(asUid)) {
        if (e.device == device)
            return e;
    }
    return std::nullopt;
}

static QString readFirstLine(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readLine()).trimmed();
}

static QString decodeMountField(const QString &field)
{
    QByteArray in = field.toUtf8(), out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size()) {
            out.append(static_cast<char>(in.mid(i + 1, 3).toInt(nullptr, 8)));
            i += 3;
        } else {
            out.append(in[i]);
        }
    }
    return QString::fromUtf8(out);
}

// (major:minor, mount point, per-mount options, source, super options) of every mount.
static QList<QStringList> mountTable()
{
    QList<QStringList> table;
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return table;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char(' '));
        const qsizetype dash = fields.indexOf(QStringLiteral("-"));
        if (fields.size() > 6 && dash > 0 && dash + 3 < fields.size())
            table.append({fields[2], decodeMountField(fields[4]), fields[5], decodeMountField(fields[dash + 2]),
                          fields[dash + 3]});
    }
    return table;
}

// The places where the tools keep their instances: the installed build's and the
// isolated build's.
static bool isInstancePlace(const QString &mountPoint, const QString &device)
{
    return mountPoint == QStringLiteral("/run/quilmo/ram/") + device
        || mountPoint == IsolatedTool::stateDir() + QStringLiteral("/ram/") + device;
}

static QStringList instanceMount(const QString &device)
{
    for (const auto &m : mountTable()) {
        if (m[3] == device && isInstancePlace(m[1], device))
            return m;
    }
    return {};
}

QString instanceDeviceOf(const QString &device)
{
    return instanceMount(device).value(0);
}

QString instancePlaceOf(const QString &device)
{
    return instanceMount(device).value(1);
}

static QString majorMinor(const QString &device)
{
    if (realisationOf(device) == Realisation::Memory)
        return instanceDeviceOf(device);
    return readFirstLine(QStringLiteral("/sys/block/%1/dev").arg(device.section(QLatin1Char('/'), -1)));
}

QStringList mountPointsOf(const QString &device)
{
    QStringList points;
    const QString dev = majorMinor(device);
    for (const auto &m : mountTable()) {
        if (!dev.isEmpty() && m[0] == dev && !isInstancePlace(m[1], device))
            points.append(m[1]);
    }
    return points;
}

QString mountOptionsAt(const QString &path)
{
    QString options;
    for (const auto &m : mountTable()) {
        if (m[1] == path)
            options = m[2];
    }
    return options;
}

bool isMountPoint(const QString &path)
{
    for (const auto &m : mountTable()) {
        if (m[1] == path)
            return true;
    }
    return false;
}

QString backingOf(const QString &device)
{
    return readFirstLine(QStringLiteral("/sys/block/%1/loop/backing_file").arg(device.section(QLatin1Char('/'), -1)));
}

QString identityOf(const QString &device)
{
    if (device.isEmpty())
        return {};
    if (realisationOf(device) == Realisation::Memory) {
        const QString dev = instanceDeviceOf(device);
        return dev.isEmpty() ? QString() : QStringLiteral("tmpfs ") + dev;
    }
    return backingOf(device);
}

QString sysfsOf(const QString &device, const QString &file)
{
    return readFirstLine(QStringLiteral("/sys/block/%1/%2").arg(device.section(QLatin1Char('/'), -1), file));
}

LoopTraffic loopTrafficOf(const QString &device)
{
    // Fields of the block layer's stat line, counted in 512-byte sectors.
    constexpr int kWriteSectors = 6, kDiscardSectors = 13;
    const QStringList fields = sysfsOf(device, QStringLiteral("stat")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    LoopTraffic traffic;
    if (fields.size() > kDiscardSectors) {
        traffic.written = fields[kWriteSectors].toULongLong() * 512;
        traffic.discarded = fields[kDiscardSectors].toULongLong() * 512;
    }
    return traffic;
}

quint64 shmemBytes()
{
    QFile f(QStringLiteral("/proc/meminfo"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("Shmem:"))
            return line.mid(6).trimmed().split(' ').first().toULongLong() * 1024;
    }
    return 0;
}

QString snapshot(uid_t uid, const QString &dir)
{
    QStringList lines;
    const QString prefix = QStringLiteral("/dev/shm/quilmo-ram-%1-").arg(uid);
    const QDir sysBlock(QStringLiteral("/sys/block"));
    for (const QString &name : sysBlock.entryList({QStringLiteral("loop*")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString backing = readFirstLine(QStringLiteral("/sys/block/%1/loop/backing_file").arg(name));
        if (backing.startsWith(prefix))
            lines << name + QLatin1Char(' ') + backing + QLatin1Char(' ') + mountPointsOf(QStringLiteral("/dev/") + name).join(QLatin1Char(','));
    }
    for (const QString &name : QDir(QStringLiteral("/dev/shm")).entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        if ((QStringLiteral("/dev/shm/") + name).startsWith(prefix))
            lines << QStringLiteral("shm ") + name;
    }
    const QString owner = QStringLiteral("uid=%1").arg(uid);
    for (const auto &m : mountTable()) {
        if (m[1] == dir || m[1].startsWith(dir + QLatin1Char('/')))
            lines << QStringLiteral("mount ") + m[0] + QLatin1Char(' ') + m[1];
        // The user's instances: made with their uid.
        if (m[3].startsWith(QLatin1String("quilmo-ram")) && m[4].split(QLatin1Char(',')).contains(owner))
            lines << QStringLiteral("instance ") + m[3] + QLatin1Char(' ') + m[0] + QLatin1Char(' ') + m[1] + QLatin1Char(' ') + m[4];
    }
    return lines.join(QLatin1Char('\n'));
}

void releaseDevice(const QString &device, const QString &identity)
{
    if (device.isEmpty() || identity.isEmpty() || identityOf(device) != identity)
        return;
    if (realisationOf(device) == Realisation::Memory) {
        for (const QString &point : mountPointsOf(device))
            umount2(point.toLocal8Bit().constData(), MNT_DETACH);
        const QString place = instancePlaceOf(device);
        umount2(place.toLocal8Bit().constData(), MNT_DETACH);
        QDir().rmdir(place);
        return;
    }
    for (const QString &point : mountPointsOf(device))
        umount2(point.toLocal8Bit().constData(), MNT_DETACH);
    const int fd = open(device.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ioctl(fd, LOOP_CLR_FD, 0);
        close(fd);
    }
}

// The RAM disks of this test process that are not released yet.
static QList<RamDisk *> &liveDisks()
{
    static QList<RamDisk *> disks;
    return disks;
}

RamDisk::RamDisk(quint64 sectors, std::optional<uid_t> owner, bool format, const QString &name)
{
    const Result attach = runTool(QStringLiteral("hdiutil"),
                                  attachArgs(sectors),
                                  owner);
    _device = deviceFromAttachOutput(attach.out);
    if (attach.status != 0 || _device.isEmpty()) {
        _error = QStringLiteral("attach failed: ") + attach.err;
        return;
    }
    if (format) {
        const Result newfs = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), name, _device}, owner);
        if (newfs.status != 0)
            _error = QStringLiteral("newfs failed: ") + newfs.err;
    }
    _backing = identityOf(_device);
    liveDisks().append(this);
}

RamDisk::~RamDisk()
{
    liveDisks().removeAll(this);
    releaseDevice(_device, _backing);
}

void RamDisk::formatted(const QString &device)
{
    for (RamDisk *disk : liveDisks()) {
        if (disk->_device == device && realisationOf(device) == Realisation::Memory)
            disk->_backing = identityOf(device);
    }
}

bool AttachedDevices::add(const Result &r)
{
    const QString device = deviceFromAttachOutput(r.out);
    if (r.status != 0 || device.isEmpty())
        return false;
    devices.emplace_back(device, identityOf(device));
    return true;
}

bool AttachedDevices::attach(quint64 sectors, std::optional<uid_t> as, Result *result)
{
    const Result r = runTool(QStringLiteral("hdiutil"),
                             attachArgs(sectors),
                             as);
    if (result)
        *result = r;
    return add(r);
}

AttachedDevices::~AttachedDevices()
{
    for (const auto &[device, identity] : devices)
        releaseDevice(device, identity);
}

MountGuard::~MountGuard()
{
    while (isMountPoint(_path)) {
        if (umount2(_path.toLocal8Bit().constData(), MNT_DETACH) != 0)
            break;
    }
}

ForeignLoop::ForeignLoop(const QString &file)
{
    QString out;
    if (QMTest::run(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), file}, &out) == 0)
        _device = out.trimmed();
    _backing = identityOf(_device);
}

ForeignLoop::~ForeignLoop()
{
    releaseDevice(_device, _backing);
}

} // namespace DiskToolTest
