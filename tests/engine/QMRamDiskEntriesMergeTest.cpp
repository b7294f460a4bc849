// Several programs saving one entries file: each save merges with what the file holds, and
// a file that is not a list of ours is refused without hanging, following or aborting.
#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

QStringList names(const QMRamDiskEntries &entries)
{
    QStringList list;
    for (const auto &r : entries.ramDisks())
        list << r->name();
    return list;
}

// Two programs' stores over one file, both having read it with records X and Y.
class EntriesMergeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("RamDiskEntries"));
        for (QMRamDiskEntries *e : {&a, &b, &reader})
            e->setEntriesFilePath(path);
        a.addRamDisk()->setName(QStringLiteral("X"));
        a.addRamDisk()->setName(QStringLiteral("Y"));
        ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
        ASSERT_TRUE(b.readRamDisksFromDefaultLocation());
    }
    QMRamDisk::Ptr in(QMRamDiskEntries &e, const QString &name) { return e.ramDiskWithName(name); }
    QStringList saved()
    {
        EXPECT_TRUE(reader.readRamDisksFromDefaultLocation());
        return names(reader);
    }

    QMTemporaryDir dir;
    QString path;
    QMRamDiskEntries a, b, reader;
};

} // namespace

TEST_F(EntriesMergeTest, ChangesOfBothProgramsAreKeptKeyByKey)
{
    in(a, QStringLiteral("X"))->setSize(300000000);
    in(b, QStringLiteral("X"))->setPostCmd(QStringLiteral("/usr/bin/true"));
    in(b, QStringLiteral("Y"))->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    a.setShowInMenuBar(true);
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());

    EXPECT_EQ(saved(), (QStringList{QStringLiteral("X"), QStringLiteral("Y")}));
    EXPECT_EQ(in(reader, QStringLiteral("X"))->size(), 300000000u);
    EXPECT_EQ(in(reader, QStringLiteral("X"))->postCmd(), QStringLiteral("/usr/bin/true"));
    EXPECT_EQ(in(reader, QStringLiteral("Y"))->backupMode(), QMRamDiskBackupMode_defaultLocation);
    EXPECT_TRUE(reader.showInMenuBar());

    // B saves again without touching X's size: what A set stays.
    in(b, QStringLiteral("Y"))->setName(QStringLiteral("Y2"));
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), (QStringList{QStringLiteral("X"), QStringLiteral("Y2")}));
    EXPECT_EQ(in(reader, QStringLiteral("X"))->size(), 300000000u);
    EXPECT_TRUE(reader.showInMenuBar());
}

TEST_F(EntriesMergeTest, AKeyClearedByOneProgramStaysClearedAndAReadKeepsTheRecordObjects)
{
    in(a, QStringLiteral("X"))->setPostCmd(QStringLiteral("/usr/bin/true"));
    in(a, QStringLiteral("X"))->setPostCmdArgs(QStringList{QStringLiteral("-v")});
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    const QMRamDisk::Ptr heldByB = in(b, QStringLiteral("X"));
    ASSERT_TRUE(b.readRamDisksFromDefaultLocation());
    EXPECT_EQ(in(b, QStringLiteral("X")), heldByB) << "a read updates the record in place";
    EXPECT_EQ(heldByB->postCmd(), QStringLiteral("/usr/bin/true"));
    EXPECT_FALSE(b.hasUnsavedChanges());

    // A clears both keys; B, which still holds them, saves a change of its own afterwards.
    in(a, QStringLiteral("X"))->setPostCmd(QString());
    in(a, QStringLiteral("X"))->setPostCmdArgs(std::nullopt);
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    in(b, QStringLiteral("Y"))->setName(QStringLiteral("Y2"));
    EXPECT_TRUE(b.hasUnsavedChanges());
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    EXPECT_FALSE(b.hasUnsavedChanges());

    EXPECT_EQ(saved(), (QStringList{QStringLiteral("X"), QStringLiteral("Y2")}));
    EXPECT_TRUE(in(reader, QStringLiteral("X"))->postCmd().isNull());
    EXPECT_FALSE(in(reader, QStringLiteral("X"))->postCmdArgs().has_value());
    // And B, reading again, has them cleared in the object it holds.
    ASSERT_TRUE(b.readRamDisksFromDefaultLocation());
    EXPECT_EQ(in(b, QStringLiteral("X")), heldByB);
    EXPECT_TRUE(heldByB->postCmd().isNull());
    EXPECT_FALSE(heldByB->postCmdArgs().has_value());
}

