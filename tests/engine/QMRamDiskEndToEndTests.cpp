// Real RAM disks, created, filled, changed and ejected through the engine. Each test works
// in its own sandbox (mount directory, base, backups) and releases every device it made.

#include "QMRamDisk.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskTestSupport.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool isMounted(const QString &path)
{
    return QMRamDiskDevice::hasMountedVolumeAtPath(path) == QMMountStateMounted;
}

bool deviceExists(const QString &deviceNode)
{
    const auto devices = QMRamDiskDevice::deviceList(false, nullptr);
    if (!devices)
        return false;
    for (const QVariantMap &device : *devices)
        if (device.value(QStringLiteral("devNode")).toString() == deviceNode)
            return true;
    return false;
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

qint64 mtimeOf(const QString &path)
{
    struct stat st {};
    lstat(QFile::encodeName(path).constData(), &st);
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

#define QM_REQUIRE_SANDBOX(sandbox)                                                                   \
    QM_REQUIRE_LOOP_DEVICES();                                                                        \
    RamDiskSandbox sandbox;                                                                           \
    ASSERT_TRUE(sandbox.isValid())

} // namespace

TEST(QMRamDiskEndToEnd, PlainRamDiskCreatedWrittenEjected)
{
    // A memory instance on this kernel, a loop device on one without them.
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "loop device" : "memory instance");
        QM_REQUIRE_SANDBOX(sandbox);
        std::unique_ptr<LoopRealisation> realisation(loop ? new LoopRealisation : nullptr);
        const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
        QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Scratch"));
        RecordingDelegate delegate;

        QMError::Ptr error;
        ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
        EXPECT_FALSE(error);
        EXPECT_EQ(delegate.infos(), (QList<qint64>{2, 3, 4})); // no base, no backup, no command
        const QString path = mountDir + QStringLiteral("/Scratch");
        EXPECT_EQ(r->path(), path);
        EXPECT_EQ(r->status(), 2);
        EXPECT_TRUE(r->deviceNode().startsWith(loop ? QStringLiteral("/dev/loop") : QStringLiteral("quilmo-ram")))
            << r->deviceNode().toStdString();
        EXPECT_TRUE(isMounted(path));
        // All of it for a memory instance; ext4 keeps some for itself.
        EXPECT_GE(r->volSize(), loop ? 100000000u : r->size());
        EXPECT_GT(r->volFree(), 0u);
        EXPECT_EQ(r->hasContents(), 0); // a fresh volume holds nothing that looks like user content
        // The engine finds its own volume again by the device, and the device by the volume.
        EXPECT_EQ(QMRamDiskDevice::mountPointFromDeviceNode(r->deviceNode(), nullptr), path);
        EXPECT_EQ(QMRamDiskDevice::deviceNodeFromPath(path, nullptr), r->deviceNode());
        EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(r->deviceNode()), 1);

        ASSERT_TRUE(writeFile(path + QStringLiteral("/work.txt"), "data"));
        EXPECT_EQ(r->hasContents(), 1);
        r->update(); // the free space moved
        EXPECT_FALSE(r->update()); // and now nothing changed that the refresh compares

        const QString deviceNode = r->deviceNode();
        delegate.clear();
        r->performAction(5, &delegate, false);
        EXPECT_FALSE(r->lastError());
        EXPECT_EQ(delegate.infos(), (QList<qint64>{12, 12})); // mode 0: no copy
        EXPECT_EQ(r->status(), 0);
        EXPECT_TRUE(r->path().isNull());
        EXPECT_EQ(r->deviceNode(), deviceNode); // kept, as last known
        EXPECT_FALSE(QFileInfo::exists(path)); // the empty mount directory went with it
        EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(deviceNode), 0);
    }
}

