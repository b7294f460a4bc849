#include "QMAlert.h"
#include "QMCheckForUpdates.h"
#include "QMFunctions.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMUpdateSignature.h"
#include "QMUpdateTestSupport.h"
#include "QMUpdateVersionDocument.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>

#include <unistd.h>

using namespace QMUpdateTest;

namespace {

class CheckForUpdatesTest : public testing::Test
{
protected:
    void SetUp() override
    {
        QMAlert::setHook([this](const QMAlertRequest &request) {
            alerts << request;
            if (!answers.isEmpty())
                return answers.takeFirst();
            return int(request.buttons.size()) - 1; // "OK", "Quit" or the only button
        });
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
        marker = dir.path() + QStringLiteral("/ran");
        prefix = makeTree(dir.path(), QStringLiteral("quilmo"), QStringLiteral("1.0"), marker);
        settingsPath = dir.path() + QStringLiteral("/Quilmo.conf");
        QMUpdateSignature::setPublicKeyForTesting(release.publicKey());
        setPrefix(prefix);
        checker()->setAppBuild(100, server.url(QStringLiteral("/quilmo.version")));
    }

    void TearDown() override
    {
        QMTest::waitUntil([this] { return checker()->connectionAction() == QMCheckForUpdates::Idle; });
        for (const char *name : {"newVersionWindow", "updatingWindow"})
            if (QWidget *w = window(name))
                w->hide();
        QMAlert::setHook({});
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QMUpdateSignature::setPublicKeyForTesting(QString());
    }

    void setPrefix(const QString &path)
    {
        QMUpdateApplication app = QMUpdateApplication::current();
        app.name = QStringLiteral("Quilmo");
        app.version = QStringLiteral("1.0");
        app.installPrefix = path;
        app.website = QUrl(QStringLiteral("https://quilmo.example/"));
        app.settingsPath = settingsPath;
        app.terminationHook = [this] { events << QStringLiteral("terminate"); };
        app.quit = [this] { events << QStringLiteral("quit"); };
        app.activate = [] {};
        app.packageManaged = packageManaged;
        checker()->setApplication(app);
    }

    static QMCheckForUpdates *checker() { return QMCheckForUpdates::sharedInstance(); }

    static QWidget *window(const char *name)
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String(name))
                return w;
        return nullptr;
    }
    template<typename T>
    static T *control(const char *windowName, const char *name)
    {
        QWidget *w = window(windowName);
        return w ? w->findChild<T *>(QLatin1String(name)) : nullptr;
    }
    static bool visible(const char *name)
    {
        QWidget *w = window(name);
        return w && w->isVisible();
    }

    void serve(const QByteArray &document) { server.setRoute(QStringLiteral("/quilmo.version"), {200, "text/plain", document}); }

    // Runs one check to its end.
    void check(void (QMCheckForUpdates::*start)())
    {
        alerts.clear();
        (checker()->*start)();
        ASSERT_TRUE(QMTest::waitUntil([] { return checker()->connectionAction() == QMCheckForUpdates::Idle; }));
    }

    // Serves an offer of build 101 whose archive is `zip`, answered as `type`, signed with
    // the release key for that build.
    void offer(const QByteArray &zip, const QByteArray &type = "application/zip", bool sendLength = true, int pauseMs = 0,
               const QString &link = QStringLiteral("/quilmo.zip"))
    {
        offerSigned(zip, release.signBuild(zip, 101), type, sendLength, pauseMs, link);
    }
    // The same with the signature given (none: not served).
    void offerSigned(const QByteArray &zip, const QByteArray &signature, const QByteArray &type = "application/zip",
                     bool sendLength = true, int pauseMs = 0, const QString &link = QStringLiteral("/quilmo.zip"))
    {
        serve("101|2.0|" + server.url(link).toEncoded() + "\n");
        server.setRoute(QStringLiteral("/quilmo.zip"), {200, type, zip, sendLength, pauseMs});
        server.setRoute(link + QStringLiteral(".minisig"),
                        signature.isNull() ? HttpServer::Route{404, "text/html", "Not Found"}
                                           : HttpServer::Route{200, "application/octet-stream", signature});
        check(&QMCheckForUpdates::synchronizeByUser);
        ASSERT_TRUE(visible("newVersionWindow"));
    }

    QByteArray newZip() const { return makeZip(treeEntries(QStringLiteral("quilmo"), QStringLiteral("2.0"), marker)); }

    void install()
    {
        alerts.clear();
        control<QPushButton>("newVersionWindow", "newVersionInstallButton")->click();
    }

    QStringList alertNames() const
    {
        QStringList names;
        for (const QMAlertRequest &a : alerts)
            names << a.objectName;
        return names;
    }

    HttpServer server;
    SigningKey release;
    bool packageManaged = false;
    UrlRecorder browser;
    QMTemporaryDir dir;
    QString marker, prefix, settingsPath;
    QList<QMAlertRequest> alerts;
    QList<int> answers;
    QStringList events;
};

} // namespace

