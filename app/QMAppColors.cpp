#include "QMAppColors.h"

#include "QM_OSAppearance.h"

namespace {

QColor mix(const QColor &a, const QColor &b, qreal t)
{
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t, a.greenF() + (b.greenF() - a.greenF()) * t,
                            a.blueF() + (b.blueF() - a.blueF()) * t, a.alphaF() + (b.alphaF() - a.alphaF()) * t);
}

} // namespace

bool QMAppColors::isDark()
{
    return QM_OSAppearance::isDarkMode();
}

QColor QMAppColors::grey(int level255, qreal alpha)
{
    QColor c(level255, level255, level255);
    c.setAlphaF(alpha);
    return c;
}

QColor QMAppColors::dividerColor(const QPalette &palette, bool active)
{
    if (!isDark())
        return grey(active ? 170 : 209);
    const QColor window = palette.color(QPalette::Window);
    return active ? window.darker(170) : window.darker(130);
}

QColor QMAppColors::barGradientTop(const QPalette &palette, bool active)
{
    if (!isDark())
        return grey(230);
    const QColor window = palette.color(QPalette::Window);
    return active ? window.lighter(125) : window;
}

QColor QMAppColors::barGradientBottom(const QPalette &palette, bool active)
{
    if (!isDark())
        return grey(active ? 220 : 230);
    const QColor window = palette.color(QPalette::Window);
    return active ? window.lighter(108) : window;
}

QColor QMAppColors::pieColor(const QPalette &palette, bool highlighted)
{
    if (!isDark())
        return highlighted ? grey(qRound(0.95 * 255)) : QColor(155, 180, 212);
    if (highlighted)
        return palette.color(QPalette::HighlightedText);
    // The design's blue, pulled toward the text colour so it reads on the dark base.
    return mix(QColor(155, 180, 212), palette.color(QPalette::Text), 0.15);
}

QColor QMAppColors::subInfoColor(const QPalette &palette, bool highlighted)
{
    if (!isDark())
        return highlighted ? grey(qRound(0.8 * 255)) : grey(qRound(0.33 * 255));
    const QColor text = palette.color(highlighted ? QPalette::HighlightedText : QPalette::Text);
    return mix(text, palette.color(highlighted ? QPalette::Highlight : QPalette::Base), 0.3);
}

QColor QMAppColors::subInfoShadowColor(const QPalette &, bool highlighted)
{
    if (isDark() || highlighted)
        return {};
    return grey(255, 0.33);
}

QColor QMAppColors::placeholderTextColor(const QPalette &palette)
{
    if (!isDark())
        return grey(qRound(0.2 * 255));
    return mix(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.35);
}

QColor QMAppColors::placeholderShadowColor(const QPalette &)
{
    return isDark() ? QColor() : grey(255, 0.3);
}

QColor QMAppColors::statusTextColor(const QPalette &palette)
{
    return palette.color(QPalette::WindowText);
}

QColor QMAppColors::statusPressedColor(const QPalette &palette)
{
    if (!isDark())
        return grey(qRound(0.5 * 255));
    return mix(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.5);
}

QColor QMAppColors::statusShadowColor(const QPalette &)
{
    return isDark() ? QColor() : grey(255, 0.3);
}
