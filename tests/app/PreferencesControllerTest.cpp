// The preferences window over a real helper program (a child process standing in for the
// tray helper), real autostart entries and the test's own session bus.
#include "AppTestSupport.h"
#include "PreferencesController.h"
#include "QMCheckForUpdates.h"
#include "QMDistributedNotificationCenter.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskPreferences.h"
#include "QMRamDiskUtils.h"
#include "QMSharedLoginItems.h"
#include "QMTestSupport.h"
#include "QMUserDefaults.h"
#include "RamDiskConfigController.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QLabel>
#include <QMainWindow>
#include <QSettings>

using namespace QMAppTest;

namespace {

class PreferencesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        resetState();
        w = std::make_unique<Window>();
        prefs = new PreferencesController(w->window);
        prefs->setRamDiskConfigController(w->controller);
        prefs->showWindow();
    }
    void TearDown() override
    {
        w.reset();
        resetState();
    }

    template<typename T>
    T *control(const char *name) const
    {
        T *c = prefs->findChild<T *>(QString::fromLatin1(name));
        EXPECT_TRUE(c) << name;
        return c;
    }
    bool helperAtLogin() const
    {
        bool valid = false;
        return QMSharedLoginItems::isLoginItem(QUrl::fromLocalFile(installation.helperPath()), &valid) && valid;
    }

    FakeInstallation installation;
    std::unique_ptr<Window> w;
    PreferencesController *prefs = nullptr;
};

} // namespace

TEST_F(PreferencesTest, TheHelperIsShownHiddenAndStartedAtLogin)
{
    auto *show = control<QCheckBox>("showHelper");
    auto *atLogin = control<QCheckBox>("showHelperAtLogin");
    auto *style = control<QComboBox>("iconStylePopMenu");
    auto *label = control<QLabel>("iconStyleLabel");
    EXPECT_EQ(prefs->windowTitle(), QStringLiteral("Quilmo Preferences"));
    EXPECT_EQ(prefs->minimumSize(), prefs->maximumSize()) << "fixed size";
    EXPECT_EQ(show->text(), QStringLiteral("Show Quilmo in the system tray")) << "a Linux desktop has a tray, not a menu bar";
    EXPECT_EQ(atLogin->text(), QStringLiteral("Automatically launch at login"));
    EXPECT_FALSE(show->isChecked());
    EXPECT_FALSE(atLogin->isEnabled());
    EXPECT_FALSE(style->isEnabled());
    EXPECT_FALSE(label->isEnabled());

    // Shown: the helper runs, and the list says so.
    show->click();
    ASSERT_TRUE(QMTest::waitUntil([] { return QMRamDiskUtils::helperIsRunning(); }));
    EXPECT_TRUE(atLogin->isEnabled());
    EXPECT_FALSE(atLogin->isChecked());
    EXPECT_TRUE(style->isEnabled());
    EXPECT_TRUE(label->isEnabled());
    EXPECT_TRUE(readStore()->showInMenuBar());

    // At login: an autostart entry for this helper.
    atLogin->click();
    EXPECT_TRUE(atLogin->isChecked());
    EXPECT_TRUE(helperAtLogin());
    EXPECT_TRUE(w->controller->helperIsAtLogin());

    // Hidden: the helper quits, the start at login goes with it, the rest is locked.
    show->click();
    ASSERT_TRUE(QMTest::waitUntil([] { return !QMRamDiskUtils::helperIsRunning(); }));
    EXPECT_FALSE(atLogin->isChecked());
    EXPECT_FALSE(atLogin->isEnabled());
    EXPECT_FALSE(style->isEnabled());
    EXPECT_FALSE(helperAtLogin());
    EXPECT_FALSE(readStore()->showInMenuBar());
    EXPECT_FALSE(readStore()->showInMenuBarAtLogin());

    // Shown again: running, with at-login still off.
    show->click();
    ASSERT_TRUE(QMTest::waitUntil([] { return QMRamDiskUtils::helperIsRunning(); }));
    EXPECT_FALSE(atLogin->isChecked());
    EXPECT_TRUE(atLogin->isEnabled());
    EXPECT_FALSE(helperAtLogin());

    // Each showing reads the state again: a helper quit behind the window's back.
    prefs->hide();
    QMRamDiskUtils::setHelperIsRunning(false);
    prefs->showWindow();
    EXPECT_FALSE(show->isChecked());
    EXPECT_FALSE(style->isEnabled());
}