TEST_F(CheckForUpdatesTest, MessageIsShownToEveryoneAlsoAtLaunch)
{
    {
        QSettings settings(settingsPath, QSettings::IniFormat);
        settings.setValue(QStringLiteral("QMCheckForUpdates-cBuild"), 373);
    }
    checker()->setAppBuild(100, server.url(QStringLiteral("/quilmo.version")).toString());
    EXPECT_FALSE(QSettings(settingsPath, QSettings::IniFormat).contains(QStringLiteral("QMCheckForUpdates-cBuild")));

    serve("1|Hello");
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("informationAlert")});
    EXPECT_EQ(alerts[0].messageText, QStringLiteral("Information about Quilmo"));
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Hello"));
    EXPECT_EQ(alerts[0].buttons, QStringList{QStringLiteral("Go to Quilmo Website")});
    EXPECT_EQ(browser.urls, QList<QUrl>{QUrl(QStringLiteral("https://quilmo.example/"))});
    const QDateTime last = QSettings(settingsPath, QSettings::IniFormat).value(QStringLiteral("QMCheckForUpdates-LastCheck")).toDateTime();
    EXPECT_LT(qAbs(last.secsTo(QDateTime::currentDateTimeUtc())), 60);

    serve("0|Hello");
    check(&QMCheckForUpdates::synchronizeByUser);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(server.requests.size(), 2);
}

TEST_F(CheckForUpdatesTest, InvalidDocumentAndFailedRequestAlertOnlyWhenTheUserAsked)
{
    LogCapture log;
    serve("Hello");
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("lines==nil string:Hello")));
    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("invalidDocumentAlert")});
    EXPECT_EQ(alerts[0].messageText, QStringLiteral("Unable to Check for Update."));
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Please, try later or visit Quilmo Website."));

    checker()->setAppBuild(100, server.url(QStringLiteral("/missing.version")));
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("statusCode:404 (Not Found)")));
    answers = {0};
    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("checkFailedAlert")});
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Please, check your network connection and try again."));
    EXPECT_EQ(alerts[0].buttons, (QStringList{QStringLiteral("Go to Quilmo Website"), QStringLiteral("OK")}));
    EXPECT_EQ(browser.urls.size(), 1);
}

TEST_F(CheckForUpdatesTest, RunningBuildIsUpToDateOnlyForAUserStartedCheck)
{
    for (const QByteArray &doc : {QByteArray("100|1.0|https://quilmo.example/q.zip"), QByteArray("99|0.9|https://quilmo.example/q.zip")}) {
        serve(doc);
        check(&QMCheckForUpdates::synchronizeByUser);
        ASSERT_EQ(alertNames(), QStringList{QStringLiteral("upToDateAlert")});
        EXPECT_EQ(alerts[0].messageText, QStringLiteral("You are up to date!"));
        EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Quilmo 1.0 is currently the newest version available."));
        check(&QMCheckForUpdates::synchronizeFromCrashReport);
        EXPECT_TRUE(alerts.isEmpty());
        check(&QMCheckForUpdates::synchronizeAtLaunch);
        EXPECT_TRUE(alerts.isEmpty());
    }
    EXPECT_FALSE(visible("newVersionWindow"));
}

