// The post-command sheet and its path field: real scripts in a temporary folder, run
// through the command runner on a worker thread, answered through the alert seam.
#include "AppTestSupport.h"
#include "PostCmdField.h"
#include "PostCmdWindowController.h"
#include "QMLog.h"
#include "QMSegmentedControl.h"
#include "QMSpinner.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTranslations.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QPushButton>
#include <QStringListModel>
#include <QTableView>

using namespace QMAppTest;

namespace {

class PostCmdSheetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QMTranslations::installTranslations();
        window.resize(600, 400);
        window.show();
        ramDisk = QMRamDisk::create();
        ramDisk->setName(QStringLiteral("Disk"));
        sheet = new PostCmdWindowController(&window);
    }
    void TearDown() override
    {
        // A test still running reports to nobody once the sheet is gone.
        delete sheet;
    }

    template<typename T>
    T *child(const char *name) const
    {
        T *c = sheet->findChild<T *>(QString::fromLatin1(name));
        EXPECT_TRUE(c) << name;
        return c;
    }
    QAbstractItemModel *rows() const { return child<QTableView>("mTableView")->model(); }
    QString script(const QString &name, const QString &body) { return QMTest::writeScript(dir.path(), name, body); }
    void typePath(const QString &path)
    {
        auto *field = child<PostCmdField>("mPathField");
        field->setText(path);
        emit field->textEdited(path);
    }

    QMTemporaryDir dir;
    QMainWindow window;
    QMRamDisk::Ptr ramDisk;
    PostCmdWindowController *sheet = nullptr;
};

} // namespace

