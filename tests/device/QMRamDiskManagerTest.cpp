// Presets, the creation and mount-directory rules, the running check and the progress texts,
// against real directories, real processes and real desktop entries.
#include "QMBrowserLayouts.h"
#include "QMFileRemover.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"
#include "QMRunningApplications.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTestUser.h"
#include "QMTranslations.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kFakeFirefoxVar = "QM_TEST_FAKE_FIREFOX";

QString tr(const char *key)
{
    return QCoreApplication::translate("QMRamDiskLocalizable", key);
}

// Sets an environment variable for one scope.
class EnvGuard
{
public:
    EnvGuard(const char *name, const QString &value) : _name(name), _had(qEnvironmentVariableIsSet(name))
    {
        _old = qgetenv(name);
        qputenv(name, value.toLocal8Bit());
    }
    ~EnvGuard()
    {
        if (_had)
            qputenv(_name, _old);
        else
            qunsetenv(_name);
    }

private:
    const char *_name;
    bool _had;
    QByteArray _old;
};

class PhysicalMemoryGuard
{
public:
    explicit PhysicalMemoryGuard(quint64 bytes) { QMMacInfo::setPhysicalMemoryForTesting(bytes); }
    ~PhysicalMemoryGuard() { QMMacInfo::setPhysicalMemoryForTesting(0); }
};

class ApplicationsRootGuard
{
public:
    explicit ApplicationsRootGuard(const QString &root) { QMRamDiskManager::setApplicationsRootForTesting(root); }
    ~ApplicationsRootGuard() { QMRamDiskManager::setApplicationsRootForTesting(QString()); }
};

class MountGuard
{
public:
    explicit MountGuard(const QString &path) : _path(QFile::encodeName(path)) {}
    ~MountGuard()
    {
        if (_mounted)
            ::umount2(_path.constData(), MNT_DETACH);
    }
    bool mountReadOnlyTmpfs()
    {
        _mounted = ::mount("tmpfs", _path.constData(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=1m") == 0;
        return _mounted;
    }
    bool mountTmpfs()
    {
        _mounted = ::mount("tmpfs", _path.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") == 0;
        return _mounted;
    }

private:
    QByteArray _path;
    bool _mounted = false;
};

// Kills and reaps a child at the end of a test, whatever happens in between.
class ChildGuard
{
public:
    ~ChildGuard()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QProcess process;
};

bool mkdirs(const QString &path)
{
    return QDir().mkpath(path);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QString writeInfoPlist(const QString &bundle, const QString &version)
{
    mkdirs(bundle + QStringLiteral("/Contents"));
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
              QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                             "<plist version=\"1.0\"><dict><key>CFBundleShortVersionString</key>"
                             "<string>%1</string></dict></plist>\n")
                  .arg(version)
                  .toUtf8());
    return bundle;
}

int statusOf(qint64 type, const QString &simId = QString())
{
    const auto infos = QMRamDiskManager::creationInfosOfRamDiskType(type, simId);
    return infos ? infos->value(QStringLiteral("status")).toInt() : -100;
}

bool waitFor(const std::function<bool()> &condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 10000)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

TEST(QMRamDiskManager, SizeMustLieWithinBounds)
{
    PhysicalMemoryGuard memory(1024ULL * 1024 * 1024 * 1024);
    QString message = QStringLiteral("stale");
    EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral("RamDisk"), 128000000ULL, 0, QString(), &message));
    EXPECT_TRUE(message.isNull());
    EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral("RamDisk"), 128000000000ULL, 0, QString(), &message));
    for (quint64 size : {127999999ULL, 128000000001ULL, 0ULL}) {
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("RamDisk"), size, 0, QString(), &message))
            << size;
        EXPECT_EQ(message, tr("Please, specify a correct size of RamDisk"));
    }
}

