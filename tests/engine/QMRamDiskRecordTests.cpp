// The record on its own: defaults, archive form, identity, display values, thread safety.

#include "QMRamDisk.h"
#include "QMRamDiskEntry.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"

#include "QMMacInfo.h"
#include "QMRamDiskManager.h"

#include <gtest/gtest.h>

#include <QDir>

#include <atomic>
#include <thread>

using namespace QMEngineTest;

namespace {

struct PhysicalMemory
{
    explicit PhysicalMemory(quint64 bytes) { QMMacInfo::setPhysicalMemoryForTesting(bytes); }
    ~PhysicalMemory() { QMMacInfo::setPhysicalMemoryForTesting(0); }
};

} // namespace

TEST(QMRamDiskRecord, NewRecordDefaultsAndCapSizeBoundary)
{
    {
        PhysicalMemory memory(2147483648ULL);
        QMRamDisk::Ptr r = QMRamDisk::create();
        EXPECT_EQ(r->name(), QStringLiteral("RamDisk"));
        EXPECT_EQ(r->format(), 0);
        EXPECT_EQ(r->type(), 0);
        EXPECT_EQ(r->status(), 0);
        EXPECT_EQ(r->action(), 0);
        EXPECT_EQ(r->size(), 512000000ULL); // the larger default needs strictly more than 2 GiB
        EXPECT_TRUE(r->mountDirectory().isNull());
        EXPECT_FALSE(r->postCmdArgs().has_value());
        EXPECT_EQ(r->identifier().size(), 36);
        EXPECT_NE(r->identifier(), QMRamDisk::create()->identifier());
    }
    PhysicalMemory memory(2147483649ULL);
    EXPECT_EQ(QMRamDisk::defaultCapSize(), 1000000000ULL);
}

TEST(QMRamDiskRecord, ArchiveRoundTripAbbreviatesOnlyTheMountDirectory)
{
    const QString home = QDir::homePath();
    QMRamDisk::Ptr r = QMRamDiskEntry::create();
    r->setName(QStringLiteral("Builds"));
    r->setSize(4000000000ULL);
    r->setFormat(1);
    r->setMountDirectory(home + QStringLiteral("/caches"));
    r->setBackupDir(home + QStringLiteral("/backups"));
    r->setBackupMode(2);
    r->setMdIndexMode(2);
    r->setPreferWired(true);
    r->setCreateAtLogin(true);
    r->setDoNotCalculateBaseSize(true);
    r->setPostCmd(QStringLiteral("/bin/echo"));
    r->setPostCmdArgs(QStringList{QStringLiteral("a b"), QStringLiteral("c")});
    r->setStatus(2);
    r->setDeviceNode(QStringLiteral("/dev/loop7"));
    r->setPath(home + QStringLiteral("/caches/Builds"));
    r->setVolSize(123);
    r->setAction(3);

    QVariantMap coder;
    r->encodeWithCoder(&coder);
    EXPECT_EQ(coder.value(QStringLiteral("mountDirectory")).toString(), QStringLiteral("~/caches"));
    EXPECT_EQ(coder.value(QStringLiteral("backupDir")).toString(), home + QStringLiteral("/backups"));
    EXPECT_EQ(coder.value(QStringLiteral("size")).toULongLong(), 4000000000ULL);
    // Live values are not persisted.
    for (const char *key : {"volSize", "volFree", "action", "lastActionInfo", "lastError", "uuid", "devUUID"})
        EXPECT_FALSE(coder.contains(QLatin1String(key))) << key;
    EXPECT_EQ(r->className(), QStringLiteral("QMRamDiskEntry"));

    QMRamDisk::Ptr d = QMRamDisk::initWithCoder(coder, r->className());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->className(), QStringLiteral("QMRamDiskEntry"));
    EXPECT_TRUE(d->isEqual(r));
    EXPECT_EQ(d->hash(), r->hash());
    EXPECT_EQ(d->mountDirectory(), home + QStringLiteral("/caches"));
    EXPECT_EQ(d->backupDir(), r->backupDir());
    EXPECT_EQ(d->name(), r->name());
    EXPECT_EQ(d->size(), r->size());
    EXPECT_EQ(d->format(), 1);
    EXPECT_EQ(d->backupMode(), 2);
    EXPECT_EQ(d->mdIndexMode(), 2);
    EXPECT_TRUE(d->preferWired());
    EXPECT_TRUE(d->createAtLogin());
    EXPECT_TRUE(d->doNotCalculateBaseSize());
    EXPECT_EQ(d->postCmd(), r->postCmd());
    EXPECT_EQ(d->postCmdArgs(), r->postCmdArgs());
    EXPECT_EQ(d->status(), 2);
    EXPECT_EQ(d->deviceNode(), r->deviceNode());
    EXPECT_EQ(d->path(), r->path());
    EXPECT_EQ(d->volSize(), 0u);
    EXPECT_EQ(d->action(), 0);

    // A mount directory outside the home directory is written as it is.
    r->setMountDirectory(QStringLiteral("/mnt/x"));
    QVariantMap other;
    r->encodeWithCoder(&other);
    EXPECT_EQ(other.value(QStringLiteral("mountDirectory")).toString(), QStringLiteral("/mnt/x"));
    EXPECT_EQ(QMRamDisk::stringByAbbreviatingWithTildeInPath(home + QStringLiteral("x")), home + QStringLiteral("x"));
}

