// quilmoctl run several times at once, and over an entries file it cannot use.
#include "QMRamDiskActionLock.h"
#include "QMRamDiskManager.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <memory>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

QString quilmoctl()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/quilmoctl");
}

struct Outcome
{
    int status = -1;
    QString out;
    QString err;
};

// Runs quilmoctl several times at once and waits for every run.
QList<Outcome> together(const QList<QStringList> &runs, int spacingMs = 0)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const QStringList &args : runs) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(quilmoctl(), args);
        if (spacingMs > 0)
            QThread::msleep(static_cast<unsigned long>(spacingMs));
    }
    QList<Outcome> outcomes;
    for (auto &p : processes) {
        Outcome o;
        if (p->waitForFinished(300000) && p->exitStatus() == QProcess::NormalExit)
            o.status = p->exitCode();
        o.out = QString::fromUtf8(p->readAllStandardOutput());
        o.err = QString::fromUtf8(p->readAllStandardError());
        outcomes << o;
    }
    return outcomes;
}

Outcome ctl(const QStringList &args)
{
    return together({args}).first();
}

QJsonArray list()
{
    return QJsonDocument::fromJson(ctl({QStringLiteral("list"), QStringLiteral("--json")}).out.toUtf8()).array();
}

// True once the process is gone: no longer there, or dead and not yet reaped (an orphan's
// new parent reaps it in its own time).
bool processEnded(const QByteArray &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid)));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray fields = stat.readAll();
    const qsizetype nameEnd = fields.lastIndexOf(')');
    return nameEnd < 0 || fields.mid(nameEnd + 2, 1) == "Z";
}

QString entriesPath()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/org.quilmo.Quilmo/RamDiskEntries");
}

// Each test starts without a list.
class QMCtlTogether : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QFile::remove(entriesPath());
        QFile::remove(entriesPath() + QStringLiteral(".damaged"));
    }

    // Adds a 200 MB RAM disk mounted in `parent`; its identifier, empty when it was not added.
    static QString addIn(const QMTemporaryDir &parent, const QString &name)
    {
        if (ctl({QStringLiteral("add"), name, QStringLiteral("--size"), QStringLiteral("200M"), QStringLiteral("--mount-dir"),
                 parent.path()})
                .status
            != 0)
            return QString();
        return list().first().toObject().value(QStringLiteral("identifier")).toString();
    }
};

} // namespace

TEST_F(QMCtlTogether, ConcurrentAddsLoseNothing)
{
    QList<QStringList> runs;
    for (int i = 0; i < 12; ++i)
        runs << QStringList{QStringLiteral("add"), QStringLiteral("Disk%1").arg(i), QStringLiteral("--size"),
                            QStringLiteral("200M")};
    // The same name twice at once: exactly one of them gets it.
    runs << QStringList{QStringLiteral("add"), QStringLiteral("Twice")} << QStringList{QStringLiteral("add"), QStringLiteral("Twice")};
    const QList<Outcome> outcomes = together(runs);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(outcomes.at(i).status, 0) << outcomes.at(i).err.toStdString();
    EXPECT_EQ(outcomes.at(12).status + outcomes.at(13).status, 2); // 0 and 2 (usage: the name is taken)

    QStringList names;
    for (const QJsonValue &v : list())
        names << v.toObject().value(QStringLiteral("name")).toString();
    names.sort();
    QStringList expected{QStringLiteral("Twice")};
    for (int i = 0; i < 12; ++i)
        expected << QStringLiteral("Disk%1").arg(i);
    expected.sort();
    EXPECT_EQ(names, expected);
}