TEST(QMRamDiskEndToEnd, ThreadedCreateReportsOnItsOwnThreadAndEnds)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Threaded"));
    RecordingDelegate delegate;
    r->performAction(1, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    const auto reports = delegate.reports();
    ASSERT_GE(reports.size(), 2);
    EXPECT_EQ(reports.first().action, 1);
    EXPECT_EQ(reports.first().info, 2);
    EXPECT_EQ(reports.last().action, 0);
    EXPECT_EQ(reports.last().info, 2);
    EXPECT_FALSE(reports.last().error);
    EXPECT_EQ(r->status(), 2);

    delegate.clear();
    r->performAction(5, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, BackupModesRestoreFilesWithTimesAndModes)
{
    for (qint64 mode : {2, 1}) {
        SCOPED_TRACE(mode);
        QM_REQUIRE_SANDBOX(sandbox);
        const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
        QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Kept"));
        r->setBackupMode(mode);
        r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
        const QString backupDir = r->backupDirPath();
        if (backupDir.isEmpty())
            GTEST_SKIP() << "no application-support directory";
        if (mode == 2) {
            EXPECT_TRUE(backupDir.startsWith(sandbox.path() + QStringLiteral("/backups/")));
        }
        RecordingDelegate delegate;
        QMError::Ptr error;
        ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
        EXPECT_TRUE(delegate.infos().contains(6)); // restoring, from nothing the first time

        const QString path = r->path();
        QDir(path).mkpath(QStringLiteral("dir/sub"));
        ASSERT_TRUE(writeFile(path + QStringLiteral("/dir/sub/a.txt"), "alpha"));
        ASSERT_TRUE(writeFile(path + QStringLiteral("/b.bin"), QByteArray(300000, 'b')));
        chmod(QFile::encodeName(path + QStringLiteral("/b.bin")).constData(), 0604);
        const struct timespec old[2] = {{1234567890, 42}, {1234567890, 42}};
        utimensat(AT_FDCWD, QFile::encodeName(path + QStringLiteral("/dir/sub/a.txt")).constData(), old, 0);

        delegate.clear();
        r->performAction(5, &delegate, false);
        ASSERT_FALSE(r->lastError()) << r->lastError()->description().toStdString();
        EXPECT_EQ(delegate.infos(), (QList<qint64>{10, 12, 12}));
        EXPECT_EQ(r->status(), 0);
        EXPECT_EQ(readFile(backupDir + QStringLiteral("/dir/sub/a.txt")), QByteArray("alpha"));
        EXPECT_EQ(readFile(backupDir + QStringLiteral("/b.bin")).size(), 300000);

        delegate.clear();
        ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
        EXPECT_FALSE(error);
        EXPECT_EQ(r->path(), path);
        EXPECT_EQ(readFile(path + QStringLiteral("/dir/sub/a.txt")), QByteArray("alpha"));
        EXPECT_EQ(mtimeOf(path + QStringLiteral("/dir/sub/a.txt")), 1234567890000000042LL);
        EXPECT_EQ(modeOf(path + QStringLiteral("/b.bin")), mode_t(0604));

        r->performAction(5, &delegate, false);
        EXPECT_EQ(r->status(), 0);
        QMRamDiskBackup::removeItemAtPath(backupDir, nullptr);
    }
}

TEST(QMRamDiskEndToEnd, BaseSynchronizedRamDiskReplacesItsBaseAtEject)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    const QString base = sandbox.mkdir(QStringLiteral("home/Cache"));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/old.txt"), "old"));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/stays.txt"), "stays"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Cache"));
    r->setBackupMode(3);
    const QString aside = base + QStringLiteral(" (Quilmo Backup Base)");

    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_EQ(delegate.infos(), (QList<qint64>{1, 2, 3, 4, 5}));
    EXPECT_EQ(r->path(), base);
    EXPECT_TRUE(isMounted(base));
    EXPECT_EQ(readFile(aside + QStringLiteral("/old.txt")), QByteArray("old")); // moved aside
    EXPECT_EQ(readFile(base + QStringLiteral("/old.txt")), QByteArray("old"));  // and copied in

    ASSERT_TRUE(QFile::remove(base + QStringLiteral("/old.txt")));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/new.txt"), "new"));

    delegate.clear();
    r->performAction(5, &delegate, false);
    ASSERT_FALSE(r->lastError()) << r->lastError()->description().toStdString();
    EXPECT_EQ(delegate.infos(), (QList<qint64>{9, 12, 12}));
    EXPECT_FALSE(isMounted(base));
    EXPECT_EQ(entriesOf(base), (QStringList{QStringLiteral("new.txt"), QStringLiteral("stays.txt")}));
    EXPECT_FALSE(QFileInfo::exists(aside));
    EXPECT_FALSE(QFileInfo::exists(aside + QStringLiteral(".previous")));
    EXPECT_EQ(entriesOf(mountDir), QStringList{QStringLiteral("Cache")});
}