TEST(QMRamDiskRecord, DecodingStartsFromABareRecord)
{
    QVariantMap coder{{QStringLiteral("name"), QStringLiteral("Old")},
                      {QStringLiteral("uuid"), QStringLiteral("ABC")},
                      {QStringLiteral("devUUID"), 42}};
    QMRamDisk::Ptr a = QMRamDisk::initWithCoder(coder);
    QMRamDisk::Ptr b = QMRamDisk::initWithCoder(coder);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(a->identifier().isNull());
    EXPECT_EQ(a->size(), 0u); // not the default of a new record
    EXPECT_TRUE(a->mountDirectory().isNull());
    EXPECT_EQ(a->uuid(), QStringLiteral("ABC"));
    EXPECT_EQ(a->devUUID(), std::optional<qint64>(42));
    EXPECT_TRUE(a->isEqual(a));
    EXPECT_FALSE(a->isEqual(b));
    EXPECT_FALSE(a->isEqual(QMRamDisk::create()));
    EXPECT_FALSE(QMRamDisk::initWithCoder(coder, QStringLiteral("NSObject")));
    EXPECT_EQ(QMRamDisk::initWithCoder(coder, QStringLiteral("QMRamDisk"))->className(), QStringLiteral("QMRamDisk"));
}

TEST(QMRamDiskRecord, DisplayNamesOfPresetTypes)
{
    QMRamDisk::Ptr sim = QMRamDisk::initWithCoder({{QStringLiteral("type"), 5},
                                                   {QStringLiteral("name"), QStringLiteral("volume")},
                                                   {QStringLiteral("simId"), QStringLiteral("NO-SUCH-DEVICE")}});
    EXPECT_EQ(sim->displayName(), QStringLiteral("NO-SUCH-DEVICE")); // no device found: the identifier
    sim->setSimId(QString());
    EXPECT_NE(sim->displayName(), QStringLiteral("volume")); // the type's own name
    QMRamDisk::Ptr firefox = QMRamDisk::initWithCoder({{QStringLiteral("type"), 7},
                                                       {QStringLiteral("name"), QStringLiteral("firefox")}});
    EXPECT_NE(firefox->displayName(), QStringLiteral("firefox"));
    EXPECT_FALSE(firefox->displayName().isEmpty());
    QMRamDisk::Ptr unassigned = QMRamDisk::initWithCoder({{QStringLiteral("type"), 1},
                                                          {QStringLiteral("name"), QStringLiteral("Mine")}});
    EXPECT_EQ(unassigned->displayName(), QStringLiteral("Mine"));
}

TEST(QMRamDiskRecord, ChangeToUnavailablePresetKeepsOrResets)
{
    // Safari does not exist on Linux: its preset is never available.
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setName(QStringLiteral("Mine"));
    r->setSize(300000000);
    r->setMountDirectory(QStringLiteral("/mnt/somewhere"));
    r->setBackupMode(2);
    r->setBackupDir(QStringLiteral("/mnt/backups"));
    r->setPreferWired(true);
    r->changeToType(2, QMRamDisk::ChangeTypeOptionKeepSizeAndBackup);
    EXPECT_EQ(r->type(), 0);
    EXPECT_EQ(r->name(), QStringLiteral("Mine"));
    EXPECT_EQ(r->size(), 300000000u);
    EXPECT_EQ(r->backupMode(), 2);
    EXPECT_TRUE(r->preferWired());

    r->changeToType(2, 0);
    EXPECT_EQ(r->type(), 0);
    EXPECT_EQ(r->name(), QStringLiteral("RamDisk"));
    EXPECT_EQ(r->size(), QMRamDisk::defaultCapSize());
    EXPECT_TRUE(r->mountDirectory().isNull());
    EXPECT_EQ(r->backupMode(), 0);
    EXPECT_TRUE(r->backupDir().isNull());
    EXPECT_FALSE(r->preferWired());
}