TEST_F(PostCmdSheetTest, ThePathIsColouredByWhyItCannotRun)
{
    PostCmdField field;
    const QColor normal = field.palette().color(QPalette::Active, QPalette::Text);
    field.updateUIStatus();
    EXPECT_TRUE(field.errorReason().isNull()) << "an empty path is no error";
    EXPECT_EQ(field.palette().color(QPalette::Active, QPalette::Text), normal);
    EXPECT_TRUE(field.toolTip().isEmpty());
    EXPECT_EQ(field.placeholderText(), QStringLiteral("Path of command (or shell script)"));

    QFile plain(dir.filePath(QStringLiteral("notes.txt")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QList<std::pair<QString, QString>> refused = {
        {dir.path(), QStringLiteral("The command file can not be a directory")},
        {plain.fileName(), QStringLiteral("The file path is not executable")},
        {dir.filePath(QStringLiteral("missing")), QStringLiteral("The command file does not exist")},
    };
    for (const auto &[path, reason] : refused) {
        field.setText(path);
        field.updateUIStatus();
        EXPECT_EQ(field.errorReason(), reason);
        EXPECT_EQ(field.toolTip(), reason);
        EXPECT_EQ(field.palette().color(QPalette::Active, QPalette::Text), PostCmdField::errorColor(field.palette()));
        EXPECT_NE(PostCmdField::errorColor(field.palette()), normal);
    }
    field.setText(script(QStringLiteral("ok.sh"), QStringLiteral("exit 0\n")));
    field.updateUIStatus();
    EXPECT_TRUE(field.errorReason().isNull());
    EXPECT_EQ(field.palette().color(QPalette::Active, QPalette::Text), normal);
}

TEST_F(PostCmdSheetTest, ArgumentsAreStoredTrimmedWithoutEmptyRowsOrNotAtAll)
{
    auto *segments = child<QMSegmentedControl>("mPlusMinusSegControl");
    auto *table = child<QTableView>("mTableView");
    sheet->beginSheetForWindow(&window, ramDisk);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(rows()->rowCount(), 0);
    EXPECT_FALSE(segments->isEnabledForSegment(1)) << "nothing selected";

    // Add: a new row, selected, opened for typing a moment later.
    segments->performClick(0);
    ASSERT_EQ(rows()->rowCount(), 1);
    EXPECT_TRUE(table->selectionModel()->isRowSelected(0, QModelIndex()));
    EXPECT_TRUE(segments->isEnabledForSegment(1));
    EXPECT_TRUE(QMTest::waitUntil([&] { return table->indexWidget(rows()->index(0, 0)) != nullptr; }, 3000))
        << "the row is edited";
    table->closePersistentEditor(rows()->index(0, 0));
    EXPECT_TRUE(rows()->setData(rows()->index(0, 0), QStringLiteral(" -v ")));
    // An empty edit leaves the row as it was.
    EXPECT_FALSE(rows()->setData(rows()->index(0, 0), QString()));
    EXPECT_EQ(rows()->index(0, 0).data().toString(), QStringLiteral(" -v "));
    segments->performClick(0);
    segments->performClick(0);
    ASSERT_EQ(rows()->rowCount(), 3);
    EXPECT_EQ(sheet->argumentsFromObjectList(), QStringList{QStringLiteral("-v")});

    child<QPushButton>("mOkButton")->click();
    EXPECT_FALSE(sheet->isVisible());
    ASSERT_TRUE(ramDisk->postCmdArgs().has_value());
    EXPECT_EQ(*ramDisk->postCmdArgs(), QStringList{QStringLiteral("-v")});

    // Again: the stored list comes back; removing every row stores none at all.
    ramDisk->setPostCmdArgs(QStringList{QStringLiteral("a"), QStringLiteral("b")});
    sheet->beginSheetForWindow(&window, ramDisk);
    ASSERT_EQ(sheet->objectList(), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
    EXPECT_FALSE(segments->isEnabledForSegment(1));
    segments->performClick(1);
    EXPECT_EQ(rows()->rowCount(), 2) << "no selection, nothing removed";
    for (int i = 0; i < 2; ++i) {
        table->selectRow(0);
        EXPECT_TRUE(segments->isEnabledForSegment(1));
        segments->performClick(1);
    }
    EXPECT_EQ(rows()->rowCount(), 0);
    EXPECT_FALSE(segments->isEnabledForSegment(1));
    // Closing the sheet is the same as OK: there is no cancel.
    sheet->reject();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(ramDisk->postCmdArgs().has_value());
}

TEST_F(PostCmdSheetTest, PathEditsAndTheChooserTakeEffectAtOnce)
{
    sheet->beginSheetForWindow(&window, ramDisk);
    typePath(QStringLiteral("true"));
    EXPECT_EQ(child<PostCmdField>("mPathField")->text(), QStringLiteral("/usr/bin/true"));
    EXPECT_EQ(ramDisk->postCmd(), QStringLiteral("/usr/bin/true"));

    const QString good = script(QStringLiteral("post.sh"), QStringLiteral("exit 0\n"));
    AlertAnswers alerts(QStringLiteral("OK"));
    {
        ChooserAnswers answers({dir.path(), good});
        child<QPushButton>("mPathChooseButton")->click();
        QMTest::waitUntil([&] { return ramDisk->postCmd() == good; });
        ASSERT_EQ(answers.requests().size(), 2);
        EXPECT_FALSE(answers.requests().first().chooseDirectories) << "files only";
        EXPECT_TRUE(answers.requests().first().showHidden);
    }
    ASSERT_EQ(alerts.requests().size(), 1);
    EXPECT_EQ(alerts.requests().first().messageText, QStringLiteral("The command file can not be a directory"));
    EXPECT_EQ(ramDisk->postCmd(), good);
    EXPECT_EQ(child<PostCmdField>("mPathField")->text(), good);
}

TEST_F(PostCmdSheetTest, TestRunsReportTheirOutputAndStatus)
{
    const QString volume = dir.filePath(QStringLiteral("volume"));
    ASSERT_TRUE(QDir().mkpath(volume));
    ramDisk->setPath(volume);
    AlertAnswers alerts(QStringLiteral("OK"));
    auto run = [&](const QString &command, const QStringList &args = {}) -> QMAlertRequest {
        ramDisk->setPostCmd(command);
        ramDisk->setPostCmdArgs(args.isEmpty() ? std::nullopt : std::optional<QStringList>(args));
        sheet->beginSheetForWindow(&window, ramDisk);
        const qsizetype before = alerts.requests().size();
        child<QPushButton>("mTestButton")->click();
        EXPECT_TRUE(QMTest::waitUntil([&] { return alerts.requests().size() > before; }, 10000));
        EXPECT_FALSE(sheet->isTesting());
        return alerts.requests().isEmpty() ? QMAlertRequest() : alerts.requests().last();
    };

    QMAlertRequest alert = run(script(QStringLiteral("quiet.sh"), QStringLiteral("exit 0\n")));
    EXPECT_EQ(alert.objectName, QStringLiteral("PostCmdTestAlert"));
    EXPECT_EQ(alert.messageText, QStringLiteral("Terminated with status: 0"));
    EXPECT_EQ(alert.outputText, QStringLiteral("OUTPUT:\n<nothing>\n\nERROR:\n<nothing>\n"));
    EXPECT_EQ(alert.window, sheet);

    // Arguments as stored (trimmed), the RAM disk's folder, both streams, the status.
    alert = run(QStringLiteral("  ") + script(QStringLiteral("loud.sh"),
                                              QStringLiteral("echo \"$1|$2|$(pwd)\"\necho oops >&2\nexit 3\n")),
                {QStringLiteral(" -v "), QString(), QStringLiteral("two words")});
    EXPECT_EQ(alert.messageText, QStringLiteral("Terminated with status: 3"));
    EXPECT_EQ(alert.outputText,
              QStringLiteral("OUTPUT:\n-v|two words|%1\n\n\nERROR:\noops\n\n").arg(QFileInfo(volume).canonicalFilePath()));

    // However long the output, the result is a box of a bounded size whose text scrolls,
    // in a fixed-width font.
    alert = run(QStringLiteral("/usr/bin/seq"), {QStringLiteral("300")});
    ASSERT_TRUE(alert.outputText.contains(QStringLiteral("\n300\n")));
    std::unique_ptr<QMessageBox> box(QMAlert::makeBox(alert, &window));
    box->show();
    auto *text = box->findChild<QPlainTextEdit *>(QStringLiteral("outputText"));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->toPlainText(), alert.outputText);
    EXPECT_TRUE(text->isReadOnly());
    EXPECT_TRUE(QFontInfo(text->font()).fixedPitch());
    EXPECT_TRUE(text->verticalScrollBar()->maximum() > 0) << "the rest scrolls";
    EXPECT_LE(box->height(), box->screen()->availableSize().height());
    EXPECT_LE(box->width(), box->screen()->availableSize().width());
    QPushButton *ok = box->findChild<QPushButton *>();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_GT(ok->mapTo(box.get(), QPoint(0, 0)).y(), text->mapTo(box.get(), QPoint(0, 0)).y()) << "under the text";
    EXPECT_TRUE(box->rect().contains(QRect(ok->mapTo(box.get(), QPoint(0, 0)), ok->size())));

    alert = run(dir.filePath(QStringLiteral("missing")));
    EXPECT_EQ(alert.messageText, QStringLiteral("Unable to start post-command"));
    EXPECT_TRUE(alert.informativeText.contains(QStringLiteral("is executable"))) << alert.informativeText.toStdString();
    EXPECT_TRUE(child<QPushButton>("mOkButton")->isEnabled()) << "the testing state is left";
}

TEST_F(PostCmdSheetTest, TheSheetIsLockedWhileATestRunsAndClosingItDropsTheResult)
{
    const QString marker = dir.filePath(QStringLiteral("done"));
    ramDisk->setPostCmd(script(QStringLiteral("slow.sh"), QStringLiteral("sleep 0.6\ntouch '%1'\n").arg(marker)));
    ramDisk->setPath(dir.path());
    AlertAnswers alerts(QStringLiteral("OK"));
    sheet->beginSheetForWindow(&window, ramDisk);
    child<QPushButton>("mTestButton")->click();
    EXPECT_TRUE(sheet->isTesting());
    EXPECT_TRUE(child<QMSpinner>("mTestIndicator")->isAnimating());
    for (const char *name : {"mTestButton", "mOkButton", "mPathChooseButton", "mTableView", "mPlusMinusSegControl"})
        EXPECT_FALSE(child<QWidget>(name)->isEnabled()) << name;
    EXPECT_FALSE(rows()->flags(rows()->index(0, 0)) & Qt::ItemIsEditable);

    sheet->reject();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(sheet->isTesting());
    ASSERT_TRUE(QMTest::waitUntil([&] { return QFileInfo::exists(marker); }, 10000));
    // A second run, started after the first ended, reports: the first one's turn has come.
    ramDisk->setPostCmd(QStringLiteral("/usr/bin/true"));
    sheet->beginSheetForWindow(&window, ramDisk);
    child<QPushButton>("mTestButton")->click();
    ASSERT_TRUE(QMTest::waitUntil([&] { return !alerts.asked().isEmpty(); }, 10000));
    EXPECT_EQ(alerts.requests().size(), 1) << "a result from a closed sheet is dropped";
    EXPECT_EQ(alerts.requests().first().messageText, QStringLiteral("Terminated with status: 0"));
    sheet->reject();
    ramDisk->setPostCmd(script(QStringLiteral("slow.sh"), QStringLiteral("sleep 0.6\ntouch '%1'\n").arg(marker)));

    // The sheet itself may go while a test runs.
    QFile::remove(marker);
    sheet->beginSheetForWindow(&window, ramDisk);
    child<QPushButton>("mTestButton")->click();
    delete sheet;
    sheet = nullptr;
    ASSERT_TRUE(QMTest::waitUntil([&] { return QFileInfo::exists(marker); }, 10000));
    // The run's thread hands its result over after the marker: once the events it may have
    // queued are through, nothing was asked.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(alerts.requests().size(), 1);
}

TEST_F(PostCmdSheetTest, WithoutAWindowTheSheetDoesNotOpen)
{
    QStringList lines;
    QMLog::Sink previous = QMLog::setSink([&](const QString &line) { lines << line; });
    sheet->beginSheetForWindow(nullptr, ramDisk);
    QMLog::setSink(previous);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_TRUE(lines.join(u'\n').contains(QStringLiteral("window==nil"))) << lines.join(u'\n').toStdString();
}
