#include "QMWorkspaceIcons.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

namespace {

// A plain glyph in the palette's text colour: the meaning stays readable in light and dark.
QIcon drawnFallback(const QString &typeCode, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
    p.setPen(QPen(ink, qMax(1.0, size / 12.0)));
    p.setBrush(Qt::NoBrush);
    const double s = size;
    if (typeCode == QLatin1String("ejec")) {
        QPainterPath triangle;
        triangle.moveTo(s * 0.5, s * 0.15);
        triangle.lineTo(s * 0.88, s * 0.58);
        triangle.lineTo(s * 0.12, s * 0.58);
        triangle.closeSubpath();
        p.fillPath(triangle, ink);
        p.fillRect(QRectF(s * 0.12, s * 0.7, s * 0.76, s * 0.14), ink);
    } else if (typeCode == QLatin1String("FNDR")) {
        p.drawRoundedRect(QRectF(s * 0.1, s * 0.25, s * 0.8, s * 0.6), s * 0.06, s * 0.06);
        p.drawLine(QPointF(s * 0.1, s * 0.38), QPointF(s * 0.9, s * 0.38));
        p.drawLine(QPointF(s * 0.15, s * 0.25), QPointF(s * 0.3, s * 0.15));
        p.drawLine(QPointF(s * 0.3, s * 0.15), QPointF(s * 0.45, s * 0.25));
    } else if (typeCode == QLatin1String("burn")) {
        p.drawArc(QRectF(s * 0.15, s * 0.15, s * 0.7, s * 0.7), 30 * 16, 300 * 16);
        QPainterPath head;
        head.moveTo(s * 0.86, s * 0.2);
        head.lineTo(s * 0.86, s * 0.42);
        head.lineTo(s * 0.64, s * 0.42);
        head.closeSubpath();
        p.fillPath(head, ink);
    } else if (typeCode == QLatin1String("ftrh")) {
        p.drawRect(QRectF(s * 0.22, s * 0.3, s * 0.56, s * 0.6));
        p.drawLine(QPointF(s * 0.12, s * 0.22), QPointF(s * 0.88, s * 0.22));
        p.drawLine(QPointF(s * 0.4, s * 0.12), QPointF(s * 0.6, s * 0.12));
        for (double x : {0.38, 0.5, 0.62})
            p.drawLine(QPointF(s * x, s * 0.4), QPointF(s * x, s * 0.8));
    } else { // "rmov" and anything else: a small drive
        p.drawRoundedRect(QRectF(s * 0.1, s * 0.3, s * 0.8, s * 0.4), s * 0.08, s * 0.08);
        p.setBrush(ink);
        p.drawEllipse(QPointF(s * 0.75, s * 0.5), s * 0.05, s * 0.05);
    }
    p.end();
    return QIcon(pixmap);
}

} // namespace

QString wsThemeIconNameForFileHFSType(const QString &typeCode)
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("rmov"), QStringLiteral("drive-removable-media")},
        {QStringLiteral("ejec"), QStringLiteral("media-eject")},
        {QStringLiteral("FNDR"), QStringLiteral("system-file-manager")},
        {QStringLiteral("burn"), QStringLiteral("view-refresh")},
        {QStringLiteral("ftrh"), QStringLiteral("user-trash-full")},
    };
    return names.value(typeCode);
}

QIcon wsIconForFileHFSType(const QString &typeCode, int size)
{
    wsEnsureIconTheme();
    const QString name = wsThemeIconNameForFileHFSType(typeCode);
    QIcon icon = name.isEmpty() ? QIcon::fromTheme(QStringLiteral("text-x-generic")) : QIcon::fromTheme(name);
    // The file manager has no one name across desktops: try the usual ones.
    if (icon.isNull() && typeCode == QLatin1String("FNDR"))
        icon = QIcon::fromTheme(QStringLiteral("folder"));
    if (!icon.isNull() && !icon.pixmap(size, size).isNull())
        return icon;
    return drawnFallback(typeCode, size);
}

void wsEnsureIconTheme()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    if (!QIcon::themeName().isEmpty() && QIcon::themeName() != QLatin1String("hicolor"))
        return;
    // The first installed of the common full themes.
    const QStringList themes = {QStringLiteral("Adwaita"), QStringLiteral("breeze"), QStringLiteral("Papirus"),
                                QStringLiteral("elementary"), QStringLiteral("gnome")};
    for (const QString &dir : QIcon::themeSearchPaths())
        for (const QString &theme : themes)
            if (QFileInfo::exists(dir + QLatin1Char('/') + theme + QStringLiteral("/index.theme"))) {
                QIcon::setThemeName(theme);
                return;
            }
}
