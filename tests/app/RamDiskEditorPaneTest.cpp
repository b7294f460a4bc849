// The editor pane of the main window over a real store and real files: every control
// writes the record, every refresh rebuilds the controls, and the state decides what may be
// edited. States other than "not created" are set on the record by hand here (the store's
// refresh is stopped); the pane on real RAM disks is in the RAM-disk tests.
#include "AppTestSupport.h"
#include "PostCmdField.h"
#include "PostCmdWindowController.h"
#include "PostCommandTextField.h"
#include "QMBrowserLayouts.h"
#include "QMFileRemover.h"
#include "QMKernelFeatures.h"
#include "QMRamDiskManager.h"
#include "QMSharedLoginItems.h"
#include "QMSimDevice.h"
#include "QMSimDeviceList.h"
#include "QMSpinner.h"
#include "QMTestSupport.h"
#include "RamDiskConfigController.h"
#include "RamDiskEditorPane.h"
#include "RamDiskListModel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QEnterEvent>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStandardItemModel>

using namespace QMAppTest;

namespace {

QStringList items(QComboBox *combo)
{
    QStringList t;
    for (int i = 0; i < combo->count(); ++i)
        t << (combo->itemData(i, Qt::AccessibleDescriptionRole).toString() == QLatin1String("separator")
                  ? QStringLiteral("-")
                  : combo->itemText(i).trimmed());
    return t;
}

bool itemEnabled(QComboBox *combo, int i)
{
    auto *model = qobject_cast<QStandardItemModel *>(combo->model());
    return model && model->item(i) && model->item(i)->isEnabled();
}

int indexOf(QComboBox *combo, const QString &title)
{
    for (int i = 0; i < combo->count(); ++i)
        if (combo->itemText(i).trimmed() == title)
            return i;
    return -1;
}

// A choice in a menu, as the user makes it.
void choose(QComboBox *combo, int index)
{
    ASSERT_GE(index, 0);
    combo->setCurrentIndex(index);
    emit combo->activated(index);
}

void edit(QLineEdit *field, const QString &text)
{
    field->setText(text);
    emit field->textEdited(text);
}

// Debian's Firefox installed with a version the preset takes, and its cache directory.
void installFirefox(QMTest::ApplicationsRoot &applications)
{
    applications.debianFirefoxEsr(QStringLiteral("115.3.0"));
    ASSERT_TRUE(QDir().mkpath(qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/mozilla")));
}

} // namespace

class EditorPaneTest : public ::testing::Test
{
protected:
    void SetUp() override { resetState(); }
    void TearDown() override
    {
        resetState();
        QMRamDiskManager::setApplicationsRootForTesting(QString());
    }

    // A window over `count` records, the first one selected, the store's refresh stopped.
    void open(int count = 1)
    {
        writeRecords(count);
        w = std::make_unique<Window>();
        store()->setUpdator(false);
        w->controller->setSelectedRamDisk(store()->ramDisks().first());
    }
    QMRamDiskEntries *store() const { return w->controller->ramDiskEntries(); }
    QMRamDisk::Ptr selected() const { return w->controller->selectedRamDisk(); }
    void refresh() { w->controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView); }
    template<typename T>
    T *control(const char *name) const
    {
        T *c = w->controller->findChild<T *>(QString::fromLatin1(name));
        EXPECT_TRUE(c) << name;
        return c;
    }

    FakeInstallation installation;
    QMTest::ApplicationsRoot applications;
    std::unique_ptr<Window> w;
};

TEST_F(EditorPaneTest, TheSliderMovesInStepsAndSnapsBackToTheSize)
{
    open();
    auto *slider = control<QSlider>("rdSizeSlider");
    auto *value = control<QLabel>("rdSizeValueLabel");
    EXPECT_EQ(slider->minimum(), 256);
    EXPECT_GT(slider->maximum(), 256);

    slider->setValue(300);
    EXPECT_EQ(selected()->size(), 384000000ULL);
    EXPECT_EQ(slider->value(), 384) << "the refresh puts the slider on the size";
    EXPECT_EQ(value->text(), QStringLiteral("384 MB"));
    EXPECT_TRUE(w->controller->hasPendingSave());

    slider->setValue(256);
    EXPECT_EQ(selected()->size(), 256000000ULL);
    EXPECT_EQ(slider->value(), 256);
    EXPECT_EQ(value->text(), QStringLiteral("256 MB"));

    // The keyboard moves by whole steps, both ways.
    slider->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(selected()->size(), 384000000ULL);
    slider->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(selected()->size(), 256000000ULL);
    // Saved half a second after the last move.
    ASSERT_TRUE(QMTest::waitUntil([] {
        auto saved = readStore();
        return saved->count() == 1 && saved->ramDisks().first()->size() == 256000000ULL;
    }));
}

TEST_F(EditorPaneTest, WhatMayBeEditedNotCreatedMountedAndBusy)
{
    open();
    QMRamDisk::Ptr r = selected();
    const QString volume = QMTest::testHome() + QStringLiteral("/vol");
    QDir().mkpath(volume);
    r->setMountDirectory(QMTest::testHome());
    refresh();

    const char *names[] = {"rdTypePopUp",   "rdNameField",           "rdSizeSlider",     "rdMountPointPopUp",
                           "rdPostCmdField", "rdMdIndexPopup",       "rdBackupPopup",    "rdCreateAtLoginButton",
                           "rdCreateButton", "rdUsageIndictator",    "rdImageView"};
    auto enabledControls = [&] {
        QStringList on;
        for (const char *name : names)
            if (control<QWidget>(name)->isEnabled())
                on << QString::fromLatin1(name);
        return on;
    };
    auto *slider = control<QSlider>("rdSizeSlider");
    auto *usage = control<QProgressBar>("rdUsageIndictator");
    auto *button = control<QPushButton>("rdCreateButton");
    auto *spinner = control<QMSpinner>("rdCreatePIndicator");
    auto *progress = control<QLabel>("rdCreatePIndicatorLabel");
    auto *mount = control<QComboBox>("rdMountPointPopUp");

    // Not created, idle: everything.
    EXPECT_EQ(enabledControls(), QStringList({"rdTypePopUp", "rdNameField", "rdSizeSlider", "rdMountPointPopUp",
                                              "rdPostCmdField", "rdMdIndexPopup", "rdBackupPopup",
                                              "rdCreateAtLoginButton", "rdCreateButton", "rdUsageIndictator",
                                              "rdImageView"}));
    EXPECT_TRUE(slider->isVisible());
    EXPECT_FALSE(usage->isVisible());
    EXPECT_EQ(button->text(), QStringLiteral("Create"));
    EXPECT_FALSE(spinner->isAnimating());
    EXPECT_TRUE(progress->text().isEmpty()) << progress->text().toStdString();
    // Where the kernel keeps a RAM disk out of swap, the box shows and the label reads "Options".
    EXPECT_EQ(control<QCheckBox>("rdPreferWiredButton")->isVisible(), QMKernelFeatures::wiredMemory());
    EXPECT_EQ(control<QLabel>("rdOptionsLabel")->text(),
              QMKernelFeatures::wiredMemory() ? QStringLiteral("Options:") : QStringLiteral("Auto-Create:"));

    // Mounted, idle: type, name and indexing are locked; the usage bar takes the slider's place.
    r->setStatus(QMRamDiskStatus_mounted);
    r->setPath(volume);
    r->setVolSize(r->size());
    r->setVolFree(r->size() / 4);
    refresh();
    EXPECT_EQ(enabledControls(), QStringList({"rdSizeSlider", "rdMountPointPopUp", "rdPostCmdField", "rdBackupPopup",
                                              "rdCreateAtLoginButton", "rdCreateButton", "rdUsageIndictator",
                                              "rdImageView"}));
    EXPECT_FALSE(slider->isVisible());
    EXPECT_TRUE(usage->isVisible());
    EXPECT_EQ(usage->value(), 750);
    EXPECT_TRUE(usage->toolTip().startsWith(QStringLiteral("Free: "))) << usage->toolTip().toStdString();
    EXPECT_EQ(button->text(), QStringLiteral("Eject"));
    for (int i = 0; i < mount->count(); ++i)
        EXPECT_FALSE(itemEnabled(mount, i)) << "the places are shown, not offered";
    EXPECT_EQ(indexOf(mount, QStringLiteral("Choose…")), -1);

    // Busy: only the backup and the start at login; the button waits; the line tells.
    r->setAction(QMRamDiskAction_eject);
    r->setLastActionInfo(QMRamDiskActionInfo_ejecting);
    refresh();
    EXPECT_EQ(enabledControls(), QStringList({"rdBackupPopup", "rdCreateAtLoginButton"}));
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_EQ(progress->text(), QMRamDiskManager::displayStringFromAction(5, QMRamDiskActionInfo_ejecting));
    EXPECT_EQ(button->text(), QStringLiteral("Eject"));

    // Busy creating a RAM disk that is not created yet: the type stays locked too.
    r->setStatus(QMRamDiskStatus_notCreated);
    r->setAction(QMRamDiskAction_create);
    refresh();
    EXPECT_EQ(enabledControls(), QStringList({"rdBackupPopup", "rdCreateAtLoginButton"}));
    EXPECT_EQ(button->text(), QStringLiteral("Create"));

    r->setAction(QMRamDiskAction_none);
    refresh();
    EXPECT_FALSE(spinner->isAnimating());
}

TEST_F(EditorPaneTest, TypeMenuPresetsUsedAbsentAndNoLongerOffered)
{
    installFirefox(applications);
    open(2);
    QMRamDisk::Ptr first = store()->ramDisks().at(0);
    QMRamDisk::Ptr second = store()->ramDisks().at(1);
    auto *type = control<QComboBox>("rdTypePopUp");
    EXPECT_EQ(items(type), (QStringList{QStringLiteral("Custom RAM Disk"), QStringLiteral("-"),
                                        QStringLiteral("Firefox Cache")}))
        << "Safari, Chrome and the developer presets are not offered here";
    // Which Firefox the preset serves, as the menu's tooltip says it.
    EXPECT_EQ(type->itemData(indexOf(type, QStringLiteral("Firefox Cache")), Qt::ToolTipRole).toString(),
              QStringLiteral("Firefox 115.3.0 (%1)").arg(applications.at(QStringLiteral("/usr/lib/firefox-esr"))));

    // The second RAM disk becomes the Firefox cache.
    w->controller->setSelectedRamDisk(second);
    choose(type, indexOf(type, QStringLiteral("Firefox Cache")));
    EXPECT_EQ(second->type(), qint64(QMRamDiskType_Firefox));
    EXPECT_EQ(second->name(), QStringLiteral("firefox"));
    EXPECT_EQ(second->backupMode(), qint64(QMRamDiskBackupMode_baseSynchronized));
    EXPECT_EQ(type->currentText(), QStringLiteral("Firefox Cache"));
    EXPECT_FALSE(control<QLineEdit>("rdNameField")->isEnabled());
    auto *backup = control<QComboBox>("rdBackupPopup");
    EXPECT_EQ(items(backup), QStringList{QStringLiteral("Base Synchronized")});
    EXPECT_FALSE(itemEnabled(backup, 0));
    EXPECT_TRUE(backup->isVisible());
    EXPECT_TRUE(w->controller->hasPendingSave());

    // For the first one the preset is taken: shown, not selectable, and says by whom.
    w->controller->setSelectedRamDisk(first);
    const int firefox = indexOf(type, QStringLiteral("Firefox Cache"));
    ASSERT_GE(firefox, 0);
    EXPECT_FALSE(itemEnabled(type, firefox));
    EXPECT_TRUE(type->itemData(firefox, Qt::ToolTipRole).toString().contains(QStringLiteral("firefox")));
    EXPECT_EQ(type->currentText(), QStringLiteral("Custom RAM Disk"));

    // Firefox goes away: its RAM disk still shows its own type, selected and enabled.
    ASSERT_TRUE(QMFileRemover::removePath(applications.at(QStringLiteral("/usr"))).ok());
    w->controller->setSelectedRamDisk(second);
    EXPECT_EQ(type->currentText(), QStringLiteral("Firefox Cache"));
    EXPECT_TRUE(itemEnabled(type, type->currentIndex()));
    w->controller->setSelectedRamDisk(first);
    EXPECT_EQ(indexOf(type, QStringLiteral("Firefox Cache")), firefox) << "still used by the other";

    // Choosing the type already chosen does not apply it again over the user's settings.
    first->setName(QStringLiteral("Mine"));
    refresh();
    choose(type, 0);
    EXPECT_EQ(first->name(), QStringLiteral("Mine"));
}

TEST_F(EditorPaneTest, ASimulatorDeviceIsChosenAndChosenAgainAfterARefresh)
{
    // Xcode and one used simulator device, in the places the presets look.
    QMTemporaryDir root;
    const QString info = root.filePath(QStringLiteral("Applications/Xcode.app/Contents"));
    ASSERT_TRUE(QDir().mkpath(info));
    QFile plist(info + QStringLiteral("/Info.plist"));
    ASSERT_TRUE(plist.open(QIODevice::WriteOnly));
    plist.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                "<key>CFBundleShortVersionString</key><string>15.0</string></dict></plist>\n");
    plist.close();
    QMRamDiskManager::setApplicationsRootForTesting(root.path());
    const QString device = QMTest::testHome() + QStringLiteral("/Library/Developer/CoreSimulator/Devices/DEV-1");
    ASSERT_TRUE(QDir().mkpath(device + QStringLiteral("/data/Library/Caches")));
    QFile desc(device + QStringLiteral("/device.plist"));
    ASSERT_TRUE(desc.open(QIODevice::WriteOnly));
    desc.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>runtime</key><string>com.apple.CoreSimulator.SimRuntime.iOS-17-0</string>"
               "<key>deviceType</key><string>com.apple.CoreSimulator.SimDeviceType.iPhone-15</string>"
               "<key>name</key><string>iPhone 15</string><key>state</key><integer>1</integer></dict></plist>\n");
    desc.close();
    QFile(device + QStringLiteral("/data/Library/Caches/cache.db")).open(QIODevice::WriteOnly);
    QMSimDevice::setDevicesDirPathForTesting(QString());
    QMSimDeviceList::sharedInstance()->update();
    ASSERT_EQ(QMSimDeviceList::sharedInstance()->devices().size(), 1);
    const QString title = QMSimDeviceList::sharedInstance()->devices().first().displayName();

    open();
    auto *type = control<QComboBox>("rdTypePopUp");
    const int core = indexOf(type, QStringLiteral("iOS Simulators"));
    const int phone = indexOf(type, title);
    ASSERT_GE(core, 0);
    ASSERT_EQ(phone, core + 1) << "the device follows its type";
    EXPECT_NE(type->itemText(phone), title) << "indented";
    EXPECT_EQ(type->itemData(phone, Qt::UserRole).toInt(), int(QMRamDiskType_CoreSimulator));

    choose(type, phone);
    QMRamDisk::Ptr r = selected();
    EXPECT_EQ(r->simId(), QStringLiteral("DEV-1"));
    EXPECT_EQ(r->type(), qint64(QMRamDiskType_CoreSimulator));
    refresh();
    EXPECT_EQ(type->currentIndex(), phone);
    EXPECT_EQ(items(control<QComboBox>("rdBackupPopup")), QStringList{QStringLiteral("Base Directory")});

    // The type's own entry forgets the device.
    choose(type, core);
    EXPECT_TRUE(r->simId().isEmpty());
    EXPECT_EQ(r->type(), qint64(QMRamDiskType_CoreSimulator));
    EXPECT_EQ(type->currentIndex(), core);
    QMSimDeviceList::sharedInstance()->update();
}

