#pragma once

#include <QSplitter>
#include <QSplitterHandle>

// The main window's two-pane split: the list on the left keeps its width when the window
// is resized; the divider is a thin line in the window's divider colour (lighter while the
// application is in the background).
class MainSplitView : public QSplitter
{
    Q_OBJECT

public:
    static constexpr int minimumListWidth = 120;
    static constexpr int minimumPaneWidth = 300;

    explicit MainSplitView(QWidget *parent = nullptr);

    // Where a divider the user drags to `proposed` ends up: at least 120 from the left and
    // leaving at least 300 to the right pane.
    static int constrainSplitPosition(int proposed, int width, int dividerThickness);

    // The divider position (the list's width), and setting it within the rules above.
    int dividerPosition() const;
    void setDividerPosition(int position);

protected:
    QSplitterHandle *createHandle() override;
    void resizeEvent(QResizeEvent *event) override;
};

class MainSplitViewHandle : public QSplitterHandle
{
    Q_OBJECT

public:
    MainSplitViewHandle(Qt::Orientation orientation, QSplitter *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
};

// Layout rules for a split view of exactly two panes (anything else is left alone).
// Keeps the pane at `index` at its current size and gives the other the rest; sizes are
// set only when they change.
void qm_updateFixedDividedAtIndex(QSplitter *splitView, int index);
// Brings the first pane up to min0 or else the second up to min1, taking the room from the
// other pane; at most one of the two.
void qm_assureMinimumSizes(QSplitter *splitView, int min0, int min1);