TEST(QMRamDiskRecord, UsageAndContents)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    EXPECT_EQ(r->diskUsage(), 0.0);
    EXPECT_EQ(r->hasContents(), -1); // never mounted
    r->setVolSize(1000);
    r->setVolFree(250);
    EXPECT_DOUBLE_EQ(r->diskUsage(), 0.75);

    QMTemporaryDir volume;
    ASSERT_TRUE(volume.isValid());
    r->setStatus(2);
    r->setPath(volume.path());
    EXPECT_EQ(r->hasContents(), 0);
    QDir(volume.path()).mkdir(QStringLiteral(".Trashes"));
    QDir(volume.path()).mkdir(QStringLiteral(".fseventsd"));
    writeFile(volume.path() + QStringLiteral("/.DS_Store"), "x");
    EXPECT_EQ(r->hasContents(), 0); // only system and hidden names
    writeFile(volume.path() + QStringLiteral("/notes.txt"), "x");
    EXPECT_EQ(r->hasContents(), 1);
    r->setAction(5);
    EXPECT_EQ(r->hasContents(), -1); // never read a volume that an action works on
    r->setAction(0);
    r->setStatus(0);
    EXPECT_EQ(r->hasContents(), -1); // ejected

    LogCapture log;
    r->setStatus(2);
    r->setPath(volume.path() + QStringLiteral("/missing"));
    EXPECT_EQ(r->hasContents(), -1);
    EXPECT_TRUE(log.contains(QStringLiteral("contents==nil path:")));
}

TEST(QMRamDiskRecord, BackupPathsAndComparableValues)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    EXPECT_TRUE(r->backupDirPath().isNull());
    r->setBackupMode(2);
    r->setBackupDir(QStringLiteral("/mnt/bck"));
    EXPECT_EQ(r->backupDirPath(), QStringLiteral("/mnt/bck/%1.QuilmoBackup").arg(r->identifier()));
    r->setBackupMode(3);
    EXPECT_TRUE(r->backupDirPath().isNull());
    EXPECT_FALSE(r->isBaseSynchronized()); // mode 3 needs a mount directory
    r->setMountDirectory(QStringLiteral("/mnt/dir"));
    r->setName(QStringLiteral("Cache"));
    EXPECT_TRUE(r->isBaseSynchronized());
    EXPECT_EQ(r->baseBackupPath(), QStringLiteral("/mnt/dir/Cache (Quilmo Backup Base)"));

    r->setVolSize(10);
    r->setVolFree(4);
    const QVariantMap values = r->comparableValues();
    EXPECT_EQ(values.value(QStringLiteral("name")).toString(), QStringLiteral("Cache"));
    EXPECT_EQ(values.value(QStringLiteral("size")).toULongLong(), 10u);
    EXPECT_EQ(values.value(QStringLiteral("sizeFree")).toULongLong(), 4u);
}

TEST(QMRamDiskRecord, DeleteBackupDirsCleansOnlyTheDefaultLocation)
{
    const QString support = QMRamDiskManager::appSupportPath();
    if (support.isEmpty())
        GTEST_SKIP() << "no application-support directory";
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setBackupMode(2); // whatever the mode
    const QString bck = support + QLatin1Char('/') + r->identifier() + QStringLiteral(".QuilmoBackup");
    QDir().mkpath(bck + QStringLiteral("/sub"));
    QDir().mkpath(bck + QStringLiteral(".previous"));
    r->deleteBackupDirs();
    EXPECT_FALSE(QFileInfo::exists(bck));
    EXPECT_FALSE(QFileInfo::exists(bck + QStringLiteral(".previous")));
}

TEST(QMRamDiskRecord, DisplayIconSizes)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    LogCapture log;
    EXPECT_TRUE(r->displayIcon(64).isNull());
    EXPECT_TRUE(log.contains(QStringLiteral("sizeIdx==-1")));
    for (int size : {32, 48, 128}) {
        const QImage icon = r->displayIcon(size);
        if (!icon.isNull()) {
            EXPECT_EQ(icon.size(), QSize(size, size));
        }
    }
    EXPECT_FALSE(r->displayStatus().isEmpty());
    EXPECT_EQ(r->displayName(), QStringLiteral("RamDisk"));
}

