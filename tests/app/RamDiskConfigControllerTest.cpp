// The main window's list, bar and context menu over a real store and real files (no
// devices; those are in the RAM-disk tests).
#include "AppTestSupport.h"
#include "QMLog.h"
#include "QMRamDiskManager.h"
#include "QMSegmentedControl.h"
#include "QMTestSupport.h"
#include "QMTextOverLabel.h"
#include "QMUserDefaults.h"
#include "RamDiskConfigCell.h"
#include "RamDiskConfigController.h"
#include "RamDiskConfigPresentation.h"
#include "RamDiskListModel.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTableView>
#include <QToolButton>

using namespace QMAppTest;

namespace {

QStringList names(QMRamDiskEntries *store)
{
    QStringList n;
    for (const QMRamDisk::Ptr &r : store->ramDisks())
        n << r->name();
    return n;
}

QStringList titles(QMenu *menu)
{
    QStringList t;
    for (QAction *a : menu->actions())
        t << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return t;
}

QAction *actionTitled(QMenu *menu, const QString &title)
{
    for (QAction *a : menu->actions())
        if (a->text() == title)
            return a;
    return nullptr;
}

// Sends a drag over the list and a drop at `pos` (viewport coordinates); true when the
// drop was taken.
bool dropOnList(QTableView *table, QMimeData *data, const QPoint &pos)
{
    QWidget *viewport = table->viewport();
    QDragEnterEvent enter(pos, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDragMoveEvent move(pos, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QDropEvent drop(pos, Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    return drop.isAccepted();
}

} // namespace

class ConfigControllerTest : public ::testing::Test
{
protected:
    void SetUp() override { resetState(); }
    void TearDown() override { resetState(); }
    FakeInstallation installation; // no helper of the build tree is ever started or stopped
};

TEST_F(ConfigControllerTest, AddSelectsTheNewRamDiskAndSavesHalfASecondLater)
{
    Window w;
    auto *pm = w.controller->findChild<QMSegmentedControl *>(QStringLiteral("pmButton"));
    ASSERT_TRUE(pm);
    EXPECT_FALSE(pm->isEnabledForSegment(1)) << "nothing to remove";
    EXPECT_TRUE(w.controller->findChild<QWidget *>(QStringLiteral("ntView"))->isVisible());

    pm->performClick(0);
    ASSERT_EQ(w.controller->ramDiskEntries()->count(), 1);
    EXPECT_EQ(w.controller->selectedRamDisk(), w.controller->ramDiskEntries()->ramDisks().first());
    EXPECT_TRUE(w.controller->findChild<QWidget *>(QStringLiteral("ramDiskView"))->isVisible());
    EXPECT_FALSE(w.controller->findChild<QWidget *>(QStringLiteral("ntView"))->isVisible());
    EXPECT_TRUE(pm->isEnabledForSegment(1));

    // Saved once, after the burst of edits.
    EXPECT_TRUE(w.controller->hasPendingSave());
    EXPECT_FALSE(QFileInfo::exists(QMRamDiskEntries::defaultEntriesFilePath()));
    pm->performClick(0);
    ASSERT_TRUE(QMTest::waitUntil([] { return QFileInfo::exists(QMRamDiskEntries::defaultEntriesFilePath()); }));
    EXPECT_EQ(readStore()->count(), 2);
}

TEST_F(ConfigControllerTest, ThePlaceholderBoxCreatesARamDisk)
{
    Window w;
    QWidget *box = w.controller->findChild<QWidget *>(QStringLiteral("ntBox"));
    ASSERT_TRUE(box);
    QMetaObject::invokeMethod(box, "boxHighlightableClicked");
    EXPECT_EQ(w.controller->ramDiskEntries()->count(), 1);
}

TEST_F(ConfigControllerTest, AtFifteenAddChangesNothingAndClearsTheSelection)
{
    writeRecords(15);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    ASSERT_EQ(store->count(), 15);
    w.controller->setSelectedRamDisk(store->ramDisks().at(3));
    w.controller->findChild<QMSegmentedControl *>(QStringLiteral("pmButton"))->performClick(0);
    EXPECT_EQ(store->count(), 15);
    EXPECT_EQ(w.controller->selectedRamDisk(), nullptr);
    EXPECT_TRUE(w.controller->findChild<QWidget *>(QStringLiteral("ntView"))->isVisible());
    w.controller->addRamDiskAction()->trigger();
    EXPECT_EQ(store->count(), 15);
}

TEST_F(ConfigControllerTest, RemovingARamDiskNeverCreatedAsksNothingAndSelectsTheNeighbour)
{
    writeRecords(3);
    AlertAnswers alerts(QStringLiteral("Cancel"));
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    auto *pm = w.controller->findChild<QMSegmentedControl *>(QStringLiteral("pmButton"));

    w.controller->setSelectedRamDisk(store->ramDisks().first());
    pm->performClick(1);
    EXPECT_EQ(names(store), (QStringList{QStringLiteral("Disk 2"), QStringLiteral("Disk 3")}));
    EXPECT_EQ(w.controller->selectedRamDisk()->name(), QStringLiteral("Disk 2")) << "the new first";

    w.controller->setSelectedRamDisk(store->ramDisks().last());
    w.controller->removeRamDiskAction()->trigger();
    EXPECT_EQ(w.controller->selectedRamDisk()->name(), QStringLiteral("Disk 2")) << "the previous one";

    pm->performClick(1);
    EXPECT_EQ(store->count(), 0);
    EXPECT_EQ(w.controller->selectedRamDisk(), nullptr);
    EXPECT_TRUE(w.controller->findChild<QWidget *>(QStringLiteral("ntView"))->isVisible());
    EXPECT_FALSE(pm->isEnabledForSegment(1));
    EXPECT_TRUE(alerts.asked().isEmpty());
    // The removal reaches the file like any other edit.
    ASSERT_TRUE(QMTest::waitUntil([] { return readStore()->count() == 0; }));
}

TEST_F(ConfigControllerTest, ARamDiskThatRunsAnActionIsNotRemoved)
{
    writeRecords(1);
    Window w;
    QMRamDisk::Ptr r = w.controller->ramDiskEntries()->ramDisks().first();
    w.controller->ramDiskEntries()->setUpdator(false);
    w.controller->setSelectedRamDisk(r);
    r->setAction(QMRamDiskAction_create);
    w.controller->plusMoinSegAction(1);
    EXPECT_EQ(w.controller->ramDiskEntries()->count(), 1);
    r->setAction(QMRamDiskAction_none);
}

TEST_F(ConfigControllerTest, ACreatedRamDiskThatIsNotMountedIsRemovedOnlyAfterTheQuestion)
{
    writeRecords(1);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    QMRamDisk::Ptr r = store->ramDisks().first();
    r->setStatus(QMRamDiskStatus_created); // undetermined contents: ask
    w.controller->setSelectedRamDisk(r);
    {
        AlertAnswers alerts(QStringLiteral("Cancel"));
        w.controller->plusMoinSegAction(1);
        QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); });
        ASSERT_EQ(alerts.asked(), QStringList{QStringLiteral("RemoveRamDiskAlert")});
        const QMAlertRequest q = alerts.requests().first();
        EXPECT_EQ(q.messageText, QStringLiteral("Are you sure you want to remove \"Disk 1\"?"));
        EXPECT_EQ(q.informativeText, QStringLiteral("This cannot be undone."));
        EXPECT_EQ(q.buttons, (QStringList{QStringLiteral("Cancel"), QStringLiteral("Eject and Remove")}));
        QApplication::processEvents();
    }
    EXPECT_EQ(store->count(), 1) << "Cancel changes nothing";
    EXPECT_EQ(r->status(), QMRamDiskStatus_created);
    r->setStatus(QMRamDiskStatus_notCreated);
}

