#include "QMAlert.h"
#include "QMCriticalAlert.h"
#include "QMFileChooser.h"
#include "QMWorkspaceIcons.h"
#include "QMError.h"
#include "QMLog.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {
QMessageBox *findBox(const QString &name)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->objectName() == name && box->isVisible())
            return box;
    return nullptr;
}

QAbstractButton *buttonWithText(QMessageBox *box, const QString &text)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == text)
            return b;
    return nullptr;
}

struct QuietLog
{
    QuietLog() { previous = QMLog::setSink([](const QString &) {}); }
    ~QuietLog() { QMLog::setSink(previous); }
    QMLog::Sink previous;
};
} // namespace

TEST(QMCriticalAlert, WorkerThreadWaitsUntilTheAlertIsDismissed)
{
    QuietLog quiet;
    QMCriticalAlert::install();
    std::atomic<bool> returned{false};
    QStringList seen;
    std::thread worker([&] {
        QM_CriticalException("QMRamDisk", "uuid==NULL");
        returned = true;
    });

    // Answer the alert from the main thread's event loop, checking that the worker still waits.
    bool workerWasWaiting = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QMessageBox *box = findBox(QStringLiteral("QMCriticalAlert"));
        if (!box)
            return;
        workerWasWaiting = !returned.load();
        seen << box->text() << box->informativeText() << box->detailedText();
        seen << box->defaultButton()->text();
        QStringList buttons;
        for (QAbstractButton *b : box->buttons())
            buttons << b->text();
        buttons.sort();
        seen << buttons;
        buttonWithText(box, QStringLiteral("OK"))->click();
    });
    poll.start(20);
    while (!returned.load())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    worker.join();
    QMLog::setCriticalAlertHandler(nullptr);

    EXPECT_TRUE(workerWasWaiting);
    ASSERT_EQ(seen.size(), 8);
    EXPECT_EQ(seen[0], QStringLiteral("An critical error occurred with test_foundation_ui.\nPlease, contact Support."));
    // The failed condition is for support: behind the details, never in the text people read.
    EXPECT_FALSE(seen[1].contains(QStringLiteral("uuid")) || seen[1].contains(QStringLiteral("operator()"))) << seen[1].toStdString();
    EXPECT_TRUE(seen[1].contains(QStringLiteral("crash report"))) << seen[1].toStdString();
    EXPECT_TRUE(seen[2].startsWith(QStringLiteral("[QMRamDisk operator() ")));
    EXPECT_TRUE(seen[2].endsWith(QStringLiteral("]\nuuid==NULL")));
    EXPECT_EQ(seen[3], QStringLiteral("Send Crash Report")); // the default button
    // With the toolkit's own "Show Details…" button.
    EXPECT_TRUE(seen.mid(4).contains(QStringLiteral("Contact Support")));
    EXPECT_TRUE(seen.mid(4).contains(QStringLiteral("OK")));
}

TEST(QMCriticalAlert, SendCrashReportCallsTheRegisteredReporterWithMode2)
{
    QuietLog quiet;
    int mode = -1;
    QMLog::setCrashReporterHook([&](int m) { mode = m; });
    QTimer::singleShot(50, [] {
        if (QMessageBox *box = findBox(QStringLiteral("QMCriticalAlert")))
            buttonWithText(box, QStringLiteral("Send Crash Report"))->click();
    });
    EXPECT_EQ(QMCriticalAlert::show(QStringLiteral("title"), QStringLiteral("text")), QMCriticalAlert::SendCrashReport);
    EXPECT_EQ(mode, 2);
    QMLog::setCrashReporterHook(nullptr);
}

TEST(QMErrorPresentation, SheetOnAVisibleWindowElseApplicationModal)
{
    QuietLog quiet;
    const auto e = QMError::errorWithMessage(QStringLiteral("Unable to create RamDisk"), QString(),
                                             QMError::errorWithMessage(QStringLiteral("Device busy"), QString()));
    QMainWindow window;
    window.show();
    e->presentWIthTitle(QString(), &window); // returns at once: a sheet
    auto *sheet = window.findChild<QMessageBox *>(QStringLiteral("QMErrorAlert"));
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->text(), QStringLiteral("Unable to create RamDisk."));
    EXPECT_TRUE(sheet->informativeText().startsWith(QStringLiteral("Device busy.\n\n"))) << sheet->informativeText().toStdString();
    ASSERT_NE(sheet->defaultButton(), nullptr);
    EXPECT_EQ(sheet->defaultButton()->text(), QStringLiteral("OK"));
    sheet->defaultButton()->click();

    // Hidden window: application-modal, the call returns when it is dismissed.
    window.hide();
    bool shownModal = false;
    QTimer::singleShot(50, [&] {
        if (QMessageBox *box = findBox(QStringLiteral("QMErrorAlert"))) {
            shownModal = box->windowModality() == Qt::ApplicationModal && box->text() == QStringLiteral("Title.");
            box->defaultButton()->click();
        }
    });
    e->presentWIthTitle(QStringLiteral("Title"), &window);
    EXPECT_TRUE(shownModal);
}