TEST_F(CheckForUpdatesTest, NewerBuildForANewerKernelIsNotOffered)
{
    serve("101|2.0|https://quilmo.example/q.zip|999.0");
    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("systemRequirementAlert")});
    EXPECT_EQ(alerts[0].messageText, QStringLiteral("Quilmo is now in version 2.0 (101)."));
    EXPECT_TRUE(alerts[0].informativeText.contains(QStringLiteral("999.0"))) << alerts[0].informativeText.toStdString();
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    check(&QMCheckForUpdates::synchronizeFromCrashReport);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_FALSE(visible("newVersionWindow"));

    // An older kernel than the running one, or a field of one part, is no obstacle.
    for (const QByteArray &requirement : {QByteArray("2.6"), QByteArray("999")}) {
        serve("101|2.0|https://quilmo.example/q.zip|" + requirement);
        check(&QMCheckForUpdates::synchronizeAtLaunch);
        EXPECT_TRUE(visible("newVersionWindow")) << requirement.constData();
        window("newVersionWindow")->hide();
    }
}

TEST_F(CheckForUpdatesTest, OfferWindowAndTheIgnoredVersion)
{
    serve("101|2.0|https://quilmo.example/q.zip");
    QSettings(settingsPath, QSettings::IniFormat).setValue(QStringLiteral("QMCheckForUpdates-IgnoredVersion"), QStringLiteral("2.0"));
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_FALSE(visible("newVersionWindow"));
    EXPECT_TRUE(alerts.isEmpty());

    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_TRUE(visible("newVersionWindow"));
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(window("newVersionWindow")->windowTitle(), QStringLiteral("Quilmo Update"));
    EXPECT_EQ(control<QLabel>("newVersionWindow", "newVersionTitle")->text(), QStringLiteral("A new version of Quilmo is avalaible!"));
    EXPECT_EQ(control<QLabel>("newVersionWindow", "newVersionMessage")->text(), QStringLiteral("Quilmo is now in version 2.0 (101)."));
    EXPECT_EQ(control<QPushButton>("newVersionWindow", "newVersionInstallButton")->text(), QStringLiteral("Install Update"));
    EXPECT_EQ(window("updatingWindow")->windowTitle(), QStringLiteral("Quilmo Update"));

    // Skipping records the version that automatic checks leave out.
    serve("102|2.1|https://quilmo.example/q.zip");
    check(&QMCheckForUpdates::synchronizeByUser);
    control<QPushButton>("newVersionWindow", "newVersionSkipButton")->click();
    EXPECT_FALSE(visible("newVersionWindow"));
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_FALSE(visible("newVersionWindow"));
}

TEST_F(CheckForUpdatesTest, InstallationThatIsNotItsOwnOnlyPointsToTheWebsite)
{
    const QString shared = makeTree(dir.path(), QStringLiteral("local"), QStringLiteral("1.0"), marker);
    setPrefix(shared);
    serve("101|2.0|https://quilmo.example/q.zip");
    answers = {0};
    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("newVersionAlert")});
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Quilmo is now in version 2.0 (101)."));
    EXPECT_EQ(alerts[0].buttons, (QStringList{QStringLiteral("Go to Quilmo Website"), QStringLiteral("Skip This Version"),
                                              QStringLiteral("OK")}));
    EXPECT_EQ(browser.urls.size(), 1);
    EXPECT_FALSE(visible("newVersionWindow"));
}

