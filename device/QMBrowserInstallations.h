#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The browsers the presets serve, found the way Linux distributions install them: a
// distribution's package or a vendor's tarball (through the launchers on PATH, their links
// and wrapper scripts followed to the real program, and in the usual directories), a snap
// or a Flatpak. Each installation writes its cache into a directory of its own. Every
// system place is looked up under the applications root ("/" unless tests point it at a
// root of their own); the user's home never lies under it.
class QMBrowserInstallations
{
public:
    enum Browser { Firefox, Chromium, Chrome };
    enum Kind { Directory, Snap, Flatpak };

    struct Installation
    {
        Browser browser = Firefox;
        Kind kind = Directory;
        QString executable;   // what starts it: the launcher found, /snap/bin/NAME, the Flatpak export
        QString program;      // the real program
        QString version;      // empty when the installation does not tell it
        QString cacheHome;    // the XDG cache directory it writes into
        QString sandboxId;    // the snap's name or the Flatpak's application id
        bool userInstallation = false; // a Flatpak installed for this user only

        // Where it is, for people: the program's directory, "snap", "Flatpak".
        QString place() const;
    };

    // Every installation of the browser, the one its name on PATH starts first.
    static QList<Installation> installations(Browser browser);
    // The installation the desktop's default browser names, else the first; none when the
    // browser is not installed.
    static std::optional<Installation> preferred(Browser browser);

    // The desktop entries of the default web browser, most wanted first: the MIME
    // associations' defaults for http, then the entries that say they open it.
    static QStringList defaultWebBrowsers();

    // The program a launcher runs: links and wrapper scripts ("exec firefox-esr", "exec
    // $LIBDIR/$APPNAME") followed; "snap:NAME" for a snap's command; empty when unknown.
    static QString programOfLauncher(const QString &path);

    // "/" or the root tests put the system's applications under ($QUILMO_TEST_APPLICATIONS_ROOT,
    // or the value set here; null goes back to the environment's).
    static QString applicationsRoot();
    static void setApplicationsRootForTesting(const QString &root);
    // A system path under the applications root.
    static QString underRoot(const QString &absolutePath);
};
