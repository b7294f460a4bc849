#include "QMAlert.h"
#include "QMCrashHandler.h"
#include "QMCrashReporter.h"
#include "QMFileRemover.h"
#include "QMLogFile.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

#include <csignal>
#include <unistd.h>

namespace {

QString crashDir()
{
    return QMCrashHandler::crashDirectory();
}

void clearState()
{
    QMFileRemover::removePath(crashDir()).ok();
    QDir().mkpath(crashDir());
    for (const QFileInfo &f : QDir(QMLogFile::logDirectory()).entryInfoList(QDir::Files))
        QFile::remove(f.absoluteFilePath());
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(contents);
}

QString readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Answers every alert with the button titled `answer` and records what was asked.
struct AlertAnswers
{
    explicit AlertAnswers(const QString &answer)
    {
        previous = QMAlert::setHook([this, answer](const QMAlertRequest &r) {
            asked << r.objectName;
            texts << r.messageText + QLatin1Char('\n') + r.informativeText;
            const int i = int(r.buttons.indexOf(answer));
            return i < 0 ? 0 : i;
        });
    }
    ~AlertAnswers() { QMAlert::setHook(previous); }
    QMAlert::Hook previous;
    QStringList asked;
    QStringList texts;
};

// Runs the crash child with the test's own state directory.
struct ChildRun
{
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    qint64 pid = 0;
};

ChildRun runChild(const QString &how)
{
    QProcess p;
    p.setProgram(QStringLiteral(QM_CRASH_CHILD));
    p.setArguments({how});
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start();
    ChildRun run;
    if (!p.waitForStarted(10000))
        return run;
    run.pid = p.processId();
    p.waitForFinished(60000);
    run.exitStatus = p.exitStatus();
    run.exitCode = p.exitCode();
    return run;
}

} // namespace

// Receives what would open in the desktop's file manager or browser.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QStringList urls;
public slots:
    void open(const QUrl &url) { urls.append(url.toString()); }
};

class CrashReporterTest : public ::testing::Test
{
protected:
    void SetUp() override { clearState(); }
    void TearDown() override { clearState(); }
};

TEST_F(CrashReporterTest, ChildThatCrashesLeavesAReportWithABacktraceAndStillDiesOfTheSignal)
{
    const struct { const char *how; int signal; const char *name; } cases[] = {
        {"segv", SIGSEGV, "SIGSEGV"},
        {"abort", SIGABRT, "SIGABRT"},
        {"fpe", SIGFPE, "SIGFPE"},
        {"overflow", SIGSEGV, "SIGSEGV"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        clearState();
        const ChildRun run = runChild(QString::fromLatin1(c.how));
        // The handler lets the signal end the process as it would have without it.
        EXPECT_EQ(run.exitStatus, QProcess::CrashExit);
        EXPECT_EQ(run.exitCode, c.signal);

        const QStringList reports = QDir(crashDir()).entryList({QStringLiteral("*.crash")}, QDir::Files);
        ASSERT_EQ(reports.size(), 1) << reports.join(u',').toStdString();
        EXPECT_TRUE(reports.first().startsWith(QStringLiteral("qm_crash_child-")));
        EXPECT_TRUE(reports.first().endsWith(QStringLiteral("-%1.crash").arg(run.pid)));
        const QString text = readFile(crashDir() + QLatin1Char('/') + reports.first());
        EXPECT_TRUE(text.contains(QStringLiteral("Program: qm_crash_child\n")));
        EXPECT_TRUE(text.contains(QStringLiteral("Signal: %1 (%2)").arg(c.signal).arg(QLatin1String(c.name))))
            << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("Version: ")));
        EXPECT_TRUE(text.contains(QStringLiteral("Build: ")));
        EXPECT_TRUE(text.contains(QStringLiteral("\nBacktrace:\n")));
        // The frames name the function that crashed (or, for the overflow, the recursion).
        EXPECT_TRUE(text.contains(QStringLiteral("crashOnPurpose")) || text.contains(QStringLiteral("recurseForever")))
            << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("\nLoaded code:\n")));
        EXPECT_TRUE(text.contains(QStringLiteral("qm_crash_child\n")) || text.contains(QStringLiteral("qm_crash_child ")));
    }
}

TEST_F(CrashReporterTest, ChildThatDoesNotCrashLeavesNothing)
{
    const ChildRun run = runChild(QStringLiteral("none"));
    EXPECT_EQ(run.exitStatus, QProcess::NormalExit);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(QDir(crashDir()).entryList({QStringLiteral("*.crash")}, QDir::Files).isEmpty());
}