TEST_F(QMCtlTogether, AnUnusableListIsAnErrorNotAnEmptyList)
{
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Kept")}).status, 0);
    QFile f(entriesPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>RamDiskEntries</key><data>AAAA");
    f.close();

    for (const QStringList &args : {QStringList{QStringLiteral("list")}, QStringList{QStringLiteral("status"), QStringLiteral("Kept")},
                                    QStringList{QStringLiteral("add"), QStringLiteral("Other")}}) {
        SCOPED_TRACE(args.join(u' ').toStdString());
        const Outcome o = ctl(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_FALSE(o.out.contains(QStringLiteral("No RAM disk is configured")));
        EXPECT_TRUE(o.err.contains(QStringLiteral("it was kept as %1.damaged").arg(entriesPath()))) << o.err.toStdString();
    }
    // Nothing was written over it.
    QFile again(entriesPath());
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_TRUE(again.readAll().endsWith("AAAA"));

    // A FIFO in its place: refused at once, no hang.
    QFile::remove(entriesPath());
    ASSERT_EQ(QMTest::run(QStringLiteral("mkfifo"), {entriesPath()}), 0);
    const Outcome fifo = ctl({QStringLiteral("list")});
    EXPECT_EQ(fifo.status, 1);
    EXPECT_TRUE(fifo.err.contains(QStringLiteral("it is not a regular file"))) << fifo.err.toStdString();
    QFile::remove(entriesPath());
}

TEST_F(QMCtlTogether, AnActionOfAnotherProgramMakesQuilmoctlWait)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    if (!QMRamDiskManager::canUseMountDirectory(parent.path(), QStringLiteral("Held"), 0, nullptr))
        GTEST_SKIP() << "temporary directories are in a system directory here";
    const QString id = addIn(parent, QStringLiteral("Held"));
    ASSERT_FALSE(id.isEmpty());
    QMError::Ptr error;
    {
        // This test program plays the other program that is ejecting the RAM disk.
        auto held = QMRamDiskActionLock::acquire(id, 5, &error);
        ASSERT_TRUE(held);
        const Outcome refused = ctl({QStringLiteral("create"), QStringLiteral("Held")});
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(refused.err.contains(QStringLiteral("Another action is running on this RAM disk (action 5)")))
            << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains(QStringLiteral("test_cli (pid %1) is running action 5")
                                             .arg(QCoreApplication::applicationPid())))
            << refused.err.toStdString();
        EXPECT_EQ(list().first().toObject().value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    }
    const Outcome created = ctl({QStringLiteral("create"), QStringLiteral("Held")});
    EXPECT_EQ(created.status, 0) << created.err.toStdString();
    EXPECT_EQ(ctl({QStringLiteral("eject"), QStringLiteral("Held")}).status, 0);
}

// Quilmo-Helper saves on its own (its schedule, or ahead of a shutdown) at any moment: an
// action the user asks for meanwhile waits for that save to end instead of failing.
TEST_F(QMCtlTogether, AHelpersSaveIsWaitedForNotAFailure)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    if (!QMRamDiskManager::canUseMountDirectory(parent.path(), QStringLiteral("Waits"), 0, nullptr))
        GTEST_SKIP() << "temporary directories are in a system directory here";
    const QString id = addIn(parent, QStringLiteral("Waits"));
    ASSERT_FALSE(id.isEmpty());
    const QString lockPath = QMRamDiskActionLock::lockPathForIdentifier(QMRamDiskActionLock::lockDirectory(), id);
    QMError::Ptr error;
    // This test program plays the helper in the middle of a backup (action 3).
    auto held = QMRamDiskActionLock::acquire(id, 3, &error);
    ASSERT_TRUE(held);
    {
        QFile holder(lockPath);
        ASSERT_TRUE(holder.open(QIODevice::WriteOnly | QIODevice::Truncate));
        holder.write(QStringLiteral("%1 3 Quilmo-Helper 0\n").arg(QCoreApplication::applicationPid()).toLatin1());
    }
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(lockPath).constData(), IN_OPEN), 0);
    QProcess creation;
    creation.start(quilmoctl(), {QStringLiteral("create"), QStringLiteral("Waits")});
    // quilmoctl opens the lock file a few times for each try (to lock it, to read who holds
    // it): this many opens mean it found it held and tries again. Without waiting it has
    // ended already.
    int opens = 0;
    QElapsedTimer budget;
    budget.start();
    while (opens < 8 && !creation.waitForFinished(0) && budget.elapsed() < 60000) {
        pollfd fd{watch, POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            opens += (event->mask & IN_OPEN) ? 1 : 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    close(watch);
    held.reset();
    ASSERT_TRUE(creation.state() == QProcess::NotRunning || creation.waitForFinished(300000));
    EXPECT_EQ(creation.exitCode(), 0) << creation.readAllStandardError().toStdString();
    EXPECT_EQ(list().first().toObject().value(QStringLiteral("status")).toString(), QStringLiteral("mounted"));
    EXPECT_EQ(ctl({QStringLiteral("eject"), QStringLiteral("Waits")}).status, 0);
}

TEST_F(QMCtlTogether, EjectAndSyncOfOneRamDiskAtOnceLoseNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    if (!QMRamDiskManager::canUseMountDirectory(parent.path(), QStringLiteral("Synced"), 0, nullptr))
        GTEST_SKIP() << "temporary directories are in a system directory here";
    const QString base = parent.path() + QStringLiteral("/Synced");
    struct Cleanup
    {
        ~Cleanup() { ctl({QStringLiteral("eject"), QStringLiteral("Synced")}); }
    } cleanup;
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Synced"), QStringLiteral("--size"), QStringLiteral("300M"),
                   QStringLiteral("--mount-dir"), parent.path(), QStringLiteral("--backup"), QStringLiteral("base")})
                  .status,
              0);
    const Outcome created = ctl({QStringLiteral("create"), QStringLiteral("Synced")});
    ASSERT_EQ(created.status, 0) << created.err.toStdString();

    // Enough files that the copies take a while.
    constexpr int kFiles = 1500;
    for (int i = 0; i < kFiles; ++i) {
        QFile f(base + QStringLiteral("/f%1.txt").arg(i));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(2000, char('a' + i % 26)));
    }
    const QList<Outcome> both = together({{QStringLiteral("eject"), QStringLiteral("Synced")},
                                          {QStringLiteral("sync"), QStringLiteral("Synced")}},
                                         50);
    for (const Outcome &o : both) {
        // Each either did its work or was refused for a reason it says.
        if (o.status != 0) {
            EXPECT_EQ(o.status, 1);
            EXPECT_TRUE(o.err.contains(QStringLiteral("is running")) || o.err.contains(QStringLiteral("it is not ")))
                << o.err.toStdString();
        }
    }
    EXPECT_TRUE(both.first().status == 0 || both.last().status == 0);
    // Whatever was refused, ejecting now ends it.
    if (both.first().status != 0) {
        EXPECT_EQ(ctl({QStringLiteral("eject"), QStringLiteral("Synced")}).status, 0);
    }

    // The RAM disk is gone and every file is in the directory it covered.
    EXPECT_EQ(list().first().toObject().value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    const QStringList files = QDir(base).entryList(QDir::Files);
    EXPECT_EQ(files.size(), kFiles);
    QFile last(base + QStringLiteral("/f%1.txt").arg(kFiles - 1));
    ASSERT_TRUE(last.open(QIODevice::ReadOnly));
    EXPECT_EQ(last.readAll(), QByteArray(2000, char('a' + (kFiles - 1) % 26)));
}