TEST_F(ConfigControllerTest, DropBetweenRowsMovesAndPersistsOntoARowOrFromOutsideIsRefused)
{
    writeRecords(3);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    QTableView *table = w.controller->tableView();
    RamDiskListModel *model = w.controller->listModel();
    w.controller->setSelectedRamDisk(store->ramDisks().first());
    const QRect row0 = table->visualRect(model->index(0));
    const QRect row2 = table->visualRect(model->index(2));

    // Disk 3 dropped in the gap above the first row.
    std::unique_ptr<QMimeData> third(model->mimeData({model->index(2)}));
    ASSERT_TRUE(third);
    EXPECT_EQ(third->data(QStringLiteral("application/x-kTableViewControllerPasteboardType")),
              store->ramDisks().at(2)->identifier().toUtf8());
    EXPECT_TRUE(dropOnList(table, third.get(), QPoint(row0.center().x(), row0.top() + 2)));
    EXPECT_EQ(names(store), (QStringList{QStringLiteral("Disk 3"), QStringLiteral("Disk 1"), QStringLiteral("Disk 2")}));
    EXPECT_EQ(w.controller->selectedRamDisk()->name(), QStringLiteral("Disk 1")) << "the selection follows";

    // Onto the middle of a row: refused.
    std::unique_ptr<QMimeData> first(model->mimeData({model->index(0)}));
    EXPECT_FALSE(dropOnList(table, first.get(), row2.center()));
    // From another program (no origin of this list), between rows: refused.
    QMimeData foreign;
    foreign.setData(RamDiskListModel::pasteboardType(), store->ramDisks().at(0)->identifier().toUtf8());
    EXPECT_FALSE(dropOnList(table, &foreign, QPoint(row0.center().x(), row0.top() + 2)));
    // An empty identifier: refused.
    std::unique_ptr<QMimeData> empty(model->mimeData({model->index(0)}));
    empty->setData(RamDiskListModel::pasteboardType(), QByteArray());
    EXPECT_FALSE(dropOnList(table, empty.get(), QPoint(row0.center().x(), row0.top() + 2)));
    EXPECT_EQ(names(store), (QStringList{QStringLiteral("Disk 3"), QStringLiteral("Disk 1"), QStringLiteral("Disk 2")}));

    // Below the last row: to the end.
    EXPECT_TRUE(dropOnList(table, first.get(), QPoint(row2.center().x(), row2.bottom() + 20)));
    EXPECT_EQ(names(store), (QStringList{QStringLiteral("Disk 1"), QStringLiteral("Disk 2"), QStringLiteral("Disk 3")}));
    // Between the second and the third row, from the first.
    std::unique_ptr<QMimeData> again(model->mimeData({model->index(0)}));
    const QRect row1 = table->visualRect(model->index(1));
    EXPECT_TRUE(dropOnList(table, again.get(), QPoint(row1.center().x(), row1.bottom() - 1)));
    EXPECT_EQ(names(store), (QStringList{QStringLiteral("Disk 2"), QStringLiteral("Disk 1"), QStringLiteral("Disk 3")}));

    // The order reaches the file with the next save.
    w.controller->synchronize();
    EXPECT_EQ(names(readStore().get()),
              (QStringList{QStringLiteral("Disk 2"), QStringLiteral("Disk 1"), QStringLiteral("Disk 3")}));
    // Only one row is dragged at a time.
    EXPECT_EQ(model->mimeData({model->index(0), model->index(1)}), nullptr);
}

