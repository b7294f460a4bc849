#pragma once

#include "QMRamDisk.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

class QAction;
class QLabel;
class QPainter;

// One RAM disk as a row of the status menu where Qt draws the menu: its icon, its name, a
// usage pie, or while an action runs a spinner and a grey line of progress, and the arrow
// of its submenu. It follows its RAM disk while the menu is open (showState()). The mouse
// goes through it to the menu, which highlights the row and opens its submenu.
class RamDiskMenuItemView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int rowWidth = 260;
    static constexpr int rowHeight = 40;

    // Builds the row (`initWithFrame:ramDisk:action:lastActionInfo:`); `action` and
    // `lastActionInfo` choose the progress text.
    RamDiskMenuItemView(const QRect &frame, const QMRamDisk::Ptr &ramDisk, qint64 action, qint64 lastActionInfo,
                        QWidget *parent = nullptr);

    // Starts (true) or stops the spinner from the event loop, so that it takes effect
    // while the menu is open. Without a spinner nothing happens.
    void updateForDisplay(bool display);

    // Shows the RAM disk as it is now: an action that began or ended since the row was
    // made brings or takes away the spinner and the progress line; a spinner that appears
    // while the row is shown runs.
    void showState(const QMRamDisk::Ptr &ramDisk);

    qint64 status() const { return _status; }
    qint64 action() const { return _action; }
    double diskUsage() const { return _diskUsage; }
    bool isDarkMode() const { return _isDarkMode; }
    bool isGraphiteTheme() const { return _isGraphiteTheme; }
    QRect iconRect() const { return _iconRect; }
    QLabel *titleLabel() const { return _titleLabel; }
    QLabel *infoLabel() const { return _infoLabel; }
    QWidget *progressIndicator() const { return _progressIndicator; }
    bool isSpinning() const;

    // The menu item the row stands for: it is highlighted while that item is active.
    void setMenuAction(QAction *action) { _menuAction = action; }
    bool isHighlighted() const;

    // Where the usage pie and the submenu arrow go in a row of `size`.
    static QPointF diskUsagePoint(const QSize &size);
    static QRectF arrowRect(const QSize &size);

    // The usage pie in the 16-point square at `point` (its top-left corner): a ring, and a
    // wedge clockwise from 12 o'clock for the used fraction (a full disc from 1 on).
    static void drawDiskUsage(QPainter *painter, double usage, const QPointF &point, bool highlighted,
                              const QPalette &palette);

    // The row's icon for menus the desktop draws itself (they show only a text and an
    // icon), `size` pixels square like every other item's: the usage pie of a mounted,
    // idle RAM disk, a busy badge while an action runs, else the RAM disk's icon.
    static QImage menuIcon(const QImage &icon, qint64 status, qint64 action, double usage, int size,
                           const QPalette &palette);

    // `drawRect:`.
    void drawRect(QPainter *painter);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void layoutLabels();
    void applyState(const QMRamDisk::Ptr &ramDisk, qint64 action, qint64 lastActionInfo);

    qint64 _status = 0;
    qint64 _action = 0;
    double _diskUsage = 0;
    bool _isDarkMode = false;
    bool _isGraphiteTheme = false;
    QWidget *_progressIndicator = nullptr;
    QRect _iconRect;
    QImage _icon;
    QLabel *_titleLabel = nullptr;
    QLabel *_infoLabel = nullptr;
    QPointer<QAction> _menuAction;
    bool _paintedHighlighted = false;
    bool _displayed = false; // between updateForDisplay(true) and (false)
};
