// The entries store: its list, its file and the helper's login item.
#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskTestSupport.h"
#include "QMRamDiskUtils.h"
#include "QMSharedLoginItems.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>

using namespace QMEngineTest;

namespace {

QStringList identifiers(const QMRamDiskEntries &entries)
{
    QStringList ids;
    for (const auto &r : entries.ramDisks())
        ids << r->identifier();
    return ids;
}

QMKeyedArchiver::Object recordObject(const QVariantMap &values, const QString &className = QStringLiteral("QMRamDisk"))
{
    return {className, {className}, values};
}

// Writes an entries file by hand, the way another version or program might have.
void writeEntriesFile(const QString &path, const QVariantList &records, QVariantMap extra = {})
{
    const QByteArray data = QMKeyedArchiver::archivedDataWithRootObject(records);
    ASSERT_FALSE(data.isEmpty());
    extra.insert(QStringLiteral("RamDiskEntries"), data);
    ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(path, extra, QMPropertyListSerialization::Format::Xml));
}

class EntriesStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("RamDiskEntries"));
        entries.setEntriesFilePath(path);
    }
    QMTemporaryDir dir;
    QString path;
    QMRamDiskEntries entries;
};

TEST_F(EntriesStoreTest, ListHoldsAtMostFifteen)
{
    for (int i = 0; i < 15; ++i)
        ASSERT_NE(entries.addRamDisk(), nullptr);
    EXPECT_EQ(entries.addRamDisk(), nullptr);
    EXPECT_EQ(entries.count(), 15);
    // Every new record is a distinct RAM disk.
    QStringList ids = identifiers(entries);
    ids.removeDuplicates();
    EXPECT_EQ(ids.size(), 15);
}

TEST_F(EntriesStoreTest, RemoveReturnsTheNeighbourAndDeletesDefaultBackups)
{
    EXPECT_EQ(entries.removeEntry(nullptr), nullptr);
    auto only = entries.addRamDisk();
    EXPECT_EQ(entries.removeEntry(only), nullptr);
    EXPECT_EQ(entries.count(), 0);

    auto a = entries.addRamDisk(), b = entries.addRamDisk(), c = entries.addRamDisk();
    const QString support = QMRamDiskManager::appSupportPath();
    const QString backup = support + u'/' + a->identifier() + QStringLiteral(".QuilmoBackup");
    ASSERT_TRUE(QDir().mkpath(backup + QStringLiteral("/inside")));
    ASSERT_TRUE(QDir().mkpath(backup + QStringLiteral(".previous")));

    EXPECT_EQ(entries.removeEntry(a), b); // the first: the new first
    EXPECT_FALSE(QFileInfo::exists(backup));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
    EXPECT_EQ(entries.removeEntry(c), b); // the last: the one before it
    EXPECT_EQ(identifiers(entries), QStringList{b->identifier()});

    // A record that is not in the list is not touched, nor are its backups.
    auto stranger = QMRamDisk::create();
    const QString strangerBackup = support + u'/' + stranger->identifier() + QStringLiteral(".QuilmoBackup");
    ASSERT_TRUE(QDir().mkpath(strangerBackup));
    EXPECT_EQ(entries.removeEntry(stranger), nullptr);
    EXPECT_TRUE(QFileInfo::exists(strangerBackup));
    EXPECT_EQ(entries.count(), 1);
}

TEST_F(EntriesStoreTest, DropRuleMovesBeforeTheTargetRow)
{
    EXPECT_FALSE(entries.setPositionIndex(0, QStringLiteral("x"))); // empty list
    auto a = entries.addRamDisk(), b = entries.addRamDisk(), c = entries.addRamDisk();
    const QString A = a->identifier(), B = b->identifier(), C = c->identifier();

    EXPECT_TRUE(entries.setPositionIndex(2, A)); // 0 -> gap 2: between b and c
    EXPECT_EQ(identifiers(entries), (QStringList{B, A, C}));
    EXPECT_TRUE(entries.setPositionIndex(0, C)); // 2 -> first
    EXPECT_EQ(identifiers(entries), (QStringList{C, B, A}));
    EXPECT_TRUE(entries.setPositionIndex(3, C)); // the gap after the last row
    EXPECT_EQ(identifiers(entries), (QStringList{B, A, C}));
    EXPECT_TRUE(entries.setPositionIndex(1, A)); // onto its own gap: no change
    EXPECT_EQ(identifiers(entries), (QStringList{B, A, C}));

    EXPECT_FALSE(entries.setPositionIndex(4, A));
    EXPECT_FALSE(entries.setPositionIndex(-1, A));
    EXPECT_FALSE(entries.setPositionIndex(QMRamDiskEntries::NotFound, A));
    EXPECT_FALSE(entries.setPositionIndex(0, QString()));
    EXPECT_FALSE(entries.setPositionIndex(0, QStringLiteral("no such identifier")));
    EXPECT_EQ(identifiers(entries), (QStringList{B, A, C}));

    EXPECT_EQ(entries.indexOfRamDiskWithIdentifier(C), 2);
    EXPECT_EQ(entries.indexOfRamDiskWithIdentifier(C.toLower() == C ? C.toUpper() : C.toLower()), -1);
    EXPECT_EQ(entries.ramDiskWithIdentifier(A), a);
    EXPECT_EQ(entries.ramDiskWithIdentifier(QString()), nullptr);
}