TEST_F(CrashReporterTest, AReportIsOfferedOnceAndANewOneAgain)
{
    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    EXPECT_FALSE(reporter.needsDisplayReclam());
    runChild(QStringLiteral("segv"));
    EXPECT_TRUE(reporter.needsDisplayReclam());

    {
        AlertAnswers answers(QStringLiteral("Not Now"));
        reporter.presentToUserWithMode(0);
        EXPECT_EQ(answers.asked, QStringList{QStringLiteral("QMCrashReporterAlert")});
    }
    // Declined or not, it has been offered.
    EXPECT_FALSE(reporter.needsDisplayReclam());
    QMCrashReporter nextStart(QStringLiteral("Quilmo"));
    EXPECT_FALSE(nextStart.needsDisplayReclam());

    runChild(QStringLiteral("abort"));
    EXPECT_TRUE(nextStart.needsDisplayReclam());
    EXPECT_EQ(nextStart.pendingReports().size(), 1);
}

TEST_F(CrashReporterTest, ARunThatNeverQuitIsAnUncleanEndUnlessItLeftACrashReport)
{
    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    // A clean run: loaded, terminated, loaded again: nothing to offer.
    reporter.applicationLoaded();
    EXPECT_TRUE(QFileInfo::exists(reporter.runningMarkerPath()));
    reporter.applicationTerminated();
    EXPECT_FALSE(QFileInfo::exists(reporter.runningMarkerPath()));
    reporter.applicationLoaded();
    EXPECT_FALSE(reporter.needsDisplayReclam());
    reporter.applicationTerminated();

    // A run killed (its process gone, its marker left).
    QProcess gone;
    gone.start(QStringLiteral("/bin/true"));
    ASSERT_TRUE(gone.waitForFinished());
    const qint64 deadPid = gone.processId() > 0 ? gone.processId() : 999999;
    writeFile(reporter.runningMarkerPath(), QByteArray::number(deadPid));
    reporter.applicationLoaded();
    ASSERT_EQ(reporter.pendingReports().size(), 1);
    EXPECT_TRUE(reporter.pendingReports().first().endsWith(QStringLiteral("-%1-unclean.crash").arg(deadPid)));
    EXPECT_TRUE(readFile(reporter.pendingReports().first()).contains(QStringLiteral("without quitting")));
    reporter.applicationTerminated();

    // A run that crashed wrote its own report: no second one for the same process.
    clearState();
    writeFile(crashDir() + QStringLiteral("/Quilmo-1767225600-%1.crash").arg(deadPid), "Signal: 11 (SIGSEGV)\n");
    writeFile(reporter.runningMarkerPath(), QByteArray::number(deadPid));
    reporter.applicationLoaded();
    EXPECT_EQ(reporter.pendingReports().size(), 1);
    reporter.applicationTerminated();
}

TEST_F(CrashReporterTest, OnlyTheNewestReportsAreKept)
{
    for (int i = 0; i < QMCrashReporter::keptReports + 5; ++i)
        writeFile(crashDir() + QStringLiteral("/Quilmo-%1-100.crash").arg(1767225600 + i), "x");
    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    reporter.applicationLoaded();
    reporter.applicationTerminated();
    const QStringList kept = reporter.reportFiles();
    ASSERT_EQ(kept.size(), QMCrashReporter::keptReports);
    EXPECT_TRUE(kept.first().endsWith(QStringLiteral("Quilmo-%1-100.crash").arg(1767225600 + 5)));
    EXPECT_TRUE(kept.last().endsWith(QStringLiteral("Quilmo-%1-100.crash").arg(1767225600 + 34)));
}

