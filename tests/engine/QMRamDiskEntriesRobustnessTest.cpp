// The entries file under damage and under two programs at once, and the change
// notification between processes. Child processes are this test program itself, run with
// a filter on the child cases below and told their part through the environment.
#include "QMDistributedNotificationCenter.h"
#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

using namespace QMEngineTest;

namespace {

const char *const kRoleVar = "QM_ENTRIES_TEST_ROLE";
const char *const kFileVar = "QM_ENTRIES_TEST_FILE";
const char *const kTagVar = "QM_ENTRIES_TEST_TAG";
constexpr int kWrites = 200;

QProcess *startChild(const QString &childTest, const QMap<QString, QString> &env, QObject *parent)
{
    auto *p = new QProcess(parent);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.begin(); it != env.end(); ++it)
        e.insert(it.key(), it.value());
    p->setProcessEnvironment(e);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QCoreApplication::applicationFilePath(),
             {QStringLiteral("--gtest_filter=QMRamDiskEntriesChild.") + childTest});
    return p;
}

// The child ran its case to success (a skipped case would exit 0 too).
bool childPassed(QProcess *p)
{
    const QByteArray out = p->readAllStandardOutput();
    return p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0 && out.contains("[  PASSED  ] 1 test")
           && !out.contains("SKIPPED");
}

bool hasSessionBus()
{
    return QDBusConnection::sessionBus().isConnected();
}

// ---- Child parts ----

TEST(QMRamDiskEntriesChild, Writer)
{
    if (qEnvironmentVariable(kRoleVar) != QLatin1String("writer"))
        GTEST_SKIP() << "runs only as a child of the concurrent-writers test";
    const QString tag = qEnvironmentVariable(kTagVar);
    QMRamDiskEntries entries;
    entries.setEntriesFilePath(qEnvironmentVariable(kFileVar));
    // Each writer has its own records and a list size of its own, so a torn mix of the
    // two would show.
    const int count = tag == QLatin1String("A") ? 3 : 7;
    for (int i = 0; i < count; ++i)
        entries.addRamDisk()->setName(tag + QString::number(i));
    // Its own first record: the list also shows the other program's once they are merged.
    const QMRamDisk::Ptr first = entries.ramDisks().first();
    for (int n = 0; n < kWrites; ++n) {
        first->setSize(128000000ULL + static_cast<quint64>(n));
        ASSERT_TRUE(entries.writeRamDisksToDefaultLocation()) << n;
    }
}

TEST(QMRamDiskEntriesChild, Poster)
{
    if (qEnvironmentVariable(kRoleVar) != QLatin1String("poster"))
        GTEST_SKIP() << "runs only as a child of the notification test";
    // A change of another file (another user's places) first: not for the parent's store.
    ASSERT_TRUE(QMRamDiskEntries::postDidChangeToAllNotificationWithSender(
        qEnvironmentVariable(kTagVar) + QStringLiteral("-elsewhere"), QStringLiteral("/nowhere/RamDiskEntries")));
    ASSERT_TRUE(QMRamDiskEntries::postDidChangeToAllNotificationWithSender(qEnvironmentVariable(kTagVar),
                                                                           qEnvironmentVariable(kFileVar)));
    ASSERT_TRUE(QMDistributedNotificationCenter::postNotificationName(
        QStringLiteral("QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification"), qEnvironmentVariable(kTagVar),
        {{QStringLiteral("StatusItemIconStyle"), 2}}));
}

TEST(QMRamDiskEntriesChild, PosterWithoutBus)
{
    if (qEnvironmentVariable(kRoleVar) != QLatin1String("nobus"))
        GTEST_SKIP() << "runs only as a child of the notification test";
    LogCapture log;
    EXPECT_FALSE(QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::appSender()));
    EXPECT_TRUE(log.contains(QStringLiteral("sessionBus not connected"))) << log.lines().join(u'\n').toStdString();
}

// ---- Damaged files ----

class DamagedEntriesFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("RamDiskEntries"));
        entries.setEntriesFilePath(path);
        a = entries.addRamDisk();
        b = entries.addRamDisk();
        entries.setShowInMenuBar(true);
    }

    void writeRaw(const QByteArray &bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    void writeDictionary(const QVariantMap &dico)
    {
        ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(path, dico, QMPropertyListSerialization::Format::Xml));
    }
    static QByteArray archive(const QVariant &root) { return QMKeyedArchiver::archivedDataWithRootObject(root); }
    static QVariant record(const QVariantMap &values)
    {
        return QVariant::fromValue(QMKeyedArchiver::Object{QStringLiteral("QMRamDisk"), {}, values});
    }

    // Reading the damaged file logs `expected`, changes nothing, keeps a copy of the
    // file, and the next write repairs it.
    void expectRefusedThenRepaired(const std::string &what, const QString &expected)
    {
        SCOPED_TRACE(what);
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray before = f.readAll();
        f.close();
        QFile::remove(path + QStringLiteral(".damaged"));
        {
            LogCapture log;
            EXPECT_FALSE(entries.readRamDisksFromDefaultLocation());
            EXPECT_TRUE(log.contains(expected)) << log.lines().join(u'\n').toStdString();
        }
        EXPECT_EQ(entries.ramDisks(), (QList<QMRamDisk::Ptr>{a, b}));
        EXPECT_TRUE(entries.showInMenuBar());
        QFile copy(path + QStringLiteral(".damaged"));
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        EXPECT_EQ(copy.readAll(), before);

        ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
        QMRamDiskEntries reader;
        reader.setEntriesFilePath(path);
        ASSERT_TRUE(reader.readRamDisksFromDefaultLocation());
        ASSERT_EQ(reader.count(), 2);
        EXPECT_EQ(reader.ramDisks().at(0)->identifier(), a->identifier());
        EXPECT_EQ(reader.ramDisks().at(1)->identifier(), b->identifier());
    }

    QMTemporaryDir dir;
    QString path;
    QMRamDiskEntries entries;
    QMRamDisk::Ptr a, b;
};

TEST_F(DamagedEntriesFileTest, TruncatedFile)
{
    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray whole = f.readAll();
    f.close();
    writeRaw(whole.left(whole.size() * 2 / 3));
    expectRefusedThenRepaired("truncated XML", QStringLiteral("dico==nil path:") + path);
}

TEST_F(DamagedEntriesFileTest, GarbageFile)
{
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(static_cast<char>((i * 7919) % 251));
    writeRaw(garbage);
    expectRefusedThenRepaired("garbage bytes", QStringLiteral("dico==nil path:") + path);
    writeRaw(QByteArray("bplist00 but nothing after"));
    expectRefusedThenRepaired("binary header only", QStringLiteral("dico==nil path:") + path);
}

TEST_F(DamagedEntriesFileTest, WronglyTypedFile)
{
    writeDictionary({{QStringLiteral("RamDiskEntries"), QStringLiteral("a string, not data")}});
    expectRefusedThenRepaired("entries as a string", QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:"));

    writeDictionary({{QStringLiteral("RamDiskEntries"), QByteArray("data, but no archive")}});
    expectRefusedThenRepaired("data that is no archive", QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:"));

    writeDictionary({{QStringLiteral("RamDiskEntries"), archive(QStringLiteral("a root that is no list"))}});
    expectRefusedThenRepaired("root is a string", QStringLiteral("ramDisks==nil"));

    writeDictionary({{QStringLiteral("RamDiskEntries"),
                      archive(QVariantList{record({{QStringLiteral("identifier"), QStringLiteral("X")}}),
                                           record({{QStringLiteral("name"), qint64(12)}})})}});
    expectRefusedThenRepaired("name as a number", QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:"));

    writeDictionary({{QStringLiteral("RamDiskEntries"),
                      archive(QVariantList{record({{QStringLiteral("size"), QStringLiteral("1G")}})})}});
    expectRefusedThenRepaired("size as a string", QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:"));

    writeDictionary({{QStringLiteral("RamDiskEntries"),
                      archive(QVariantList{QVariant::fromValue(QMKeyedArchiver::Object{QStringLiteral("Intruder"), {}, {}})})}});
    expectRefusedThenRepaired("a foreign class", QStringLiteral("NSKeyedUnarchiver unarchiveObjectWithData localException:"));

    writeRaw(QMPropertyListSerialization::toData(QVariantList{qint64(1)}, QMPropertyListSerialization::Format::Xml));
    expectRefusedThenRepaired("root is an array", QStringLiteral("dico==nil path:") + path);
}

// ---- Two programs writing at once ----

TEST(QMRamDiskEntriesConcurrency, TwoWritersLoseNothingAndNeverLeaveTheFileUnreadable)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("RamDiskEntries"));
    QObject owner;
    QList<QProcess *> children;
    for (const char *tag : {"A", "B"})
        children << startChild(QStringLiteral("Writer"),
                               {{QString::fromLatin1(kRoleVar), QStringLiteral("writer")},
                                {QString::fromLatin1(kFileVar), path},
                                {QString::fromLatin1(kTagVar), QString::fromLatin1(tag)}},
                               &owner);

    // Read as often as we can while they write: every read finds no file yet or a whole one.
    int reads = 0, whole = 0;
    auto running = [&] {
        for (QProcess *p : children)
            if (p->state() != QProcess::NotRunning)
                return true;
        return false;
    };
    auto checkOnce = [&](QString *problem) {
        QVariantMap dico;
        const auto status = QMPropertyListSerialization::readDictionary(path, &dico);
        ++reads;
        if (status == QMPropertyListSerialization::ReadStatus::Missing)
            return true;
        if (status != QMPropertyListSerialization::ReadStatus::Ok) {
            *problem = QStringLiteral("status %1").arg(static_cast<int>(status));
            return false;
        }
        const QVariantList list =
            QMKeyedArchiver::unarchiveObjectWithData(dico.value(QStringLiteral("RamDiskEntries")).toByteArray(), problem)
                .toList();
        if (list.size() != 3 && list.size() != 7 && list.size() != 10) {
            problem->append(QStringLiteral(" records:%1").arg(list.size()));
            return false;
        }
        ++whole;
        return true;
    };
    QString problem;
    while (running()) {
        ASSERT_TRUE(checkOnce(&problem)) << problem.toStdString() << " after " << reads << " reads";
        QCoreApplication::processEvents();
        for (QProcess *p : children)
            p->waitForFinished(0);
    }
    for (QProcess *p : children) {
        p->waitForFinished(-1);
        EXPECT_TRUE(childPassed(p));
    }
    ASSERT_TRUE(checkOnce(&problem)) << problem.toStdString();
    EXPECT_GT(whole, 0);

    // Neither program lost anything to the other: both lists, each with its last change.
    QMRamDiskEntries entries;
    entries.setEntriesFilePath(path);
    ASSERT_TRUE(entries.readRamDisksFromDefaultLocation());
    QStringList names;
    for (const auto &r : entries.ramDisks()) {
        names << r->name();
        if (r->name().endsWith(QLatin1Char('0'))) {
            EXPECT_EQ(r->size(), 128000000ULL + kWrites - 1) << r->name().toStdString();
        }
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("A0"), QStringLiteral("A1"), QStringLiteral("A2"), QStringLiteral("B0"),
                                  QStringLiteral("B1"), QStringLiteral("B2"), QStringLiteral("B3"), QStringLiteral("B4"),
                                  QStringLiteral("B5"), QStringLiteral("B6")}));
    // No temporary file was left behind, only the lock beside the list.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("RamDiskEntries"), QStringLiteral("RamDiskEntries.lock")}));
}

