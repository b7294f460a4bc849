#pragma once

#include <QString>

class QWidget;

// Shows a folder in the desktop's file manager. Where none can open it (none installed, or
// none set for folders), the user is told so in an alert on `window`, not only in a
// terminal nobody reads.
class QMFileManager
{
public:
    static void openFolder(const QString &path, QWidget *window);
};