// The moved-aside base is the only copy of the user's directory while the RAM disk is
// mounted: a crash must not cost it.
TEST(QMRamDiskEndToEnd, LeftoverBaseIsRecoveredAfterACrash)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    const QString base = sandbox.mkdir(QStringLiteral("home/Cache"));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/original.txt"), "original"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Cache"));
    r->setBackupMode(3);
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/synced.txt"), "synced"));

    delegate.clear();
    r->performAction(2, &delegate, true); // copy to base
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(r->lastError());

    // The machine goes down: the device vanishes behind the engine's back.
    const QString deviceNode = r->deviceNode();
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), base}), 0);
    ASSERT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), deviceNode}), 0);
    QMRamDisk::Ptr again = QMRamDisk::initWithCoder([&] {
        QVariantMap coder;
        r->encodeWithCoder(&coder);
        return coder;
    }());
    sandbox.watch(again);

    LogCapture log;
    ASSERT_TRUE(again->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_TRUE(log.contains(QStringLiteral("Recovered base: ")));
    EXPECT_EQ(readFile(base + QStringLiteral("/original.txt")), QByteArray("original"));
    EXPECT_EQ(readFile(base + QStringLiteral("/synced.txt")), QByteArray("synced"));

    again->performAction(5, &delegate, false);
    ASSERT_FALSE(again->lastError());
    EXPECT_EQ(entriesOf(base), (QStringList{QStringLiteral("original.txt"), QStringLiteral("synced.txt")}));
    EXPECT_EQ(entriesOf(mountDir), QStringList{QStringLiteral("Cache")});
}