TEST_F(EntriesStoreTest, NoFileReadsNothingSilently)
{
    LogCapture log;
    EXPECT_FALSE(entries.readRamDisksFromDefaultLocation());
    EXPECT_EQ(entries.count(), 0);
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join(u'\n').toStdString();
}

TEST_F(EntriesStoreTest, WriteThenReadKeepsRecordsSettingsAndForeignKeys)
{
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    const QVariantMap foreign{{QStringLiteral("SomeoneElses"), QVariantMap{{QStringLiteral("nested"), qint64(3)}}},
                              {QStringLiteral("When"), when},
                              {QStringLiteral("Blob"), QByteArray("\x00\x01", 2)}};
    ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(path, foreign, QMPropertyListSerialization::Format::Xml));

    auto a = entries.addRamDisk();
    a->setName(QStringLiteral("Builds"));
    a->setSize(2000000000ULL);
    a->setMountDirectory(QDir::homePath() + QStringLiteral("/mnt"));
    a->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    a->setCreateAtLogin(true);
    a->setPostCmd(QStringLiteral("/usr/bin/touch"));
    a->setPostCmdArgs(QStringList{QStringLiteral("a b"), QStringLiteral("")});
    auto b = entries.addRamDisk();
    b->setFormat(QMRamDiskFormat_caseSensitiveHFSPlus);
    entries.setShowInMenuBar(true);
    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());

    QVariantMap dico;
    ASSERT_EQ(QMPropertyListSerialization::readDictionary(path, &dico), QMPropertyListSerialization::ReadStatus::Ok);
    for (auto it = foreign.begin(); it != foreign.end(); ++it)
        EXPECT_EQ(dico.value(it.key()), it.value()) << it.key().toStdString();
    EXPECT_EQ(dico.value(QStringLiteral("showInMenuBar")), QVariant(true));
    EXPECT_EQ(dico.value(QStringLiteral("showInMenuBarAtLogin")), QVariant(false));
    // The records are a keyed archive that names their class and holds their keys.
    const QVariantList archived =
        QMKeyedArchiver::unarchiveObjectWithData(dico.value(QStringLiteral("RamDiskEntries")).toByteArray()).toList();
    ASSERT_EQ(archived.size(), 2);
    const auto first = archived.at(0).value<QMKeyedArchiver::Object>();
    EXPECT_EQ(first.className, a->className());
    EXPECT_EQ(first.values.value(QStringLiteral("mountDirectory")).toString(), QStringLiteral("~/mnt"));

    QMRamDiskEntries other;
    other.setEntriesFilePath(path);
    ASSERT_TRUE(other.readRamDisksFromDefaultLocation());
    ASSERT_EQ(identifiers(other), identifiers(entries));
    const auto a2 = other.ramDisks().at(0);
    EXPECT_EQ(a2->name(), QStringLiteral("Builds"));
    EXPECT_EQ(a2->size(), 2000000000ULL);
    EXPECT_EQ(a2->mountDirectory(), QDir::homePath() + QStringLiteral("/mnt"));
    EXPECT_EQ(a2->backupMode(), QMRamDiskBackupMode_defaultLocation);
    EXPECT_TRUE(a2->createAtLogin());
    EXPECT_EQ(a2->postCmdArgs(), (QStringList{QStringLiteral("a b"), QStringLiteral("")}));
    EXPECT_EQ(other.ramDisks().at(1)->format(), QMRamDiskFormat_caseSensitiveHFSPlus);
    EXPECT_TRUE(other.showInMenuBar());
    EXPECT_FALSE(other.showInMenuBarAtLogin());
}

TEST_F(EntriesStoreTest, UnassignedTypeIsDroppedForGoodAndMissingIdentifiersAreGiven)
{
    writeEntriesFile(path, {QVariant::fromValue(recordObject({{QStringLiteral("identifier"), QStringLiteral("KEEP")},
                                                             {QStringLiteral("name"), QStringLiteral("kept")}})),
                            QVariant::fromValue(recordObject({{QStringLiteral("identifier"), QStringLiteral("DROP")},
                                                             {QStringLiteral("type"), qint64(1)}})),
                            QVariant::fromValue(recordObject({{QStringLiteral("name"), QStringLiteral("old")}},
                                                             QStringLiteral("QMRamDiskEntry")))});
    ASSERT_TRUE(entries.readRamDisksFromDefaultLocation());
    ASSERT_EQ(entries.count(), 2);
    EXPECT_EQ(entries.ramDisks().at(0)->identifier(), QStringLiteral("KEEP"));
    const QString given = entries.ramDisks().at(1)->identifier();
    EXPECT_FALSE(given.isEmpty());
    EXPECT_EQ(entries.ramDisks().at(1)->className(), QStringLiteral("QMRamDiskEntry"));

    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    QMRamDiskEntries again;
    again.setEntriesFilePath(path);
    ASSERT_TRUE(again.readRamDisksFromDefaultLocation());
    EXPECT_EQ(identifiers(again), (QStringList{QStringLiteral("KEEP"), given}));
}