TEST(QMRamDiskManager, MemoryReserveDependsOnTheMachine)
{
    QString message;
    {
        const quint64 fourGiB = 4294967296ULL;
        PhysicalMemoryGuard memory(fourGiB);
        EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), fourGiB - 256000000ULL, 0, QString(), &message));
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), fourGiB - 256000000ULL + 1, 0, QString(), &message));
        EXPECT_EQ(message, tr("Insuffisant computer memory"));
    }
    {
        const quint64 eightGiB = 8589934592ULL;
        PhysicalMemoryGuard memory(eightGiB);
        EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), eightGiB - 1024000000ULL, 0, QString(), &message));
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), eightGiB - 1024000000ULL + 1, 0, QString(), &message));
        EXPECT_EQ(message, tr("Insuffisant computer memory"));
    }
    {
        // One byte above 4 GiB already takes the larger reserve.
        PhysicalMemoryGuard memory(4294967297ULL);
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), 4294967297ULL - 256000000ULL, 0, QString(), &message));
    }
}

TEST(QMRamDiskManager, NamesAreCheckedBeforeSizes)
{
    PhysicalMemoryGuard memory(1024ULL * 1024 * 1024 * 1024);
    QString message;
    for (const QString &name : {QString(), QString(""), QStringLiteral("   "), QStringLiteral(" \t ")}) {
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(name, 1, 0, QString(), &message)) << name.toStdString();
        EXPECT_EQ(message, tr("Please, specify a name of RamDisk"));
    }
    for (const QString &name : {QStringLiteral("a:b"), QStringLiteral("a/b"), QStringLiteral("a|b"), QStringLiteral(".."),
                                QStringLiteral(".")}) {
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(name, 1, 0, QString(), &message)) << name.toStdString();
        EXPECT_EQ(message, tr("The name contains invalid character.")) << name.toStdString();
    }
    EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral(" My Disk "), 128000000ULL, 0, QString(), &message));
}

// Mount places must lie outside the system directories, /tmp included, so these tests build
// their directories at the top of the file system; that needs root.
class MountDirectoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make directories outside the system directories";
        root = std::make_unique<QMTemporaryDir>(QStringLiteral("/quilmo-mountdir-XXXXXX"));
        ASSERT_TRUE(root->isValid());
        base = root->path();
    }
    bool refuses(const QString &dir, const QString &name, const char *expected)
    {
        QString message;
        const bool ok = QMRamDiskManager::canUseMountDirectory(dir, name, 0, &message);
        EXPECT_EQ(message, ok ? QString() : tr(expected)) << dir.toStdString() << " / " << name.toStdString();
        return !ok;
    }
    std::unique_ptr<QMTemporaryDir> root;
    QString base;
};

TEST_F(MountDirectoryTest, RefusesEachUnfitPlace)
{
    EXPECT_TRUE(refuses(QString(), QStringLiteral("R"), "The mount directory is not specified."));
    EXPECT_TRUE(refuses(base, QString(), "The mount directory is not specified."));
    EXPECT_TRUE(refuses(base + QStringLiteral("/missing"), QStringLiteral("R"), "The mount directory does not exist."));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/file"), "x"));
    EXPECT_TRUE(refuses(base + QStringLiteral("/file"), QStringLiteral("R"), "The mount directory is not a directory."));

    EXPECT_TRUE(refuses(QStringLiteral("/usr/share"), QStringLiteral("anything"),
                        "The mount directory can not be a system directory."));
    EXPECT_TRUE(refuses(QStringLiteral("/"), QStringLiteral("etc"), "The mount directory can not be a system directory."));
    EXPECT_TRUE(refuses(QStringLiteral("/tmp"), QStringLiteral("R"), "The mount directory can not be a system directory."));
    // Neither ".." nor a symbolic link leads around the rule.
    EXPECT_TRUE(refuses(base + QStringLiteral("/../usr"), QStringLiteral("R"),
                        "The mount directory can not be a system directory."));
    ASSERT_TRUE(QFile::link(QStringLiteral("/usr/lib"), base + QStringLiteral("/link")));
    EXPECT_TRUE(refuses(base + QStringLiteral("/link"), QStringLiteral("R"),
                        "The mount directory can not be a system directory."));
    EXPECT_TRUE(refuses(base, QStringLiteral("link"), "The mount directory can not be a system directory."));

    if (QFileInfo(QStringLiteral("/home")).isDir()) {
        EXPECT_TRUE(refuses(QStringLiteral("/home"), QStringLiteral("R"), "The mount directory can not be /Users."));
    }

    const QString readOnly = base + QStringLiteral("/ro");
    ASSERT_TRUE(mkdirs(readOnly));
    MountGuard mount(readOnly);
    if (mount.mountReadOnlyTmpfs()) {
        EXPECT_TRUE(refuses(readOnly, QStringLiteral("R"), "The mount directory is not writable."));
    } else {
        ADD_FAILURE() << "could not mount a read-only tmpfs";
    }
}