TEST(QMRamDiskEndToEnd, LeftoverAndBaseBothWithContentsAreBothKept)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    const QString base = sandbox.mkdir(QStringLiteral("home/Cache"));
    const QString aside = sandbox.mkdir(QStringLiteral("home/Cache (Quilmo Backup Base)"));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/current.txt"), "current"));
    ASSERT_TRUE(writeFile(aside + QStringLiteral("/leftover.txt"), "leftover"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Cache"));
    r->setBackupMode(3);
    RecordingDelegate delegate;
    QMError::Ptr error;
    LogCapture log;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_TRUE(log.contains(QStringLiteral("Kept base left behind")));
    EXPECT_EQ(entriesOf(base), QStringList{QStringLiteral("current.txt")}); // the creation went on with the base

    QStringList recovered;
    for (const QString &name : entriesOf(mountDir))
        if (name.startsWith(QStringLiteral("Cache (Quilmo Recovered Base ")))
            recovered << name;
    ASSERT_EQ(recovered.size(), 1);
    EXPECT_EQ(readFile(mountDir + QLatin1Char('/') + recovered.first() + QStringLiteral("/leftover.txt")),
              QByteArray("leftover"));

    r->performAction(5, &delegate, false);
    EXPECT_FALSE(r->lastError());
    EXPECT_EQ(entriesOf(base), QStringList{QStringLiteral("current.txt")});
}

TEST(QMRamDiskEndToEnd, UnwritableBackupKeepsTheRamDiskMounted)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Unsaved"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/precious.txt"), "precious"));
    // Below a regular file nothing can be created, not even by root.
    const QString blocker = sandbox.path() + QStringLiteral("/file");
    ASSERT_TRUE(writeFile(blocker, "x"));
    r->setBackupMode(2);
    r->setBackupDir(blocker + QStringLiteral("/backups"));

    r->performAction(5, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_EQ(r->lastError()->message(), QStringLiteral("Can not create backup"));
    EXPECT_EQ(r->lastActionInfo(), 12);
    EXPECT_EQ(r->action(), 0);
    EXPECT_EQ(r->status(), 2);
    EXPECT_TRUE(isMounted(r->path()));
    EXPECT_EQ(readFile(r->path() + QStringLiteral("/precious.txt")), QByteArray("precious"));
    EXPECT_EQ(r->hasContents(), 1);

    // A rebuild whose ejection fails creates nothing and reports that error at its end.
    delegate.clear();
    const QString deviceNode = r->deviceNode();
    r->performAction(7, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_TRUE(r->lastError());
    EXPECT_EQ(r->lastError()->message(), QStringLiteral("Can not create backup"));
    EXPECT_EQ(r->lastActionInfo(), 0);
    EXPECT_FALSE(delegate.infos().contains(2));
    EXPECT_EQ(r->deviceNode(), deviceNode);
    EXPECT_TRUE(isMounted(r->path()));

    r->setBackupMode(0);
    r->performAction(5, &delegate, false);
    EXPECT_FALSE(r->lastError());
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, BaseTooLargeIsRefusedBeforeAnythingIsAttached)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    const QString base = sandbox.mkdir(QStringLiteral("home/Big"));
    // 100 MB allocated in the base against 128 MB of RAM disk: 150 MB needed.
    const int fd = open(QFile::encodeName(base + QStringLiteral("/allocated.bin")).constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(posix_fallocate(fd, 0, 100000000), 0);
    close(fd);
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Big"));
    r->setBackupMode(3);
    ToolWrappers tools({QStringLiteral("hdiutil")});
    RecordingDelegate delegate;
    QMError::Ptr error;
    EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->message().startsWith(QStringLiteral("Insufficient space to create RamDisk (RamDisk: ")));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral("directoryStatistics.totalSize")));
    EXPECT_EQ(delegate.infos(), QList<qint64>{1});
    EXPECT_TRUE(tools.log().isEmpty()); // nothing attached
    EXPECT_EQ(entriesOf(mountDir), QStringList{QStringLiteral("Big")}); // the base untouched
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, PostCommandRunsInTheVolumeWithItsArguments)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    const QString out = sandbox.path() + QStringLiteral("/post.out");
    const QString script = QMTest::writeScript(
        sandbox.mkdir(QStringLiteral("bin")), QStringLiteral("post.sh"),
        QStringLiteral("pwd > '%1'\nfor a in \"$@\"; do echo \"[$a]\" >> '%1'; done\n").arg(out));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Post"));
    r->setPostCmd(QStringLiteral("  ") + script + QStringLiteral(" \n"));
    r->setPostCmdArgs(QStringList{QStringLiteral("one two"), QStringLiteral("three")});
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_TRUE(delegate.infos().contains(7));
    EXPECT_EQ(QString::fromUtf8(readFile(out)), r->path() + QStringLiteral("\n[one two]\n[three]\n"));
    r->performAction(5, &delegate, false);

    // Only spaces: nothing runs, no step reported.
    r->setPostCmd(QStringLiteral("   "));
    delegate.clear();
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    EXPECT_FALSE(delegate.infos().contains(7));
    r->performAction(5, &delegate, false);

    // A failing command: false, its error, and the volume stays.
    const QString failing = QMTest::writeScript(sandbox.path() + QStringLiteral("/bin"), QStringLiteral("fail.sh"),
                                                QStringLiteral("echo broken >&2\nexit 3\n"));
    r->setPostCmd(failing);
    EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Can not execute post-command"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral("runPostCommand")));
    EXPECT_EQ(error->depends().text().trimmed(), QStringLiteral("broken"));
    EXPECT_EQ(r->status(), 2);
    EXPECT_TRUE(isMounted(r->path()));
    r->performAction(5, &delegate, false);
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, SearchIndexOffRunsThreeCommandsInOrder)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("NoIndex"));
    r->setMdIndexMode(2);
    ToolWrappers tools({QStringLiteral("mdutil"), QStringLiteral("hdiutil")});
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_EQ(delegate.infos().last(), 8);
    const QString path = r->path();
    QStringList mdutil;
    for (const QString &line : tools.log())
        if (line.startsWith(QStringLiteral("mdutil ")))
            mdutil << line;
    EXPECT_EQ(mdutil, (QStringList{QStringLiteral("mdutil -i off ") + path, QStringLiteral("mdutil -E ") + path,
                                   QStringLiteral("mdutil -d ") + path}));
    // 128000000 bytes are 250000 sectors of 512.
    EXPECT_TRUE(tools.log().contains(QStringLiteral("hdiutil attach -nomount -plist ram://250000")));
    r->performAction(5, &delegate, false);
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, DeviceArgumentsAndFormatOutputContract)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    {
        // A 1 GiB request asks for 2097152 sectors, and with wired memory for a RAM disk out
        // of swap where the kernel has that; one byte more never asks. The attach is refused
        // here, nothing else runs.
        for (const QString &release : {QStringLiteral("6.1.0"), QStringLiteral("6.6.0")}) {
            QMTest::KernelFeaturesRoot kernel(release);
            for (const quint64 size : {1073741824ULL, 1073741825ULL}) {
                ToolWrappers tools({}, {{QStringLiteral("hdiutil"),
                                         QStringLiteral("echo \"hdiutil $*\" >> '@LOG@'\necho no >&2\nexit 1\n")}});
                QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Big"), size);
                r->setPreferWired(true);
                EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
                const bool wired = release == QLatin1String("6.6.0") && size == 1073741824ULL;
                EXPECT_EQ(tools.log(), QStringList{QStringLiteral("hdiutil attach -nomount -plist ram://2097152")
                                                   + (wired ? QStringLiteral(" -kernel") : QString())})
                    << release.toStdString() << " " << size;
                ASSERT_TRUE(error);
                EXPECT_EQ(error->message(), QStringLiteral("Unable to create RamDisk"));
            }
        }
    }
    {
        // A format that says more than its one line fails, and the new device is released.
        ToolWrappers tools({QStringLiteral("hdiutil")},
                           {{QStringLiteral("newfs_hfs"),
                             QStringLiteral("echo 'warning: something'\n"
                                            "echo 'Initialized /dev/loop0 as a 128 MB case-sensitive ext4 volume'\n")}});
        QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("TwoLines"));
        EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->reason().endsWith(QStringLiteral("lines")));
        const QStringList log = tools.log();
        ASSERT_EQ(log.size(), 2);
        EXPECT_TRUE(log[1].startsWith(QStringLiteral("hdiutil detach quilmo-ram"))) << log[1].toStdString();
        EXPECT_EQ(r->status(), 0);
        EXPECT_FALSE(QFileInfo::exists(mountDir + QStringLiteral("/TwoLines")));
    }
}