TEST_F(EditorPaneTest, MountPointMenuListsTheWalkUpAndChooseCancelledChangesNothing)
{
    open();
    QMRamDisk::Ptr r = selected();
    r->setMountDirectory(QStringLiteral("/qm-nowhere/level2/level3"));
    refresh();
    auto *mount = control<QComboBox>("rdMountPointPopUp");
    EXPECT_EQ(items(mount), (QStringList{QStringLiteral("Default (Recommended)"), QStringLiteral("-"),
                                         QStringLiteral("Choose…"), QStringLiteral("-"), QStringLiteral("level3"),
                                         QStringLiteral("level2"), QStringLiteral("qm-nowhere"),
                                         QStringLiteral("Computer")}));
    EXPECT_EQ(mount->currentIndex(), 4);
    EXPECT_EQ(mount->toolTip(), QStringLiteral("/qm-nowhere/level2/level3"));

    {
        ChooserAnswers cancel({QString()});
        choose(mount, 2);
        QMTest::waitUntil([&] { return mount->currentIndex() == 4; });
        ASSERT_EQ(cancel.requests().size(), 1);
        EXPECT_EQ(cancel.requests().first().objectName, QStringLiteral("RamDiskConfigController"));
        EXPECT_TRUE(cancel.requests().first().chooseDirectories);
        EXPECT_TRUE(cancel.requests().first().canCreateDirectories);
    }
    EXPECT_EQ(r->mountDirectory(), QStringLiteral("/qm-nowhere/level2/level3"));
    EXPECT_EQ(mount->currentIndex(), 4) << "the previous entry again";

    // A parent in the walk, then the default.
    choose(mount, 5);
    EXPECT_EQ(r->mountDirectory(), QStringLiteral("/qm-nowhere/level2"));
    EXPECT_EQ(mount->currentIndex(), 4);
    choose(mount, 0);
    EXPECT_TRUE(r->mountDirectory().isEmpty());
    EXPECT_EQ(items(mount), (QStringList{QStringLiteral("Default (Recommended)"), QStringLiteral("-"),
                                         QStringLiteral("Choose…")}));
    EXPECT_EQ(mount->currentIndex(), 0);
}

