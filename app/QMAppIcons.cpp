#include "QMAppIcons.h"

#include <QPainter>
#include <QPixmap>

namespace {

// A plus (or, without the vertical bar, a minus) in the button text colour.
QIcon drawnSign(const QPalette &palette, bool plus)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48}) {
        for (QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            const QColor color =
                palette.color(mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active, QPalette::ButtonText);
            const qreal stroke = std::max(1.5, size / 10.0);
            const qreal inset = size * 0.2;
            p.setPen(QPen(color, stroke, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(inset, size / 2.0), QPointF(size - inset, size / 2.0));
            if (plus)
                p.drawLine(QPointF(size / 2.0, inset), QPointF(size / 2.0, size - inset));
            p.end();
            icon.addPixmap(pixmap, mode);
        }
    }
    return icon;
}

QIcon themedOrDrawn(const char *name, const QPalette &palette, bool plus)
{
    const QIcon themed = QIcon::fromTheme(QString::fromLatin1(name));
    if (!themed.isNull() && !themed.pixmap(16, 16).isNull())
        return themed;
    return drawnSign(palette, plus);
}

} // namespace

QIcon QMAppIcons::addIcon(const QPalette &palette)
{
    return themedOrDrawn("list-add", palette, true);
}

QIcon QMAppIcons::removeIcon(const QPalette &palette)
{
    return themedOrDrawn("list-remove", palette, false);
}