TEST(QMErrorPresentation, TheAlertSaysWhatHappenedAndWhatToDoInWordsAndKeepsTheConditionsForTheDetails)
{
    QuietLog quiet;
    QMAlertRequest shown;
    const auto previous = QMAlert::setHook([&](const QMAlertRequest &r) {
        shown = r;
        return 0;
    });
    // As the device layer raises it when the disk tool refuses, wrapped by the action.
    const QString reason = qm_detail::methodLine("attachDeviceWithSize", 207, QStringLiteral("QMRamDiskDevice"),
                                                 QStringLiteral("executeCommand==NO"));
    const auto device = QMError::errorWithMessage(QStringLiteral("Unable to create RamDisk"), reason,
                                                  QStringLiteral("hdiutil: no free loop device\n"));
    const auto action = QMError::errorWithMessage(
        QStringLiteral("Unable to create RamDisk"),
        qm_detail::methodLine("createRamDisk", 120, QStringLiteral("<QMRamDisk>"), QStringLiteral("deviceNode==nil")),
        device);
    for (const QString &title : {QString(), QStringLiteral("Unable to eject RamDisk")}) {
        action->presentWIthTitle(title, nullptr);
        const QString words = shown.messageText + QLatin1Char('\n') + shown.informativeText;
        for (const char *internal : {"attachDeviceWithSize", "createRamDisk", "QMRamDisk", "207", "==", "hdiutil", "nil"})
            EXPECT_FALSE(words.contains(QLatin1String(internal))) << internal << " in:\n" << words.toStdString();
        // The tool's own words stay, and so does what to do.
        EXPECT_TRUE(words.contains(QStringLiteral("no free loop device."))) << words.toStdString();
        EXPECT_TRUE(words.contains(QStringLiteral("then create the RAM disk again"))) << words.toStdString();
        for (const char *detail : {"attachDeviceWithSize(207)", "executeCommand==NO", "deviceNode==nil",
                                   "hdiutil: no free loop device"})
            EXPECT_TRUE(shown.detailedText.contains(QLatin1String(detail))) << detail;
    }

    // A message nothing more is known of still tells what to do.
    QMError::errorWithMessage(QStringLiteral("Unable to get mount point"), reason, QStringLiteral("path==nil"))
        ->presentWIthTitle(QString(), nullptr);
    EXPECT_TRUE(shown.informativeText.startsWith(QStringLiteral("Try again."))) << shown.informativeText.toStdString();
    EXPECT_FALSE(shown.informativeText.contains(QStringLiteral("=="))) << shown.informativeText.toStdString();
    QMAlert::setHook(previous);
}

#include "QMAppInLoginItem.h"
#include "QMSharedLoginItems.h"

#include <QDir>
#include <QFile>

TEST(QMAppInLoginItem, StatusFollowsTheAutostartEntry)
{
    QuietLog quiet;
    EXPECT_EQ(QMAppInLoginItem::loginItemStatus(), 0);
    QMAppInLoginItem::setIsLoginItem(true, nullptr);
    EXPECT_EQ(QMAppInLoginItem::loginItemStatus(), 1);
    const QStringList entries = QDir(QMSharedLoginItems::autostartDirectory()).entryList({QStringLiteral("*.desktop")});
    ASSERT_EQ(entries.size(), 1);
    QFile f(QMSharedLoginItems::autostartDirectory() + QLatin1Char('/') + entries.first());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains(QFile::encodeName(QCoreApplication::applicationFilePath())));
    f.close();
    QMAppInLoginItem::setIsLoginItem(true, nullptr); // twice is still one entry
    EXPECT_EQ(QDir(QMSharedLoginItems::autostartDirectory()).entryList({QStringLiteral("*.desktop")}).size(), 1);
    QMAppInLoginItem::setIsLoginItem(false, nullptr);
    EXPECT_EQ(QMAppInLoginItem::loginItemStatus(), 0);
}

TEST(QMAppInLoginItem, HowToIsASheetOnAShownWindow)
{
    QuietLog quiet;
    QMainWindow window;
    window.show();
    QMAppInLoginItem::showHowTo(&window);
    auto *box = window.findChild<QMessageBox *>(QStringLiteral("QMAppInLoginItemHowTo"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), QStringLiteral("Relaunch test_foundation_ui on Login."));
    ASSERT_NE(box->defaultButton(), nullptr);
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("OK"));
    box->defaultButton()->click();
}

