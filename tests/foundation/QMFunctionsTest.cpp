#include "QMFunctions.h"
#include "QMLog.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <fcntl.h>

#include <sys/stat.h>
#include <utime.h>

namespace {
const QString kChild = QStringLiteral(QM_TEST_CHILD);

struct QuietLog
{
    QuietLog() { previous = QMLog::setSink([this](const QString &e) { entries << e; }); }
    ~QuietLog() { QMLog::setSink(previous); }
    QStringList entries;
    QMLog::Sink previous;
};
} // namespace

TEST(QMFunctionsRunner, RefusesWhatCannotRunWithoutStartingAnything)
{
    QMTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain"));
    QFile f(plain);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\ntouch ran\n");
    f.close();

    for (const QString &tool : {QString(), QStringLiteral(""), QStringLiteral("/"), dir.path(),
                                dir.filePath(QStringLiteral("missing")), plain}) {
        qint64 status = 77;
        QString out = QStringLiteral("x"), err = QStringLiteral("y");
        EXPECT_FALSE(QMFunctions::executeCommand(tool, {}, std::nullopt, dir.path(), &status, &out, &err))
            << tool.toStdString();
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(out.isNull());
        EXPECT_TRUE(err.isNull());
    }
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("ran"))));
}

TEST(QMFunctionsRunner, NoOutputLeavesBothSlotsNull)
{
    qint64 status = -5;
    QString out = QStringLiteral("x"), err = QStringLiteral("y");
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("nothing")}, &status, &out, &err));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(out.isNull());
    EXPECT_TRUE(err.isNull());
}

TEST(QMFunctionsRunner, NonZeroExitIsNotAFailureOfTheRunner)
{
    qint64 status = 0;
    QString out, err;
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("exit"), QStringLiteral("1"),
                                                     QStringLiteral("hdiutil: detach failed - Resource busy")},
                                            &status, &out, &err));
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(out.isNull());
    EXPECT_EQ(err, QStringLiteral("hdiutil: detach failed - Resource busy"));

    // Statuses above 127 come back as the child gave them.
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("exit"), QStringLiteral("255"), QStringLiteral("")},
                                            &status, nullptr, nullptr));
    EXPECT_EQ(status, 255);
}

TEST(QMFunctionsRunner, DecodesUtf8ThenAsciiThenFallsBack)
{
    qint64 status = 0;
    QString out;
    // Valid UTF-8.
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("bytes"), QStringLiteral("c3a9")}, &status, &out, nullptr));
    EXPECT_EQ(out, QString(QChar(0xE9)));
    // 8-bit text that is not UTF-8 (a Latin-1 "café").
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("bytes"), QStringLiteral("636166e9")}, &status, &out, nullptr));
    EXPECT_EQ(out, QStringLiteral("caf") + QChar(0xE9));
    // Neither.
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("bytes"), QStringLiteral("8190ff")}, &status, &out, nullptr));
    EXPECT_EQ(out, QStringLiteral("outString==nil"));
}

TEST(QMFunctionsRunner, DrainsLargeOutputOnBothStreamsWithoutDeadlock)
{
    qint64 status = -1;
    QString out, err;
    const int n = 600 * 1024;
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("both"), QString::number(n)}, &status, &out, &err));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out.size(), n);
    EXPECT_EQ(err.size(), n);
    EXPECT_EQ(out.count(QLatin1Char('o')), n);
}

TEST(QMFunctionsRunner, ArgumentsAreNotInterpretedAndEnvironmentAndDirectoryApply)
{
    qint64 status = 0;
    QString out;
    const QStringList args{QStringLiteral("args"), QStringLiteral("$HOME"), QStringLiteral("*"),
                           QStringLiteral("a b"), QStringLiteral("'q'")};
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, args, &status, &out, nullptr));
    EXPECT_EQ(out, QStringLiteral("$HOME\n*\na b\n'q'\n"));

    // A given environment replaces the whole environment.
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("env")},
                                            QVariantMap{{QStringLiteral("ONLY"), QStringLiteral("this")}}, QString(),
                                            &status, &out, nullptr));
    EXPECT_EQ(out, QStringLiteral("ONLY=this\n"));
    // None inherits the caller's.
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("env")}, &status, &out, nullptr));
    EXPECT_TRUE(out.contains(QStringLiteral("HOME=") + QDir::homePath()));

    QMTemporaryDir dir;
    ASSERT_TRUE(QMFunctions::executeCommand(kChild, {QStringLiteral("pwd")}, std::nullopt, dir.path(), &status, &out, nullptr));
    EXPECT_EQ(out, QDir(dir.path()).canonicalPath());
}