// The device a creation attached is released when the mount fails, whatever it is.
TEST(QMRamDiskEndToEnd, ACreationWhoseMountFailsReleasesTheDeviceItAttached)
{
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "loop device" : "memory instance");
        QM_REQUIRE_SANDBOX(sandbox);
        std::unique_ptr<LoopRealisation> realisation(loop ? new LoopRealisation : nullptr);
        const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
        // hdiutil logs what it did and to which device; mount refuses.
        ToolWrappers tools({}, {{QStringLiteral("hdiutil"),
                                 QStringLiteral("out=$('@REAL@/hdiutil' \"$@\"); status=$?\nprintf '%s\\n' \"$out\"\n"
                                                "echo \"hdiutil $* => $(printf '%s' \"$out\" | sed -n "
                                                "'s:.*<string>\\(.*\\)</string>.*:\\1:p')\" >> '@LOG@'\nexit $status\n")},
                                {QStringLiteral("mount"), QStringLiteral("echo 'mount: refused for the test' >&2\nexit 1\n")}});
        QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Unmountable"));
        RecordingDelegate delegate;
        QMError::Ptr error;
        EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->description().contains(QStringLiteral("refused for the test"))) << error->description().toStdString();
        const QStringList log = tools.log();
        ASSERT_EQ(log.size(), 2) << log.join(QLatin1Char('\n')).toStdString();
        const QString device = log[0].section(QStringLiteral(" => "), 1);
        ASSERT_TRUE(log[0].startsWith(QStringLiteral("hdiutil attach ")) && !device.isEmpty()) << log[0].toStdString();
        EXPECT_TRUE(device.startsWith(loop ? QStringLiteral("/dev/loop") : QStringLiteral("quilmo-ram")));
        EXPECT_EQ(log[1], QStringLiteral("hdiutil detach %1 => ").arg(device));
        EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(device), 0) << device.toStdString() << " is still attached";
        EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
        EXPECT_FALSE(QFileInfo::exists(mountDir + QStringLiteral("/Unmountable")));
    }
}

