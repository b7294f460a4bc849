#pragma once

#include <QByteArray>
#include <QString>
#include "QMTemporaryDir.h"

#include <memory>

namespace QMTest {

// The root Quilmo looks for the system's applications under ($QUILMO_TEST_APPLICATIONS_ROOT),
// this test's own while the object lives: a fresh empty one, or one given ("/" is the real
// machine). The programs the test starts (quilmoctl) look under it too.
//
// The install functions copy how each installation lays itself out on a real system, with
// the browser stand-in (qm_test_browser) as each program; they return the program's path.
class ApplicationsRoot
{
public:
    ApplicationsRoot();
    explicit ApplicationsRoot(const QString &root);
    ~ApplicationsRoot();
    ApplicationsRoot(const ApplicationsRoot &) = delete;
    ApplicationsRoot &operator=(const ApplicationsRoot &) = delete;

    QString path() const { return _path; }
    // A system path under this root.
    QString at(const QString &absolutePath) const { return _path + absolutePath; }

    // Debian: /usr/bin/firefox diverted to a wrapper script ("exec firefox-esr"),
    // /usr/bin/firefox-esr a link into /usr/lib/firefox-esr.
    QString debianFirefoxEsr(const QString &version);
    // Mozilla's tarball unpacked in /opt/firefox, linked from /usr/local/bin.
    QString mozillaTarball(const QString &version);
    // Fedora: /usr/bin/firefox a script choosing /usr/lib64 or /usr/lib by architecture.
    QString fedoraFirefox(const QString &version);
    // The snap, /snap/bin/firefox a link to snapd; with Ubuntu's /usr/bin/firefox handing over to it.
    QString firefoxSnap(const QString &version, bool ubuntuLauncher = true);
    // The Flatpak, installed for the system or (user) in $XDG_DATA_HOME/flatpak.
    QString firefoxFlatpak(const QString &version, bool user = false);
    // Debian: /usr/bin/chromium a launcher script running /usr/lib/chromium/chromium.
    QString debianChromium(const QString &version);
    QString chromiumSnap(const QString &version, bool ubuntuLauncher = true);
    QString chromiumFlatpak(const QString &version, bool user = false);
    // Google's package in /opt/google/chrome.
    QString googleChrome(const QString &version);

    // What the stand-in at `program` prints for --version, as if the program were updated.
    static void setVersionOutput(const QString &program, const QByteArray &output);

private:
    QString flatpak(const QString &id, const QString &program, const QString &command, bool user);
    QString snap(const QString &name, const QString &program, const QByteArray &version, const QString &revision,
                 bool ubuntuLauncher, const QString &launcherName);

    std::unique_ptr<QMTemporaryDir> _dir;
    QString _path;
    QByteArray _previous;
    bool _hadPrevious = false;
};

// The desktop's default web browser, chosen as the desktop settings do it: the user's
// mimeapps.list.
void setDefaultWebBrowser(const QString &desktopFileId);

// The browser stand-in program of the build tree.
QString browserStandIn();

} // namespace QMTest
