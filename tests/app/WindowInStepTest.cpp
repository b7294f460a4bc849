// The main window in step with the other programs and with the user: edits that survive a
// reload, open lists left alone by the refresh, a removal that keeps the user's files, a
// bottom bar that never cuts its figures.
#include "AppTestSupport.h"
#include "PostCmdWindowController.h"
#include "PostCommandTextField.h"
#include "QMRamDiskManager.h"
#include "QMSegmentedControl.h"
#include "QMTestSupport.h"
#include "QMTextOverLabel.h"
#include "RamDiskConfigController.h"
#include "RamDiskConfigPresentation.h"
#include "RamDiskEditorPane.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>

using namespace QMAppTest;

namespace {

class WindowInStepTest : public ::testing::Test
{
protected:
    void SetUp() override { resetState(); }
    void TearDown() override { resetState(); }

    // A window over `count` records, the first one selected, the store's refresh stopped.
    void open(int count = 1)
    {
        ids = writeRecords(count);
        w = std::make_unique<Window>();
        store()->setUpdator(false);
        w->controller->setSelectedRamDisk(store()->ramDisks().first());
    }
    QMRamDiskEntries *store() const { return w->controller->ramDiskEntries(); }
    template<typename T>
    T *control(const char *name) const
    {
        T *c = w->controller->findChild<T *>(QString::fromLatin1(name));
        EXPECT_TRUE(c) << name;
        return c;
    }
    PostCmdWindowController *openSheet()
    {
        control<PostCommandTextField>("rdPostCmdField")->argsButton()->click();
        return w->controller->ramDiskEditorPane()->postCmdWindowController();
    }

    FakeInstallation installation;
    QStringList ids;
    std::unique_ptr<Window> w;
};

using QMTest::readFile;
using QMTest::writeFile;

QString backupPath(const QString &identifier)
{
    return QMRamDiskManager::appSupportPath() + QLatin1Char('/') + identifier + QStringLiteral(".QuilmoBackup");
}

QString trashPath()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash");
}

} // namespace

TEST_F(WindowInStepTest, TheSheetsEditsReachTheFileAcrossAReloadAndASheetOnARemovedRamDiskCloses)
{
    open();
    AlertAnswers alerts(QStringLiteral("OK"));
    const QMRamDisk::Ptr r = store()->ramDisks().first();
    PostCmdWindowController *sheet = openSheet();
    ASSERT_TRUE(sheet && sheet->isVisible());
    auto *path = sheet->findChild<QLineEdit *>(QStringLiteral("mPathField"));
    path->setText(QStringLiteral("/usr/bin/true"));
    emit path->textEdited(path->text());
    sheet->findChild<QMSegmentedControl *>(QStringLiteral("mPlusMinusSegControl"))->performClick(0);
    QAbstractItemModel *rows = sheet->findChild<QAbstractItemView *>(QStringLiteral("mTableView"))->model();
    ASSERT_TRUE(rows->setData(rows->index(0, 0), QStringLiteral("--fast")));

    // The helper saves (a RAM disk of its own added) and announces while the sheet is open.
    writeRecords(1);
    ASSERT_TRUE(announceFromAnotherProgram(QMRamDiskEntries::helperSender()));
    ASSERT_TRUE(QMTest::waitUntil([&] { return store()->count() == 2; }));
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(store()->ramDisks().first(), sheet->ramDisk()) << "the sheet still edits the listed record";
    sheet->findChild<QPushButton *>(QStringLiteral("mOkButton"))->click();
    ASSERT_TRUE(QMTest::waitUntil([] { return readStore()->ramDisks().first()->postCmdArgs().has_value(); }));
    const QMRamDisk::Ptr saved = readStore()->ramDisks().first();
    EXPECT_EQ(saved->postCmd(), QStringLiteral("/usr/bin/true"));
    EXPECT_EQ(*saved->postCmdArgs(), QStringList{QStringLiteral("--fast")});
    EXPECT_TRUE(alerts.asked().isEmpty());

    // quilmoctl removes the RAM disk the sheet is open on: the sheet closes, saying why.
    sheet = openSheet();
    ASSERT_TRUE(sheet->isVisible());
    ASSERT_EQ(runQuilmoctl({QStringLiteral("remove"), r->name()}), 0);
    ASSERT_TRUE(QMTest::waitUntil([&] { return !sheet->isVisible(); }));
    EXPECT_EQ(alerts.asked(), QStringList{QStringLiteral("RamDiskRemovedAlert")});
    EXPECT_EQ(alerts.requests().first().messageText, QStringLiteral("\"Disk 1\" was removed by another program."));
    EXPECT_EQ(store()->count(), 1);
}

