// The tray's browsable tree of a real, mounted RAM disk: what its folder submenus list,
// "Remove this Folder" and its question, and names swapped for links behind the menu.
#include "QMAlert.h"
#include "QMHelperTestSupport.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"
#include "QMTrayFileBrowser.h"
#include "StatusMenuController.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>

using QMHelperTest::item;
using QMHelperTest::itemNames;
using QMHelperTest::openAndClose;

namespace {

void touch(const QString &path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write("x");
}

// Answers every alert with `answer` and keeps what was asked; the alerts show again after.
struct AlertAnswers
{
    explicit AlertAnswers(std::function<int(const QMAlertRequest &)> answer)
    {
        previous = QMAlert::setHook([this, answer](const QMAlertRequest &request) {
            asked << request;
            return answer(request);
        });
    }
    ~AlertAnswers() { QMAlert::setHook(previous); }
    QList<QMAlertRequest> asked;
    QMAlert::Hook previous;
};

class TrayFileBrowserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
        ASSERT_TRUE(_sandbox.isValid());
        _ramDisk = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Browse"));
        QMEngineTest::RecordingDelegate delegate;
        _ramDisk->performAction(QMRamDiskAction_create, &delegate, false);
        ASSERT_EQ(_ramDisk->status(), QMRamDiskStatus_mounted);
        root = _ramDisk->path();
        outside = _sandbox.mkdir(QStringLiteral("outside"));
        QDir().mkpath(outside + QStringLiteral("/Projects"));
        touch(outside + QStringLiteral("/Projects/precious"));
        ASSERT_TRUE(QMHelperTest::writeEntries({_ramDisk}, true));
    }

    // The RAM disk's submenu as the user opens it.
    QMenu *ramDiskMenu(StatusMenuController &controller)
    {
        openAndClose(controller.rootMenu());
        QAction *row = item(controller.rootMenu(), _ramDisk->identifier());
        if (!row || !row->menu())
            return nullptr;
        openAndClose(row->menu());
        return row->menu();
    }

    // The entries a menu lists after its own items: what follows the last separator.
    static QStringList listed(const QMenu *menu)
    {
        const QStringList all = itemNames(menu);
        return all.mid(all.lastIndexOf(QStringLiteral("-")) + 1);
    }

    QMEngineTest::RamDiskSandbox _sandbox;
    QMRamDisk::Ptr _ramDisk;
    QString root, outside;
};

} // namespace

TEST_F(TrayFileBrowserTest, FoldersComeFirstInNaturalOrderAndLinksToFoldersAreLinks)
{
    for (const char *folder : {"/f10", "/f2", "/docs/inner", "/many"})
        ASSERT_TRUE(QDir().mkpath(root + QLatin1String(folder)));
    for (const char *file : {"/b.txt", "/A.txt", "/docs/n10", "/docs/n9"})
        touch(root + QLatin1String(file));
    for (int i = 0; i < QMTrayFileBrowser::maximumListed + 10; ++i)
        touch(root + QStringLiteral("/many/f%1").arg(i));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/Projects"), root + QStringLiteral("/Projects")));

    QMHelperTest::UrlCatcher catcher;
    StatusMenuController controller;
    QMenu *menu = ramDiskMenu(controller);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(listed(menu), (QStringList{root + "/docs", root + "/f2", root + "/f10", root + "/many", root + "/A.txt",
                                         root + "/b.txt", root + "/Projects"}));

    QAction *link = item(menu, root + QStringLiteral("/Projects"));
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->menu(), nullptr) << "no way into what a link points to";
    EXPECT_EQ(link->toolTip(), QStringLiteral("Link to ") + outside + QStringLiteral("/Projects"));

    QAction *docs = item(menu, root + QStringLiteral("/docs"));
    ASSERT_NE(docs, nullptr);
    ASSERT_NE(docs->menu(), nullptr);
    EXPECT_EQ(StatusMenuController::menuTitle(docs->menu()), root + QStringLiteral("/docs"));
    openAndClose(docs->menu());
    EXPECT_EQ(itemNames(docs->menu()), (QStringList{"Remove this Folder", "-", root + "/docs/inner", root + "/docs/n9",
                                                    root + "/docs/n10"}));
    item(docs->menu(), root + QStringLiteral("/docs/n9"))->trigger();
    ASSERT_EQ(catcher.opened.size(), 1);
    EXPECT_EQ(catcher.opened.first().toLocalFile(), root + QStringLiteral("/docs/n9"));

    QMenu *inner = item(docs->menu(), root + QStringLiteral("/docs/inner"))->menu();
    openAndClose(inner);
    EXPECT_EQ(itemNames(inner), (QStringList{"Remove this Folder", "-", "!(No File Here)"}));

    // A long folder shows its first names in that order, then an item that opens it.
    QMenu *many = item(menu, root + QStringLiteral("/many"))->menu();
    openAndClose(many);
    const QStringList manyNames = listed(many);
    ASSERT_EQ(manyNames.size(), QMTrayFileBrowser::maximumListed + 1);
    EXPECT_EQ(manyNames.first(), root + QStringLiteral("/many/f0"));
    EXPECT_EQ(manyNames.at(QMTrayFileBrowser::maximumListed - 1),
              root + QStringLiteral("/many/f%1").arg(QMTrayFileBrowser::maximumListed - 1));
    EXPECT_EQ(manyNames.last(), QStringLiteral("\u2026"));
    item(many, QStringLiteral("\u2026"))->trigger();
    EXPECT_EQ(catcher.opened.last().toLocalFile(), root + QStringLiteral("/many"));
}

