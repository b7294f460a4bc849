#pragma once

#include <QIcon>
#include <QString>

// Icons of the desktop's icon theme for the type codes and names Quilmo's menus use, with
// fallbacks drawn here, so that a desktop without a full icon theme still shows each item's
// meaning.
//
// Type codes: "rmov" (removable volume: create, mount), "ejec" (eject), "FNDR" (the file
// manager), "burn" (rebuild), "ftrh" (full trash: delete files). Any other code gives the
// generic document icon. Call on the GUI thread.
QIcon wsIconForFileHFSType(const QString &typeCode, int size);

// The freedesktop icon name that stands for a type code; empty for an unknown code.
QString wsThemeIconNameForFileHFSType(const QString &typeCode);

// Where the platform gives no icon theme (the offscreen platform, some window managers),
// uses an installed freedesktop theme so that themed icons resolve. Called once by the
// programs with windows at start.
void wsEnsureIconTheme();
