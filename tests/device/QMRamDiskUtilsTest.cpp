// The helper's start and stop and the purge tool, with stand-in programs in a made-up
// installation.
#include "QMLog.h"
#include "QMRamDiskUtils.h"
#include "QMRunningApplications.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace {

bool waitFor(const std::function<bool()> &condition, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// A made-up installation prefix; stops every helper started in it on the way out.
class Installation
{
public:
    Installation()
    {
        valid = dir.isValid() && QDir().mkpath(libexec());
        QMRamDiskUtils::setInstallPrefixForTesting(dir.path());
    }
    ~Installation()
    {
        QMRunningApplications::terminate(QMRunningApplications::processIds(QMRamDiskUtils::helperBundleIdentifier()), 500);
        QMRamDiskUtils::setInstallPrefixForTesting(QString());
    }
    QString libexec() const { return dir.path() + QStringLiteral("/libexec/quilmo"); }
    QMTemporaryDir dir;
    bool valid = false;
};

class EnvGuard
{
public:
    EnvGuard(const char *name, const QString &value) : _name(name), _old(qgetenv(name))
    {
        qputenv(name, value.toLocal8Bit());
    }
    ~EnvGuard() { qputenv(_name, _old); }

private:
    const char *_name;
    QByteArray _old;
};

} // namespace

TEST(QMRamDiskUtils, HelperIsStoppedBeforeANewOneStarts)
{
    Installation install;
    ASSERT_TRUE(install.valid);
    EXPECT_TRUE(QMRamDiskUtils::helperURL().isEmpty());
    EXPECT_EQ(QMRamDiskUtils::ramDiskAppPath(), install.dir.path());

    // Records each start's arguments, then waits to be stopped.
    const QString helper = QMTest::writeScript(install.libexec(), QStringLiteral("Quilmo-Helper"),
                                               QStringLiteral("echo \"$#:$*\" >> \"$(dirname \"$0\")/starts.log\"\n"
                                                              "while :; do sleep 0.1; done\n"));
    ASSERT_FALSE(helper.isEmpty());
    EXPECT_EQ(QMRamDiskUtils::helperURL(), QUrl::fromLocalFile(helper));
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning());

    qint64 firstPid = 0;
    ASSERT_TRUE(QProcess::startDetached(helper, {QStringLiteral("ByHand")}, QString(), &firstPid));
    ASSERT_TRUE(waitFor([&] { return readAll(install.libexec() + QStringLiteral("/starts.log")).count(u'\n') == 1; }));
    ASSERT_TRUE(QMRamDiskUtils::helperIsRunning());

    QMRamDiskUtils::setHelperIsRunning(true);
    EXPECT_FALSE(QMRunningApplications::isAlive(static_cast<pid_t>(firstPid)));
    ASSERT_TRUE(waitFor([&] { return readAll(install.libexec() + QStringLiteral("/starts.log")).count(u'\n') == 2; }));
    EXPECT_EQ(readAll(install.libexec() + QStringLiteral("/starts.log")), QStringLiteral("1:ByHand\n1:FromApp\n"));
    // Exactly one helper, the new one (the script's own subshells come and go meanwhile).
    QList<pid_t> now;
    EXPECT_TRUE(waitFor([&] {
        now = QMRunningApplications::processIds(QMRamDiskUtils::helperBundleIdentifier());
        return now.size() == 1;
    }));
    ASSERT_EQ(now.size(), 1);
    EXPECT_NE(now.first(), static_cast<pid_t>(firstPid));

    QMRamDiskUtils::setHelperIsRunning(false);
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning());
}

TEST(QMRamDiskUtils, AHelperIgnoringTheRequestIsForced)
{
    Installation install;
    ASSERT_TRUE(install.valid);
    const QString helper = QMTest::writeScript(install.libexec(), QStringLiteral("Quilmo-Helper"),
                                               QStringLiteral("trap '' TERM\nwhile :; do sleep 0.1; done\n"));
    qint64 pid = 0;
    ASSERT_TRUE(QProcess::startDetached(helper, {}, QString(), &pid));
    ASSERT_TRUE(waitFor([] { return QMRamDiskUtils::helperIsRunning(); }));
    QMRamDiskUtils::setHelperIsRunning(false);
    EXPECT_FALSE(QMRunningApplications::isAlive(static_cast<pid_t>(pid)));
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning());
}

