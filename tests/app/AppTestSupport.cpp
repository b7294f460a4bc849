#include "AppTestSupport.h"

#include "QMRamDiskUtils.h"
#include "QMTestSupport.h"
#include "QMTranslations.h"
#include "QMUserDefaults.h"
#include "RamDiskConfigController.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QSettings>

namespace QMAppTest {

AlertAnswers::AlertAnswers(std::function<QString(const QMAlertRequest &)> answer)
{
    _previous = QMAlert::setHook([this, answer](const QMAlertRequest &r) {
        _asked << r.objectName;
        _requests << r;
        const int i = int(r.buttons.indexOf(answer(r)));
        return i < 0 ? 0 : i;
    });
}

AlertAnswers::AlertAnswers(const QString &alwaysPress)
    : AlertAnswers([alwaysPress](const QMAlertRequest &) { return alwaysPress; })
{
}

AlertAnswers::~AlertAnswers()
{
    QMAlert::setHook(_previous);
}

ChooserAnswers::ChooserAnswers(const QStringList &paths) : _paths(paths)
{
    _previous = QMFileChooser::setHook([this](const QMFileChooserRequest &r) {
        _requests << r;
        return _paths.isEmpty() ? QString() : _paths.takeFirst();
    });
}

ChooserAnswers::~ChooserAnswers()
{
    QMFileChooser::setHook(_previous);
}

UrlRecorder::UrlRecorder()
{
    for (const char *scheme : {"file", "http", "https", "mailto"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
}

UrlRecorder::~UrlRecorder()
{
    for (const char *scheme : {"file", "http", "https", "mailto"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void UrlRecorder::open(const QUrl &url)
{
    urls << url.toString();
}

FakeInstallation::FakeInstallation(bool withHelper, bool withPurge)
{
    const QString libexec = _dir.path() + QStringLiteral("/libexec/quilmo");
    QDir().mkpath(libexec);
    QDir().mkpath(_dir.path() + QStringLiteral("/bin"));
    if (withHelper)
        QMTest::writeScript(libexec, QStringLiteral("Quilmo-Helper"),
                            QStringLiteral("trap 'exit 0' TERM\nwhile :; do sleep 0.1; done\n"));
    if (withPurge)
        QMTest::writeScript(libexec, QStringLiteral("purge"), QStringLiteral("exit 0\n"));
    QMRamDiskUtils::setInstallPrefixForTesting(_dir.path());
    _oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(_dir.path() + QStringLiteral("/bin")) + ':' + _oldPath);
}

FakeInstallation::~FakeInstallation()
{
    QMRamDiskUtils::setHelperIsRunning(false);
    QMRamDiskUtils::setInstallPrefixForTesting(QString());
    qputenv("PATH", _oldPath);
}

QString FakeInstallation::helperPath() const
{
    return _dir.path() + QStringLiteral("/libexec/quilmo/Quilmo-Helper");
}

QString FakeInstallation::addProgram(const QString &name)
{
    // Written beside and renamed into place: a test that sees the marker sees all of it.
    return QMTest::writeScript(_dir.path() + QStringLiteral("/bin"), name,
                               QStringLiteral("echo \"$@\" > '%1.part' && mv '%1.part' '%1'\n").arg(ranMarker(name)));
}

QString FakeInstallation::ranMarker(const QString &name) const
{
    return _dir.path() + QLatin1Char('/') + name + QStringLiteral(".ran");
}

void resetState()
{
    // The texts of symbolic keys ("HELP_GOTO_WEBSITE"), as the programs have them.
    QMTranslations::installTranslations();
    QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    QSettings *defaults = QMUserDefaults::standardUserDefaults();
    defaults->clear();
    defaults->sync();
}

bool announceFromAnotherProgram(const QString &sender)
{
    // This test program again, running only the announcing test below.
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILMO_TEST_ANNOUNCE"), sender);
    // The child has places of its own: it speaks of this process's file.
    environment.insert(QStringLiteral("QUILMO_TEST_ANNOUNCE_FILE"), QMRamDiskEntries::defaultEntriesFilePath());
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=AnotherProgram.Announces")});
    return child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

int runQuilmoctl(const QStringList &args, QString *out, QString *err)
{
    return QMTest::run(QStringLiteral(QUILMOCTL_BIN), args, out, err);
}

std::unique_ptr<QMRamDiskEntries> readStore()
{
    auto store = std::make_unique<QMRamDiskEntries>();
    store->readRamDisksFromDefaultLocation();
    return store;
}

QStringList writeRecords(int count)
{
    QMRamDiskEntries store;
    store.readRamDisksFromDefaultLocation();
    QStringList identifiers;
    for (int i = 0; i < count; ++i) {
        QMRamDisk::Ptr r = store.addRamDisk();
        if (!r)
            break;
        r->setName(QStringLiteral("Disk %1").arg(store.count()));
        identifiers << r->identifier();
    }
    store.writeRamDisksToDefaultLocation();
    return identifiers;
}

Window::Window()
{
    window = new QMainWindow;
    controller = new RamDiskConfigController;
    window->setCentralWidget(controller);
    window->resize(820, 420);
    window->show();
    controller->updateUI();
    listenOnTheBus();
}

Window::~Window()
{
    delete window;
}

} // namespace QMAppTest

// The other program of announceFromAnotherProgram(); skipped when run as a test.
TEST(AnotherProgram, Announces)
{
    const QString sender = qEnvironmentVariable("QUILMO_TEST_ANNOUNCE");
    if (sender.isEmpty())
        GTEST_SKIP() << "run by the tests that need another program's announcement";
    ASSERT_TRUE(QMRamDiskEntries::postDidChangeToAllNotificationWithSender(
        sender, qEnvironmentVariable("QUILMO_TEST_ANNOUNCE_FILE")));
}