TEST_F(EntriesMergeTest, AddedRemovedAndMovedRecordsOfBothPrograms)
{
    a.addRamDisk()->setName(QStringLiteral("A-new"));
    b.addRamDisk()->setName(QStringLiteral("B-new"));
    ASSERT_TRUE(b.removeEntry(in(b, QStringLiteral("X"))));
    int bChanged = 0;
    QObject::connect(&b, &QMRamDiskEntries::ramDisksDidChange, [&] { ++bChanged; });
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    // B's new record follows the one before it in B's list.
    EXPECT_EQ(saved(), (QStringList{QStringLiteral("Y"), QStringLiteral("B-new"), QStringLiteral("A-new")}));
    // B shows what it wrote: A's new record is in its list now.
    EXPECT_EQ(names(b), saved());
    EXPECT_EQ(bChanged, 1);

    // A still holds X, unchanged: the removal there stands; A's list follows.
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), (QStringList{QStringLiteral("Y"), QStringLiteral("B-new"), QStringLiteral("A-new")}));
    EXPECT_FALSE(in(a, QStringLiteral("X")));

    // A moves its new record first; B saves a change elsewhere: A's order stands.
    ASSERT_TRUE(a.setPositionIndex(0, in(a, QStringLiteral("A-new"))->identifier()));
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    in(b, QStringLiteral("Y"))->setSize(200000000);
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), (QStringList{QStringLiteral("A-new"), QStringLiteral("Y"), QStringLiteral("B-new")}));
}

TEST_F(EntriesMergeTest, ARecordRemovedElsewhereStaysWhileThisProgramNeedsIt)
{
    a.removeEntry(in(a, QStringLiteral("X")));
    a.removeEntry(in(a, QStringLiteral("Y")));
    ASSERT_EQ(a.count(), 0);
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), QStringList());

    // In B, X was changed by the user and Y is a created RAM disk: neither may vanish.
    in(b, QStringLiteral("X"))->setSize(400000000);
    in(b, QStringLiteral("Y"))->setStatus(QMRamDiskStatus_mounted);
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), (QStringList{QStringLiteral("X"), QStringLiteral("Y")}));

    // Once nothing holds them, the removal of another program is followed.
    ASSERT_TRUE(a.readRamDisksFromDefaultLocation());
    a.removeEntry(in(a, QStringLiteral("X")));
    ASSERT_EQ(a.count(), 1);
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), QStringList{QStringLiteral("Y")});
}

TEST_F(EntriesMergeTest, AFileWrittenByHandKeepsItsRecordsAndLosesType1)
{
    // Another version wrote the file: a record without an identifier, one of type 1, and
    // a key this store does not know.
    const auto object = [](const QVariantMap &values) {
        return QVariant::fromValue(QMKeyedArchiver::Object{QStringLiteral("QMRamDisk"), {QStringLiteral("QMRamDisk")}, values});
    };
    const QVariantList records{object({{QStringLiteral("name"), QStringLiteral("NoId")}}),
                               object({{QStringLiteral("identifier"), QStringLiteral("T1")},
                                       {QStringLiteral("type"), qint64(1)}}),
                               object({{QStringLiteral("identifier"), QStringLiteral("K")},
                                       {QStringLiteral("name"), QStringLiteral("Keyed")},
                                       {QStringLiteral("futureKey"), QStringLiteral("kept")}})};
    ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(
        path, QVariantMap{{QStringLiteral("RamDiskEntries"), QMKeyedArchiver::archivedDataWithRootObject(records)}},
        QMPropertyListSerialization::Format::Xml));

    ASSERT_TRUE(a.readRamDisksFromDefaultLocation());
    const QString given = in(a, QStringLiteral("NoId"))->identifier();
    in(a, QStringLiteral("NoId"))->setSize(250000000);
    // B never read this file: it merges all the same.
    b.addRamDisk()->setName(QStringLiteral("FromB"));
    ASSERT_TRUE(b.writeRamDisksToDefaultLocation());
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());

    EXPECT_EQ(saved(), (QStringList{QStringLiteral("NoId"), QStringLiteral("Keyed"), QStringLiteral("FromB")}));
    EXPECT_EQ(in(reader, QStringLiteral("NoId"))->identifier(), given); // the same record, not a second one
    EXPECT_EQ(in(reader, QStringLiteral("NoId"))->size(), 250000000u);
    QVariantMap dico;
    ASSERT_EQ(QMPropertyListSerialization::readDictionary(path, &dico), QMPropertyListSerialization::ReadStatus::Ok);
    const QVariantList list =
        QMKeyedArchiver::unarchiveObjectWithData(dico.value(QStringLiteral("RamDiskEntries")).toByteArray()).toList();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list.at(1).value<QMKeyedArchiver::Object>().values.value(QStringLiteral("futureKey")).toString(),
              QStringLiteral("kept"));
}