// A helper of the same installation run with another home guards that home's RAM disks
// (another user's session as the same account, or a test beside this one): it is not this
// user's helper, so it neither counts as running nor is stopped when this one is replaced.
TEST(QMRamDiskUtils, AHelperOfAnotherHomeIsNeitherCountedNorStopped)
{
    Installation install;
    ASSERT_TRUE(install.valid);
    QMTemporaryDir otherHome;
    ASSERT_TRUE(otherHome.isValid());
    const QString helper = QMTest::writeScript(install.libexec(), QStringLiteral("Quilmo-Helper"),
                                               QStringLiteral("while :; do sleep 0.1; done\n"));
    ASSERT_FALSE(helper.isEmpty());
    QProcess process;
    process.setProgram(helper);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), otherHome.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), otherHome.path() + QStringLiteral("/.local/share"));
    process.setProcessEnvironment(env);
    qint64 other = 0;
    ASSERT_TRUE(process.startDetached(&other));
    struct Stop
    {
        pid_t pid;
        ~Stop() { ::kill(pid, SIGKILL); }
    } stop{static_cast<pid_t>(other)};
    ASSERT_TRUE(waitFor([&] {
        return QMRunningApplications::processIds(QMRamDiskUtils::helperBundleIdentifier()).contains(pid_t(other));
    }));
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning());
    EXPECT_TRUE(QMRamDiskUtils::helperProcessIds().isEmpty());

    // Ours is started beside it, then stopped: the other one runs on.
    QMRamDiskUtils::setHelperIsRunning(true);
    ASSERT_TRUE(waitFor([] { return QMRamDiskUtils::helperIsRunning(); }));
    EXPECT_TRUE(QMRunningApplications::isAlive(pid_t(other)));
    EXPECT_FALSE(QMRamDiskUtils::helperProcessIds().contains(pid_t(other)));
    QMRamDiskUtils::setHelperIsRunning(false);
    EXPECT_FALSE(QMRamDiskUtils::helperIsRunning());
    EXPECT_TRUE(QMRunningApplications::isAlive(pid_t(other)));
}

TEST(QMRamDiskUtils, StartingAMissingHelperIsLogged)
{
    Installation install;
    ASSERT_TRUE(install.valid);
    QStringList lines;
    auto old = QMLog::setSink([&](const QString &line) { lines << line; });
    QMRamDiskUtils::setHelperIsRunning(true);
    QMLog::setSink(old);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().contains(QStringLiteral("launchApplicationAtURL==NO URL:"))) << lines.first().toStdString();
}

TEST(QMRamDiskUtils, PurgeRunsTheDiskToolsPurge)
{
    Installation install;
    ASSERT_TRUE(install.valid);
    EXPECT_FALSE(QMRamDiskUtils::canPurgeMemory());
    QStringList lines;
    auto old = QMLog::setSink([&](const QString &line) { lines << line; });
    EXPECT_FALSE(QMRamDiskUtils::purgeMemory());
    QMLog::setSink(old);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().contains(QStringLiteral("task==nil")));

    const QString marker = install.dir.path() + QStringLiteral("/purged");
    QMTest::writeScript(install.libexec(), QStringLiteral("purge"),
                        QStringLiteral("echo \"$#\" > '%1'\n").arg(marker));
    EXPECT_TRUE(QMRamDiskUtils::canPurgeMemory());
    if (geteuid() != 0)
        GTEST_SKIP() << "running purge would ask for an administrator";
    EXPECT_TRUE(QMRamDiskUtils::purgeMemory());
    ASSERT_TRUE(waitFor([&] { return QFile::exists(marker) && !readAll(marker).isEmpty(); }));
    EXPECT_EQ(readAll(marker), QStringLiteral("0\n"));
}

TEST(QMRamDiskUtils, SystemUtilitiesAreTheFirstInstalled)
{
    QMTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    EnvGuard path("PATH", bin.path());
    EXPECT_TRUE(QMRamDiskUtils::activityMonitorURL().isEmpty());
    EXPECT_TRUE(QMRamDiskUtils::diskUtilityURL().isEmpty());
    const QString ksysguard = QMTest::writeScript(bin.path(), QStringLiteral("ksysguard"), QStringLiteral("exit 0\n"));
    const QString disks = QMTest::writeScript(bin.path(), QStringLiteral("partitionmanager"), QStringLiteral("exit 0\n"));
    EXPECT_EQ(QMRamDiskUtils::activityMonitorURL(), QUrl::fromLocalFile(ksysguard));
    EXPECT_EQ(QMRamDiskUtils::diskUtilityURL(), QUrl::fromLocalFile(disks));
    const QString gnome = QMTest::writeScript(bin.path(), QStringLiteral("gnome-system-monitor"), QStringLiteral("exit 0\n"));
    EXPECT_EQ(QMRamDiskUtils::activityMonitorURL(), QUrl::fromLocalFile(gnome));
}