TEST_F(MountDirectoryTest, HomeLibraryOnlyBelowDeveloper)
{
    const QString home = base + QStringLiteral("/home");
    ASSERT_TRUE(mkdirs(home + QStringLiteral("/Library/Caches")));
    ASSERT_TRUE(mkdirs(home + QStringLiteral("/Library/Developer")));
    ASSERT_TRUE(mkdirs(home + QStringLiteral("/Work")));
    EnvGuard env("HOME", home);

    EXPECT_TRUE(refuses(home + QStringLiteral("/Library/Caches"), QStringLiteral("R"),
                        "The mount directory can not be a library sub directory."));
    EXPECT_TRUE(refuses(home, QStringLiteral("Library"), "The mount directory can not be a library sub directory."));
    EXPECT_FALSE(refuses(home + QStringLiteral("/Library/Developer"), QStringLiteral("R"), ""));
    EXPECT_FALSE(refuses(home + QStringLiteral("/Work"), QStringLiteral("R"), ""));

    // The creation check passes the mount directory's refusal on.
    PhysicalMemoryGuard memory(1024ULL * 1024 * 1024 * 1024);
    QString message;
    EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), 128000000ULL, 0,
                                                     home + QStringLiteral("/Library/Caches"), &message));
    EXPECT_EQ(message, tr("The mount directory can not be a library sub directory."));
    EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), 128000000ULL, 0,
                                                    home + QStringLiteral("/Library/Developer"), &message));
}

TEST(QMRamDiskManager, NamesFollowTheDiskToolsRuleInBytes)
{
    PhysicalMemoryGuard memory(1024ULL * 1024 * 1024 * 1024);
    QString message;
    // 128 two-byte characters: 256 bytes, one more than a file name holds; 86 three-byte
    // ones: 258. One two-byte character less (and one ASCII) is exactly 255.
    for (const QString &name : {QString(128, QChar(0xE9)), QString(86, QChar(0x4E2D))}) {
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(name, 128000000ULL, 0, QString(), &message));
        EXPECT_EQ(message, tr("The name is longer than 255 bytes."));
    }
    EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QString(127, QChar(0xE9)) + u'a', 128000000ULL, 0, QString(), &message))
        << message.toStdString();
    for (const QString &name : {QStringLiteral("-x"), QStringLiteral("--help")}) {
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(name, 128000000ULL, 0, QString(), &message));
        EXPECT_EQ(message, tr("The name begins with \"-\"."));
    }
    // A C1 control character.
    EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("a") + QChar(0x85) + u'b', 128000000ULL, 0, QString(), &message));
}