TEST(QMRamDiskEndToEnd, RemountAfterAnOutsideUnmount)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Again"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    const QString path = r->path();
    ASSERT_TRUE(writeFile(path + QStringLiteral("/still.txt"), "still here"));
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), path}), 0);

    EXPECT_TRUE(r->update());
    EXPECT_EQ(r->status(), 1);
    EXPECT_EQ(r->hasContents(), -1);

    delegate.clear();
    r->performAction(4, &delegate, false);
    ASSERT_FALSE(r->lastError()) << r->lastError()->description().toStdString();
    EXPECT_EQ(delegate.infos(), (QList<qint64>{11, 11}));
    EXPECT_EQ(r->status(), 2);
    EXPECT_EQ(r->path(), path);
    EXPECT_EQ(readFile(path + QStringLiteral("/still.txt")), QByteArray("still here"));

    // Remounting or creating again over the mounted volume is refused and leaves it and
    // its files alone.
    const QString deviceNode = r->deviceNode();
    r->performAction(4, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_TRUE(r->lastError()->reason().endsWith(QStringLiteral("status==mounted")));
    EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral("status==mounted")));
    EXPECT_EQ(r->deviceNode(), deviceNode);
    EXPECT_EQ(readFile(path + QStringLiteral("/still.txt")), QByteArray("still here"));

    r->performAction(5, &delegate, false);
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, EjectAfterAnOutsideUnmountSavesTheContents)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Saved"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/late.txt"), "late"));
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), r->path()}), 0);
    r->update();
    ASSERT_EQ(r->status(), 1);

    // The backup comes from the device, not from the empty directory left behind.
    r->performAction(5, &delegate, false);
    ASSERT_FALSE(r->lastError()) << r->lastError()->description().toStdString();
    EXPECT_EQ(r->status(), 0);
    EXPECT_EQ(readFile(r->backupDirPath() + QStringLiteral("/late.txt")), QByteArray("late"));

    // Without anything to save, the device is only released.
    QMRamDisk::Ptr plain = sandbox.makeRamDisk(mountDir, QStringLiteral("Plain"));
    ASSERT_TRUE(plain->createWithDelegate(&delegate, &error));
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), plain->path()}), 0);
    plain->update();
    ASSERT_EQ(plain->status(), 1);
    plain->performAction(5, &delegate, false);
    EXPECT_FALSE(plain->lastError());
    EXPECT_EQ(plain->status(), 0);
}