TEST_F(ConfigControllerTest, ReloadsOnEveryOtherProgramsAnnouncementNeverOnItsOwnNorDuringItsAction)
{
    writeRecords(1);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    const QMRamDisk::Ptr first = store->ramDisks().first();
    writeRecords(1); // another program added one: the file has two now

    // Its own announcement: ignored. Another window's (another session, the same sender
    // name), heard after it, is not.
    QSignalSpy reads(store, &QMRamDiskEntries::ramDisksDidChange);
    ASSERT_TRUE(QMRamDiskEntries::postDidChangeToAllNotificationWithSender(QMRamDiskEntries::appSender()));
    ASSERT_TRUE(announceFromAnotherProgram(QMRamDiskEntries::appSender()));
    ASSERT_TRUE(QMTest::waitUntil([&] { return store->count() == 2; }));
    EXPECT_EQ(reads.count(), 1) << "read once, for the other window";
    EXPECT_EQ(w.controller->listModel()->rowCount(), 2);
    EXPECT_EQ(store->ramDisks().first(), first) << "the record read again is the same object";

    // While an action of its own runs: logged, read once the action has ended.
    {
        auto other = readStore();
        other->ramDisks().at(1)->setName(QStringLiteral("Renamed there"));
        ASSERT_TRUE(other->writeRamDisksToDefaultLocation());
    }
    {
        QuietLog log;
        first->setAction(QMRamDiskAction_backup);
        ASSERT_TRUE(announceFromAnotherProgram(QMRamDiskEntries::helperSender()));
        ASSERT_TRUE(QMTest::waitUntil([&] { return log.lines.join(u'\n').contains(QStringLiteral("hasRunningAction==YES")); }));
        EXPECT_EQ(store->ramDisks().at(1)->name(), QStringLiteral("Disk 2"));
        first->setAction(QMRamDiskAction_none);
        w.controller->ramDiskEntries(store, first); // the action's last report
        EXPECT_TRUE(QMTest::waitUntil([&] { return store->ramDisks().at(1)->name() == QStringLiteral("Renamed there"); }));
    }

    // quilmoctl: its add shows in the list.
    ASSERT_EQ(runQuilmoctl({QStringLiteral("add"), QStringLiteral("FromCtl"), QStringLiteral("--size"),
                            QStringLiteral("256M")}),
              0);
    ASSERT_TRUE(QMTest::waitUntil([&] { return w.controller->listModel()->rowCount() == 3; }));
    EXPECT_EQ(names(store).last(), QStringLiteral("FromCtl"));
}