TEST_F(CrashReporterTest, ArchiveHoldsReportsLogsAndProfileWithoutTheRamDisksNames)
{
    const QString home = QDir::homePath();
    runChild(QStringLiteral("segv"));
    writeFile(QMLogFile::logFilePath(QStringLiteral("Quilmo")),
              QStringLiteral("ERROR mount failed path:%1/Secret Project Disk/notes\n").arg(home).toUtf8());
    writeFile(QMLogFile::logFilePath(QStringLiteral("Quilmo")) + QStringLiteral(".1"), "older entries\n");

    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    reporter.setProfileProvider([home] {
        QMCrashReporter::RamDiskProfile p;
        p.lines << QStringLiteral("1. 1 GB, type 0, format 0, backup mode 1");
        p.privateTexts << QStringLiteral("Secret Project Disk") << home + QStringLiteral("/Secret Project Disk");
        return p;
    });
    QMTemporaryDir into;
    QString error;
    const QString archive = reporter.createArchive(into.path(), &error);
    ASSERT_FALSE(archive.isNull()) << error.toStdString();
    EXPECT_TRUE(QFileInfo(archive).fileName().startsWith(QStringLiteral("Quilmo-Problem-Report-")));
    EXPECT_TRUE(archive.endsWith(QStringLiteral(".tar.gz")));

    QString listing;
    ASSERT_EQ(QMTest::run(QStringLiteral("tar"), {QStringLiteral("-tzf"), archive}, &listing), 0);
    EXPECT_TRUE(listing.contains(QStringLiteral("/profile.txt")));
    EXPECT_TRUE(listing.contains(QStringLiteral("/crashes/qm_crash_child-")));
    EXPECT_TRUE(listing.contains(QStringLiteral("/logs/Quilmo.log\n")));
    EXPECT_TRUE(listing.contains(QStringLiteral("/logs/Quilmo.log.1")));

    QMTemporaryDir out;
    ASSERT_EQ(QMTest::run(QStringLiteral("tar"), {QStringLiteral("-xzf"), archive, QStringLiteral("-C"), out.path()}), 0);
    const QString root = out.path() + QLatin1Char('/') + QFileInfo(archive).fileName().chopped(7);
    const QString profile = readFile(root + QStringLiteral("/profile.txt"));
    EXPECT_TRUE(profile.contains(QStringLiteral("RAM disks: 1\n  1. 1 GB, type 0, format 0, backup mode 1")));
    for (const char *field : {"Quilmo: ", "Qt: ", "Distribution: ", "Kernel: ", "Desktop: ", "Memory: "})
        EXPECT_TRUE(profile.contains(QLatin1String(field))) << field;
    const QString log = readFile(root + QStringLiteral("/logs/Quilmo.log"));
    EXPECT_TRUE(log.contains(QStringLiteral("mount failed path:<private>/notes"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Secret")));
    EXPECT_FALSE(profile.contains(QStringLiteral("Secret")));
}

TEST_F(CrashReporterTest, CreatingTheReportShowsItAndTheSupportPage)
{
    UrlRecorder receiver;
    const QStringList &opened = receiver.urls;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &receiver, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &receiver, "open");

    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    int updateChecks = 0;
    reporter.setReportCreatedHandler([&] { ++updateChecks; });
    {
        AlertAnswers answers(QStringLiteral("Create Report"));
        reporter.presentToUserWithMode(1);
        // The answer's completion runs from the event loop, as a sheet's would.
        QMTest::waitUntil([&] { return answers.asked.size() == 2; }, 20000);
        EXPECT_EQ(answers.asked, (QStringList{QStringLiteral("QMCrashReporterAlert"),
                                              QStringLiteral("QMCrashReporterDone")}));
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    const QStringList archives =
        QDir(QDir::homePath()).entryList({QStringLiteral("Quilmo-Problem-Report-*.tar.gz")}, QDir::Files);
    ASSERT_EQ(archives.size(), 1);
    EXPECT_EQ(updateChecks, 1) << "a newer version may already fix it";
    EXPECT_TRUE(opened.contains(QUrl::fromLocalFile(QDir::homePath()).toString())) << opened.join(u' ').toStdString();
    EXPECT_TRUE(opened.contains(QMCrashReporter::supportURL()));
    QFile::remove(QDir::homePath() + QLatin1Char('/') + archives.first());
}

TEST(CrashReporterRedaction, HomeBecomesTildeAndLongerTextsGoFirst)
{
    const QString home = QDir::homePath();
    const QString text = QStringLiteral("a %1/Disk Two/x and Disk and %1 and %1x").arg(home);
    const QString r = QMCrashReporter::redacted(text, {QStringLiteral("Disk"), home + QStringLiteral("/Disk Two"),
                                                       QStringLiteral("ab"), QStringLiteral("/")});
    // The whole path goes, not just the name inside it; texts too short to tell are kept.
    EXPECT_EQ(r, QStringLiteral("a <private>/x and <private> and ~ and %1x").arg(home));
}

#include "QMCrashReporterTest.moc"
