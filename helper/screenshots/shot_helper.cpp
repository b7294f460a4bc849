// Renders the tray program's pictures into the directory given as the only argument: the
// root menu with three RAM disks, the first row hovered with the mouse and its submenu
// opened by it, one RAM disk's submenu, and the tray icon's looks.
// The mouse moves through the window system, as a real one does.
#define QTEST_QPA_MOUSE_HANDLING
#include "QMRamDiskEntries.h"
#include "QMTemporaryDir.h"
#include "QMTranslations.h"
#include "QMVolumeRoot.h"
#include "QMWorkspaceIcons.h"
#include "RamDiskMenuItemView.h"
#include "StatusItemView.h"
#include "StatusMenuController.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPainter>
#include <QElapsedTimer>
#include <QTest>
#include <QWidgetAction>

#include <cstdio>

namespace {

bool save(const QPixmap &pixmap, const QString &dir, const QString &name)
{
    const QString path = dir + u'/' + name;
    if (!pixmap.save(path)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The menu and its open submenu as they stand on the screen, on one picture.
QPixmap shownWithSubmenu(QMenu *menu, QMenu *submenu)
{
    const QRect outer = menu->geometry().united(submenu->geometry());
    QPixmap picture(outer.size());
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.drawPixmap(menu->geometry().topLeft() - outer.topLeft(), menu->grab());
    p.drawPixmap(submenu->geometry().topLeft() - outer.topLeft(), submenu->grab());
    return picture;
}

QPixmap shown(QMenu *menu, const QPoint &at)
{
    menu->popup(at);
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    return menu->grab();
}

// One look of the tray icon, enlarged four times, on a panel of the given colour.
QImage look(StatusItemView &view, const QColor &panel)
{
    const QImage icon = view.renderImage(QSize(22, 22), 2.0);
    QImage out(22 * 4 + 16, 22 * 4 + 16, QImage::Format_ARGB32);
    out.fill(panel);
    QPainter p(&out);
    p.drawImage(QRect(8, 8, 88, 88), icon);
    return out;
}

QPixmap trayLooks()
{
    const QPalette saved = QApplication::palette();
    struct Look
    {
        const char *label;
        qint64 style;
        bool dark, pressed, warn;
    };
    const Look looks[] = {
        {"Colour", 0, false, false, false},
        {"Monochrome, light panel", 1, false, false, false},
        {"Monochrome, dark panel", 1, true, false, false},
        {"Pressed (menu open)", 0, false, true, false},
        {"Warning (a RAM disk over 80 %)", 0, false, false, true},
    };
    const int cell = 22 * 4 + 16;
    const int labelHeight = 40;
    const int width = 170;
    QPixmap sheet(width * int(std::size(looks)), cell + labelHeight + 16);
    sheet.fill(saved.color(QPalette::Window));
    QPainter p(&sheet);
    int x = 0;
    for (const Look &l : looks) {
        QPalette palette = saved;
        const QColor panel = l.dark ? QColor(40, 40, 40) : QColor(236, 236, 236);
        palette.setColor(QPalette::Window, panel);
        QApplication::setPalette(palette);
        StatusItemView view(nullptr);
        view.setBadgeStyle(l.style);
        view.setIsPressed(l.pressed);
        view.setIsWarn(l.warn);
        p.drawImage(x + (width - cell) / 2, 8, look(view, panel));
        p.setPen(saved.color(QPalette::WindowText));
        p.drawText(QRect(x + 4, cell + 12, width - 8, labelHeight), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                   QString::fromUtf8(l.label));
        x += width;
    }
    QApplication::setPalette(saved);
    return sheet;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QMTranslations::installTranslations();
    wsEnsureIconTheme();

    // A volume to browse: an ordinary folder stands in for the mounted RAM disk. Its
    // mount directory must pass the checks a real one does, which refuse /tmp (where the
    // screenshot run keeps its home): /home is used where it may be written.
    const QString parent = QFileInfo(QStringLiteral("/home")).isWritable() ? QStringLiteral("/home") : QDir::homePath();
    QMTemporaryDir place(parent + QStringLiteral("/quilmo-shot-XXXXXX"));
    QMTemporaryDir volume(place.path() + QStringLiteral("/Scratch-XXXXXX"));
    QDir(volume.path()).mkpath(QStringLiteral("Downloads"));
    QDir(volume.path()).mkpath(QStringLiteral("Projects"));
    for (const char *name : {"notes.txt", "report.pdf", "photo.png", "build.log"}) {
        QFile f(volume.path() + u'/' + QLatin1String(name));
        f.open(QIODevice::WriteOnly);
    }

    StatusMenuController controller;
    QMRamDiskEntries *store = controller.ramDiskEntries();
    // The records are set up by hand: the refresh would read them back from the system.
    store->setUpdator(false);
    auto add = [&](const QString &name, qint64 status, double used, qint64 action, qint64 info) {
        QMRamDisk::Ptr r = store->addRamDisk();
        r->setName(name);
        r->setSize(1000000000);
        r->setMountDirectory(QFileInfo(volume.path()).path());
        r->setStatus(status);
        r->setVolSize(1000000000);
        r->setVolFree(static_cast<quint64>(1000000000 * (1 - used)));
        r->setBackupMode(1);
        r->setAction(action);
        r->setLastActionInfo(info);
        return r;
    };
    const QMRamDisk::Ptr scratch = add(QStringLiteral("Scratch"), 2, 0.40, 0, 0);
    scratch->setPath(volume.path());
    QMVolumeRoot::setStandInRootForTesting(volume.path());
    add(QStringLiteral("Builds"), 2, 0.87, 0, 0);
    // Busy: the menu keeps the list as it is while an action runs.
    add(QStringLiteral("Browser Cache"), 0, 0, 1, 5);
    controller.updateDiskWarning();

    QMenu *root = controller.rootMenu();
    bool ok = save(shown(root, QPoint(40, 30)), out, QStringLiteral("helper-menu.png"));

    // The first row highlighted, with its submenu beside it.
    QWidgetAction *row = nullptr;
    for (QAction *a : root->actions())
        if (a->objectName() == scratch->identifier())
            row = qobject_cast<QWidgetAction *>(a);
    if (row) {
        // The mouse on the row: highlighted, and its submenu open after the usual delay.
        QTest::mouseMove(root, root->actionGeometry(row).center());
        QElapsedTimer waited;
        waited.start();
        while (!row->menu()->isVisible() && waited.elapsed() < 5000)
            QTest::qWait(20);
        if (root->activeAction() == row && row->menu()->isVisible()) {
            for (int i = 0; i < 5; ++i)
                QApplication::processEvents();
            ok = save(shownWithSubmenu(root, row->menu()), out, QStringLiteral("helper-menu-hover.png")) && ok;
        } else {
            std::fprintf(stderr, "the hovered row did not open its submenu\n");
            ok = false;
        }
        row->menu()->hide();
        root->setActiveAction(row);
        ok = save(root->grab(), out, QStringLiteral("helper-menu-highlighted.png")) && ok;
        QMenu *submenu = row->menu();
        ok = save(shown(submenu, QPoint(320, 30)), out, QStringLiteral("helper-ramdisk-menu.png")) && ok;
        submenu->hide();
    } else {
        ok = false;
    }
    root->hide();
    for (const QMRamDisk::Ptr &r : store->ramDisks())
        r->setAction(0);

    ok = save(trayLooks(), out, QStringLiteral("helper-tray-icons.png")) && ok;
    return ok ? 0 : 1;
}