TEST(QMAlert, TheHookAnswersModalAlertsAndSheetsLikeAUser)
{
    QStringList asked;
    const auto previous = QMAlert::setHook([&](const QMAlertRequest &r) {
        asked << r.objectName;
        return 1;
    });
    QMAlertRequest request;
    request.objectName = QStringLiteral("first");
    request.buttons = {QStringLiteral("Cancel"), QStringLiteral("Eject and Remove")};
    EXPECT_EQ(QMAlert::runModal(request), 1);

    // A sheet's completion never runs inside the call, as on screen.
    QMainWindow window;
    window.show();
    request.objectName = QStringLiteral("sheet");
    request.window = &window;
    int answered = -1;
    QMAlert::beginSheet(request, [&](int button) { answered = button; });
    EXPECT_EQ(answered, -1);
    EXPECT_TRUE(QMTest::waitUntil([&] { return answered == 1; }));
    EXPECT_EQ(asked, (QStringList{QStringLiteral("first"), QStringLiteral("sheet")}));
    QMAlert::setHook(previous);
}

TEST(QMAlert, FirstButtonIsDefaultAndCancelAnswersEscape)
{
    QMAlertRequest request;
    request.buttons = {QStringLiteral("Cancel"), QStringLiteral("Eject and Remove")};
    std::unique_ptr<QMessageBox> box(QMAlert::makeBox(request, nullptr));
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(box->escapeButton()->text(), QStringLiteral("Cancel"));
    request.buttons = {QStringLiteral("Go to Quilmo Website"), QStringLiteral("Quit")};
    box.reset(QMAlert::makeBox(request, nullptr));
    EXPECT_EQ(box->escapeButton()->text(), QStringLiteral("Quit"));
}

TEST(QMFileChooser, ARefusedChoiceIsToldAndAskedAgain)
{
    QStringList refusals;
    const auto previousAlert = QMAlert::setHook([&](const QMAlertRequest &r) {
        refusals << r.objectName + QLatin1Char(':') + r.messageText;
        return 0;
    });
    QStringList answers{QStringLiteral("/plain"), QStringLiteral("/volume")};
    const auto previous = QMFileChooser::setHook([&](const QMFileChooserRequest &) { return answers.takeFirst(); });
    QMFileChooserRequest request;
    request.validate = [](const QString &path, QString *message) {
        *message = QStringLiteral("The selection is not a mounted volume.");
        return path == QLatin1String("/volume");
    };
    QString chosen;
    bool done = false;
    QMFileChooser::open(request, [&](const QString &path) {
        chosen = path;
        done = true;
    });
    ASSERT_TRUE(QMTest::waitUntil([&] { return done; }));
    EXPECT_EQ(chosen, QStringLiteral("/volume"));
    EXPECT_EQ(refusals, QStringList{QStringLiteral("QMFileChooserRefusal:The selection is not a mounted volume.")});
    QMFileChooser::setHook(previous);
    QMAlert::setHook(previousAlert);
}

TEST(QMFileChooser, TheRealDialogStaysOpenOnARefusedAccept)
{
    const auto previousAlert = QMAlert::setHook([](const QMAlertRequest &) { return 0; });
    QMFileChooserRequest request;
    request.directory = QMTest::testHome();
    request.validate = [](const QString &, QString *message) {
        *message = QStringLiteral("no");
        return false;
    };
    std::unique_ptr<QFileDialog> dialog(QMFileChooser::makeDialog(request, nullptr));
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    dialog->show();
    dialog->selectFile(QMTest::testHome());
    static_cast<QDialog *>(dialog.get())->accept(); // what the accept button does
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);
    QMAlert::setHook(previousAlert);
}

TEST(QMWorkspaceIcons, EveryTypeCodeGivesAnIconOfTheSizeAsked)
{
    for (const char *code : {"rmov", "ejec", "FNDR", "burn", "ftrh", "????"}) {
        const QIcon icon = wsIconForFileHFSType(QString::fromLatin1(code), 16);
        ASSERT_FALSE(icon.isNull()) << code;
        const QPixmap pixmap = icon.pixmap(16, 16);
        EXPECT_FALSE(pixmap.isNull()) << code;
        EXPECT_LE(pixmap.width(), 16) << code;
    }
    EXPECT_EQ(wsThemeIconNameForFileHFSType(QStringLiteral("ejec")), QStringLiteral("media-eject"));
    EXPECT_TRUE(wsThemeIconNameForFileHFSType(QStringLiteral("????")).isEmpty());
}
