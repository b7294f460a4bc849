#include "QMError.h"
#include "QMLog.h"
#include "QMLogFile.h"
#include "QMTestSupport.h"
#include "QMMacros.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {
struct LogCapture
{
    LogCapture() { previous = QMLog::setSink([this](const QString &e) { entries << e; }); }
    ~LogCapture() { QMLog::setSink(previous); }
    QStringList entries;
    QMLog::Sink previous;
};

struct Described
{
    QString description() const { return QStringLiteral("<Described>"); }
    void fail() const { QM_LogErrorMethod(this, QStringLiteral("executeCommand==NO")); }
};

void plainFunctionThatFails()
{
    QM_LogErrorFunction(QStringLiteral("removeItemAtPath==NO path:/x error:(null)"));
}
} // namespace

TEST(QMLog, LevelWordsAndTheDebugSwitch)
{
    LogCapture log;
    QMLog::logDiag(QStringLiteral("a"));
    QMLog::logDebug(QStringLiteral("hidden while unset"));
    QMLog::logInfo(QStringLiteral("b"));
    QMLog::logWarning(QStringLiteral("c"));
    QMLog::logError(QStringLiteral("d"));
    QMLog::logCriticalException(QStringLiteral("e"));
    QMLog::setIsDebug(false);
    QMLog::logDebug(QStringLiteral("hidden while off"));
    QMLog::setIsDebug(true);
    QMLog::logDebug(QStringLiteral("shown"));
    QMLog::setIsDebug(false);
    EXPECT_EQ(log.entries, (QStringList{QStringLiteral("DIAG a"), QStringLiteral("INFO b"), QStringLiteral("WARNING c"),
                                        QStringLiteral("ERROR d"), QStringLiteral("CRITIRAL EXCEPTION e"),
                                        QStringLiteral("DEBUG shown")}));
    EXPECT_TRUE(QMLog::levelWord(6).isNull());
}

TEST(QMLog, ErrorIsAppendedAndTextIsNeverAFormat)
{
    LogCapture log;
    const auto e = QMError::errorWithMessage(QStringLiteral("m"), QStringLiteral("r"));
    log.entries.clear();
    QMLog::logWithSeverity(QMLog::Warning, QStringLiteral("100% %@ %s %1"), e);
    ASSERT_EQ(log.entries.size(), 1);
    EXPECT_EQ(log.entries[0], QStringLiteral("WARNING 100% %@ %s %1\n{") + e->description() + QStringLiteral("\n}"));
}

TEST(QMLog, CallSiteHelpers)
{
    LogCapture log;
    Described d;
    d.fail();
    plainFunctionThatFails();
    QM_LogErrorMethod("QMRamDiskDevice", QStringLiteral("class operation"));
    ASSERT_EQ(log.entries.size(), 3);
    EXPECT_TRUE(log.entries[0].startsWith(QStringLiteral("ERROR fail(")));
    EXPECT_TRUE(log.entries[0].endsWith(QStringLiteral(") <Described> executeCommand==NO")));
    EXPECT_TRUE(log.entries[1].startsWith(QStringLiteral("ERROR plainFunctionThatFails(")));
    EXPECT_TRUE(log.entries[1].endsWith(QStringLiteral(") removeItemAtPath==NO path:/x error:(null)")));
    EXPECT_TRUE(log.entries[2].endsWith(QStringLiteral(") QMRamDiskDevice class operation")));
}

TEST(QMLog, CriticalExceptionWithoutGuiIsLoggedTwice)
{
    LogCapture log;
    QM_CriticalException("QMFunctions", "uuid==NULL");
    ASSERT_EQ(log.entries.size(), 2);
    EXPECT_TRUE(log.entries[0].startsWith(QStringLiteral("CRITIRAL EXCEPTION ")));
    EXPECT_TRUE(log.entries[0].endsWith(QStringLiteral(" QMFunctions uuid==NULL")));
    // The alert's own text: title, then "[class function line]\ncondition".
    EXPECT_TRUE(log.entries[1].contains(QStringLiteral("An critical error occurred with")));
    EXPECT_TRUE(log.entries[1].contains(QRegularExpression(QStringLiteral("\\[QMFunctions TestBody \\d+\\]\nuuid==NULL$"))));
}

TEST(QMLog, StandardErrorSinkPrefixesTimeProgramAndPid)
{
    // A child process of this test writes to its real standard error.
    if (qEnvironmentVariableIsSet("QM_LOG_CHILD")) {
        QMLog::logInfo(QStringLiteral("hello from the child"));
        return;
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QM_LOG_CHILD"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_filter=QMLog.StandardErrorSinkPrefixesTimeProgramAndPid")});
    ASSERT_TRUE(p.waitForStarted(30000));
    const qint64 pid = p.processId();
    ASSERT_TRUE(p.waitForFinished(30000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    const QRegularExpression line(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} test_foundation\\[%1\\] INFO hello from the child$")
                                      .arg(pid),
                                  QRegularExpression::MultilineOption);
    EXPECT_TRUE(line.match(err).hasMatch()) << err.toStdString();
}

TEST(QMMacros, ReturnHelpersAndPointEquality)
{
    QString message;
    EXPECT_FALSE(QM_ReturnNoWithMessage(QStringLiteral("Name is empty"), &message));
    EXPECT_EQ(message, QStringLiteral("Name is empty"));
    EXPECT_FALSE(QM_ReturnNoWithMessage(QStringLiteral("no slot"), nullptr));
    EXPECT_EQ(QM_ReturnIntegerWithMessage(-1, QStringLiteral("bad"), &message), -1);
    EXPECT_EQ(message, QStringLiteral("bad"));
    EXPECT_EQ(QM_ReturnNilWithMessage<int>(QStringLiteral("x"), nullptr), nullptr);

    EXPECT_TRUE(QM_IsEqualNSPoint({1, 2}, {1, 2}, 0));
    EXPECT_FALSE(QM_IsEqualNSPoint({1, 2}, {1, 2.0001}, 0));
    EXPECT_TRUE(QM_IsEqualNSPoint({1, 2}, {3, 0}, 2)); // bounds included
    EXPECT_FALSE(QM_IsEqualNSPoint({1, 2}, {3.5, 2}, 2));
}

TEST(QMLogFile, EntriesGoToTheStateDirectoryAndTheFileIsRotated)
{
    const QString path = QMLogFile::logFilePath(QStringLiteral("logtest"));
    EXPECT_EQ(path, qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/quilmo/logtest.log"));
    ASSERT_TRUE(QMLogFile::start(QStringLiteral("logtest"), false));
    QMLog::logError(QStringLiteral("first entry"));
    QFile first(path);
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    const QString firstText = QString::fromUtf8(first.readAll());
    EXPECT_TRUE(firstText.contains(QStringLiteral("logtest[")));
    EXPECT_TRUE(firstText.endsWith(QStringLiteral("ERROR first entry\n")));

    // Past the rotation size: the old entries move to .1, .2 and .3, never more files.
    const QString filler(2000, QLatin1Char('x'));
    for (int i = 0; i < 4 * QMLogFile::rotationSize / 2000; ++i)
        QMLog::logInfo(filler);
    QMLog::logInfo(QStringLiteral("last entry"));
    QMLogFile::stop();
    EXPECT_LE(QFileInfo(path).size(), QMLogFile::rotationSize);
    EXPECT_TRUE(QFileInfo::exists(path + QStringLiteral(".3")));
    EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral(".4")));
    QFile last(path);
    ASSERT_TRUE(last.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(last.readAll()).endsWith(QStringLiteral("INFO last entry\n")));
}