TEST_F(QMCtlTogether, AnOrphanLeftByAKilledCreationIsAdopted)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    if (!QMRamDiskManager::canUseMountDirectory(parent.path(), QStringLiteral("Orphan"), 0, nullptr))
        GTEST_SKIP() << "temporary directories are in a system directory here";
    const QString mountPoint = parent.path() + QStringLiteral("/Orphan");
    const QString pidFile = parent.path() + QStringLiteral("/post-command.pid");
    struct Cleanup
    {
        ~Cleanup() { ctl({QStringLiteral("eject"), QStringLiteral("Orphan")}); }
    } cleanup;
    // The post-command keeps the creation waiting until it is killed.
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Orphan"), QStringLiteral("--size"), QStringLiteral("200M"),
                   QStringLiteral("--mount-dir"), parent.path(), QStringLiteral("--post-command"), QStringLiteral("/bin/sh"),
                   QStringLiteral("--post-arg"), QStringLiteral("-c"), QStringLiteral("--post-arg"),
                   QStringLiteral("echo $$ > '%1'; exec sleep 60").arg(pidFile)})
                  .status,
              0);
    QProcess creation;
    creation.start(quilmoctl(), {QStringLiteral("create"), QStringLiteral("Orphan")});
    ASSERT_TRUE(creation.waitForStarted());
    for (int i = 0; i < 3000 && !QFileInfo(pidFile).size(); ++i)
        QThread::msleep(10);
    QFile pid(pidFile);
    ASSERT_TRUE(pid.open(QIODevice::ReadOnly));
    const QByteArray postCommand = pid.readAll().trimmed();
    ASSERT_FALSE(postCommand.isEmpty());
    creation.kill();
    creation.waitForFinished();
    QMTest::run(QStringLiteral("kill"), {QStringLiteral("-9"), QString::fromLatin1(postCommand)});
    ASSERT_TRUE(QMTest::waitUntil([&] { return processEnded(postCommand); })) << "the post-command outlived its kill";

    // Left mounted, tagged, and written to meanwhile; the list never heard of it.
    QFile work(mountPoint + QStringLiteral("/work.txt"));
    ASSERT_TRUE(work.open(QIODevice::WriteOnly));
    work.write("written after the crash");
    work.close();
    EXPECT_EQ(list().first().toObject().value(QStringLiteral("status")).toString(), QStringLiteral("not created"));

    // Without the post-command, the next creation takes it back as it is.
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Orphan"), QStringLiteral("--no-post-command")}).status, 0);
    const Outcome again = ctl({QStringLiteral("create"), QStringLiteral("Orphan")});
    EXPECT_EQ(again.status, 0) << again.err.toStdString();
    EXPECT_EQ(again.out.trimmed(), QStringLiteral("\"Orphan\" is mounted at %1").arg(mountPoint));
    {
        QFile kept(mountPoint + QStringLiteral("/work.txt"));
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), QByteArray("written after the crash"));
    }
    const QJsonObject entry = list().first().toObject();
    EXPECT_EQ(entry.value(QStringLiteral("status")).toString(), QStringLiteral("mounted"));

    // Ejecting it saves it like any other.
    const Outcome ejected = ctl({QStringLiteral("eject"), QStringLiteral("Orphan")});
    EXPECT_EQ(ejected.status, 0) << ejected.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(mountPoint + QStringLiteral("/work.txt")));
}
