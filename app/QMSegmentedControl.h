#pragma once

#include <QList>
#include <QWidget>

class QToolButton;

// A row of joined push buttons, each a segment that acts on a click (the add/remove control
// under the list). Segment buttons are named "<objectName>Segment<i>".
class QMSegmentedControl : public QWidget
{
    Q_OBJECT

public:
    explicit QMSegmentedControl(QWidget *parent = nullptr);

    // Adds a segment with an icon (a text where the icon theme has none) and a tooltip.
    int addSegment(const QIcon &icon, const QString &fallbackText, const QString &toolTip);
    int segmentCount() const { return int(_buttons.size()); }

    void setEnabled(int segment, bool enabled);
    bool isEnabledForSegment(int segment) const;
    // The segment clicked last (-1 before any click).
    int selectedSegment() const { return _selected; }
    QToolButton *segmentButton(int segment) const;

    // A click on the segment, as the user would make it (nothing when it is disabled).
    void performClick(int segment);

signals:
    void segmentClicked(int segment);

private:
    void nameButtons();

    QList<QToolButton *> _buttons;
    int _selected = -1;
};
