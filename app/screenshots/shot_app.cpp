// Renders the main window into PNG files for the documentation: three RAM disks (not
// created, mounted at about 40 %, busy creating) in a light and a dark palette, the list's
// context menu, the editor pane of each of the three, the post-command sheet and a long
// result of its test, the preferences, About and licence windows, and the window at its
// narrowest. Run by `make screenshots` with a temporary HOME.
#include "AppController.h"
#include "PostCmdWindowController.h"
#include "PostCommandTextField.h"
#include "PreferencesController.h"
#include "QMAboutWindow.h"
#include "QMAlert.h"
#include "QMLicenseAgreement.h"
#include "QMMainWindow.h"
#include "QMRamDiskManager.h"
#include "QMTranslations.h"
#include "QMWindowTitle.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskConfigBarView.h"
#include "RamDiskConfigController.h"
#include "RamDiskListModel.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QMenu>
#include <QPainter>
#include <QSlider>
#include <QStyleFactory>
#include <QTableView>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace {

QPalette darkPalette()
{
    QPalette p;
    const QColor window(45, 45, 48), base(32, 32, 34), text(230, 230, 230), button(58, 58, 62);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, button);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, QColor(42, 110, 200));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Light, button.lighter(130));
    p.setColor(QPalette::Midlight, button.lighter(115));
    p.setColor(QPalette::Mid, button.darker(120));
    p.setColor(QPalette::Dark, button.darker(160));
    p.setColor(QPalette::Shadow, Qt::black);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(120, 120, 120));
    return p;
}

void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
    }
}

bool save(const QPixmap &pixmap, const QString &dir, const QString &name)
{
    const QString path = dir + QLatin1Char('/') + name;
    if (!pixmap.save(path)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The three RAM disks of the pictures, with live states set by hand (no devices are made).
void populate(RamDiskConfigController *controller)
{
    QMRamDiskEntries *entries = controller->ramDiskEntries();
    entries->setUpdator(false);
    controller->stopAutoUpdateUI();
    // A mount place the creation check accepts (the temporary home of `make screenshots`
    // lies in /tmp, which it refuses), so the commands show as a user sees them.
    QString home = QDir::homePath();
    QString why;
    if (QMRamDiskManager::canUseMountDirectory(QStringLiteral("/mnt"), QStringLiteral("Build Cache"), 0, &why))
        home = QStringLiteral("/mnt");

    QMRamDisk::Ptr build = entries->addRamDisk();
    build->setName(QStringLiteral("Build Cache"));
    build->setSize(2048000000ULL);
    build->setMountDirectory(home);
    build->setStatus(QMRamDiskStatus_mounted);
    build->setPath(home + QStringLiteral("/Build Cache"));
    build->setDeviceNode(QStringLiteral("quilmo-ram7")); // a memory instance: it can be resized
    build->setVolSize(2048000000ULL);
    build->setVolFree(1228800000ULL); // 40 % used
    // Backed up on a schedule, the last save a few minutes ago.
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    build->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    build->setAutoSaveInterval(QMRamDisk::defaultAutoSaveInterval);
    build->setLastSaveDate(now - 185);

    QMRamDisk::Ptr scratch = entries->addRamDisk();
    scratch->setName(QStringLiteral("Scratch"));
    scratch->setSize(1024000000ULL);
    scratch->setMountDirectory(home);
    scratch->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    scratch->setAutoSaveInterval(30 * 60);
    scratch->setLastSaveDate(now - 26 * 3600); // ejected yesterday
    // A post command with arguments, for the pane and its sheet.
    scratch->setPostCmd(QStringLiteral("/usr/bin/mkdir"));
    scratch->setPostCmdArgs(QStringList{QStringLiteral("-p"), QStringLiteral("objects/debug")});

    QMRamDisk::Ptr downloads = entries->addRamDisk();
    downloads->setName(QStringLiteral("Downloads"));
    downloads->setSize(512000000ULL);
    downloads->setMountDirectory(home);
    downloads->setAction(QMRamDiskAction_create);
    downloads->setLastActionInfo(QMRamDiskActionInfo_creatingNewFileSystem);

    controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskList);
}

// The busy RAM disk runs no real action: it is made idle again before the window goes, or
// the window would wait for it.
void unpopulate(AppController &app)
{
    for (const QMRamDisk::Ptr &r : app.ramDiskConfigController()->ramDiskEntries()->ramDisks())
        r->setAction(QMRamDiskAction_none);
}

// A window with a plain title bar above it, its title as the window manager gets it, cut
// with "…" where it would not fit beside three buttons: a title that is cut shows.
QPixmap withTitleBar(QWidget *window)
{
    const QPixmap body = window->grab();
    QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int barHeight = metrics.height() + 12;
    const int buttons = 3 * barHeight;
    QPixmap shot(body.width(), body.height() + barHeight);
    shot.fill(window->palette().color(QPalette::Window));
    QPainter p(&shot);
    p.fillRect(QRect(0, 0, shot.width(), barHeight), window->palette().color(QPalette::Mid));
    p.setFont(font);
    p.setPen(window->palette().color(QPalette::WindowText));
    const QString title = metrics.elidedText(QMWindowTitle::shownTitle(window), Qt::ElideMiddle, shot.width() - buttons - 16);
    p.drawText(QRect(8, 0, shot.width() - buttons - 16, barHeight), Qt::AlignCenter, title);
    // Close, maximise and minimise, right to left, as most Linux window managers draw them.
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 3; ++i) {
        const QRectF box(shot.width() - (i + 1) * barHeight + 8, 8, barHeight - 16, barHeight - 16);
        if (i == 0) {
            p.drawLine(box.topLeft(), box.bottomRight());
            p.drawLine(box.topRight(), box.bottomLeft());
        } else if (i == 1) {
            p.drawRect(box);
        } else {
            p.drawLine(box.bottomLeft(), box.bottomRight());
        }
    }
    p.drawPixmap(0, barHeight, body);
    return shot;
}