TEST_F(CheckForUpdatesTest, DownloadsThatAreRefused)
{
    LogCapture log;
    // Not a zip archive.
    offer(newZip(), "text/html");
    install();
    ASSERT_TRUE(QMTest::waitUntil([this] { return !alerts.isEmpty(); }));
    EXPECT_EQ(alertNames(), QStringList{QStringLiteral("downloadFailedAlert")});
    EXPECT_EQ(alerts[0].messageText, QStringLiteral("Unable to download update."));
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Please, download Quilmo from the Web."));
    EXPECT_FALSE(visible("updatingWindow"));
    EXPECT_TRUE(log.contains(QStringLiteral("hasError==YES error:")));

    // Plain http elsewhere than this machine, directly or through a redirect: never asked for.
    for (const QByteArray &link : {QByteArray("http://quilmo.example/q.zip"), QByteArray("ftp://127.0.0.1/q.zip")}) {
        serve("101|2.0|" + link);
        check(&QMCheckForUpdates::synchronizeByUser);
        install();
        EXPECT_EQ(alertNames(), QStringList{QStringLiteral("downloadFailedAlert")}) << link.constData();
        EXPECT_EQ(checker()->connectionAction(), QMCheckForUpdates::Idle);
    }
    serve("101|2.0|" + server.url(QStringLiteral("/redirect.zip")).toEncoded());
    server.setRoute(QStringLiteral("/redirect.zip"), {302, "text/html", "", true, 0, "http://quilmo.example/q.zip"});
    server.setRoute(QStringLiteral("/redirect.zip.minisig"), {200, "text/plain", release.signBuild(newZip(), 101)});
    check(&QMCheckForUpdates::synchronizeByUser);
    install();
    ASSERT_TRUE(QMTest::waitUntil([this] { return !alerts.isEmpty(); }));
    EXPECT_EQ(alertNames(), QStringList{QStringLiteral("downloadFailedAlert")});
    EXPECT_TRUE(log.contains(QStringLiteral("redirect to an insecure address: http://quilmo.example/q.zip")))
        << log.entries.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(events, QStringList{});
    EXPECT_EQ(runningVersionOf(prefix, marker), QStringLiteral("1.0"));
}

TEST_F(CheckForUpdatesTest, ProgressWithAndWithoutAKnownLength)
{
    const QByteArray zip = newZip();
    auto bar = [] { return control<QProgressBar>("updatingWindow", "updatingProgress"); };
    auto label = [] { return control<QLabel>("updatingWindow", "updatingProgressLabel"); };

    offer(zip, "application/zip", false, 300);
    install();
    ASSERT_TRUE(visible("updatingWindow"));
    EXPECT_EQ(control<QLabel>("updatingWindow", "updatingTitle")->text(), QStringLiteral("Downloading update…"));
    EXPECT_FALSE(control<QPushButton>("updatingWindow", "updatingRelaunchButton")->isEnabled());
    ASSERT_TRUE(QMTest::waitUntil([&] { return label()->text() == QLatin1String("--"); }));
    EXPECT_EQ(bar()->maximum(), 0) << "indeterminate";
    ASSERT_TRUE(QMTest::waitUntil([] { return control<QPushButton>("updatingWindow", "updatingRelaunchButton")->isEnabled(); }));
    window("updatingWindow")->hide();

    offer(zip, "application/zip", true, 300);
    install();
    const QString total = QMFunctions::stringFromBytesWithBin1024Style(zip.size());
    // The first report may come before any byte: wait for one that carries some.
    ASSERT_TRUE(QMTest::waitUntil(
        [&] { return label()->text().endsWith(QStringLiteral(" of ") + total) && bar()->value() > 0; }));
    EXPECT_EQ(bar()->maximum(), zip.size());
    ASSERT_TRUE(QMTest::waitUntil([] { return control<QPushButton>("updatingWindow", "updatingRelaunchButton")->isEnabled(); }));
    EXPECT_TRUE(alerts.isEmpty());
}