TEST_F(MountDirectoryTest, RefusesWhatTheMountToolWouldRefuse)
{
    const QString real = base + QStringLiteral("/real");
    ASSERT_TRUE(mkdirs(real + QStringLiteral("/inner")));
    ASSERT_TRUE(QFile::link(real, base + QStringLiteral("/via")));
    // A link on the way, a link in place of the directory, a link where the volume goes.
    EXPECT_TRUE(refuses(base + QStringLiteral("/via/inner"), QStringLiteral("R"), "The mount path passes through a symbolic link."));
    EXPECT_TRUE(refuses(base + QStringLiteral("/via"), QStringLiteral("R"), "The mount path passes through a symbolic link."));
    EXPECT_TRUE(refuses(base, QStringLiteral("via"), "The mount path passes through a symbolic link."));
    EXPECT_TRUE(refuses(real + QStringLiteral("/inner/.."), QStringLiteral("R"), "The mount path contains \"..\"."));
    ASSERT_TRUE(writeFile(real + QStringLiteral("/file"), "x"));
    EXPECT_TRUE(refuses(real, QStringLiteral("file"), "The mount path is not a directory."));
    const QString tab = base + QStringLiteral("/a\tb");
    ASSERT_TRUE(mkdirs(tab));
    EXPECT_TRUE(refuses(tab, QStringLiteral("R"), "The mount path contains a control character."));

    // Another volume where the RAM disk would go stays; one of ours is unmounted first.
    ASSERT_TRUE(mkdirs(real + QStringLiteral("/Vol")));
    MountGuard foreign(real + QStringLiteral("/Vol"));
    ASSERT_TRUE(foreign.mountTmpfs());
    EXPECT_TRUE(refuses(real, QStringLiteral("Vol"), "Another volume is mounted at the mount path."));
    ASSERT_TRUE(QMRamDiskDevice::setExtendedRamDiskInfos({{"identifier", "ID"}, {"deviceNode", "/dev/loop9"}},
                                                         real + QStringLiteral("/Vol")));
    EXPECT_FALSE(refuses(real, QStringLiteral("Vol"), ""));
    EXPECT_FALSE(refuses(real + QStringLiteral("/inner"), QStringLiteral("New"), ""));

    // A preset's own place is not examined by this check, but the creation check still asks
    // what the mount tool will say.
    PhysicalMemoryGuard memory(1024ULL * 1024 * 1024 * 1024);
    QString message;
    EXPECT_TRUE(QMRamDiskManager::canUseMountDirectory(base + QStringLiteral("/via"), QStringLiteral("firefox"), 7, &message));
    EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("firefox"), 1000000000ULL, 7, base + QStringLiteral("/via"), &message));
    EXPECT_EQ(message, tr("The mount path passes through a symbolic link."));
}

TEST(QMRamDiskManager, PresetTypesTakeAnyMountDirectory)
{
    QString message = QStringLiteral("stale");
    EXPECT_TRUE(QMRamDiskManager::canUseMountDirectory(QStringLiteral("/usr"), QStringLiteral("R"), 7, &message));
    EXPECT_TRUE(message.isNull());
    EXPECT_TRUE(QMRamDiskManager::canUseMountDirectory(QString(), QString(), 2, nullptr));
}