TEST_F(ConfigControllerTest, AnEditJustBeforeAnAnnouncementIsWrittenFirstAndEverySaveIsAnnounced)
{
    writeRecords(1);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    w.controller->setSelectedRamDisk(store->ramDisks().first());
    OwnAnnouncements heard;
    ASSERT_TRUE(heard.listening());

    // Typed in the pane, saved half a second later: heard by another program's store.
    auto *name = w.controller->findChild<QLineEdit *>(QStringLiteral("rdNameField"));
    name->selectAll();
    QTest::keyClicks(name, QStringLiteral("Edited"));
    ASSERT_TRUE(w.controller->hasPendingSave());
    ASSERT_TRUE(QMTest::waitUntil([&] { return !heard.senders().isEmpty(); }));
    EXPECT_EQ(heard.senders(), QStringList{QMRamDiskEntries::appSender()});
    EXPECT_EQ(readStore()->ramDisks().first()->name(), QStringLiteral("Edited"));

    // Typed again, and another program saves and announces before the half second is up
    // (told here directly, so that the save cannot come first): the edit is written first,
    // merged with what the other program saved.
    QTest::keyClicks(name, QStringLiteral(" again"));
    ASSERT_TRUE(w.controller->hasPendingSave());
    writeRecords(1);
    w.controller->n_ramDiskEntriesDidChangeToAllNotification(QMRamDiskEntries::helperSender());
    EXPECT_EQ(store->count(), 2);
    EXPECT_FALSE(w.controller->hasPendingSave());
    EXPECT_EQ(store->ramDisks().first()->name(), QStringLiteral("Edited again"));
    EXPECT_EQ(name->text(), QStringLiteral("Edited again"));
    EXPECT_EQ(names(readStore().get()), (QStringList{QStringLiteral("Edited again"), QStringLiteral("Disk 2")}));
}

TEST_F(ConfigControllerTest, TheSelectionIsRememberedWhenItChangesAndComesBackAtTheNextStart)
{
    const QStringList ids = writeRecords(3);
    QSettings *defaults = QMUserDefaults::standardUserDefaults();
    {
        Window w;
        QMRamDiskEntries *store = w.controller->ramDiskEntries();
        w.controller->setSelectedRamDisk(store->ramDiskWithIdentifier(ids.at(0)));
        w.controller->synchronize(); // the application went to the background
        w.controller->setSelectedRamDisk(store->ramDiskWithIdentifier(ids.at(1)));
        EXPECT_EQ(defaults->value(QStringLiteral("SelectedRamDisk.identifier")).toString(), ids.at(1));
        // A reload (a row dragged) keeps what is selected now.
        ASSERT_TRUE(w.controller->moveRamDisk(0, ids.at(2)));
        ASSERT_TRUE(w.controller->selectedRamDisk());
        EXPECT_EQ(w.controller->selectedRamDisk()->identifier(), ids.at(1));
        w.controller->synchronize();
    }
    {
        Window w;
        ASSERT_TRUE(w.controller->selectedRamDisk());
        EXPECT_EQ(w.controller->selectedRamDisk()->identifier(), ids.at(1));
        // Nothing selected: nothing comes back.
        w.controller->setSelectedRamDisk(nullptr);
        EXPECT_FALSE(defaults->contains(QStringLiteral("SelectedRamDisk.identifier")));
    }
    Window w;
    EXPECT_EQ(w.controller->selectedRamDisk(), nullptr);
}