TEST_F(CheckForUpdatesTest, RoundTripInstallsNotifiesAndRelaunchesTheNewProgram)
{
    int installed = 0;
    QObject receiver;
    QObject::connect(checker(), &QMCheckForUpdates::QMCheckForUpdatesDidInstallUpdateNotification, &receiver,
                     [&installed] { ++installed; });
    // The link moved: a redirect on this machine is followed.
    server.setRoute(QStringLiteral("/moved.zip"), {302, "text/html", "", true, 0, server.url(QStringLiteral("/quilmo.zip")).toEncoded()});
    offer(newZip(), "application/zip", true, 0, QStringLiteral("/moved.zip"));
    install();
    ASSERT_TRUE(QMTest::waitUntil([] { return control<QPushButton>("updatingWindow", "updatingRelaunchButton")->isEnabled(); }));
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(server.requests.mid(server.requests.size() - 2), (QStringList{QStringLiteral("/moved.zip"), QStringLiteral("/quilmo.zip")}));
    EXPECT_EQ(installed, 1);
    EXPECT_EQ(control<QLabel>("updatingWindow", "updatingTitle")->text(), QStringLiteral("Waiting relaunch…"));
    EXPECT_TRUE(window("updatingWindow")->isModal());
    EXPECT_EQ(readFile(prefix + QStringLiteral("/bin/quilmoctl")), QByteArray("ctl 2.0"));
    const QString trash = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash/files");
    EXPECT_TRUE(QDir(trash).entryList().contains(QStringLiteral("quilmo 1.0")));
    EXPECT_TRUE(events.isEmpty()) << "the program goes on until the user relaunches";

    QFile::remove(marker);
    control<QPushButton>("updatingWindow", "updatingRelaunchButton")->click();
    EXPECT_EQ(events, (QStringList{QStringLiteral("terminate"), QStringLiteral("quit")}));
    // The stand-in creates its marker before it writes into it.
    EXPECT_TRUE(QMTest::waitUntil([this] { return readFile(marker) == QByteArray("2.0\n"); }))
        << "the program of the new tree was started: " << readFile(marker).toStdString();
    EXPECT_FALSE(visible("updatingWindow"));
}

TEST_F(CheckForUpdatesTest, AFailedOrRolledBackInstallIsToldAndQuilmoGoesOn)
{
    // A hostile archive changes nothing: the reason alone, and the program goes on.
    offer(makeZip(treeEntries(QStringLiteral("quilmo"), QStringLiteral("2.0"), marker)
                  + QList<ZipEntry>{{QStringLiteral("../evil"), "x"}}));
    install();
    ASSERT_TRUE(QMTest::waitUntil([this] { return !alerts.isEmpty(); }));
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("updateFailedAlert")});
    EXPECT_EQ(alerts[0].messageText, QStringLiteral("Updating Failed"));
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Can not unzip data file."));
    EXPECT_EQ(alerts[0].buttons, (QStringList{QStringLiteral("Go to Quilmo Website"), QStringLiteral("OK")}));
    EXPECT_TRUE(events.isEmpty());
    EXPECT_FALSE(visible("updatingWindow"));

    if (geteuid() != 0)
        GTEST_SKIP() << "the immutable attribute needs root";
    // Files were swapped, then everything was put back: a failed update, and Quilmo goes on.
    Immutable stuck(prefix + QStringLiteral("/share"));
    ASSERT_TRUE(stuck.set);
    offer(newZip());
    install();
    ASSERT_TRUE(QMTest::waitUntil([this] { return !alerts.isEmpty(); }));
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("updateFailedAlert")});
    EXPECT_TRUE(alerts[0].informativeText.startsWith(QStringLiteral("Can not install the update; the previous version is back in place (")))
        << alerts[0].informativeText.toStdString();
    EXPECT_EQ(alerts[0].buttons, (QStringList{QStringLiteral("Go to Quilmo Website"), QStringLiteral("OK")}));
    EXPECT_TRUE(events.isEmpty());
    EXPECT_EQ(runningVersionOf(prefix, marker), QStringLiteral("1.0"));
}