TEST(QMRamDiskManager, FirefoxPresetFollowsVersionAndCacheDirectory)
{
    QMTest::ApplicationsRoot root;
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/mozilla");
    EXPECT_EQ(statusOf(7), -1);

    // Debian's: /usr/bin/firefox is a wrapper script, the version is beside the real program.
    const QString program = root.debianFirefoxEsr(QStringLiteral("53.0.3"));
    const QString lib = root.at(QStringLiteral("/usr/lib/firefox-esr"));
    ASSERT_TRUE(mkdirs(cache));
    EXPECT_EQ(statusOf(7), 0);

    ASSERT_TRUE(writeFile(lib + QStringLiteral("/application.ini"), "[App]\nVersion=54.0\n"));
    auto infos = QMRamDiskManager::creationInfosOfRamDiskType(7, QString());
    ASSERT_TRUE(infos);
    EXPECT_EQ(infos->value(QStringLiteral("status")).toInt(), 1);
    EXPECT_EQ(infos->value(QStringLiteral("name")).toString(), QStringLiteral("firefox"));
    EXPECT_EQ(infos->value(QStringLiteral("mountDirectory")).toString(), cache);
    EXPECT_EQ(infos->value(QStringLiteral("size")).toULongLong(), 1000000000ULL);
    EXPECT_EQ(infos->value(QStringLiteral("application")).toString(), QStringLiteral("Firefox 54.0 (%1)").arg(lib));
    EXPECT_EQ(QMRamDiskManager::favoriteFirefoxAppPath(), root.at(QStringLiteral("/usr/bin/firefox")));

    // Without application.ini, platform.ini; without either, what the program says.
    ASSERT_TRUE(QFile::remove(lib + QStringLiteral("/application.ini")));
    infos = QMRamDiskManager::creationInfosOfRamDiskType(7, QString());
    EXPECT_EQ(infos->value(QStringLiteral("status")).toInt(), 0);
    EXPECT_TRUE(infos->value(QStringLiteral("reason")).toString().contains(QStringLiteral("53.0.3")));
    ASSERT_TRUE(QFile::remove(lib + QStringLiteral("/platform.ini")));
    EXPECT_EQ(statusOf(7), 0);
    QMTest::ApplicationsRoot::setVersionOutput(program, "Mozilla Firefox 115.8.0esr\n");
    infos = QMRamDiskManager::creationInfosOfRamDiskType(7, QString());
    EXPECT_EQ(infos->value(QStringLiteral("status")).toInt(), 1);
    EXPECT_EQ(infos->value(QStringLiteral("version")).toString(), QStringLiteral("115.8.0esr"));

    ASSERT_TRUE(QMFileRemover::removePath(cache).ok());
    EXPECT_EQ(statusOf(7), 0);
}

TEST(QMRamDiskManager, ChromeAndOtherPlatformPresetsFromTheirLayouts)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString home = dir.path() + QStringLiteral("/home");
    ASSERT_TRUE(mkdirs(home + QStringLiteral("/.cache")));
    EnvGuard envHome("HOME", home);
    EnvGuard envCache("XDG_CACHE_HOME", home + QStringLiteral("/.cache"));

    {
        ApplicationsRootGuard root(dir.path() + QStringLiteral("/empty"));
        for (qint64 type : {2, 3, 4, 5, 6, 7, 8})
            EXPECT_EQ(statusOf(type), -1) << type;
        EXPECT_EQ(statusOf(0), 1);
        EXPECT_EQ(QMRamDiskManager::creationInfosOfRamDiskType(0, QString())->size(), 1);
        EXPECT_EQ(statusOf(9), -1);
        EXPECT_FALSE(QMRamDiskManager::creationInfosOfRamDiskType(1, QString()));
        EXPECT_FALSE(QMRamDiskManager::creationInfosOfRamDiskType(10, QString()));
    }
    {
        const QString old = dir.path() + QStringLiteral("/old");
        ASSERT_TRUE(mkdirs(old + QStringLiteral("/opt/google/chrome")));
        QMTest::writeScript(old + QStringLiteral("/opt/google/chrome"), QStringLiteral("chrome"),
                            QStringLiteral("echo 'Google Chrome 59.0.3071.86 '\n"));
        ApplicationsRootGuard root(old);
        EXPECT_EQ(statusOf(8), 0);
    }
    {
        const QString current = dir.path() + QStringLiteral("/current");
        ASSERT_TRUE(mkdirs(current + QStringLiteral("/opt/google/chrome")));
        QMTest::writeScript(current + QStringLiteral("/opt/google/chrome"), QStringLiteral("chrome"),
                            QStringLiteral("echo 'Google Chrome 120.0.6099.109 '\n"));
        ApplicationsRootGuard root(current);
        const auto infos = QMRamDiskManager::creationInfosOfRamDiskType(8, QString());
        ASSERT_TRUE(infos);
        EXPECT_EQ(infos->value(QStringLiteral("status")).toInt(), 1);
        EXPECT_EQ(infos->value(QStringLiteral("name")).toString(), QStringLiteral("google-chrome"));
        EXPECT_EQ(infos->value(QStringLiteral("mountDirectory")).toString(), home + QStringLiteral("/.cache"));
    }
    {
        // The simulator presets follow Xcode's version: 5.x has the older layout only.
        const QString xcode5 = dir.path() + QStringLiteral("/xcode5");
        writeInfoPlist(xcode5 + QStringLiteral("/Applications/Xcode.app"), QStringLiteral("5.1.1"));
        ASSERT_TRUE(mkdirs(home + QStringLiteral("/Library/Application Support")));
        ASSERT_TRUE(mkdirs(home + QStringLiteral("/Library/Developer/CoreSimulator/Devices/ABC-123")));
        ApplicationsRootGuard root(xcode5);
        EXPECT_EQ(statusOf(4), 1);
        EXPECT_EQ(statusOf(5), -1);
        EXPECT_EQ(statusOf(3), 0); // no Library/Developer/Xcode yet
    }
    {
        const QString xcode9 = dir.path() + QStringLiteral("/xcode9");
        writeInfoPlist(xcode9 + QStringLiteral("/Applications/Xcode.app"), QStringLiteral("9.2"));
        ApplicationsRootGuard root(xcode9);
        EXPECT_EQ(statusOf(4), -1);
        const auto all = QMRamDiskManager::creationInfosOfRamDiskType(5, QString());
        ASSERT_TRUE(all);
        EXPECT_EQ(all->value(QStringLiteral("name")).toString(), QStringLiteral("CoreSimulator"));
        EXPECT_EQ(all->value(QStringLiteral("size")).toULongLong(), 4000000000ULL);
        const auto device = QMRamDiskManager::creationInfosOfRamDiskType(5, QStringLiteral("ABC-123"));
        ASSERT_TRUE(device);
        EXPECT_EQ(device->value(QStringLiteral("status")).toInt(), 1);
        EXPECT_EQ(device->value(QStringLiteral("name")).toString(), QStringLiteral("ABC-123"));
        EXPECT_EQ(device->value(QStringLiteral("mountDirectory")).toString(),
                  home + QStringLiteral("/Library/Developer/CoreSimulator/Devices"));
        EXPECT_EQ(statusOf(5, QStringLiteral("MISSING")), 0);
        EXPECT_EQ(statusOf(5, QStringLiteral("../Devices")), 0);
    }
}