TEST_F(EntriesMergeTest, ReadModifyWriteUnderTheLockExcludesOtherWriters)
{
    ASSERT_TRUE(a.lockEntriesFile(nullptr));
    EXPECT_TRUE(QFileInfo(a.entriesLockPath()).isFile());
    QMFileLock other;
    EXPECT_EQ(other.tryLock(a.entriesLockPath()), QMFileLock::Result::Busy);
    // The holder itself writes (the lock is not taken twice).
    a.addRamDisk()->setName(QStringLiteral("Z"));
    ASSERT_TRUE(a.writeRamDisksToDefaultLocation());
    EXPECT_EQ(other.tryLock(a.entriesLockPath()), QMFileLock::Result::Busy);
    a.unlockEntriesFile();
    EXPECT_EQ(other.tryLock(a.entriesLockPath()), QMFileLock::Result::Locked);
    // Held by someone else: a write waits, then gives up and leaves the file alone.
    QMError::Ptr error;
    b.setEntriesLockTimeout(200);
    EXPECT_FALSE(b.lockEntriesFile(&error));
    ASSERT_TRUE(error);
    b.addRamDisk()->setName(QStringLiteral("Lost?"));
    EXPECT_FALSE(b.writeRamDisksToDefaultLocation());
    EXPECT_EQ(saved(), (QStringList{QStringLiteral("X"), QStringLiteral("Y"), QStringLiteral("Z")}));
    other.unlock();
    EXPECT_TRUE(b.writeRamDisksToDefaultLocation()); // nothing was lost, only delayed
}

// ---- Files that are not a list of ours ----

class HostileEntriesFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("RamDiskEntries"));
        entries.setEntriesFilePath(path);
        entries.addRamDisk()->setName(QStringLiteral("Mine"));
    }

    // Reading is refused at once with `why`, the list stays; a write puts a list of ours
    // in its place and keeps the refused entry itself as the damaged copy.
    void expectRefused(const QString &why)
    {
        QElapsedTimer timer;
        timer.start();
        QMError::Ptr error;
        EXPECT_FALSE(entries.readRamDisksFromDefaultLocation(&error));
        EXPECT_LT(timer.elapsed(), 5000);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), QStringLiteral("The list of RAM disks %1 cannot be used: %2").arg(path, why));
        EXPECT_EQ(names(entries), QStringList{QStringLiteral("Mine")});

        struct stat before {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &before), 0);
        ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
        EXPECT_LT(timer.elapsed(), 10000);
        struct stat kept {};
        ASSERT_EQ(::lstat(QFile::encodeName(path + QStringLiteral(".damaged")).constData(), &kept), 0);
        EXPECT_EQ(kept.st_ino, before.st_ino);
        QMRamDiskEntries reader;
        reader.setEntriesFilePath(path);
        ASSERT_TRUE(reader.readRamDisksFromDefaultLocation());
        EXPECT_EQ(names(reader), QStringList{QStringLiteral("Mine")});
    }

    QMTemporaryDir dir;
    QString path;
    QMRamDiskEntries entries;
};

TEST_F(HostileEntriesFileTest, SymbolicLinkIsNotFollowed)
{
    QMTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("secret"));
    ASSERT_TRUE(writeFile(target, "not yours"));
    ASSERT_TRUE(QFile::link(target, path));
    expectRefused(QStringLiteral("it is a symbolic link"));
    EXPECT_EQ(readFile(target), QByteArray("not yours")); // never written through
}

TEST_F(HostileEntriesFileTest, FifoDoesNotHang)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    expectRefused(QStringLiteral("it is not a regular file"));
}

TEST_F(HostileEntriesFileTest, DeviceIsNotRead)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "making a device node needs root";
    ASSERT_EQ(::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0600, makedev(1, 5)), 0); // /dev/zero
    expectRefused(QStringLiteral("it is not a regular file"));
}

TEST_F(HostileEntriesFileTest, TwoGigabyteFileIsNotRead)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 2LL * 1024 * 1024 * 1024), 0); // sparse: no disk used
    ::close(fd);
    expectRefused(QStringLiteral("it is too large (2147483648 bytes)"));
}

TEST_F(HostileEntriesFileTest, DamagedFileIsAnErrorNamingItsCopy)
{
    ASSERT_TRUE(writeFile(path, "<?xml version=\"1.0\"?><plist><dict><key>RamDiskEntries</key>"));
    QMError::Ptr error;
    EXPECT_FALSE(entries.readRamDisksFromDefaultLocation(&error));
    ASSERT_TRUE(error);
    const QString copy = path + QStringLiteral(".damaged");
    EXPECT_EQ(error->message(),
              QStringLiteral("The list of RAM disks %1 is damaged (it is not a property list); it was kept as %2")
                  .arg(path, copy));
    EXPECT_EQ(readFile(copy), readFile(path));
    // No file at all is no error.
    QFile::remove(path);
    EXPECT_FALSE(entries.readRamDisksFromDefaultLocation(&error));
    EXPECT_FALSE(error);
}
