#pragma once

#include <QIcon>
#include <QString>
#include <QUrl>

#include <functional>

// What the update checker needs to know of the running application and how it acts on
// it. `current()` fills in Quilmo's own values; the application object changes what it
// must (its termination hook, above all) and hands the result to
// QMCheckForUpdates::setApplication().
struct QMUpdateApplication
{
    QString name;             // the name in every text: "Quilmo"
    QString version;          // the display version of the running build
    QString bundleIdentifier; // "org.quilmo.Quilmo": names the temporary directory
    QString installPrefix;    // the installation that an update replaces (P of P/bin/Quilmo)
    QString executable;       // the program started after an update, relative to the prefix
    QUrl website;             // the vendor website's base address
    QString settingsPath;     // the user defaults file ("QMCheckForUpdates-LastCheck" and the like)
    QIcon icon;               // shown in both update windows; null: the application's window icon
    bool packageManaged = false; // the package manager (dpkg) owns the program: it updates it

    // Called before the relaunch, as the application would at quit (save, quit the helper).
    std::function<void()> terminationHook;
    // Ends the application (after the relaunch, and after a failed install that had begun
    // to replace files). Null: QCoreApplication::quit().
    std::function<void()> quit;
    // Brings the application to the front before an alert or window. Null: raises the
    // active window.
    std::function<void()> activate;

    static QMUpdateApplication current();
};
