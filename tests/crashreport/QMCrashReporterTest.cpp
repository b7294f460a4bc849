#include "QMAlert.h"
#include "QMCrashHandler.h"
#include "QMCrashReporter.h"
#include "QMFileRemover.h"
#include "QMLog.h"
#include "QMLogFile.h"
#include "QMRamDisk.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>

#include <csignal>
#include <sys/stat.h>
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
    p.setProcessEnvironment(QMTest::withFatalSignalsLeftToTheProgram(QProcessEnvironment::systemEnvironment()));
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

TEST_F(CrashReporterTest, ArchiveHoldsNoNameOrPathOfTheUsersAndOnlyTheUserMayReadIt)
{
    const QString home = QDir::homePath();
    runChild(QStringLiteral("segv"));
    // What the programs really log about RAM disks, present ("HR", "Merger Acme") and
    // removed since ("Board"), and the files and folders on them.
    QMLogFile::start(QStringLiteral("Quilmo"), false);
    QMRamDisk::Ptr removed = QMRamDisk::create();
    removed->setName(QStringLiteral("Board"));
    for (const QString &name : {QStringLiteral("HR"), QStringLiteral("Merger Acme")}) {
        QMRamDisk::Ptr r = QMRamDisk::create();
        r->setName(name);
        r->setPath(home + QStringLiteral("/mnt/") + name);
        // A clean-up of a RAM disk that is not mounted is refused, and the refusal logged.
        r->performAction(QMRamDiskAction_cleanUpFiles, nullptr, false);
        ASSERT_TRUE(r->lastError()) << "the refusal was made and logged";
        const QString file = r->path() + QStringLiteral("/DD/x/term-sheet.pdf");
        QM_LogErrorMethod(r.get(), QStringLiteral("removeItemAtPath==NO filePath:%1 error:%2")
                                       .arg(file, QMFileRemover::removePath(file).summary()));
    }
    QM_LogErrorMethod(removed.get(), QStringLiteral("Unable to eject RamDisk:%1").arg(removed->description()));
    QMLogFile::stop();
    const QString logged = readFile(QMLogFile::logFilePath(QStringLiteral("Quilmo")));
    for (const char *text : {"\"HR\"", "Merger Acme", "term-sheet.pdf", "/DD/", "Board"})
        ASSERT_TRUE(logged.contains(QLatin1String(text))) << "the log mentions " << text;

    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    reporter.setProfileProvider([] {
        QMCrashReporter::RamDiskProfile p;
        p.lines << QStringLiteral("1. 1 GB, type 0, format 0, backup mode 1");
        return p;
    });
    QMTemporaryDir into;
    QString error;
    const QString archive = reporter.createArchive(into.path(), &error);
    ASSERT_FALSE(archive.isNull()) << error.toStdString();
    EXPECT_TRUE(QFileInfo(archive).fileName().startsWith(QStringLiteral("Quilmo-Problem-Report-")));
    EXPECT_TRUE(archive.endsWith(QStringLiteral(".tar.gz")));
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(archive).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    QMTemporaryDir out;
    ASSERT_EQ(QMTest::run(QStringLiteral("/usr/bin/tar"), {QStringLiteral("-xzf"), archive, QStringLiteral("-C"), out.path()}), 0);
    const QString root = out.path() + QLatin1Char('/') + QFileInfo(archive).fileName().chopped(7);
    const QString profile = readFile(root + QStringLiteral("/profile.txt"));
    EXPECT_TRUE(profile.contains(QStringLiteral("RAM disks: 1\n  1. 1 GB, type 0, format 0, backup mode 1")));
    for (const char *field : {"Quilmo: ", "Qt: ", "Distribution: ", "Kernel: ", "Desktop: ", "Memory: "})
        EXPECT_TRUE(profile.contains(QLatin1String(field))) << field;
    EXPECT_EQ(QDir(root + QStringLiteral("/crashes")).entryList(QDir::Files).size(), 1);
    const QString log = readFile(root + QStringLiteral("/logs/Quilmo.log"));
    EXPECT_TRUE(log.contains(QStringLiteral("removeItemAtPath==NO filePath:<path> error:No such file or directory (<path>)")))
        << log.toStdString();

    // Nothing of the user's anywhere in the archive, whatever its length.
    QString everything;
    QDirIterator it(out.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        everything += readFile(it.next());
    static const QRegularExpression shortName(QStringLiteral("\\bHR\\b|\\bDD\\b"));
    EXPECT_FALSE(everything.contains(shortName)) << everything.toStdString();
    for (const QString &text : {QStringLiteral("Merger"), QStringLiteral("Acme"), QStringLiteral("term-sheet"),
                                QStringLiteral("Board"), home})
        EXPECT_FALSE(everything.contains(text)) << text.toStdString();
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

TEST(CrashReporterRedaction, FieldsAreTakenOutByTheirPlaceInTheLine)
{
    const struct
    {
        const char *line;
        const char *redacted;
    } cases[] = {
        {"ERROR f(1) <QMRamDisk: 0x55> ID \"HR\" removeItemAtPath==NO filePath:/home/u/mnt/HR/DD/a b.pdf error:gone (/home/u/x)",
         "ERROR f(1) <QMRamDisk: 0x55> ID \"<private>\" removeItemAtPath==NO filePath:<path> error:gone (<path>)"},
        {"path:/media/u/Merger Acme/DD error:x", "path:<path> error:x"},
        {"moved (/home/u/Budget (2024)/x) done", "moved (<path>) done"},
        {"name \"a \\\"quoted\\\" one\" and \u201CHR\u201D", "name \"<private>\" and \"<private>\""},
        {"~/notes/HR.txt file:///home/u/x y.txt", "<path> file:<path>"},
        {"dir:/tmp/quilmo-x/a key:v", "dir:<path> key:v"},
        // The system's own places stay: they hold nothing of the user's and help to read
        // a crash report.
        {"#3 /usr/lib/x86_64-linux-gnu/libQt6Core.so.6(+0x12) on /dev/loop3", "#3 /usr/lib/x86_64-linux-gnu/libQt6Core.so.6(+0x12) on /dev/loop3"},
        {"Memory use: 2 GB free, 1/2 wired", "Memory use: 2 GB free, 1/2 wired"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(QMCrashReporter::redacted(QString::fromUtf8(c.line)), QString::fromUtf8(c.redacted)) << c.line;
    EXPECT_EQ(QMCrashReporter::redacted(QStringLiteral("a:/home/x\nb:\"y\"")), QStringLiteral("a:<path>\nb:\"<private>\""));
}

TEST_F(CrashReporterTest, TheOfferSaysWhatTheArchiveHolds)
{
    QMCrashReporter reporter(QStringLiteral("Quilmo"));
    AlertAnswers answers(QStringLiteral("Cancel"));
    reporter.presentToUserWithMode(1);
    QMTest::waitUntil([&] { return !answers.texts.isEmpty(); });
    ASSERT_EQ(answers.asked, QStringList{QStringLiteral("QMCrashReporterAlert")});
    for (const char *part : {"crash reports", "logs", "readable by you alone", "Names of RAM disks, files and folders",
                             "size and settings of each RAM disk", "nothing is sent"})
        EXPECT_TRUE(answers.texts.first().contains(QLatin1String(part))) << part;
}

#include "QMCrashReporterTest.moc"
