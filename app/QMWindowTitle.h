#pragma once

#include <QString>

class QWidget;

// Window titles as the window manager shows them.
class QMWindowTitle
{
public:
    // The title with " — <application display name>" appended, as Qt hands it to the
    // window manager unless the title already ends with that name.
    static QString shownTitle(const QWidget *window);
    // Widens a window that sizes itself to its contents until its whole title fits in the
    // title bar beside the window's buttons.
    static void fitWidthToTitle(QWidget *window);
};