TEST_F(EntriesStoreTest, ReloadKeepsTheRecordObjectsAndTheValuesOfThoseWhoseActionRuns)
{
    auto busy = entries.addRamDisk();
    auto idle = entries.addRamDisk();
    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    busy->setAction(QMRamDiskAction_backup);
    busy->setName(QStringLiteral("being changed"));
    idle->setName(QStringLiteral("not written"));
    ASSERT_TRUE(entries.readRamDisksFromDefaultLocation());
    EXPECT_EQ(entries.ramDisks().at(0), busy);
    EXPECT_EQ(busy->name(), QStringLiteral("being changed"));
    EXPECT_EQ(entries.ramDisks().at(1), idle) << "updated in place";
    EXPECT_EQ(idle->name(), QStringLiteral("RamDisk")) << "what the file holds";
    busy->setAction(QMRamDiskAction_none);
}

TEST_F(EntriesStoreTest, WaitingEndAllIsBounded)
{
    auto r = entries.addRamDisk();
    {
        LogCapture log;
        entries.waitingEndAll(4, 1);
        EXPECT_TRUE(log.lines().isEmpty());
    }
    r->setAction(QMRamDiskAction_eject);
    EXPECT_TRUE(entries.hasRunningAction());
    LogCapture log;
    entries.waitingEndAll(4, 1);
    QStringList waits;
    for (const QString &line : log.lines())
        if (line.contains(QLatin1String("Waiting ")))
            waits << line.section(QLatin1String("Waiting "), 1);
    EXPECT_EQ(waits, (QStringList{QStringLiteral("4"), QStringLiteral("3"), QStringLiteral("2"), QStringLiteral("1")}));
    r->setAction(QMRamDiskAction_none);
    EXPECT_FALSE(entries.hasRunningAction());
}

TEST_F(EntriesStoreTest, HelperLoginItemFollowsTheSettings)
{
    QMTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    QDir().mkpath(prefix.filePath(QStringLiteral("libexec/quilmo")));
    const QString helper = QMTest::writeScript(prefix.filePath(QStringLiteral("libexec/quilmo")),
                                               QStringLiteral("Quilmo-Helper"), QStringLiteral("exit 0\n"));
    QMRamDiskUtils::setInstallPrefixForTesting(prefix.path());
    struct Restore { ~Restore() { QMRamDiskUtils::setInstallPrefixForTesting(QString()); } } restore;
    const QUrl url = QUrl::fromLocalFile(helper);
    ASSERT_EQ(QMRamDiskUtils::helperURL(), url);

    auto r = entries.addRamDisk();
    bool valid = false;
    entries.setNeedsSynchronizeHelper(false); // any call marks it
    EXPECT_TRUE(entries.needsSynchronizeHelper());
    entries.synchronizeHelperAuto();
    EXPECT_FALSE(entries.needsSynchronizeHelper());
    EXPECT_FALSE(QMSharedLoginItems::isLoginItem(url, &valid));

    r->setCreateAtLogin(true);
    entries.synchronizeHelperAuto(); // not marked: nothing happens
    EXPECT_FALSE(QMSharedLoginItems::isLoginItem(url, &valid));
    entries.synchronizeHelper();
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(url, &valid));
    EXPECT_TRUE(valid);

    r->setCreateAtLogin(false);
    entries.setShowInMenuBar(true);
    entries.synchronizeHelper(); // shown, but not at login
    EXPECT_FALSE(QMSharedLoginItems::isLoginItem(url, &valid));
    entries.setShowInMenuBarAtLogin(true);
    entries.synchronizeHelper();
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(url, &valid));
    entries.setShowInMenuBar(false);
    entries.synchronizeHelper();
    EXPECT_FALSE(QMSharedLoginItems::isLoginItem(url, &valid));

    // The helper was uninstalled while registered: its stale entry still goes.
    r->setCreateAtLogin(true);
    entries.synchronizeHelper();
    ASSERT_TRUE(QMSharedLoginItems::isLoginItem(url, &valid));
    ASSERT_TRUE(QFile::remove(helper));
    {
        LogCapture log;
        entries.synchronizeHelper(); // wanted, but there is nothing to register
        EXPECT_TRUE(log.contains(QStringLiteral("helperURL==nil")));
    }
    r->setCreateAtLogin(false);
    entries.synchronizeHelper();
    QList<QMSharedLoginItems::Entry> items;
    ASSERT_TRUE(QMSharedLoginItems::snapshot(&items));
    EXPECT_TRUE(items.isEmpty());
}

} // namespace