TEST_F(WindowInStepTest, AnOpenListKeepsItsHighlightedEntryAcrossRefreshesAndCatchesUpWhenClosed)
{
    open();
    const QMRamDisk::Ptr r = store()->ramDisks().first();
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    w->controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
    auto *backup = control<QComboBox>("rdBackupPopup");
    const int items = backup->count();

    QTest::mouseClick(backup, Qt::LeftButton);
    ASSERT_TRUE(QMTest::waitUntil([&] { return backup->view()->isVisible(); }));
    QTest::keyClick(backup->view(), Qt::Key_Down);
    const int highlighted = backup->view()->currentIndex().row();
    ASSERT_NE(highlighted, backup->currentIndex());

    // The RAM disk changed meanwhile, and the one-second refresh saw it.
    const QString folder = QMTest::testHome() + QStringLiteral("/Saved");
    QDir().mkpath(folder);
    r->setBackupDir(folder);
    w->controller->ramDiskEntriesUpdator(store(), r);
    w->controller->ramDiskEntriesUpdator(store(), r);
    EXPECT_TRUE(backup->view()->isVisible());
    EXPECT_EQ(backup->view()->currentIndex().row(), highlighted);
    EXPECT_EQ(backup->count(), items);

    // Closed: the list shows the change.
    QTest::keyClick(backup->view(), Qt::Key_Escape);
    ASSERT_TRUE(QMTest::waitUntil([&] { return backup->count() > items; }));
    EXPECT_EQ(backup->itemText(backup->currentIndex()), QStringLiteral("Default Location"));
    EXPECT_GE(backup->findText(QStringLiteral("Saved")), 0);
}

TEST_F(WindowInStepTest, RemoveMovesABackupThatHoldsFilesToTheTrashAndAsksFirst)
{
    open(3);
    AlertAnswers cancel(QStringLiteral("Cancel"));
    // The first: a backup of 150,000 bytes and its previous copy; the second an empty one.
    writeFile(backupPath(ids.at(0)) + QStringLiteral("/notes.txt"), QByteArray(100000, 'n'));
    writeFile(backupPath(ids.at(0)) + QStringLiteral(".previous/notes.txt"), QByteArray(50000, 'p'));
    QDir().mkpath(backupPath(ids.at(1)));
    auto *pm = control<QMSegmentedControl>("pmButton");

    // An empty backup: removed as ever, without a question, not to the trash.
    w->controller->setSelectedRamDisk(store()->ramDiskWithIdentifier(ids.at(1)));
    pm->performClick(1);
    EXPECT_TRUE(cancel.asked().isEmpty());
    EXPECT_FALSE(store()->ramDiskWithIdentifier(ids.at(1)));
    EXPECT_FALSE(QFileInfo::exists(backupPath(ids.at(1))));
    EXPECT_FALSE(QFileInfo::exists(trashPath() + QStringLiteral("/files/") + ids.at(1) + QStringLiteral(".QuilmoBackup")));

    // With files: asked, saying where they go and how large they are; Cancel keeps all.
    w->controller->setSelectedRamDisk(store()->ramDiskWithIdentifier(ids.at(0)));
    pm->performClick(1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return !cancel.asked().isEmpty(); }));
    EXPECT_EQ(cancel.asked(), QStringList{QStringLiteral("RemoveRamDiskAlert")});
    const QMAlertRequest question = cancel.requests().first();
    EXPECT_EQ(question.informativeText, QStringLiteral("Its backup in Quilmo's folder (150 KB) goes to the trash."));
    EXPECT_EQ(question.buttons, (QStringList{QStringLiteral("Cancel"), QStringLiteral("Remove")}));
    EXPECT_TRUE(store()->ramDiskWithIdentifier(ids.at(0)));
    EXPECT_TRUE(QFileInfo::exists(backupPath(ids.at(0)) + QStringLiteral("/notes.txt")));

    // A trash that cannot be used: the RAM disk stays, backup and all, and the user hears why.
    // (Qt then tries the working directory: this test's own.)
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(QMTest::testHome());
    writeFile(trashPath(), "not a folder");
    {
        AlertAnswers remove(QStringLiteral("Remove"));
        pm->performClick(1);
        ASSERT_TRUE(QMTest::waitUntil([&] { return remove.asked().size() == 2; }));
        EXPECT_EQ(remove.asked().at(1), QStringLiteral("RemoveRamDiskTrashAlert"));
    }
    EXPECT_TRUE(store()->ramDiskWithIdentifier(ids.at(0)));
    EXPECT_EQ(readFile(backupPath(ids.at(0)) + QStringLiteral("/notes.txt")).size(), 100000);
    EXPECT_EQ(readFile(backupPath(ids.at(0)) + QStringLiteral(".previous/notes.txt")).size(), 50000);
    EXPECT_FALSE(QFileInfo::exists(QMTest::testHome() + QStringLiteral("/files/") + ids.at(0) + QStringLiteral(".QuilmoBackup")));
    QDir::setCurrent(cwd);
    ASSERT_TRUE(QFile::remove(trashPath()));

    // Remove: the backup and its previous copy are in the trash, each with its record.
    {
        AlertAnswers remove(QStringLiteral("Remove"));
        pm->performClick(1);
        ASSERT_TRUE(QMTest::waitUntil([&] { return !store()->ramDiskWithIdentifier(ids.at(0)); }));
    }
    EXPECT_FALSE(QFileInfo::exists(backupPath(ids.at(0))));
    EXPECT_FALSE(QFileInfo::exists(backupPath(ids.at(0)) + QStringLiteral(".previous")));
    const QString trashed = trashPath() + QStringLiteral("/files/") + ids.at(0) + QStringLiteral(".QuilmoBackup");
    EXPECT_EQ(readFile(trashed + QStringLiteral("/notes.txt")), QByteArray(100000, 'n'));
    EXPECT_EQ(readFile(trashed + QStringLiteral(".previous/notes.txt")), QByteArray(50000, 'p'));
    const QByteArray info =
        readFile(trashPath() + QStringLiteral("/info/") + ids.at(0) + QStringLiteral(".QuilmoBackup.trashinfo"));
    EXPECT_TRUE(info.startsWith("[Trash Info]\n")) << info.constData();
    EXPECT_TRUE(info.contains("Path=")) << info.constData();
    EXPECT_TRUE(info.contains(QFile::encodeName(QFileInfo(QMRamDiskManager::appSupportPath()).fileName())))
        << info.constData();
    ASSERT_TRUE(QMTest::waitUntil([&] { return readStore()->count() == 1; }));
}