TEST(QMFunctionsRunner, PrivilegedExecutionStartsWithoutWaiting)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "as a normal user this would ask polkit for a password";
    QMTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("marker"));
    const QString tool = QMTest::writeScript(dir.path(), QStringLiteral("tool"), QStringLiteral("echo \"$1\" > \"$2\"\n"));
    ASSERT_TRUE(QMFunctions::executeWithPrivileges(tool, {QStringLiteral("done"), marker}));
    for (int i = 0; i < 200 && !QFile::exists(marker); ++i)
        QThread::msleep(25);
    QFile f(marker);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("done\n"));

    QuietLog log;
    EXPECT_FALSE(QMFunctions::executeWithPrivileges(dir.filePath(QStringLiteral("missing")), {}, true));
    ASSERT_EQ(log.entries.size(), 1);
    EXPECT_TRUE(log.entries[0].contains(QStringLiteral("AuthorizationExecuteWithPrivileges:")));
    EXPECT_TRUE(log.entries[0].endsWith(QStringLiteral(" args:")));
}

TEST(QMFunctionsRunner, PrivilegedExecutionThatWaitsGivesTheExitStatus)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "as a normal user this would ask polkit for a password";
    QMTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("marker"));
    const QString tool = QMTest::writeScript(dir.path(), QStringLiteral("tool"),
                                             QStringLiteral("sleep 0.2; echo \"$1\" > \"$2\"; exit 3\n"));
    qint64 status = 0;
    ASSERT_TRUE(QMFunctions::executeWithPrivilegesAndWait(tool, {QStringLiteral("done"), marker}, &status));
    EXPECT_EQ(status, 3);
    QFile f(marker);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "the call returns once the tool has finished";
    EXPECT_EQ(f.readAll(), QByteArray("done\n"));

    QuietLog log;
    status = 7;
    EXPECT_FALSE(QMFunctions::executeWithPrivilegesAndWait(dir.filePath(QStringLiteral("missing")), {}, &status, true));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(log.entries.size(), 1);
    EXPECT_TRUE(log.entries[0].contains(QStringLiteral("AuthorizationExecuteWithPrivileges:")));
}

TEST(QMFunctionsIdentity, UuidNameVersionBuildDate)
{
    const QString a = QMFunctions::UUIDString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"))
                    .match(a)
                    .hasMatch())
        << a.toStdString();
    EXPECT_NE(a, QMFunctions::UUIDString());
    EXPECT_EQ(QMFunctions::appName(), QStringLiteral("test_foundation"));
    EXPECT_FALSE(QMFunctions::appVersion().isEmpty());
    EXPECT_FALSE(QMFunctions::appBuild().isEmpty());
    const auto compiled = QMFunctions::dateCompiled();
    ASSERT_TRUE(compiled.has_value());
    EXPECT_LE(*compiled, static_cast<double>(QDateTime::currentSecsSinceEpoch()) + 86400);
    EXPECT_GT(*compiled, 1.7e9);
}

