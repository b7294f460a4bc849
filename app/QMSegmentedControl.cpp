#include "QMSegmentedControl.h"

#include <QHBoxLayout>
#include <QToolButton>

QMSegmentedControl::QMSegmentedControl(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QObject::objectNameChanged, this, &QMSegmentedControl::nameButtons);
}

int QMSegmentedControl::addSegment(const QIcon &icon, const QString &fallbackText, const QString &toolTip)
{
    auto *button = new QToolButton(this);
    const int segment = int(_buttons.size());
    if (!icon.isNull()) {
        button->setIcon(icon);
        button->setIconSize(QSize(16, 16));
    } else {
        button->setText(fallbackText);
    }
    button->setToolTip(toolTip);
    button->setAccessibleName(toolTip);
    button->setAutoRaise(false);
    button->setFocusPolicy(Qt::TabFocus);
    // Square segments, as tall as a push button of the desktop's style.
    button->setMinimumSize(26, 22);
    connect(button, &QToolButton::clicked, this, [this, segment] {
        _selected = segment;
        emit segmentClicked(segment);
    });
    layout()->addWidget(button);
    _buttons << button;
    nameButtons();
    return segment;
}

void QMSegmentedControl::setEnabled(int segment, bool enabled)
{
    if (QToolButton *b = segmentButton(segment))
        b->setEnabled(enabled);
}

bool QMSegmentedControl::isEnabledForSegment(int segment) const
{
    const QToolButton *b = segmentButton(segment);
    return b && b->isEnabled();
}

QToolButton *QMSegmentedControl::segmentButton(int segment) const
{
    return segment >= 0 && segment < _buttons.size() ? _buttons.at(segment) : nullptr;
}

void QMSegmentedControl::performClick(int segment)
{
    if (QToolButton *b = segmentButton(segment); b && b->isEnabled() && isEnabled())
        b->click();
}

void QMSegmentedControl::nameButtons()
{
    for (int i = 0; i < _buttons.size(); ++i)
        _buttons.at(i)->setObjectName(objectName() + QStringLiteral("Segment%1").arg(i));
}