TEST_F(ConfigControllerTest, ContextMenuOnRowsBelowTheRowsAndOnABusyRamDisk)
{
    writeRecords(2);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    QTableView *table = w.controller->tableView();
    QMenu *menu = w.controller->tableMenu();
    const QRect row0 = table->visualRect(w.controller->listModel()->index(0));
    const QRect row1 = table->visualRect(w.controller->listModel()->index(1));

    emit table->customContextMenuRequested(row0.center());
    EXPECT_TRUE(titles(menu).contains(QStringLiteral("Create")));
    EXPECT_TRUE(titles(menu).contains(QStringLiteral("Case Sensitive")));
    menu->hide();

    // "Case Sensitive" switches the format of the clicked RAM disk and saves.
    QAction *caseSensitive = actionTitled(menu, QStringLiteral("Case Sensitive"));
    ASSERT_TRUE(caseSensitive);
    caseSensitive->trigger();
    EXPECT_EQ(store->ramDisks().at(0)->format(), QMRamDiskFormat_caseSensitiveHFSPlus);
    EXPECT_EQ(store->ramDisks().at(1)->format(), QMRamDiskFormat_HFSPlus);
    EXPECT_TRUE(w.controller->hasPendingSave());
    emit table->customContextMenuRequested(row0.center());
    EXPECT_TRUE(actionTitled(menu, QStringLiteral("Case Sensitive"))->isChecked());
    menu->hide();

    // Below the last row: empty (and not shown).
    emit table->customContextMenuRequested(QPoint(row1.center().x(), row1.bottom() + 30));
    EXPECT_TRUE(menu->actions().isEmpty());
    EXPECT_FALSE(menu->isVisible());

    // A RAM disk that runs an action: empty.
    store->ramDisks().at(1)->setAction(QMRamDiskAction_create);
    emit table->customContextMenuRequested(row1.center());
    EXPECT_TRUE(menu->actions().isEmpty());
    store->ramDisks().at(1)->setAction(QMRamDiskAction_none);
}

TEST_F(ConfigControllerTest, CreateFromTheMenuIsNotStartedTwiceNorOnAnInvalidRamDisk)
{
    writeRecords(1);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    QMRamDisk::Ptr r = store->ramDisks().first();
    r->setName(QString()); // invalid: no name
    w.controller->setSelectedRamDisk(r);
    const QRect row0 = w.controller->tableView()->visualRect(w.controller->listModel()->index(0));
    emit w.controller->tableView()->customContextMenuRequested(row0.center());
    QAction *create = actionTitled(w.controller->tableMenu(), QStringLiteral("Create"));
    ASSERT_TRUE(create);
    EXPECT_FALSE(create->isEnabled());
    w.controller->tableMenu()->hide();
    // Chosen anyway after the record became busy meanwhile: nothing starts.
    r->setAction(QMRamDiskAction_eject);
    w.controller->mi_rightMenu(create);
    EXPECT_EQ(r->action(), QMRamDiskAction_eject);
    r->setAction(QMRamDiskAction_none);
    EXPECT_FALSE(w.controller->ramDiskCommandAction()->isEnabled());
}

