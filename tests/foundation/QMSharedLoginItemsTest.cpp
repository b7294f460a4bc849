#include "QMFileRemover.h"
#include "QMLog.h"
#include "QMSharedLoginItems.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {

class LoginItemsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        for (const char *sub : {"/copyA", "/copy B", "/50% \"odd\" $dir"})
            QDir().mkpath(tmp.path() + QLatin1String(sub));
        autostart = QMSharedLoginItems::autostartDirectory();
        QMFileRemover::removePath(autostart).ok();
        QFile::remove(autostart);
        previousSink = QMLog::setSink([this](const QString &entry) { log << entry; });
        helperA = QMTest::writeScript(tmp.path() + QStringLiteral("/copyA"), QStringLiteral("Quilmo-Helper"),
                                      QStringLiteral("exit 0\n"));
        helperB = QMTest::writeScript(tmp.path() + QStringLiteral("/copy B"), QStringLiteral("Quilmo-Helper"),
                                      QStringLiteral("exit 0\n"));
    }
    void TearDown() override
    {
        QMLog::setSink(previousSink);
        QMFileRemover::removePath(autostart).ok();
        QFile::remove(autostart);
    }

    void writeEntry(const QString &fileName, const QString &name, const QString &exec, const QString &extra = {})
    {
        QDir().mkpath(autostart);
        QFile f(autostart + QLatin1Char('/') + fileName);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n%3").arg(name, exec, extra).toUtf8());
    }
    QStringList entryFiles() const
    {
        return QDir(autostart).entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    }
    QList<QMSharedLoginItems::Entry> entries() const
    {
        QList<QMSharedLoginItems::Entry> list;
        EXPECT_TRUE(QMSharedLoginItems::snapshot(&list));
        return list;
    }

    QMTemporaryDir tmp;
    QString autostart;
    QString helperA, helperB;
    QStringList log;
    QMLog::Sink previousSink;
};

TEST_F(LoginItemsTest, StaleEntryIsReportedByNameThenReplaced)
{
    writeEntry(QStringLiteral("old.desktop"), QStringLiteral("Quilmo-Helper"),
               QStringLiteral("/nonexistent/place/Quilmo-Helper"));
    writeEntry(QStringLiteral("other.desktop"), QStringLiteral("Other"), QStringLiteral("/nonexistent/other"));

    const QUrl url = QUrl::fromLocalFile(helperA);
    bool valid = true;
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(url, &valid));
    EXPECT_FALSE(valid);

    EXPECT_TRUE(QMSharedLoginItems::addLoginItem(url));
    valid = false;
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(url, &valid));
    EXPECT_TRUE(valid);

    // The stale entry of ours is gone; another program's stale entry is not ours to touch.
    const auto list = entries();
    ASSERT_EQ(list.size(), 2);
    EXPECT_FALSE(QFile::exists(autostart + QStringLiteral("/old.desktop")));
    EXPECT_TRUE(QFile::exists(autostart + QStringLiteral("/other.desktop")));
    int ours = 0;
    for (const auto &e : list) {
        if (e.displayName == QLatin1String("Quilmo-Helper")) {
            ++ours;
            EXPECT_EQ(e.resolution, QMSharedLoginItems::Entry::Resolved);
            EXPECT_EQ(e.resolvedPath, helperA);
        }
    }
    EXPECT_EQ(ours, 1);
}

TEST_F(LoginItemsTest, AddTwiceMakesOneEntryAndRemoveUndoesIt)
{
    const QUrl url = QUrl::fromLocalFile(helperA);
    // No autostart directory at all yet: an empty list, not an error.
    EXPECT_FALSE(QMSharedLoginItems::isLoginItem(url, nullptr));
    EXPECT_TRUE(QMSharedLoginItems::addLoginItem(url));
    EXPECT_TRUE(QMSharedLoginItems::addLoginItem(url));
    EXPECT_EQ(entryFiles().size(), 1);

    EXPECT_TRUE(QMSharedLoginItems::removeLoginItem(url));
    EXPECT_TRUE(entryFiles().isEmpty());
    EXPECT_FALSE(QMSharedLoginItems::removeLoginItem(url));
    EXPECT_TRUE(log.isEmpty()) << log.join(QLatin1Char('\n')).toStdString();
}

TEST_F(LoginItemsTest, OtherCopyIsReplacedOnAddAndRemovedOnRemove)
{
    const QUrl a = QUrl::fromLocalFile(helperA);
    const QUrl b = QUrl::fromLocalFile(helperB);
    ASSERT_TRUE(QMSharedLoginItems::addLoginItem(b));

    bool valid = true;
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(a, &valid));
    EXPECT_FALSE(valid);

    ASSERT_TRUE(QMSharedLoginItems::addLoginItem(a));
    auto list = entries();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.first().resolvedPath, helperA);

    // Removing through the other copy's address removes this one too (same name).
    EXPECT_TRUE(QMSharedLoginItems::removeLoginItem(b));
    EXPECT_TRUE(entryFiles().isEmpty());
}

