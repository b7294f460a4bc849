// quilmoctl clean on a real RAM disk that holds a folder every user may write, while a second
// real user swaps its own subfolder for a link to the victim's files during the clean.
#include "QMFileRemover.h"
#include "QMTestSupport.h"
#include "QMTestUser.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

QString quilmoctl()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/quilmoctl");
}

// Every entry below `dir`, links as links.
QStringList entriesBelow(const QString &dir)
{
    QStringList all;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all << it.next();
    all.sort();
    return all;
}

} // namespace

TEST(QMCtlClean, ALinkSwappedInDuringTheCleanNeverLeadsOutAndWhatStaysIsNamed)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTestUser attacker(QStringLiteral("clean"));
    QM_REQUIRE_TEST_USER(attacker);

    const QString home = QMTest::testHome();
    const QString victim = home + QStringLiteral("/victim");
    ASSERT_TRUE(QDir().mkpath(victim + QStringLiteral("/Documents")));
    for (int i = 0; i < 20; ++i) {
        QFile f(victim + QStringLiteral("/Documents/report-%1.odt").arg(i));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QStringList victimFiles = entriesBelow(victim);
    const QString mnt = home + QStringLiteral("/mnt");
    ASSERT_TRUE(QDir().mkpath(mnt));
    QString out, err;
    ASSERT_EQ(QMTest::run(quilmoctl(), {QStringLiteral("add"), QStringLiteral("Shared"), QStringLiteral("--size"),
                                        QStringLiteral("128M"), QStringLiteral("--mount-dir"), mnt},
                          &out, &err),
              0)
        << err.toStdString();
    ASSERT_EQ(QMTest::run(quilmoctl(), {QStringLiteral("create"), QStringLiteral("Shared")}, &out, &err), 0)
        << err.toStdString();
    struct Eject
    {
        ~Eject() { QMTest::run(quilmoctl(), {QStringLiteral("eject"), QStringLiteral("Shared")}); }
    } eject;
    const QString volume = mnt + QStringLiteral("/Shared");
    ASSERT_EQ(chmod(QFile::encodeName(volume).constData(), 0755), 0);

    // Three runs: each a folder for everyone ("/tmp" on a RAM disk) where the other user
    // keeps 3,000 files and a "Documents" of its own.
    for (int run = 0; run < 3; ++run) {
        const QString shared = volume + QStringLiteral("/shared");
        ASSERT_TRUE(QDir().mkpath(shared));
        ASSERT_EQ(chmod(QFile::encodeName(shared).constData(), 01777), 0);
        const pid_t attack = QMTestStartLinkSwapAttack(attacker, shared + QStringLiteral("/x"), 3000,
                                                       QStringLiteral("Documents"), victim, 120000);
        ASSERT_GT(attack, 0);

        const int status = QMTest::run(quilmoctl(), {QStringLiteral("clean"), QStringLiteral("Shared")}, &out, &err);
        EXPECT_EQ(QMTestWaitForChild(attack, 120000), 0) << "the link was swapped in while the clean ran";

        EXPECT_EQ(entriesBelow(victim), victimFiles) << "run " << run;
        // Whatever the clean could not remove, it says; and it fails only then.
        const QStringList left = entriesBelow(volume);
        EXPECT_EQ(status, left.isEmpty() ? 0 : 1) << err.toStdString();
        for (const QString &path : left) {
            if (QFileInfo(path).dir().path() == shared) {
                EXPECT_TRUE(err.contains(path)) << path.toStdString() << " is not named in: " << err.toStdString();
            }
        }
        ASSERT_TRUE(QMFileRemover::removePath(shared).ok() || !QFileInfo::exists(shared));
    }
}
