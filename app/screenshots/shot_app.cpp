// Renders the main window into PNG files for the documentation: three RAM disks (not
// created, mounted at about 40 %, busy creating) in a light and a dark palette, the list's
// context menu, and the licence window. Run by `make screenshots` with a temporary HOME.
#include "AppController.h"
#include "QMLicenseAgreement.h"
#include "QMMainWindow.h"
#include "QMRamDiskManager.h"
#include "QMTranslations.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskConfigBarView.h"
#include "RamDiskConfigController.h"
#include "RamDiskListModel.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPainter>
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
    build->setDeviceNode(QStringLiteral("/dev/loop7"));
    build->setVolSize(2048000000ULL);
    build->setVolFree(1228800000ULL); // 40 % used

    QMRamDisk::Ptr scratch = entries->addRamDisk();
    scratch->setName(QStringLiteral("Scratch"));
    scratch->setSize(1024000000ULL);
    scratch->setMountDirectory(home);

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
        unpopulate(app);
    }
    return ok ? 0 : 1;
}