TEST_F(WindowInStepTest, TheBottomBarLeavesOutWhatMattersLeastRatherThanCutAFigure)
{
    QMMemoryStatistics s;
    s.wired = 3ULL << 30;
    s.free = 12ULL << 30;
    s.purgeable = 1ULL << 30;
    s.compressed = 512ULL << 20;
    const QString full = RamDiskConfigPresentation::memorySummary(s);
    const QStringList shorter = RamDiskConfigPresentation::shorterMemorySummaries(s);
    EXPECT_EQ(full, QStringLiteral("3 GB wired, 12 GB free, 1 GB purgeable, 512 MB compressed"));
    EXPECT_EQ(shorter, (QStringList{QStringLiteral("3 GB wired, 12 GB free, 1 GB purgeable"),
                                    QStringLiteral("3 GB wired, 12 GB free"), QStringLiteral("12 GB free")}));

    QMTextOverLabel label;
    label.setText(full);
    label.setShorterTexts(shorter);
    const QFontMetrics fm(label.font());
    for (const QString &text : QStringList{full} + shorter) {
        label.resize(fm.horizontalAdvance(text) + 1, 20);
        EXPECT_EQ(label.shownText(), text);
    }
    label.resize(fm.horizontalAdvance(shorter.last()) / 2, 20);
    EXPECT_TRUE(label.shownText().startsWith(QStringLiteral("12"))) << "the free figure comes first";

    // The window at its narrowest shows whole figures.
    open();
    w->window->resize(600, w->window->height());
    auto *status = control<QMTextOverLabel>("statusField");
    w->controller->updateUIMacInfo();
    ASSERT_TRUE(QMTest::waitUntil([&] { return w->window->width() == 600 && status->width() < 500; }))
        << status->width();
    EXPECT_FALSE(status->shownText().contains(QChar(0x2026))) << status->shownText().toStdString();
    EXPECT_TRUE(status->shownText().contains(QStringLiteral(" free"))) << status->shownText().toStdString();
}

// At the window's narrowest the options and the case note are whole; and the usage bar a
// mounted RAM disk shows takes no room that the window's height, reckoned once, lacks.
TEST_F(WindowInStepTest, AtItsNarrowestThePaneCutsNoOptionAndTheUsageBarSqueezesNoRow)
{
    open();
    RamDiskEditorPane *pane = w->controller->ramDiskEditorPane();
    auto *note = control<QLabel>("rdCaseNoteLabel");
    note->setText(RamDiskConfigPresentation::localized("Names are case-sensitive: this kernel offers no case-insensitive names."));
    w->window->resize(600, w->window->height());
    ASSERT_TRUE(QMTest::waitUntil([&] { return w->window->width() == 600 && pane->width() < 400; })) << pane->width();
    for (const char *name : {"rdCreateAtLoginButton", "rdPreferWiredButton"}) {
        const QCheckBox *box = control<QCheckBox>(name);
        if (box->isHidden())
            continue;
        EXPECT_LE(box->mapTo(pane, QPoint(box->width(), 0)).x(), pane->width()) << name;
        EXPECT_GE(box->width(), box->sizeHint().width()) << name;
    }
    const QRect needed = note->fontMetrics().boundingRect(QRect(0, 0, note->width(), 1000), Qt::TextWordWrap, note->text());
    EXPECT_LE(needed.height(), note->height()) << note->width();
    EXPECT_LE(note->mapTo(pane, QPoint(note->width(), 0)).x(), pane->width());

    const int height = pane->minimumSizeHint().height();
    control<QWidget>("rdUsageIndictator")->show();
    EXPECT_EQ(pane->minimumSizeHint().height(), height);
}