// ---- The change notification between processes ----

TEST(QMRamDiskEntriesNotification, ReachesAnObserverInAnotherProcess)
{
    if (!hasSessionBus())
        GTEST_SKIP() << "no D-Bus session bus (run the tests under dbus-run-session)";
    QMRamDiskEntries entries;
    const QString sender = QStringLiteral("Quilmo-Test-%1").arg(QCoreApplication::applicationPid());
    QStringList heard;
    QList<bool> own;
    QVariantMap styleInfo;
    QEventLoop loop;
    // Other test programs may post on the same bus meanwhile: only our senders count.
    QObject::connect(&entries, &QMRamDiskEntries::didChangeToAllNotification, &loop,
                     [&](const QString &s, bool fromThisProcess) {
                         if (!s.startsWith(sender))
                             return;
                         heard << s;
                         own << fromThisProcess;
                     });
    QObject::connect(QMDistributedNotificationCenter::defaultCenter(),
                     &QMDistributedNotificationCenter::notificationPosted, &loop,
                     [&](const QString &name, const QString &object, const QVariantMap &info) {
                         if (name == QLatin1String("QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification")
                             && object == sender) {
                             styleInfo = info;
                             loop.quit();
                         }
                     });
    ASSERT_TRUE(QMDistributedNotificationCenter::defaultCenter()->isObserving());

    QObject owner;
    QProcess *child = startChild(QStringLiteral("Poster"),
                                 {{QString::fromLatin1(kRoleVar), QStringLiteral("poster")},
                                  {QString::fromLatin1(kTagVar), sender},
                                  {QString::fromLatin1(kFileVar), entries.entriesFilePath()}},
                                 &owner);
    // Only a guard against a hang; the signals arrive in milliseconds.
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    child->waitForFinished(-1);
    EXPECT_TRUE(childPassed(child));

    EXPECT_EQ(heard, QStringList{sender}) << "the other file's change is not heard";
    EXPECT_EQ(own, QList<bool>{false});
    EXPECT_EQ(styleInfo.value(QStringLiteral("StatusItemIconStyle")).toInt(), 2);

    // A program hears its own notices too; telling them apart is the sender's job.
    heard.clear();
    own.clear();
    const QString self = sender + QStringLiteral("-self");
    ASSERT_TRUE(QMRamDiskEntries::postDidChangeToAllNotificationWithSender(self));
    QElapsedTimer guard;
    guard.start();
    while (heard.isEmpty() && guard.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(heard, QStringList{self});
    EXPECT_EQ(own, QList<bool>{true});
}

TEST(QMRamDiskEntriesNotification, WithoutABusPostingWarnsAndDoesNothing)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QObject owner;
    QProcess *child = startChild(QStringLiteral("PosterWithoutBus"),
                                 {{QString::fromLatin1(kRoleVar), QStringLiteral("nobus")},
                                  {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                   QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("no-bus-here"))}},
                                 &owner);
    ASSERT_TRUE(child->waitForFinished(-1));
    EXPECT_TRUE(childPassed(child));
}

} // namespace
