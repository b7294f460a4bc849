#include "MainSplitView.h"

#include "QMAppColors.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>

namespace {

int extent(const QSplitter *s)
{
    return s->orientation() == Qt::Horizontal ? s->width() : s->height();
}

} // namespace

void qm_updateFixedDividedAtIndex(QSplitter *splitView, int index)
{
    if (!splitView || splitView->count() != 2 || index < 0 || index > 1)
        return;
    const QList<int> sizes = splitView->sizes();
    const int fixed = sizes.at(index);
    const int other = std::max(0, extent(splitView) - splitView->handleWidth() - fixed);
    QList<int> wanted = sizes;
    wanted[1 - index] = other;
    if (wanted != sizes)
        splitView->setSizes(wanted);
}

void qm_assureMinimumSizes(QSplitter *splitView, int min0, int min1)
{
    if (!splitView || splitView->count() != 2)
        return;
    const QList<int> sizes = splitView->sizes();
    const int total = extent(splitView) - splitView->handleWidth();
    QList<int> wanted = sizes;
    if (sizes.at(0) < min0) {
        wanted = {min0, std::max(0, total - min0)};
    } else if (sizes.at(1) < min1) {
        wanted = {std::max(0, total - min1), min1};
    }
    if (wanted != sizes)
        splitView->setSizes(wanted);
}

MainSplitView::MainSplitView(QWidget *parent) : QSplitter(Qt::Horizontal, parent)
{
    setObjectName(QStringLiteral("splitView"));
    // A one-pixel line; the splitter widens the handle's grab area by itself.
    setHandleWidth(1);
    setChildrenCollapsible(false);
    setOpaqueResize(true);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this] {
        for (int i = 0; i < count(); ++i)
            if (QSplitterHandle *h = handle(i))
                h->update();
    });
}

int MainSplitView::constrainSplitPosition(int proposed, int width, int dividerThickness)
{
    if (proposed < minimumListWidth)
        return minimumListWidth;
    if (width - proposed - dividerThickness < minimumPaneWidth)
        return width - minimumPaneWidth - dividerThickness;
    return proposed;
}

int MainSplitView::dividerPosition() const
{
    return count() == 2 ? sizes().at(0) : 0;
}

void MainSplitView::setDividerPosition(int position)
{
    if (count() != 2)
        return;
    const int total = width() - handleWidth();
    const int p = constrainSplitPosition(position, width(), handleWidth());
    setSizes({p, std::max(0, total - p)});
}

QSplitterHandle *MainSplitView::createHandle()
{
    return new MainSplitViewHandle(orientation(), this);
}

void MainSplitView::resizeEvent(QResizeEvent *event)
{
    // The list keeps its width (its stretch factor is 0); the pane on the right takes the
    // change.
    QSplitter::resizeEvent(event);
    qm_updateFixedDividedAtIndex(this, 0);
}

MainSplitViewHandle::MainSplitViewHandle(Qt::Orientation orientation, QSplitter *parent)
    : QSplitterHandle(orientation, parent)
{
}

void MainSplitViewHandle::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const bool active = QGuiApplication::applicationState() == Qt::ApplicationActive
                        && (!window() || window()->isActiveWindow());
    painter.fillRect(rect(), QMAppColors::dividerColor(palette(), active));
}

void MainSplitViewHandle::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange || event->type() == QEvent::PaletteChange)
        update();
    QSplitterHandle::changeEvent(event);
}