TEST_F(PreferencesTest, TheIconStyleIsAnnouncedAtOnceAndSavedASecondLater)
{
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "no session bus";
    QList<std::pair<QString, QVariantMap>> heard;
    QObject::connect(QMDistributedNotificationCenter::defaultCenter(),
                     &QMDistributedNotificationCenter::notificationPosted, prefs,
                     [&](const QString &name, const QString &, const QVariantMap &userInfo, bool fromThisProcess) {
                         // The tray switch announces the list it saved too; other test
                         // programs on the same bus announce styles of their own.
                         if (fromThisProcess && name != QMRamDiskEntries::didChangeToAllNotificationName())
                             heard.append({name, userInfo});
                     });
    QMTest::waitUntil([] { return QMDistributedNotificationCenter::defaultCenter()->isObserving(); });

    control<QCheckBox>("showHelper")->click();
    auto *style = control<QComboBox>("iconStylePopMenu");
    EXPECT_EQ(style->itemText(0), QStringLiteral("Default (Colored)"));
    EXPECT_EQ(style->itemText(1), QStringLiteral("Black"));
    EXPECT_EQ(style->currentIndex(), 0);

    auto stored = [] {
        QSettings file(QMUserDefaults::path(), QSettings::IniFormat);
        return file.value(QStringLiteral("StatusItemIconStyle"), 0).toInt();
    };
    style->setCurrentIndex(1);
    emit style->activated(1);
    // The file the helper reads has it about a second later, not before.
    EXPECT_TRUE(QMRamDiskPreferences::sharedInstance()->hasPendingSave());
    EXPECT_EQ(stored(), 0);
    EXPECT_EQ(QMRamDiskPreferences::sharedInstance()->statusItemIconStyle(), 1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return !heard.isEmpty(); }, 5000)) << "heard on the bus";
    EXPECT_EQ(heard.first().first, QStringLiteral("QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification"));
    EXPECT_EQ(heard.first().second.value(QStringLiteral("StatusItemIconStyle")).toInt(), 1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return stored() == 1; }, 3000));

    // A new window selects the stored style.
    PreferencesController again;
    EXPECT_EQ(again.findChild<QComboBox *>(QStringLiteral("iconStylePopMenu"))->currentIndex(), 1);
}

TEST_F(PreferencesTest, UpdatesAreLookedForAtLaunchUnlessTurnedOffOrAPackageManagerDoesIt)
{
    QMCheckForUpdates *updates = QMCheckForUpdates::sharedInstance();
    QMUpdateApplication app = updates->application();
    app.settingsPath = QMUserDefaults::path();
    app.packageManaged = false;
    updates->setApplication(app);
    auto *automatically = control<QCheckBox>("checkForUpdatesAutomatically");
    EXPECT_EQ(automatically->text(), QStringLiteral("Check for updates automatically"));
    EXPECT_TRUE(automatically->isChecked()) << "on by default";
    automatically->click();
    EXPECT_FALSE(updates->checksAutomatically());
    EXPECT_FALSE(QSettings(QMUserDefaults::path(), QSettings::IniFormat).value(QStringLiteral("QMCheckForUpdates-Automatically")).toBool());
    automatically->click();
    EXPECT_TRUE(updates->checksAutomatically());

    // A package's Quilmo is updated with the system: the box says so and cannot be ticked.
    app.packageManaged = true;
    updates->setApplication(app);
    PreferencesController packaged(w->window);
    auto *box = packaged.findChild<QCheckBox *>(QStringLiteral("checkForUpdatesAutomatically"));
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isEnabled());
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(box->toolTip().isEmpty());
    app.packageManaged = false;
    updates->setApplication(app);
}

// What really starts at login, in words: the boxes speak of the tray only, while the helper
// also starts to create RAM disks and to save those with a backup.
TEST(PreferencesLoginText, SaysWhatStartsAtLoginAndWhy)
{
    using P = PreferencesController;
    EXPECT_EQ(P::loginText({}, true, false, false), QStringLiteral("Nothing of Quilmo starts at login."))
        << "the tray shown now is not shown at login";
    EXPECT_EQ(P::loginText({}, true, true, true),
              QStringLiteral("At login, Quilmo-Helper starts. It shows Quilmo in the system tray."));

    QMRamDisk::Ptr scratch = QMRamDisk::create(), cache = QMRamDisk::create();
    scratch->setName(QStringLiteral("Scratch"));
    cache->setName(QStringLiteral("Cache"));
    scratch->setCreateAtLogin(true);
    cache->setCreateAtLogin(true);
    cache->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    EXPECT_EQ(P::loginText({scratch, cache}, false, false, true),
              QStringLiteral("At login, Quilmo-Helper starts. It creates \u201cScratch\u201d and \u201cCache\u201d. "
                             "It saves the RAM disks that have a backup while they are mounted."));
    // Wanted, but its autostart entry is not there: said so, not hidden behind a box.
    EXPECT_TRUE(P::loginText({scratch}, false, false, false).contains(QStringLiteral("autostart entry is missing")));

    // Only a saving schedule: the helper starts to save.
    QMRamDisk::Ptr saved = QMRamDisk::create();
    saved->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    EXPECT_EQ(P::loginText({saved}, false, false, true),
              QStringLiteral("At login, Quilmo-Helper starts. It saves the RAM disks that have a backup while they "
                             "are mounted."));
}

TEST_F(PreferencesTest, TheLoginLineFollowsTheBoxes)
{
    auto *line = control<QLabel>("loginInfo");
    EXPECT_EQ(line->text(), QStringLiteral("Nothing of Quilmo starts at login."));
    control<QCheckBox>("showHelper")->click();
    control<QCheckBox>("showHelperAtLogin")->click();
    EXPECT_EQ(line->text(), QStringLiteral("At login, Quilmo-Helper starts. It shows Quilmo in the system tray."));
    EXPECT_EQ(line->width(), line->maximumWidth()) << "wrapped within the window";
}