// The running rule counts the current user's processes, whatever else runs on the machine
// (another engineer's browser as root, another test's): the checks run as a user of the
// test's own, on whom nothing else runs. The fake Firefox is set by the parent.
TEST(QMRamDiskManagerAsUser, RunningApplicationRefusesItsType)
{
    const QString fake = qEnvironmentVariable(kFakeFirefoxVar);
    if (fake.isEmpty())
        GTEST_SKIP() << "runs only as the user of QMRamDiskManager.RunningApplicationRefusesItsType";
    const QString apps = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    ASSERT_TRUE(mkdirs(apps));
    ASSERT_TRUE(writeFile(apps + QStringLiteral("/firefox.desktop"),
                          "[Desktop Entry]\nType=Application\nName=Made-up Fox\nExec=firefox %u\n"));

    // Another user's Firefox (the parent's) runs all along: not this user's.
    QString message = QStringLiteral("stale");
    EXPECT_FALSE(QMRamDiskManager::hasRunningAppForType(7, &message)) << "another user's Firefox counted";
    EXPECT_TRUE(message.isNull());
    {
        ChildGuard mine;
        mine.process.start(fake, {QStringLiteral("60")});
        ASSERT_TRUE(mine.process.waitForStarted());
        ASSERT_TRUE(waitFor([] { return QMRamDiskManager::hasRunningAppForType(7, nullptr); }));
        const QString expected = tr("%@ is running").replace(QStringLiteral("%@"), QStringLiteral("Made-up Fox"));
        EXPECT_TRUE(QMRamDiskManager::hasRunningAppForType(7, &message));
        EXPECT_EQ(message, expected);

        // The running check comes first, before the name and the size.
        PhysicalMemoryGuard memory(1024ULL * 1024 * 1024 * 1024);
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QString(), 0, 7, QString(), &message));
        EXPECT_EQ(message, expected);
        EXPECT_TRUE(QMRamDiskManager::canCreateWithName(QStringLiteral("R"), 128000000ULL, 0, QString(), &message));
        EXPECT_FALSE(QMRamDiskManager::hasRunningAppForType(8, &message));
        EXPECT_FALSE(QMRamDiskManager::hasRunningAppForType(0, &message));
    }
    EXPECT_FALSE(QMRamDiskManager::hasRunningAppForType(7, &message));
    EXPECT_TRUE(message.isNull());
}

