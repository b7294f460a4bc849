#include "QMWindowTitle.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLayout>
#include <QSpacerItem>
#include <QWidget>

QString QMWindowTitle::shownTitle(const QWidget *window)
{
    const QString title = window->windowTitle();
    const QString application = QGuiApplication::applicationDisplayName();
    if (application.isEmpty() || title.endsWith(application))
        return title.isEmpty() ? application : title;
    return title.isEmpty() ? application : title + QString::fromUtf8(" \u2014 ") + application;
}

void QMWindowTitle::fitWidthToTitle(QWidget *window)
{
    QLayout *layout = window->layout();
    if (!layout)
        return;
    // Title bars draw in the desktop's title font, often bold; the window's buttons and
    // the bar's margins take about eight lines' height beside it.
    QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    font.setBold(true);
    const QFontMetrics metrics(font);
    const QMargins margins = layout->contentsMargins();
    const int needed = metrics.horizontalAdvance(shownTitle(window)) + 8 * metrics.height();
    auto *spacer = new QSpacerItem(needed - margins.left() - margins.right(), 0, QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (auto *grid = qobject_cast<QGridLayout *>(layout))
        grid->addItem(spacer, grid->rowCount(), 0, 1, grid->columnCount());
    else
        layout->addItem(spacer);
}