TEST_F(CheckForUpdatesTest, OnlyTheReleaseKeysSignatureOfTheOfferedBuildInstallsAndEachRefusalSaysWhy)
{
    const QByteArray zip = newZip();
    const QByteArray older = makeZip(treeEntries(QStringLiteral("quilmo"), QStringLiteral("0.9"), marker));
    const SigningKey other;
    const struct
    {
        const char *what;
        QByteArray archive;
        QByteArray signature;
        const char *reason;
    } refused[] = {
        {"unsigned", zip, QByteArray(), "The update is not signed."},
        {"another key", zip, other.signBuild(zip, 101), "The update is not signed with Quilmo's release key."},
        {"another archive's signature", zip, release.signBuild(older, 101),
         "The update's signature is not the signature of this archive."},
        {"a signed older build offered as 101", older, release.signBuild(older, 99),
         "The update is signed as another build than the one offered."},
    };
    for (const auto &c : refused) {
        offerSigned(c.archive, c.signature);
        install();
        ASSERT_TRUE(QMTest::waitUntil([this] { return !alerts.isEmpty(); })) << c.what;
        ASSERT_EQ(alertNames(), QStringList{QStringLiteral("updateFailedAlert")}) << c.what;
        EXPECT_EQ(alerts[0].informativeText, QString::fromUtf8(c.reason)) << c.what;
        EXPECT_TRUE(events.isEmpty()) << c.what;
        EXPECT_EQ(runningVersionOf(prefix, marker), QStringLiteral("1.0")) << c.what;
    }

    // A link to another host than the document's is never asked for.
    const qsizetype asked = server.requests.size();
    serve("101|2.0|https://downloads.elsewhere.example/quilmo.zip");
    check(&QMCheckForUpdates::synchronizeByUser);
    install();
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("downloadFailedAlert")});
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("The update is offered from downloads.elsewhere.example, which is "
                                                        "not Quilmo's server.\nPlease, download Quilmo from the Web."));
    EXPECT_EQ(server.requests.size(), asked + 1) << "only the version document";

    offer(zip);
    install();
    ASSERT_TRUE(QMTest::waitUntil([] { return control<QPushButton>("updatingWindow", "updatingRelaunchButton")->isEnabled(); }));
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(runningVersionOf(prefix, marker), QStringLiteral("2.0"));
    EXPECT_EQ(server.requests.mid(server.requests.size() - 2),
              (QStringList{QStringLiteral("/quilmo.zip.minisig"), QStringLiteral("/quilmo.zip")}));
}

TEST_F(CheckForUpdatesTest, ABuildWithoutAKeyOnlySaysWhereToGetTheNewVersion)
{
    QMUpdateSignature::setPublicKeyForTesting(QStringLiteral(""));
    serve("101|2.0|" + server.url(QStringLiteral("/quilmo.zip")).toEncoded());
    answers = {0};
    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("newVersionAlert")});
    EXPECT_EQ(alerts[0].informativeText, QStringLiteral("Quilmo is now in version 2.0 (101)."));
    EXPECT_EQ(browser.urls, QList<QUrl>{QUrl(QStringLiteral("https://quilmo.example/"))});
    EXPECT_FALSE(visible("newVersionWindow"));
    EXPECT_FALSE(server.requests.contains(QStringLiteral("/quilmo.zip")));
}