TEST(QMRamDiskEndToEnd, RebuildStartsOverFromTheBackup)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Rebuilt"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/kept.txt"), "kept"));
    delegate.clear();
    r->performAction(7, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    EXPECT_FALSE(r->lastError());
    EXPECT_EQ(delegate.reports().last().info, 0);
    EXPECT_EQ(r->status(), 2);
    EXPECT_EQ(readFile(r->path() + QStringLiteral("/kept.txt")), QByteArray("kept"));

    r->performAction(5, &delegate, false);
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, CleanUpLeavesTheVolumeSystemNames)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Clean"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    const QString path = r->path();
    QDir(path).mkpath(QStringLiteral("folder/sub"));
    writeFile(path + QStringLiteral("/folder/sub/f"), "f");
    writeFile(path + QStringLiteral("/file.txt"), "x");
    writeFile(path + QStringLiteral("/.DS_Store"), "x"); // user content here
    QDir(path).mkdir(QStringLiteral(".Trashes"));
    QDir(path).mkdir(QStringLiteral(".fseventsd"));
    QDir(path).mkdir(QStringLiteral(".Spotlight-V100"));

    delegate.clear();
    r->performAction(6, &delegate, false);
    EXPECT_TRUE(delegate.reports().isEmpty()); // clean-up reports nothing
    EXPECT_EQ(r->action(), 0);
    EXPECT_EQ(entriesOf(path), (QStringList{QStringLiteral(".Spotlight-V100"), QStringLiteral(".Trashes"),
                                            QStringLiteral(".fseventsd")}));
    r->performAction(5, &delegate, false);
    EXPECT_EQ(r->status(), 0);
}

TEST(QMRamDiskEndToEnd, EjectNeverDetachesADeviceThatIsNoLongerItsOwn)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr mine = sandbox.makeRamDisk(mountDir, QStringLiteral("Mine"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(mine->createWithDelegate(&delegate, &error));

    // A stale record whose last device node is now another RAM disk's.
    QMRamDisk::Ptr stale = QMRamDisk::create();
    stale->setName(QStringLiteral("Stale"));
    stale->setDeviceNode(mine->deviceNode());
    stale->setPath(mountDir + QStringLiteral("/Stale"));
    stale->setStatus(2);
    stale->performAction(5, &delegate, false);
    EXPECT_FALSE(stale->lastError());
    EXPECT_EQ(stale->status(), 0);
    EXPECT_TRUE(isMounted(mine->path()));
    EXPECT_TRUE(deviceExists(mine->deviceNode()));

    mine->performAction(5, &delegate, false);
    EXPECT_EQ(mine->status(), 0);
}

TEST(QMRamDiskEndToEnd, AFailedCreationPutsTheMovedBaseBack)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    const QString base = sandbox.mkdir(QStringLiteral("home/Cache"));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/mine.txt"), "mine"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Cache"));
    r->setBackupMode(3);
    // The format fails once the base is aside and the device attached.
    ToolWrappers tools({QStringLiteral("hdiutil")}, {{QStringLiteral("newfs_hfs"), QStringLiteral("exit 1\n")}});
    RecordingDelegate delegate;
    QMError::Ptr error;
    EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
    EXPECT_EQ(delegate.infos(), (QList<qint64>{1, 2, 3}));
    EXPECT_EQ(entriesOf(mountDir), QStringList{QStringLiteral("Cache")});
    EXPECT_EQ(readFile(base + QStringLiteral("/mine.txt")), QByteArray("mine"));
    EXPECT_TRUE(tools.log().last().startsWith(QStringLiteral("hdiutil detach ")));
}