TEST(QMFunctionsBytes, Bin1024Texts)
{
    EXPECT_TRUE(QMFunctions::stringFromBytesWithBin1024Style(-1).isNull());
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(0), QStringLiteral("Zero Byte"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(1), QStringLiteral("1 Byte"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(512), QStringLiteral("1 Byte"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(1023), QStringLiteral("1 Byte"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(1024), QStringLiteral("1 KB"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(1536), QStringLiteral("2 KB"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(1048576), QStringLiteral("1 MB"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(1572864), QStringLiteral("1.5 MB"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(qint64(1) << 31), QStringLiteral("2 GB"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(qint64(3) << 29), QStringLiteral("1.50 GB"));
    EXPECT_EQ(QMFunctions::stringFromBytesWithBin1024Style(qint64(1) << 40), QStringLiteral("1 TB"));
}

TEST(QMFunctionsFiles, LegalFileNames)
{
    EXPECT_TRUE(QMFunctions::isLegalFilename(QStringLiteral("RamDisk 2")));
    EXPECT_TRUE(QMFunctions::isLegalFilename(QStringLiteral("Caché Ü")));
    EXPECT_TRUE(QMFunctions::isLegalFilename(QString(254, QLatin1Char('a'))));
    EXPECT_FALSE(QMFunctions::isLegalFilename(QString(255, QLatin1Char('a'))));
    EXPECT_FALSE(QMFunctions::isLegalFilename(QString()));
    EXPECT_FALSE(QMFunctions::isLegalFilename(QStringLiteral("")));
    for (const char *bad : {"a:b", "a/b", "a\\b", "a|b", "a\"b", "a<b", "a>b", "a+b", "a=b", "a$b", "a^b", "a`b",
                            "a~b", "a\tb", "a\nb", "a\rb"})
        EXPECT_FALSE(QMFunctions::isLegalFilename(QString::fromUtf8(bad))) << bad;
    EXPECT_FALSE(QMFunctions::isLegalFilename(QStringLiteral("a") + QChar(0x2028)));
    EXPECT_FALSE(QMFunctions::isLegalFilename(QStringLiteral("a") + QChar(0x200B))); // format character
    EXPECT_FALSE(QMFunctions::isLegalFilename(QStringLiteral("a") + QChar(0x0378))); // not assigned
    EXPECT_FALSE(QMFunctions::isLegalFilename(QString::fromUtf8("disk \xF0\x9F\x98\x80"))); // a symbol outside the BMP
    // 254 UTF-16 code units, not characters: 127 characters outside the BMP are 254 units.
    QString wide;
    for (int i = 0; i < 128; ++i)
        wide += QString::fromUtf8("\xF0\x9D\x90\x80"); // mathematical bold A, a letter
    EXPECT_FALSE(QMFunctions::isLegalFilename(wide));
    wide.chop(2);
    EXPECT_TRUE(QMFunctions::isLegalFilename(wide));
}

TEST(QMFunctionsFiles, LinesFromString)
{
    EXPECT_FALSE(QMFunctions::linesFromString(QString()).has_value());
    EXPECT_EQ(*QMFunctions::linesFromString(QStringLiteral("")), QStringList());
    const QString format = QStringLiteral("Initialized /dev/loop3 as a 1 GB case-sensitive ext4 volume");
    EXPECT_EQ(*QMFunctions::linesFromString(format + QLatin1Char('\n')), QStringList{format});
    EXPECT_EQ(QMFunctions::linesFromString(QStringLiteral("warning: slow\n") + format + QLatin1Char('\n'))->size(), 2);
    EXPECT_EQ(*QMFunctions::linesFromString(QStringLiteral("a\n\nb")),
              (QStringList{QStringLiteral("a"), QString(""), QStringLiteral("b")}));
    EXPECT_EQ(*QMFunctions::linesFromString(QStringLiteral("a\r\nb\rc") + QChar(0x2029) + QStringLiteral("d")),
              (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}));
    EXPECT_EQ(*QMFunctions::linesFromString(QStringLiteral("\n")), QStringList{QString("")});
}

TEST(QMFunctionsFiles, WholeSecondTimes)
{
    QMTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    struct timespec times[2] = {{1600000000, 700000000}, {1600000000, 700000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    double seconds = 0;
    ASSERT_TRUE(QMFunctions::getModDate1970(&seconds, path));
    EXPECT_EQ(seconds, 1600000000.0);
    EXPECT_TRUE(QMFunctions::getModDate1970(nullptr, path));

    double born = 0;
    if (QMFunctions::getCreationDate1970(&born, path)) {
        EXPECT_NEAR(born, static_cast<double>(QDateTime::currentSecsSinceEpoch()), 120);
        EXPECT_EQ(born, static_cast<double>(static_cast<qint64>(born)));
    }

    QuietLog log;
    EXPECT_FALSE(QMFunctions::getModDate1970(&seconds, dir.filePath(QStringLiteral("missing"))));
    ASSERT_EQ(log.entries.size(), 1);
    EXPECT_TRUE(log.entries[0].endsWith(QStringLiteral("stat!=0 errno:2")));
    EXPECT_FALSE(QMFunctions::getModDate1970(&seconds, QString()));
}