TEST_F(CheckForUpdatesTest, APackageInstallChecksOnlyWhenAskedAndMaySkipAVersion)
{
    packageManaged = true;
    setPrefix(prefix);
    serve("101|2.0|" + server.url(QStringLiteral("/quilmo.zip")).toEncoded());
    checker()->synchronizeAtLaunch();
    EXPECT_EQ(checker()->connectionAction(), QMCheckForUpdates::Idle);
    EXPECT_TRUE(server.requests.isEmpty()) << "no request at launch";

    answers = {1}; // Skip This Version
    check(&QMCheckForUpdates::synchronizeByUser);
    ASSERT_EQ(alertNames(), QStringList{QStringLiteral("newVersionAlert")});
    EXPECT_EQ(alerts[0].buttons.at(1), QStringLiteral("Skip This Version"));
    EXPECT_FALSE(visible("newVersionWindow"));
    EXPECT_EQ(QSettings(settingsPath, QSettings::IniFormat).value(QStringLiteral("QMCheckForUpdates-IgnoredVersion")).toString(),
              QStringLiteral("2.0"));
}

TEST_F(CheckForUpdatesTest, LaunchChecksFollowThePreferenceAndTellOncePerVersionWhatCannotBeInstalledHere)
{
    serve("101|2.0|" + server.url(QStringLiteral("/quilmo.zip")).toEncoded());
    EXPECT_TRUE(checker()->checksAutomatically()) << "on by default";
    checker()->setChecksAutomatically(false);
    checker()->synchronizeAtLaunch();
    EXPECT_TRUE(server.requests.isEmpty());
    checker()->setChecksAutomatically(true);

    // Without a key this copy cannot install it: told at the first launch only.
    QMUpdateSignature::setPublicKeyForTesting(QStringLiteral(""));
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_EQ(alertNames(), QStringList{QStringLiteral("newVersionAlert")});
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_EQ(server.requests.size(), 2);
    serve("102|2.1|" + server.url(QStringLiteral("/quilmo.zip")).toEncoded());
    check(&QMCheckForUpdates::synchronizeAtLaunch);
    EXPECT_EQ(alertNames(), QStringList{QStringLiteral("newVersionAlert")}) << "a newer version is told again";
    // Asked for, it is always told.
    check(&QMCheckForUpdates::synchronizeByUser);
    EXPECT_EQ(alertNames(), QStringList{QStringLiteral("newVersionAlert")});
}

TEST_F(CheckForUpdatesTest, TheSystemRequirementComparesTheWholeKernelVersion)
{
    const auto running = QMUpdateVersionDocument::runningSystemVersion();
    ASSERT_TRUE(running.has_value()) << "the running kernel's release is readable here";
    const QString nextMinor = QStringLiteral("%1.%2").arg(running->major).arg(running->minor + 1);
    const QString nextPatch = QStringLiteral("%1.%2.%3").arg(running->major).arg(running->minor).arg(running->patch + 1);
    const QString exact = QStringLiteral("%1.%2.%3").arg(running->major).arg(running->minor).arg(running->patch);
    for (const QString &required : {nextMinor, nextPatch}) {
        serve("101|2.0|https://quilmo.example/q.zip|" + required.toLatin1());
        check(&QMCheckForUpdates::synchronizeByUser);
        ASSERT_EQ(alertNames(), QStringList{QStringLiteral("systemRequirementAlert")}) << required.toStdString();
        EXPECT_TRUE(alerts[0].informativeText.endsWith(QLatin1Char(' ') + required + QLatin1Char('.')))
            << alerts[0].informativeText.toStdString();
        check(&QMCheckForUpdates::synchronizeAtLaunch);
        EXPECT_TRUE(alerts.isEmpty()) << required.toStdString();
        EXPECT_FALSE(visible("newVersionWindow")) << required.toStdString();
    }
    serve("101|2.0|https://quilmo.example/q.zip|" + exact.toLatin1());
    check(&QMCheckForUpdates::synchronizeByUser);
    EXPECT_TRUE(alerts.isEmpty());
    EXPECT_TRUE(visible("newVersionWindow")) << "exactly the running kernel is enough";
}