TEST_F(EditorPaneTest, TheMountPointChooserValidatesAndRefusesTheRamDiskItself)
{
    open();
    QMRamDisk::Ptr r = selected();
    auto *mount = control<QComboBox>("rdMountPointPopUp");
    const QString good = QMTest::testHome() + QStringLiteral("/mnt");
    const QString volume = QMTest::testHome() + QStringLiteral("/Volume");
    ASSERT_TRUE(QDir().mkpath(good));
    ASSERT_TRUE(QDir().mkpath(volume + QStringLiteral("/inside")));

    AlertAnswers alerts(QStringLiteral("OK"));
    // The RAM disk is mounted by another program while the chooser is open; a folder inside
    // it, then a system folder, are refused with their reasons; then a good one is taken.
    QStringList answers{volume + QStringLiteral("/inside"), QStringLiteral("/usr"), good};
    QMFileChooser::Hook previous = QMFileChooser::setHook([&](const QMFileChooserRequest &) {
        r->setStatus(QMRamDiskStatus_mounted);
        r->setPath(volume);
        const QString answer = answers.takeFirst();
        if (answer == good)
            r->setStatus(QMRamDiskStatus_notCreated);
        return answer;
    });
    choose(mount, indexOf(mount, QStringLiteral("Choose…")));
    QMTest::waitUntil([&] { return r->mountDirectory() == good; });
    QMFileChooser::setHook(previous);

    ASSERT_EQ(alerts.requests().size(), 2);
    EXPECT_EQ(alerts.requests().at(0).objectName, QStringLiteral("QMFileChooserRefusal"));
    EXPECT_TRUE(alerts.requests().at(0).messageText.contains(QStringLiteral("inside the RAM disk")))
        << alerts.requests().at(0).messageText.toStdString();
    EXPECT_EQ(alerts.requests().at(1).messageText, QStringLiteral("The mount directory can not be a system directory."));
    EXPECT_EQ(r->mountDirectory(), good);
    EXPECT_EQ(mount->currentText(), QStringLiteral("mnt"));
    EXPECT_TRUE(w->controller->hasPendingSave());
}

