#include "PostCmdField.h"

#include "QMAppColors.h"
#include "QMRamDiskDevice.h"
#include "RamDiskConfigPresentation.h"

#include <QApplication>
#include <QEvent>

PostCmdField::PostCmdField(QWidget *parent) : QLineEdit(parent)
{
    setPlaceholderText(RamDiskConfigPresentation::localizedDefault("Path of command (or shell script)"));
    setClearButtonEnabled(false);
}

QColor PostCmdField::errorColor(const QPalette &palette)
{
    return QMAppColors::isDark() || palette.color(QPalette::Base).lightness() < 128 ? QColor(255, 110, 100)
                                                                                      : QColor(200, 0, 0);
}

void PostCmdField::updateUIStatus()
{
    QString reason;
    const QString path = text();
    if (!path.isEmpty() && !QMRamDiskDevice::canStartPostCommand(path, &reason) && reason.isEmpty())
        reason = RamDiskConfigPresentation::localizedDefault("The path is not correct");
    _errorReason = path.isEmpty() ? QString() : reason;
    setToolTip(_errorReason);
    applyColour();
}

void PostCmdField::changeEvent(QEvent *event)
{
    QLineEdit::changeEvent(event);
    // A new palette (the desktop switched to dark) keeps the error visible.
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::ParentChange)
        applyColour();
}

void PostCmdField::applyColour()
{
    QPalette p = QApplication::palette(this);
    if (!_errorReason.isNull()) {
        const QColor red = errorColor(p);
        for (auto group : {QPalette::Active, QPalette::Inactive})
            p.setColor(group, QPalette::Text, red);
    }
    setPalette(p);
}
