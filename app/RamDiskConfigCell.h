#pragma once

#include <QFont>
#include <QImage>
#include <QPalette>
#include <QStyledItemDelegate>

// A row of the list of RAM disks: the icon (dimmed when the RAM disk is not mounted), the
// name, a second line with the progress or the size, and the usage pie.
class RamDiskConfigCell : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // The model's roles beyond display (name), decoration (image) and tooltip.
    enum Role { ImageOpacityRole = Qt::UserRole + 1, SubInfoRole, UsageRole, IdentifierRole };

    struct Properties
    {
        QImage image;
        double imageOpacity = 1.0; // 1.0 normal, anything else dimmed
        QString name;
        QString subInfo;     // null: no second line
        double usage = -1;   // 0 ... 1; -1 no pie
    };

    explicit RamDiskConfigCell(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // The drawing of one row's contents into `frame` (the background is the view's).
    static void drawWithFrame(QPainter *painter, const QRect &frame, const Properties &properties, bool highlighted,
                              const QPalette &palette, const QFont &font);

    // Where the pieces go in a row: the name 16 points below the top and the second line
    // 32 below, moved down where the desktop's fonts are taller than that.
    static int nameTop(const QFont &font);
    static int subInfoTop(const QFont &font);
    static int rowHeight(const QFont &font);
    // The font of the second line: the desktop's font at the size of small controls.
    static QFont subInfoFont(const QFont &font);
    // Where the pie of a row goes; empty when the row draws none.
    static QRect pieRect(const QRect &frame, const Properties &properties);
};