TEST_F(TrayFileBrowserTest, RemoveThisFolderAsksNamingItAndItsItemsAndRemovesOnlyIt)
{
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/doomed/inner")));
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/sibling")));
    for (const char *file : {"/doomed/a", "/doomed/inner/b", "/sibling/keep"})
        touch(root + QLatin1String(file));
    // A link inside goes as a link; what it points to stays.
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/Projects"), root + QStringLiteral("/doomed/Projects")));

    StatusMenuController controller;
    QMenu *menu = ramDiskMenu(controller);
    ASSERT_NE(menu, nullptr);
    QMenu *doomed = item(menu, root + QStringLiteral("/doomed"))->menu();
    openAndClose(doomed);
    QAction *remove = item(doomed, QStringLiteral("Remove this Folder"));
    ASSERT_NE(remove, nullptr);

    {
        AlertAnswers cancel([](const QMAlertRequest &) { return 0; }); // the default
        remove->trigger();
        ASSERT_EQ(cancel.asked.size(), 1);
        const QMAlertRequest &question = cancel.asked.first();
        EXPECT_EQ(question.objectName, QStringLiteral("QMRemoveFolderAlert"));
        EXPECT_TRUE(question.messageText.contains(QStringLiteral("“doomed”"))) << question.messageText.toStdString();
        EXPECT_TRUE(question.informativeText.contains(QStringLiteral("It holds 4 items."))) << question.informativeText.toStdString();
        EXPECT_EQ(question.buttons.first(), QStringLiteral("Cancel"));
    }
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/doomed/inner/b")));

    AlertAnswers confirm([](const QMAlertRequest &) { return 1; });
    remove->trigger();
    EXPECT_EQ(confirm.asked.size(), 1) << "no report when everything went";
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/doomed")));
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/sibling/keep")));
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/Projects/precious")));
}

TEST_F(TrayFileBrowserTest, AFolderSwappedForALinkAfterTheMenuOrDuringTheQuestionIsRefused)
{
    ASSERT_TRUE(QDir().mkpath(root + QStringLiteral("/docs/Projects")));
    touch(root + QStringLiteral("/docs/Projects/draft"));
    StatusMenuController controller;
    QMenu *menu = ramDiskMenu(controller);
    ASSERT_NE(menu, nullptr);
    QMenu *docs = item(menu, root + QStringLiteral("/docs"))->menu();
    openAndClose(docs);
    QMenu *projects = item(docs, root + QStringLiteral("/docs/Projects"))->menu();
    openAndClose(projects);
    QAction *remove = item(projects, QStringLiteral("Remove this Folder"));
    ASSERT_NE(remove, nullptr);

    // The parent becomes a link to a folder outside that holds a "Projects" of its own.
    ASSERT_TRUE(QDir().rename(root + QStringLiteral("/docs"), root + QStringLiteral("/docs.real")));
    ASSERT_TRUE(QFile::link(outside, root + QStringLiteral("/docs")));
    {
        AlertAnswers answers([](const QMAlertRequest &) { return 1; });
        remove->trigger();
        ASSERT_EQ(answers.asked.size(), 1);
        EXPECT_EQ(answers.asked.first().objectName, QStringLiteral("QMRemoveFolderRefusedAlert"));
        EXPECT_TRUE(answers.asked.first().informativeText.contains(QStringLiteral("symbolic link")))
            << answers.asked.first().informativeText.toStdString();
    }
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/Projects/precious")));
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/docs.real/Projects/draft")));

    // Put back, then swapped while the question is on screen: the folder asked about is
    // the only one that may go, and it is no longer at that name.
    ASSERT_TRUE(QFile::remove(root + QStringLiteral("/docs")));
    ASSERT_TRUE(QDir().rename(root + QStringLiteral("/docs.real"), root + QStringLiteral("/docs")));
    {
        AlertAnswers answers([&](const QMAlertRequest &request) {
            if (request.objectName == QLatin1String("QMRemoveFolderAlert")) {
                QDir().rename(root + QStringLiteral("/docs/Projects"), root + QStringLiteral("/docs/Projects.real"));
                QFile::link(outside + QStringLiteral("/Projects"), root + QStringLiteral("/docs/Projects"));
            }
            return 1;
        });
        remove->trigger();
        ASSERT_EQ(answers.asked.size(), 2);
        EXPECT_EQ(answers.asked.last().objectName, QStringLiteral("QMRemoveFolderRefusedAlert"));
    }
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/docs/Projects")).isSymLink());
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/Projects/precious")));
    EXPECT_TRUE(QFile::exists(root + QStringLiteral("/docs/Projects.real/draft")));
}