TEST_F(ConfigControllerTest, OpenDiskUtilityDoubleClickAndTheMemorySummary)
{
    installation.addProgram(QStringLiteral("gnome-disks"));
    installation.addProgram(QStringLiteral("gnome-system-monitor"));
    installation.addProgram(QStringLiteral("xdg-open"));
    writeRecords(2);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);

    const QRect row0 = w.controller->tableView()->visualRect(w.controller->listModel()->index(0));
    emit w.controller->tableView()->customContextMenuRequested(row0.center());
    QMenu *menu = w.controller->tableMenu();
    ASSERT_EQ(titles(menu).value(0), QStringLiteral("Open Disk Utility"));
    actionTitled(menu, QStringLiteral("Open Disk Utility"))->trigger();
    menu->hide();
    EXPECT_TRUE(QMTest::waitUntil([&] { return QFileInfo::exists(installation.ranMarker(QStringLiteral("gnome-disks"))); }));

    // The memory summary, one item a line in its tooltip; a click opens the task manager.
    auto *status = w.controller->findChild<QMTextOverLabel *>(QStringLiteral("statusField"));
    ASSERT_TRUE(status);
    w.controller->updateUIMacInfo();
    EXPECT_TRUE(status->text().contains(QStringLiteral(" wired, ")));
    EXPECT_FALSE(status->toolTip().contains(QStringLiteral(", ")));
    EXPECT_TRUE(status->toolTip().contains(QLatin1Char('\n')));
    emit status->textOverLabelPressed();
    EXPECT_TRUE(QMTest::waitUntil(
        [&] { return QFileInfo::exists(installation.ranMarker(QStringLiteral("gnome-system-monitor"))); }));

    // Double click: a mounted RAM disk opens in the file manager; one not mounted does not.
    QMRamDisk::Ptr mounted = store->ramDisks().at(1);
    mounted->setStatus(QMRamDiskStatus_mounted);
    mounted->setPath(QStringLiteral("/home/nobody/Disk 2"));
    emit w.controller->tableView()->doubleClicked(w.controller->listModel()->index(0));
    emit w.controller->tableView()->doubleClicked(w.controller->listModel()->index(1));
    ASSERT_TRUE(QMTest::waitUntil([&] { return QFileInfo::exists(installation.ranMarker(QStringLiteral("xdg-open"))); }));
    QFile opened(installation.ranMarker(QStringLiteral("xdg-open")));
    ASSERT_TRUE(opened.open(QIODevice::ReadOnly));
    EXPECT_EQ(opened.readAll().trimmed(), QByteArray("/home/nobody/Disk 2")) << "opened once, the mounted one";

    // No file manager for folders: the user is told, not only the terminal.
    AlertAnswers alerts(QStringLiteral("OK"));
    QMTest::writeScript(installation.prefix() + QStringLiteral("/bin"), QStringLiteral("xdg-open"),
                        QStringLiteral("echo \"xdg-open: no method available for opening '$1'\" >&2\nexit 3\n"));
    emit w.controller->tableView()->doubleClicked(w.controller->listModel()->index(1));
    ASSERT_TRUE(QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); }));
    EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("NoFileManagerAlert")});
    EXPECT_EQ(alerts.requests().first().messageText, QStringLiteral("No file manager could open \"/home/nobody/Disk 2\"."));
    EXPECT_EQ(alerts.requests().first().informativeText,
              QStringLiteral("xdg-open: no method available for opening '/home/nobody/Disk 2'"));
    mounted->setStatus(QMRamDiskStatus_notCreated);
}

TEST_F(ConfigControllerTest, PurgeButtonOnlyWhereMemoryCanBePurged)
{
    {
        Window w;
        EXPECT_TRUE(w.controller->findChild<QPushButton *>(QStringLiteral("purgeButton"))->isHidden());
    }
    FakeInstallation withPurge(true, true);
    Window w;
    auto *purge = w.controller->findChild<QPushButton *>(QStringLiteral("purgeButton"));
    EXPECT_FALSE(purge->isHidden());
    EXPECT_EQ(purge->text(), QStringLiteral("Free Up Inactive Memory"));
}

TEST_F(ConfigControllerTest, TheEndOfAnActionSavesNotifiesAndShowsItsErrorOnce)
{
    writeRecords(1);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    QMRamDisk::Ptr r = store->ramDisks().first();
    r->setName(QStringLiteral("Renamed"));

    OwnAnnouncements heard;
    ASSERT_TRUE(heard.listening());
    // Each report is handled on the main thread, then says the selection may have changed.
    QSignalSpy handled(w.controller, &RamDiskConfigController::selectedRamDiskDidChange);

    AlertAnswers alerts(QStringLiteral("OK"));
    QuietLog quiet;
    // A step report while the action runs: no save, no notification.
    r->setAction(QMRamDiskAction_create);
    w.controller->ramDiskEntries(store, r);
    ASSERT_TRUE(QMTest::waitUntil([&] { return handled.count() == 1; }));
    EXPECT_EQ(readStore()->ramDisks().first()->name(), QStringLiteral("Disk 1"));
    EXPECT_TRUE(heard.sendersUntilNow().isEmpty()) << "nothing told after the step report";

    // The last report: saved at once, the helper told, the error shown once.
    r->setAction(QMRamDiskAction_none);
    r->setLastError(QMError::errorWithMessage(QStringLiteral("Unable to create RamDisk"), QStringLiteral("test")));
    w.controller->ramDiskEntries(store, r);
    // Told once, after the save.
    ASSERT_TRUE(QMTest::waitUntil([&] { return !heard.senders().isEmpty(); }));
    EXPECT_EQ(heard.senders(), QStringList{QMRamDiskEntries::appSender()});
    EXPECT_EQ(readStore()->ramDisks().first()->name(), QStringLiteral("Renamed"));
    QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); });
    EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("QMErrorAlert")});
    EXPECT_TRUE(r->lastError()->isNotified());
    // Reported again (a refresh): not shown again.
    const qsizetype reports = handled.count();
    w.controller->ramDiskEntries(store, r);
    ASSERT_TRUE(QMTest::waitUntil([&] { return handled.count() == reports + 1; }));
    EXPECT_EQ(alerts.asked().size(), 1);

    // A warning of an action that succeeded is told once, too.
    r->setLastError(nullptr);
    r->setLastWarning(QStringLiteral("The backup folder is missing."));
    w.controller->ramDiskEntries(store, r);
    QMTest::waitUntil([&] { return alerts.asked().size() == 2; });
    EXPECT_EQ(alerts.asked().value(1), QStringLiteral("RamDiskWarningAlert"));
    EXPECT_EQ(alerts.requests().value(1).informativeText, QStringLiteral("The backup folder is missing."));
}