TEST_F(EditorPaneTest, TheBackupChooserRefusesAFolderTheRamDiskWillCover)
{
    open();
    QMRamDisk::Ptr r = selected();
    r->setMountDirectory(QMTest::testHome());
    refresh();
    auto *backup = control<QComboBox>("rdBackupPopup");
    const QString covered = QMTest::testHome() + QLatin1Char('/') + r->name() + QStringLiteral("/saved");
    const QString good = QMTest::testHome() + QStringLiteral("/Backups");
    ASSERT_TRUE(QDir().mkpath(covered));
    ASSERT_TRUE(QDir().mkpath(good));

    AlertAnswers alerts(QStringLiteral("OK"));
    {
        ChooserAnswers answers({covered, QString()});
        choose(backup, indexOf(backup, QStringLiteral("Choose…")));
        QMTest::waitUntil([&] { return backup->currentIndex() == 0; });
    }
    ASSERT_EQ(alerts.asked(), QStringList{QStringLiteral("QMFileChooserRefusal")});
    EXPECT_EQ(r->backupMode(), qint64(QMRamDiskBackupMode_disabled));
    EXPECT_TRUE(r->backupDir().isEmpty());
    EXPECT_EQ(backup->currentText(), QStringLiteral("Disabled"));

    {
        ChooserAnswers answers({good});
        choose(backup, indexOf(backup, QStringLiteral("Choose…")));
        QMTest::waitUntil([&] { return r->backupMode() == QMRamDiskBackupMode_chosenDirectory; });
    }
    EXPECT_EQ(r->backupDir(), good);
    EXPECT_EQ(backup->currentText(), QStringLiteral("Backups"));
    EXPECT_EQ(items(backup).mid(4), (QStringList{QStringLiteral("-"), QStringLiteral("Backups"), QStringLiteral("-"),
                                                 QStringLiteral("Choose…")}));

    // The other entries set the mode; the chosen folder is kept for later.
    choose(backup, indexOf(backup, QStringLiteral("Default Location")));
    EXPECT_EQ(r->backupMode(), qint64(QMRamDiskBackupMode_defaultLocation));
    choose(backup, indexOf(backup, QStringLiteral("Base Synchronized")));
    EXPECT_EQ(r->backupMode(), qint64(QMRamDiskBackupMode_baseSynchronized));
    choose(backup, indexOf(backup, QStringLiteral("Disabled")));
    EXPECT_EQ(r->backupMode(), qint64(QMRamDiskBackupMode_disabled));
    EXPECT_EQ(r->backupDir(), good);
}

