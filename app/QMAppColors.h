#pragma once

#include <QColor>
#include <QPalette>

// The colours of the main window's own drawing. In a light palette they are the fixed
// greys and blue the window was designed with; in a dark palette (QM_OSAppearance) they are
// derived from the palette, so the window never shows light bars on a dark desktop.
// `active` is false while the application is in the background: the window then looks
// dimmed.
class QMAppColors
{
public:
    static bool isDark();

    // The split view's divider and the line along the top of the bottom bar.
    static QColor dividerColor(const QPalette &palette, bool active);
    // The bottom bar's gradient, top colour first; flat while inactive.
    static QColor barGradientTop(const QPalette &palette, bool active);
    static QColor barGradientBottom(const QPalette &palette, bool active);

    // The usage pie: normal and on a selected row.
    static QColor pieColor(const QPalette &palette, bool highlighted);

    // The second line of a list row, and the shadow under it (invalid: none).
    static QColor subInfoColor(const QPalette &palette, bool highlighted);
    static QColor subInfoShadowColor(const QPalette &palette, bool highlighted);

    // The placeholder's text and its shadow (invalid: none).
    static QColor placeholderTextColor(const QPalette &palette);
    static QColor placeholderShadowColor(const QPalette &palette);

    // The memory summary: normal, pressed, and its shadow (invalid: none).
    static QColor statusTextColor(const QPalette &palette);
    static QColor statusPressedColor(const QPalette &palette);
    static QColor statusShadowColor(const QPalette &palette);

    static QColor grey(int level255, qreal alpha = 1.0);
};