TEST_F(ConfigControllerTest, EachReportsStepShowsInTheRowAlthoughTheWorkerHasMovedOn)
{
    writeRecords(1);
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    store->setUpdator(false);
    const QMRamDisk::Ptr r = store->ramDisks().first();
    QSignalSpy handled(w.controller, &RamDiskConfigController::selectedRamDiskDidChange);
    const QModelIndex row = w.controller->listModel()->index(0);

    // A busy main thread: the step's report is handled after the worker has finished.
    QMRamDiskReport step;
    step.identifier = r->identifier();
    step.action = QMRamDiskAction_create;
    step.actionInfo = QMRamDiskActionInfo_creatingNewFileSystem;
    w.controller->ramDiskEntriesDidReport(store, r, step);
    ASSERT_EQ(r->action(), QMRamDiskAction_none);
    ASSERT_TRUE(QMTest::waitUntil([&] { return handled.count() == 1; }));
    EXPECT_EQ(row.data(RamDiskConfigCell::SubInfoRole).toString(),
              QMRamDiskManager::displayStringFromAction(QMRamDiskAction_create, QMRamDiskActionInfo_creatingNewFileSystem));
    EXPECT_LT(row.data(RamDiskConfigCell::UsageRole).toDouble(), 0.0) << "no pie beside a step";

    // Its outcome handled: the row shows the RAM disk again.
    QMRamDiskReport outcome;
    outcome.identifier = r->identifier();
    QuietLog quiet;
    w.controller->ramDiskEntriesDidReport(store, r, outcome);
    ASSERT_TRUE(QMTest::waitUntil([&] { return handled.count() == 2; }));
    EXPECT_EQ(row.data(RamDiskConfigCell::SubInfoRole).toString(), RamDiskConfigPresentation::row(r).subInfo);
}

TEST_F(ConfigControllerTest, HelperRunsAsTheListSaysAndQuitsAtQuitUnlessWantedAtLogin)
{
    Window w;
    QMRamDiskEntries *store = w.controller->ramDiskEntries();
    EXPECT_FALSE(w.controller->helperIsRunning());
    w.controller->setHelperIsRunning(true);
    EXPECT_TRUE(readStore()->showInMenuBar());
    ASSERT_TRUE(QMTest::waitUntil([&] { return w.controller->helperIsRunning(); }));

    // Shown in the tray but not at login: quit with Quilmo.
    w.controller->applicationWillTerminate();
    EXPECT_TRUE(QMTest::waitUntil([&] { return !w.controller->helperIsRunning(); }));
    EXPECT_TRUE(store->showInMenuBar()) << "the stored flag stays";

    // Wanted at login as well: it stays.
    w.controller->setHelperIsRunning(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return w.controller->helperIsRunning(); }));
    w.controller->setHelperIsAtLogin(true);
    EXPECT_TRUE(w.controller->helperIsAtLogin());
    w.controller->applicationWillTerminate(); // a helper quit is waited for
    EXPECT_TRUE(w.controller->helperIsRunning());

    // Turned off: quit, and no longer at login.
    w.controller->setHelperIsRunning(false);
    EXPECT_FALSE(w.controller->helperIsRunning());
    EXPECT_FALSE(w.controller->helperIsAtLogin());
    EXPECT_FALSE(readStore()->showInMenuBarAtLogin());
}

TEST_F(ConfigControllerTest, WantTerminateStopsTheRefresh)
{
    Window w;
    EXPECT_TRUE(w.controller->isAutoUpdating());
    w.controller->wantTerminate();
    EXPECT_FALSE(w.controller->isAutoUpdating());
}