TEST_F(LoginItemsTest, RemoveWithoutMatchChangesNothing)
{
    writeEntry(QStringLiteral("a.desktop"), QStringLiteral("Something"), QStringLiteral("/bin/true --flag"));
    writeEntry(QStringLiteral("b.desktop"), QStringLiteral("Relative"), QStringLiteral("sub/dir/prog"));
    EXPECT_FALSE(QMSharedLoginItems::removeLoginItem(QUrl::fromLocalFile(helperA)));
    EXPECT_EQ(entryFiles(), (QStringList{QStringLiteral("a.desktop"), QStringLiteral("b.desktop")}));
}

TEST_F(LoginItemsTest, DisabledEntryIsNotValidAndAddEnablesIt)
{
    writeEntry(QStringLiteral("mine.desktop"), QStringLiteral("Renamed by user"),
               QMSharedLoginItems::execLineForProgram(helperB), QStringLiteral("Hidden=true\n"));
    const QUrl url = QUrl::fromLocalFile(helperB);
    bool valid = true;
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(url, &valid));
    EXPECT_FALSE(valid);
    ASSERT_TRUE(QMSharedLoginItems::addLoginItem(url));
    const auto list = entries();
    ASSERT_EQ(list.size(), 1);
    EXPECT_FALSE(list.first().isDisabled);
    EXPECT_EQ(list.first().resolvedPath, helperB);
}

TEST_F(LoginItemsTest, RefusesWhatCannotBecomeAnItem)
{
    EXPECT_FALSE(QMSharedLoginItems::addLoginItem(QUrl()));
    EXPECT_FALSE(QMSharedLoginItems::addLoginItem(QUrl(QStringLiteral("https://example.org/Quilmo-Helper"))));
    EXPECT_FALSE(QMSharedLoginItems::addLoginItem(QUrl::fromLocalFile(tmp.path() + QStringLiteral("/missing"))));
    EXPECT_TRUE(entryFiles().isEmpty());
    EXPECT_EQ(log.size(), 1);

    // A list that cannot be read is an error, and the out flag stays as it was.
    log.clear();
    QMFileRemover::removePath(autostart).ok();
    QFile blocker(autostart);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    bool valid = true;
    EXPECT_FALSE(QMSharedLoginItems::isLoginItem(QUrl::fromLocalFile(helperA), &valid));
    EXPECT_TRUE(valid);
    EXPECT_FALSE(QMSharedLoginItems::addLoginItem(QUrl::fromLocalFile(helperA)));
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log.at(0).contains(QLatin1String("snapshot==NULL")));
}

TEST_F(LoginItemsTest, ExecQuotingRoundTripsAwkwardPaths)
{
    const QStringList paths = {
        QStringLiteral("/opt/q/Quilmo-Helper"),
        QStringLiteral("/home/a b/Quilmo-Helper"),
        QStringLiteral("/tmp/100%/x\"y`z$HOME\\w/Quilmo-Helper"),
    };
    for (const QString &p : paths) {
        const QString line = QMSharedLoginItems::execLineForProgram(p);
        // What a reader sees after the file's value escapes.
        QString value = line;
        value.replace(QLatin1String("\\\\"), QLatin1String("\\"));
        EXPECT_EQ(QMSharedLoginItems::programFromExecLine(value), p) << line.toStdString();
    }
    EXPECT_TRUE(QMSharedLoginItems::programFromExecLine(QStringLiteral("\"/unterminated")).isNull());

    // The awkward directory really resolves once written and read back from a file.
    const QString odd = QMTest::writeScript(tmp.path() + QStringLiteral("/50% \"odd\" $dir"),
                                            QStringLiteral("Quilmo-Helper"), QStringLiteral("exit 0\n"));
    ASSERT_TRUE(QMSharedLoginItems::addLoginItem(QUrl::fromLocalFile(odd)));
    bool valid = false;
    EXPECT_TRUE(QMSharedLoginItems::isLoginItem(QUrl::fromLocalFile(odd), &valid));
    EXPECT_TRUE(valid);
}

TEST_F(LoginItemsTest, EntryNamesItsProgramInTryExecSoThatARemovedProgramIsSkipped)
{
    ASSERT_TRUE(QMSharedLoginItems::addLoginItem(QUrl::fromLocalFile(helperB)));
    ASSERT_EQ(entryFiles().size(), 1);
    const QString path = autostart + QLatin1Char('/') + entryFiles().first();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    // A path with a space stays one value: TryExec is a plain string, not a command line.
    EXPECT_TRUE(lines.contains(QStringLiteral("TryExec=") + helperB)) << lines.join(QLatin1Char('\n')).toStdString();
    if (!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
        QProcess validate;
        validate.start(QStringLiteral("desktop-file-validate"), {path});
        ASSERT_TRUE(validate.waitForFinished(30000));
        EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();
    }
}

} // namespace