TEST(QMRamDiskManager, RunningApplicationRefusesItsType)
{
    QMTestUser user(QStringLiteral("run"));
    QM_REQUIRE_TEST_USER(user);
    // A program that runs as "firefox", where any user may run it.
    QMTemporaryDir dir(QStringLiteral("/tmp/quilmo-apps-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    const QString fake = dir.path() + QStringLiteral("/firefox");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), fake));
    QFile::setPermissions(fake, QFile::permissions(fake) | QFileDevice::ExeOther | QFileDevice::ReadOther);
    const QString home = user.makeHome(qEnvironmentVariable("QUILMO_TEST_ROOT"));
    ASSERT_FALSE(home.isEmpty());

    ChildGuard other;
    other.process.start(fake, {QStringLiteral("60")});
    ASSERT_TRUE(other.process.waitForStarted());
    ASSERT_TRUE(QMTest::waitUntilRunning(other.process.processId(), fake));

    // The user's test process makes its own home and XDG places under the one given.
    QProcess child;
    QProcessEnvironment env = user.environment(home);
    env.insert(QStringLiteral("QUILMO_TEST_ROOT"), home);
    env.insert(QLatin1String(kFakeFirefoxVar), fake);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    user.runAs(child);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=QMRamDiskManagerAsUser.RunningApplicationRefusesItsType")});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QByteArray out = child.readAll();
    EXPECT_TRUE(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0
                && out.contains("[  PASSED  ] 1 test") && !out.contains("SKIPPED"))
        << out.toStdString();
}

TEST(QMRamDiskManager, ProgressTextsAndTheEnglishTranslation)
{
    const struct { qint64 action, info; const char *key; } rows[] = {
        {1, 1, "QMRamDiskActionInfo_creatingCalculatingBaseDirSize"},
        {1, 0, "QMRamDiskActionInfo_creating"},
        {1, 2, "QMRamDiskActionInfo_creating"},
        {1, 9, "QMRamDiskActionInfo_creating"},
        {1, 3, "QMRamDiskActionInfo_creatingNewFileSystem"},
        {1, 4, "QMRamDiskActionInfo_creatingMoutingVolume"},
        {1, 5, "QMRamDiskActionInfo_creatingRecopingFromBase"},
        {1, 6, "QMRamDiskActionInfo_creatingRestoring"},
        {1, 7, "QMRamDiskActionInfo_creatingExecutingPostCommand"},
        {1, 8, "QMRamDiskActionInfo_creatingMdIndexMode"},
        {2, 3, "QMRamDiskActionInfo_copyingToBase"},
        {3, 10, "QMRamDiskActionInfo_backuping"},
        {4, 11, "QMRamDiskActionInfo_remounting"},
        {5, 12, "QMRamDiskActionInfo_ejecting"},
        {6, 0, "QMRamDiskActionInfo_cleanUpFiles"},
        {7, 0, "QMRamDiskActionInfo_rebuild"},
        {8, 13, "QMRamDiskActionInfo_resizing"},
    };
    ASSERT_TRUE(QMTranslations::installTranslations());
    for (const auto &row : rows) {
        const QString text = QMRamDiskManager::displayStringFromAction(row.action, row.info);
        EXPECT_EQ(text, tr(row.key)) << row.action << "/" << row.info;
        // Every key has an English text: none shows through as the bare key.
        EXPECT_NE(text, QString::fromLatin1(row.key));
    }
    EXPECT_TRUE(QMRamDiskManager::displayStringFromAction(0, 1).isNull());
    EXPECT_TRUE(QMRamDiskManager::displayStringFromAction(9, 1).isNull());

    EXPECT_EQ(QMRamDiskManager::displayStringFromAction(5, 12), QStringLiteral("Ejecting…"));
    EXPECT_EQ(QMTranslations::localizedString("QMRamDiskType_Firefox", "QMRamDiskLocalizable"),
              QStringLiteral("Firefox Cache"));
    EXPECT_EQ(QMTranslations::localizedString("HELP_GOTO_WEBSITE"), QStringLiteral("Quilmo Website"));
    // A sentence key is its own English text.
    EXPECT_EQ(tr("Please, specify a name of RamDisk"), QStringLiteral("Please, specify a name of RamDisk"));
    // A key's English text mends its typos; the key stays.
    EXPECT_EQ(tr("Insuffisant computer memory"),
              QStringLiteral("The computer does not have enough memory for a RAM disk of this size"));
    EXPECT_EQ(tr("The mount directory can not be /Users."), QStringLiteral("The mount directory can not be /home."));
    // Byte counts as quilmoctl prints them ("Compressed:" is nothing on Linux).
    EXPECT_EQ(QCoreApplication::translate("QMFunctions", "Zero Byte"), QStringLiteral("0 bytes"));
    EXPECT_EQ(QCoreApplication::translate("QMFunctions", "One Byte"), QStringLiteral("1 byte"));
}

TEST(QMRamDiskManager, SupportDirectoryIsCreatedPrivate)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        EnvGuard env("XDG_DATA_HOME", dir.path() + QStringLiteral("/data"));
        const QString path = QMRamDiskManager::appSupportPath();
        EXPECT_EQ(path, dir.path() + QStringLiteral("/data/org.quilmo.Quilmo"));
        EXPECT_TRUE(QFileInfo(path).isDir());
        EXPECT_EQ(QFileInfo(path).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);
        EXPECT_EQ(QMRamDiskManager::appSupportPath(), path);
    }
    {
        // A file in the way: no directory, and the failure logged.
        ASSERT_TRUE(writeFile(dir.path() + QStringLiteral("/blocked"), "x"));
        EnvGuard env("XDG_DATA_HOME", dir.path() + QStringLiteral("/blocked/data"));
        QStringList lines;
        auto old = QMLog::setSink([&](const QString &line) { lines << line; });
        EXPECT_TRUE(QMRamDiskManager::appSupportPath().isNull());
        QMLog::setSink(old);
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines.first().contains(QStringLiteral("createDirectoryAtPath==NO dirPath:"))) << lines.first().toStdString();
    }
}

TEST(QMRamDiskManager, IconsOfTypes)
{
    const QImage small = QMRamDiskManager::ramDiskIcon(16);
    const QImage large = QMRamDiskManager::ramDiskIcon(128);
    ASSERT_FALSE(small.isNull());
    ASSERT_FALSE(large.isNull());
    EXPECT_EQ(small.size(), QSize(16, 16));
    EXPECT_EQ(large.size(), QSize(128, 128));
    EXPECT_TRUE(QMRamDiskManager::ramDiskIcon(32).isNull());

    EXPECT_TRUE(QMRamDiskManager::specificIconFromType(0, 128).isNull());
    EXPECT_TRUE(QMRamDiskManager::specificIconFromType(9, 128).isNull());
    // Types whose application is missing fall back to the generic icon, at any size.
    {
        ApplicationsRootGuard root(QStringLiteral("/nonexistent-quilmo-root"));
        EXPECT_TRUE(QMRamDiskManager::specificIconFromType(8, 128).isNull());
        EXPECT_EQ(QMRamDiskManager::imageOfType(8, 32).size(), QSize(32, 32));
    }
    EXPECT_EQ(QMRamDiskManager::imageOfType(0, 16), small);
}