QPixmap grabWindow(AppController &app)
{
    QMMainWindow *window = app.mainWindow();
    window->activateWindow();
    settle();
    return window->grab();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilmo"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quilmo"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QMTranslations::installTranslations();
    wsEnsureIconTheme();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(out);
    bool ok = true;

    QMLicenseAgreement::recordAnswer(true);
    {
        AppController app;
        app.setUpdateInfoURL(QUrl(QStringLiteral("http://127.0.0.1:9/quilmo.version"))); // no network
        app.applicationDidFinishLaunching();
        app.mainWindow()->resize(820, app.mainWindow()->height());
        populate(app.ramDiskConfigController());
        settle();
        ok = save(grabWindow(app), out, QStringLiteral("main-window.png")) && ok;

        // The context menu of the mounted RAM disk, over the window where it was opened.
        RamDiskConfigController *controller = app.ramDiskConfigController();
        controller->setSelectedRamDisk(controller->ramDiskEntries()->ramDisks().first());
        settle();
        QPixmap base = grabWindow(app);
        QTableView *table = controller->tableView();
        const QRect row = table->visualRect(controller->listModel()->index(0));
        const QPoint click = row.center() + QPoint(-20, 4);
        controller->setClickedRow(0);
        controller->menuNeedsUpdate(controller->tableMenu());
        controller->tableMenu()->popup(table->viewport()->mapToGlobal(click));
        settle();
        const QPixmap menu = controller->tableMenu()->grab();
        controller->tableMenu()->hide();
        const QPoint at = table->viewport()->mapTo(app.mainWindow(), click);
        QPixmap composed(std::max(base.width(), at.x() + menu.width() + 8),
                         std::max(base.height(), at.y() + menu.height() + 8));
        composed.fill(Qt::transparent);
        {
            QPainter p(&composed);
            p.drawPixmap(0, 0, base);
            p.drawPixmap(at, menu);
        }
        ok = save(composed, out, QStringLiteral("context-menu.png")) && ok;

        // The editor pane of each RAM disk: mounted, not created, busy creating.
        const QList<QMRamDisk::Ptr> ramDisks = controller->ramDiskEntries()->ramDisks();
        const char *paneShots[] = {"pane-mounted.png", "pane-not-created.png", "pane-busy.png"};
        for (int i = 0; i < 3 && i < ramDisks.size(); ++i) {
            controller->setSelectedRamDisk(ramDisks.at(i));
            controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
            ok = save(grabWindow(app), out, QString::fromLatin1(paneShots[i])) && ok;
        }
        // The mounted RAM disk with a larger size chosen on its slider, ready to resize.
        if (!ramDisks.isEmpty()) {
            controller->setSelectedRamDisk(ramDisks.first());
            controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
            if (auto *slider = app.mainWindow()->findChild<QSlider *>(QStringLiteral("rdSizeSlider")))
                slider->setValue(3072);
            settle();
            ok = save(grabWindow(app), out, QStringLiteral("pane-resize.png")) && ok;
        }

        // The post-command sheet of the RAM disk not created, over its window.
        controller->setSelectedRamDisk(ramDisks.at(1));
        controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
        settle();
        auto *field = app.mainWindow()->findChild<PostCommandTextField *>(QStringLiteral("rdPostCmdField"));
        if (field) {
            field->argsButton()->click();
            settle();
            if (auto *sheet = app.mainWindow()->findChild<PostCmdWindowController *>()) {
                const QPixmap window = grabWindow(app);
                const QPixmap grabbed = sheet->grab();
                QPixmap sheetShot(std::max(window.width(), grabbed.width()), std::max(window.height(), grabbed.height() + 40));
                sheetShot.fill(Qt::transparent);
                {
                    // Drawn as the sheet sits: centred under the window's top edge, the window dimmed.
                    QPainter p(&sheetShot);
                    p.drawPixmap(0, 0, window);
                    p.fillRect(window.rect(), QColor(0, 0, 0, 60));
                    p.drawPixmap((sheetShot.width() - grabbed.width()) / 2, 30, grabbed);
                }
                ok = save(sheetShot, out, QStringLiteral("post-command-sheet.png")) && ok;
                sheet->okButtonAction();
                settle();
            } else {
                std::fprintf(stderr, "the post-command sheet did not open\n");
                ok = false;
            }
        }

        // The preferences window (no helper runs here: its settings show locked).
        app.showPreferences();
        settle();
        if (PreferencesController *preferences = app.preferencesController()) {
            ok = save(withTitleBar(preferences), out, QStringLiteral("preferences.png")) && ok;
            preferences->hide();
        }

        // Help > About Quilmo.
        app.showAbout();
        settle();
        if (QMAboutWindow *about = app.aboutWindow()) {
            ok = save(withTitleBar(about), out, QStringLiteral("about.png")) && ok;
            about->hide();
        }

        // A post command that prints 300 lines, tested from the sheet.
        {
            QString output;
            for (int i = 1; i <= 300; ++i)
                output += QString::number(i) + QLatin1Char('\n');
            QMAlertRequest result;
            result.icon = QMessageBox::Information;
            result.messageText = QStringLiteral("Terminated with status: 0");
            result.outputText = PostCmdWindowController::reportFromOutput(output, QString());
            QMessageBox *box = QMAlert::makeBox(result, app.mainWindow());
            box->show();
            settle();
            ok = save(box->grab(), out, QStringLiteral("post-command-test-result.png")) && ok;
            delete box;
        }

        // The window at its narrowest: nothing cut, the bottom bar included.
        controller->setSelectedRamDisk(ramDisks.at(0));
        controller->updateUIWithOptions(RamDiskConfigController::UpdateEverything);
        app.mainWindow()->resize(app.mainWindow()->minimumWidth(), app.mainWindow()->height());
        settle();
        ok = save(grabWindow(app), out, QStringLiteral("main-window-narrowest.png")) && ok;
        unpopulate(app);
    }

    {
        QMLicenseAgreement license;
        license.setAsksForAgreement(true);
        license.show();
        settle();
        ok = save(license.grab(), out, QStringLiteral("license.png")) && ok;
    }

    QApplication::setPalette(darkPalette());
    {
        AppController app;
        app.setUpdateInfoURL(QUrl(QStringLiteral("http://127.0.0.1:9/quilmo.version"))); // no network
        app.applicationDidFinishLaunching();
        app.mainWindow()->resize(820, app.mainWindow()->height());
        populate(app.ramDiskConfigController());
        settle();
        ok = save(grabWindow(app), out, QStringLiteral("main-window-dark.png")) && ok;
        RamDiskConfigController *controller = app.ramDiskConfigController();
        controller->setSelectedRamDisk(controller->ramDiskEntries()->ramDisks().at(1));
        controller->updateUIWithOptions(RamDiskConfigController::UpdateRamDiskView);
        ok = save(grabWindow(app), out, QStringLiteral("pane-not-created-dark.png")) && ok;
        unpopulate(app);
    }
    return ok ? 0 : 1;
}