TEST_F(EditorPaneTest, FieldsBoxesAndMenusWriteTheRecord)
{
    open();
    QMRamDisk::Ptr r = selected();
    r->setMountDirectory(QMTest::testHome());
    refresh();
    auto *name = control<QLineEdit>("rdNameField");
    auto *button = control<QPushButton>("rdCreateButton");
    auto *progress = control<QLabel>("rdCreatePIndicatorLabel");

    // Typing a name: the record follows each keystroke; an empty one says why it cannot be.
    edit(name, QString());
    EXPECT_TRUE(r->name().isEmpty());
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(progress->text(), QStringLiteral("Please, specify a name of RamDisk"));
    edit(name, QStringLiteral("Scratch"));
    EXPECT_EQ(r->name(), QStringLiteral("Scratch"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(progress->text().isEmpty());
    EXPECT_EQ(w->controller->listModel()->index(0).data().toString(), QStringLiteral("Scratch")) << "the row follows";

    auto *index = control<QComboBox>("rdMdIndexPopup");
    EXPECT_EQ(items(index), (QStringList{QStringLiteral("By Default"), QStringLiteral("-"), QStringLiteral("On"),
                                         QStringLiteral("Off")}));
    choose(index, indexOf(index, QStringLiteral("Off")));
    EXPECT_EQ(r->mdIndexMode(), qint64(QMRamDiskMdIndexMode_off));
    refresh();
    EXPECT_EQ(index->currentText(), QStringLiteral("Off"));

    // The start at login: the helper's login item follows with the next save.
    auto *atLogin = control<QCheckBox>("rdCreateAtLoginButton");
    atLogin->click();
    EXPECT_TRUE(r->createAtLogin());
    EXPECT_TRUE(store()->needsSynchronizeHelper());
    bool valid = false;
    ASSERT_TRUE(QMTest::waitUntil(
        [&] { return QMSharedLoginItems::isLoginItem(QUrl::fromLocalFile(installation.helperPath()), &valid); }));
    EXPECT_TRUE(valid);
    EXPECT_TRUE(readStore()->ramDisks().first()->createAtLogin());
    EXPECT_EQ(readStore()->ramDisks().first()->mdIndexMode(), qint64(QMRamDiskMdIndexMode_off));
    EXPECT_EQ(readStore()->ramDisks().first()->name(), QStringLiteral("Scratch"));
}

TEST_F(EditorPaneTest, SaveEveryFollowsTheBackupIsArchivedAndTheIdleLineTellsTheLastSave)
{
    open();
    QMRamDisk::Ptr r = selected();
    r->setMountDirectory(QMTest::testHome());
    refresh();
    auto *every = control<QComboBox>("rdAutoSavePopup");
    auto *backup = control<QComboBox>("rdBackupPopup");
    auto *progress = control<QLabel>("rdCreatePIndicatorLabel");
    EXPECT_EQ(items(every), (QStringList{QStringLiteral("Off"), QStringLiteral("5 minutes"), QStringLiteral("15 minutes"),
                                         QStringLiteral("30 minutes"), QStringLiteral("60 minutes")}));
    EXPECT_FALSE(every->isEnabled());
    EXPECT_TRUE(progress->text().isEmpty());

    // A backup where there was none: every 15 minutes, and the helper's login item follows.
    choose(backup, indexOf(backup, QStringLiteral("Default Location")));
    EXPECT_EQ(r->autoSaveInterval(), QMRamDisk::defaultAutoSaveInterval);
    EXPECT_TRUE(every->isEnabled());
    EXPECT_EQ(every->currentText(), QStringLiteral("15 minutes"));
    EXPECT_TRUE(store()->needsSynchronizeHelper());
    EXPECT_EQ(progress->text(), QStringLiteral("Never saved"));

    // The user's choice is archived, and another backup mode keeps it.
    choose(every, indexOf(every, QStringLiteral("60 minutes")));
    choose(backup, indexOf(backup, QStringLiteral("Base Synchronized")));
    EXPECT_EQ(r->autoSaveInterval(), 3600);
    ASSERT_TRUE(QMTest::waitUntil([&] { return readStore()->ramDisks().first()->autoSaveInterval() == 3600; }));

    // Idle, the line keeps up with the clock; busy, it is the action's own.
    r->setLastSaveDate(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - 605);
    w->controller->ramDiskEditorPane()->updateSavedText(r);
    EXPECT_EQ(progress->text(), QStringLiteral("Saved 10 minutes ago"));
    r->setAction(QMRamDiskAction_copyToBase);
    refresh();
    EXPECT_TRUE(every->isEnabled()) << "as the backup menu, also while busy";
    r->setLastSaveDate(1);
    w->controller->ramDiskEditorPane()->updateSavedText(r);
    EXPECT_FALSE(progress->text().startsWith(QStringLiteral("Saved"))) << progress->text().toStdString();
    r->setAction(QMRamDiskAction_none);

    // No backup: the schedule goes, and "Off" shows disabled.
    choose(backup, indexOf(backup, QStringLiteral("Disabled")));
    EXPECT_EQ(r->autoSaveInterval(), 0);
    EXPECT_FALSE(every->isEnabled());
    EXPECT_EQ(every->currentText(), QStringLiteral("Off"));
    ASSERT_TRUE(QMTest::waitUntil([&] { return readStore()->ramDisks().first()->autoSaveInterval() == 0; }));
}

TEST_F(EditorPaneTest, ThePostCommandFieldCompletesChecksAndOpensTheSheet)
{
    open();
    QMRamDisk::Ptr r = selected();
    auto *field = control<PostCommandTextField>("rdPostCmdField");
    auto *args = control<QPushButton>("argsButton");
    EXPECT_FALSE(args->isVisible());

    edit(field, QStringLiteral("sh"));
    EXPECT_EQ(field->text(), QStringLiteral("/usr/bin/sh")) << "a bare command is completed";
    EXPECT_EQ(r->postCmd(), QStringLiteral("/usr/bin/sh"));
    EXPECT_TRUE(field->errorReason().isNull());
    edit(field, QStringLiteral("/qm-nothing/here"));
    EXPECT_EQ(field->errorReason(), QStringLiteral("The command file does not exist"));
    EXPECT_EQ(field->toolTip(), field->errorReason());
    EXPECT_EQ(field->palette().color(QPalette::Active, QPalette::Text), PostCmdField::errorColor(field->palette()));
    EXPECT_TRUE(w->controller->hasPendingSave());

    // The arguments button: under the pointer, and while editing.
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(field, &enter);
    EXPECT_TRUE(args->isVisible());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(field, &leave);
    EXPECT_FALSE(args->isVisible());
    field->setIsFocusedRing(true);
    EXPECT_TRUE(args->isVisible());
    QApplication::sendEvent(field, &leave);
    EXPECT_TRUE(args->isVisible()) << "stays while editing";
    field->setIsFocusedRing(false);
    EXPECT_FALSE(args->isVisible());

    // A click opens the sheet on the window for this RAM disk; its end refreshes the pane.
    QApplication::sendEvent(field, &enter);
    args->click();
    PostCmdWindowController *sheet = w->controller->ramDiskEditorPane()->postCmdWindowController();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->parentWidget(), w->window);
    EXPECT_EQ(sheet->ramDisk(), r);
    sheet->findChild<QLineEdit *>(QStringLiteral("mPathField"))->setText(QStringLiteral("/usr/bin/true"));
    emit sheet->findChild<QLineEdit *>(QStringLiteral("mPathField"))->textEdited(QStringLiteral("/usr/bin/true"));
    sheet->findChild<QPushButton *>(QStringLiteral("mOkButton"))->click();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(field->text(), QStringLiteral("/usr/bin/true"));
    EXPECT_TRUE(field->errorReason().isNull());

    // A busy RAM disk: the field and its button are off.
    r->setAction(QMRamDiskAction_backup);
    refresh();
    EXPECT_FALSE(field->isEnabled());
    QApplication::sendEvent(field, &enter);
    EXPECT_FALSE(args->isVisible());
    r->setAction(QMRamDiskAction_none);
}

TEST_F(EditorPaneTest, NothingIsClippedWithALargeDesktopFontWhateverTheRecord)
{
    const QFont desktop = QApplication::font();
    QFont large = desktop;
    large.setPointSizeF((desktop.pointSizeF() > 0 ? desktop.pointSizeF() : 10) * 1.6);
    QApplication::setFont(large);
    installFirefox(applications);
    open(2);
    RamDiskEditorPane *pane = w->controller->ramDiskEditorPane();
    // As the application sizes its window: the height its contents need, once.
    w->window->resize(820, w->window->minimumSizeHint().height());
    const int needed = pane->minimumSizeHint().height();

    auto expectNothingClipped = [&](const char *what) {
        QCoreApplication::processEvents();
        for (QWidget *child : pane->findChildren<QWidget *>()) {
            if (child->objectName().isEmpty() || !child->isVisibleTo(pane) || child->objectName() == "rdImageView")
                continue;
            const QRect inPane(child->mapTo(pane, QPoint(0, 0)), child->size());
            EXPECT_TRUE(pane->rect().contains(inPane)) << what << ": " << qPrintable(child->objectName());
            EXPECT_GE(child->height(), child->minimumSizeHint().height()) << what << ": " << qPrintable(child->objectName());
        }
    };
    expectNothingClipped("custom");

    // A preset whose backup rows are hidden keeps the same height.
    QMRamDisk::Ptr second = store()->ramDisks().at(1);
    w->controller->setSelectedRamDisk(second);
    auto *type = control<QComboBox>("rdTypePopUp");
    choose(type, indexOf(type, QStringLiteral("Firefox Cache")));
    second->setBackupMode(QMRamDiskBackupMode_disabled);
    refresh();
    EXPECT_FALSE(control<QComboBox>("rdBackupPopup")->isVisible());
    pane->layout()->activate();
    EXPECT_EQ(pane->minimumSizeHint().height(), needed);
    expectNothingClipped("preset");

    w.reset();
    QApplication::setFont(desktop);
}
