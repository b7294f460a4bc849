#pragma once

#include <QIcon>
#include <QPalette>

// Icons of the main window's own commands: the icon theme's where it has them (full-colour
// names first), else drawn here in the palette's colours, so that they read on light and
// dark desktops alike.
class QMAppIcons
{
public:
    static QIcon addIcon(const QPalette &palette);
    static QIcon removeIcon(const QPalette &palette);
};