TEST(QMRamDiskRecord, InformReachesTheDelegateWithTheRecord)
{
    struct Delegate : QMRamDiskActionDelegateProtocol
    {
        QMRamDisk::Ptr seen;
        void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override { seen = ramDisk; }
    } delegate;
    QMRamDisk::Ptr r = QMRamDisk::create();
    QMError::Ptr error = QMError::errorWithMessage(QStringLiteral("m"), QStringLiteral("r"));
    r->inform(&delegate, 10, error);
    EXPECT_EQ(delegate.seen, r);
    EXPECT_EQ(r->lastActionInfo(), 10);
    EXPECT_EQ(r->lastError(), error);
    r->inform(nullptr, 2, nullptr);
    EXPECT_FALSE(r->lastError());
}

TEST(QMRamDiskRecord, BusyRecordRefusesASecondAction)
{
    RecordingDelegate delegate;
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setAction(3);
    LogCapture log;
    r->performAction(5, &delegate, false);
    EXPECT_TRUE(log.contains(QStringLiteral("An other action is running:3")));
    EXPECT_TRUE(delegate.reports().isEmpty());
    EXPECT_EQ(r->action(), 3);
    // An unknown action does nothing at all.
    r->setAction(0);
    r->performAction(42, &delegate, false);
    EXPECT_EQ(r->action(), 0);
    EXPECT_TRUE(delegate.reports().isEmpty());
}

TEST(QMRamDiskRecord, CleanUpRefusesPathsThatAreNotItsVolume)
{
    QMTemporaryDir dir;
    writeFile(dir.path() + QStringLiteral("/keep.txt"), "x");
    QMRamDisk::Ptr r = QMRamDisk::create();
    LogCapture log;
    r->performCleanUpFiles();
    EXPECT_TRUE(log.contains(QStringLiteral("dirPath==nil")));
    r->setPath(QDir::homePath());
    r->performCleanUpFiles();
    EXPECT_TRUE(log.contains(QStringLiteral("dirPath:") + QDir::homePath()));
    // A plain directory that a stale path points to is not wiped.
    r->setPath(dir.path());
    r->setStatus(2);
    r->performAction(6, nullptr, true);
    EXPECT_TRUE(QFileInfo::exists(dir.path() + QStringLiteral("/keep.txt")));
    EXPECT_EQ(r->action(), 0);
}

// Readers on this thread while a writer changes the record: the accessors must be safe
// (ThreadSanitizer checks this run).
TEST(QMRamDiskRecord, AccessorsAreSafeWhileAnotherThreadWrites)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            r->setName(QStringLiteral("name %1").arg(i));
            r->setPath(QStringLiteral("/mnt/p%1").arg(i));
            r->setVolSize(quint64(i) + 10);
            r->setVolFree(quint64(i));
            r->inform(nullptr, i % 12, nullptr);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        const QString name = r->name();
        EXPECT_TRUE(name == QStringLiteral("RamDisk") || name.startsWith(QStringLiteral("name ")));
        (void)r->comparableValues();
        (void)r->diskUsage();
        (void)r->displayName();
        QVariantMap coder;
        r->encodeWithCoder(&coder);
    }
    stop = true;
    writer.join();
}

TEST(QMRamDiskRecord, SaveDateAndIncompleteMarkAreWrittenOnlyWhenSet)
{
    QMRamDisk::Ptr r = QMRamDisk::create();
    QVariantMap coder;
    r->encodeWithCoder(&coder);
    // Files written before these keys existed read the same as files written now.
    EXPECT_FALSE(coder.contains(QStringLiteral("lastSaveDate")));
    EXPECT_FALSE(coder.contains(QStringLiteral("contentsIncomplete")));

    r->setLastSaveDate(1765000000.25);
    r->setContentsIncomplete(true);
    coder.clear();
    r->encodeWithCoder(&coder);
    EXPECT_EQ(coder.value(QStringLiteral("lastSaveDate")).typeId(), QMetaType::Double);
    QMRamDisk::Ptr back = QMRamDisk::initWithCoder(coder);
    EXPECT_DOUBLE_EQ(back->lastSaveDate(), 1765000000.25);
    EXPECT_TRUE(back->contentsIncomplete());

    // A damaged value never reads as a save.
    coder.insert(QStringLiteral("lastSaveDate"), QStringLiteral("yesterday"));
    EXPECT_EQ(QMRamDisk::initWithCoder(coder)->lastSaveDate(), 0);
}
