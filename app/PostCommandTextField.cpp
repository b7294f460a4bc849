#include "PostCommandTextField.h"

#include "QMAppColors.h"
#include "RamDiskConfigPresentation.h"

#include <QFocusEvent>
#include <QPushButton>
#include <QStyle>

PostCommandTextField::PostCommandTextField(QWidget *parent) : PostCmdField(parent)
{
    _argsButton = new QPushButton(RamDiskConfigPresentation::localizedDefault("Edit arguments…"), this);
    _argsButton->setObjectName(QStringLiteral("argsButton"));
    _argsButton->setFlat(true);
    _argsButton->setCursor(Qt::ArrowCursor);
    _argsButton->setFocusPolicy(Qt::NoFocus);
    // Bold, at the size of small controls, grey: it reads as part of the field.
    QFont f = _argsButton->font();
    f.setBold(true);
    if (f.pointSizeF() > 0)
        f.setPointSizeF(f.pointSizeF() * 11.0 / 13.0);
    _argsButton->setFont(f);
    QPalette p = _argsButton->palette();
    p.setColor(QPalette::ButtonText, QMAppColors::grey(128));
    _argsButton->setPalette(p);
    _argsButton->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; padding: 0 6px; }"));
    _argsButton->hide();
    connect(_argsButton, &QPushButton::clicked, this, &PostCommandTextField::argumentsButtonClicked);
    placeButton();
}

void PostCommandTextField::setIsFocusedRing(bool focused)
{
    _isFocusedRing = focused;
    _argsButton->setVisible(focused && isEnabled());
}

void PostCommandTextField::setEnabled(bool enabled)
{
    PostCmdField::setEnabled(enabled);
    _argsButton->setEnabled(enabled);
    if (!enabled)
        _argsButton->hide();
}

void PostCommandTextField::enterEvent(QEnterEvent *event)
{
    PostCmdField::enterEvent(event);
    if (isEnabled())
        _argsButton->show();
}

void PostCommandTextField::leaveEvent(QEvent *event)
{
    PostCmdField::leaveEvent(event);
    if (isEnabled() && !_isFocusedRing)
        _argsButton->hide();
}

void PostCommandTextField::focusInEvent(QFocusEvent *event)
{
    PostCmdField::focusInEvent(event);
    emit editingBegan();
}

void PostCommandTextField::focusOutEvent(QFocusEvent *event)
{
    PostCmdField::focusOutEvent(event);
    // A menu or the field's own context menu opening is no end of editing.
    if (event->reason() != Qt::PopupFocusReason)
        emit editingEnded();
}

void PostCommandTextField::resizeEvent(QResizeEvent *event)
{
    PostCmdField::resizeEvent(event);
    placeButton();
}

void PostCommandTextField::placeButton()
{
    const QSize hint = _argsButton->sizeHint();
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int h = std::max(0, height() - 2 * frame);
    const int w = std::min(hint.width(), std::max(0, width() / 2));
    _argsButton->setGeometry(width() - frame - w, frame, w, h);
    // The text stops before the button, whether or not it shows.
    setTextMargins(0, 0, w, 0);
}
