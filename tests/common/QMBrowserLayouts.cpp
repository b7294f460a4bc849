#include "QMBrowserLayouts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr const char *kVariable = "QUILMO_TEST_APPLICATIONS_ROOT";

void writeFile(const QString &path, const QByteArray &data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(data);
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

// A symbolic link holding `target` as written (relative, or absolute as on the real system).
void link(const QString &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::link(target, path);
}

QString installStandIn(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile::copy(QMTest::browserStandIn(), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                    | QFileDevice::ExeOther);
    return path;
}

QByteArray applicationIni(const QString &version, const QByteArray &remotingName)
{
    return "[App]\nVendor=Mozilla\nName=Firefox\nRemotingName=" + remotingName + "\nVersion=" + version.toUtf8()
           + "\nBuildID=20240101000000\nID={ec8030f7-c20a-464f-9b0e-13a3a9e97384}\n\n[Gecko]\nMinVersion="
           + version.toUtf8() + "\nMaxVersion=" + version.toUtf8() + "\n";
}

QByteArray platformIni(const QString &version)
{
    return "[Build]\nBuildID=20240101000000\nMilestone=" + version.toUtf8() + "\n";
}

QByteArray desktopEntry(const QByteArray &name, const QByteArray &exec, const QByteArray &icon)
{
    return "[Desktop Entry]\nVersion=1.0\nName=" + name + "\nExec=" + exec + "\nIcon=" + icon
           + "\nTerminal=false\nType=Application\nMimeType=text/html;x-scheme-handler/http;x-scheme-handler/https;\n"
             "Categories=Network;WebBrowser;\n";
}

QString dataHome()
{
    return qEnvironmentVariable("XDG_DATA_HOME");
}

} // namespace

namespace QMTest {

QString browserStandIn()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/qm_test_browser");
}

ApplicationsRoot::ApplicationsRoot()
    : _dir(std::make_unique<QMTemporaryDir>(QDir::tempPath() + QStringLiteral("/applications-XXXXXX"))),
      _path(_dir->path())
{
    // Readable by every user, as the system's own places are: the tests' other users look too.
    QFile::setPermissions(_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                     | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    _hadPrevious = qEnvironmentVariableIsSet(kVariable);
    _previous = qgetenv(kVariable);
    qputenv(kVariable, QFile::encodeName(_path));
}

ApplicationsRoot::ApplicationsRoot(const QString &root) : _path(root == QLatin1String("/") ? QString() : root)
{
    _hadPrevious = qEnvironmentVariableIsSet(kVariable);
    _previous = qgetenv(kVariable);
    qputenv(kVariable, QFile::encodeName(root));
}

ApplicationsRoot::~ApplicationsRoot()
{
    if (_hadPrevious)
        qputenv(kVariable, _previous);
    else
        qunsetenv(kVariable);
}

void ApplicationsRoot::setVersionOutput(const QString &program, const QByteArray &output)
{
    writeFile(program + QStringLiteral(".version-output"), output);
    // As an update replaces the program: it is newer than before.
    static int updates = 0;
    QFile f(program);
    if (f.open(QIODevice::ReadWrite))
        f.setFileTime(QDateTime::currentDateTime().addSecs(++updates), QFileDevice::FileModificationTime);
}

QString ApplicationsRoot::debianFirefoxEsr(const QString &version)
{
    const QString lib = at(QStringLiteral("/usr/lib/firefox-esr"));
    const QString program = installStandIn(lib + QStringLiteral("/firefox-esr"));
    link(QStringLiteral("firefox-esr"), lib + QStringLiteral("/firefox-bin"));
    writeFile(lib + QStringLiteral("/application.ini"),
              "; This file is not used. If you modify it and want the application to use\n"
              "; your modifications, move it under the browser/ subdirectory and start with\n"
              "; the \"-app /path/to/browser/application.ini\" argument.\n"
                  + applicationIni(version, "firefox-esr"));
    writeFile(lib + QStringLiteral("/platform.ini"), platformIni(version));
    link(QStringLiteral("../lib/firefox-esr/firefox-esr"), at(QStringLiteral("/usr/bin/firefox-esr")));
    // dpkg-divert moves a real /usr/bin/firefox aside to firefox.real.
    writeFile(at(QStringLiteral("/usr/bin/firefox")),
              "#!/bin/sh\n\nFIREFOX=\"$(command -v firefox)\"\n[ -x \"$FIREFOX.real\" ] && exec \"$FIREFOX.real\" \"$@\"\n\n"
              "exec firefox-esr \"$@\"\n",
              true);
    writeFile(at(QStringLiteral("/usr/share/applications/firefox-esr.desktop")),
              desktopEntry("Firefox ESR", "/usr/lib/firefox-esr/firefox-esr %u", "firefox-esr"));
    return program;
}

QString ApplicationsRoot::mozillaTarball(const QString &version)
{
    const QString dir = at(QStringLiteral("/opt/firefox"));
    const QString program = installStandIn(dir + QStringLiteral("/firefox"));
    installStandIn(dir + QStringLiteral("/firefox-bin"));
    writeFile(dir + QStringLiteral("/application.ini"), applicationIni(version, "firefox"));
    writeFile(dir + QStringLiteral("/platform.ini"), platformIni(version));
    // As Mozilla's instructions make it: an absolute link.
    link(QStringLiteral("/opt/firefox/firefox"), at(QStringLiteral("/usr/local/bin/firefox")));
    writeFile(at(QStringLiteral("/usr/local/share/applications/firefox.desktop")),
              desktopEntry("Firefox", "firefox %u", "/opt/firefox/browser/chrome/icons/default/default128.png"));
    return program;
}

QString ApplicationsRoot::fedoraFirefox(const QString &version)
{
    const QString dir = at(QStringLiteral("/usr/lib64/firefox"));
    const QString program = installStandIn(dir + QStringLiteral("/firefox"));
    writeFile(dir + QStringLiteral("/application.ini"), applicationIni(version, "firefox"));
    writeFile(at(QStringLiteral("/usr/bin/firefox")),
              "#!/usr/bin/bash\n"
              "cmdname=`basename \"$0\"`\n"
              "MOZ_ARCH=$(uname -m)\n"
              "case $MOZ_ARCH in\n"
              "\tx86_64 | s390x | sparc64)\n"
              "\t\tMOZ_LIB_DIR=\"/usr/lib64\"\n"
              "\t\tSECONDARY_LIB_DIR=\"/usr/lib\"\n"
              "\t\t;;\n"
              "\t* )\n"
              "\t\tMOZ_LIB_DIR=\"/usr/lib\"\n"
              "\t\tSECONDARY_LIB_DIR=\"/usr/lib64\"\n"
              "\t\t;;\n"
              "esac\n"
              "MOZ_FIREFOX_FILE=\"firefox\"\n"
              "if [ ! -r $MOZ_LIB_DIR/firefox/$MOZ_FIREFOX_FILE ]; then\n"
              "    MOZ_LIB_DIR=\"$SECONDARY_LIB_DIR\"\n"
              "fi\n"
              "MOZ_DIST_BIN=\"$MOZ_LIB_DIR/firefox\"\n"
              "MOZ_PROGRAM=\"$MOZ_DIST_BIN/$MOZ_FIREFOX_FILE\"\n"
              "# The profile is created in ~/.mozilla on the first start.\n"
              "exec $MOZ_PROGRAM \"$@\"\n",
              true);
    writeFile(at(QStringLiteral("/usr/share/applications/org.mozilla.firefox.desktop")),
              desktopEntry("Firefox", "firefox %u", "org.mozilla.firefox"));
    return program;
}

QString ApplicationsRoot::snap(const QString &name, const QString &programPath, const QByteArray &version,
                               const QString &revision, bool ubuntuLauncher, const QString &launcherName)
{
    const QString snapDir = at(QStringLiteral("/snap/")) + name;
    const QString program = installStandIn(snapDir + u'/' + revision + u'/' + programPath);
    writeFile(snapDir + u'/' + revision + QStringLiteral("/meta/snap.yaml"),
              "name: " + name.toUtf8() + "\nversion: '" + version + "'\nsummary: A web browser\ngrade: stable\n"
              "confinement: strict\napps:\n  " + name.toUtf8() + ":\n    command: " + programPath.toUtf8() + "\n");
    link(revision, snapDir + QStringLiteral("/current"));
    link(QStringLiteral("/usr/bin/snap"), at(QStringLiteral("/snap/bin/")) + name);
    const QByteArray entry = "/var/lib/snapd/desktop/applications/" + name.toUtf8() + '_' + name.toUtf8() + ".desktop";
    writeFile(at(QString::fromUtf8(entry)),
              desktopEntry(name.toUtf8(), "env BAMF_DESKTOP_FILE_HINT=" + entry + " /snap/bin/" + name.toUtf8() + " %u",
                           "/snap/" + name.toUtf8() + "/" + revision.toUtf8() + "/default256.png"));
    if (ubuntuLauncher) {
        // Ubuntu's deb that hands over to the snap.
        writeFile(at(QStringLiteral("/usr/bin/")) + launcherName,
                  "#!/bin/sh\n\nif ! [ -x /snap/bin/" + name.toUtf8() + " ]; then\n"
                  "    echo \"Command '$0' requires the " + name.toUtf8() + " snap to be installed.\" >&2\n"
                  "    exit 1\nfi\n\nexec /snap/bin/" + name.toUtf8() + " \"$@\"\n",
                  true);
    }
    return program;
}

QString ApplicationsRoot::firefoxSnap(const QString &version, bool ubuntuLauncher)
{
    const QString program = snap(QStringLiteral("firefox"), QStringLiteral("usr/lib/firefox/firefox"),
                                 version.toUtf8() + "-1", QStringLiteral("4793"), ubuntuLauncher,
                                 QStringLiteral("firefox"));
    writeFile(QFileInfo(program).absolutePath() + QStringLiteral("/application.ini"), applicationIni(version, "firefox"));
    return program;
}

QString ApplicationsRoot::chromiumSnap(const QString &version, bool ubuntuLauncher)
{
    return snap(QStringLiteral("chromium"), QStringLiteral("usr/lib/chromium-browser/chrome"), version.toUtf8(),
                QStringLiteral("2701"), ubuntuLauncher, QStringLiteral("chromium-browser"));
}

QString ApplicationsRoot::flatpak(const QString &id, const QString &programPath, const QString &command, bool user)
{
    const QString installation = user ? dataHome() + QStringLiteral("/flatpak") : at(QStringLiteral("/var/lib/flatpak"));
    const QString app = installation + QStringLiteral("/app/") + id;
    const QString deploy = app + QStringLiteral("/x86_64/stable/7a6c1b2d0e9f");
    link(QStringLiteral("x86_64/stable"), app + QStringLiteral("/current"));
    link(QStringLiteral("7a6c1b2d0e9f"), app + QStringLiteral("/x86_64/stable/active"));
    const QString program = installStandIn(deploy + QStringLiteral("/files/") + programPath);
    writeFile(deploy + QStringLiteral("/metadata"),
              "[Application]\nname=" + id.toUtf8() + "\nruntime=org.freedesktop.Platform/x86_64/23.08\n"
              "command=" + command.toUtf8() + "\n");
    const QByteArray run = "/usr/bin/flatpak run --branch=stable --arch=x86_64 --command=" + command.toUtf8() + " ";
    writeFile(deploy + QStringLiteral("/export/share/applications/") + id + QStringLiteral(".desktop"),
              desktopEntry(id.toUtf8(), run + "--file-forwarding " + id.toUtf8() + " @@u %u @@", id.toUtf8()));
    link(QStringLiteral("../../../app/") + id + QStringLiteral("/current/active/export/share/applications/") + id
             + QStringLiteral(".desktop"),
         installation + QStringLiteral("/exports/share/applications/") + id + QStringLiteral(".desktop"));
    writeFile(installation + QStringLiteral("/exports/bin/") + id,
              "#!/bin/sh\nexec " + run + id.toUtf8() + " \"$@\"\n", true);
    return program;
}

QString ApplicationsRoot::firefoxFlatpak(const QString &version, bool user)
{
    const QString program = flatpak(QStringLiteral("org.mozilla.firefox"), QStringLiteral("lib/firefox/firefox"),
                                    QStringLiteral("firefox"), user);
    writeFile(QFileInfo(program).absolutePath() + QStringLiteral("/application.ini"), applicationIni(version, "firefox"));
    return program;
}

QString ApplicationsRoot::chromiumFlatpak(const QString &version, bool user)
{
    const QString program = flatpak(QStringLiteral("org.chromium.Chromium"), QStringLiteral("chromium/chrome"),
                                    QStringLiteral("chromium"), user);
    // AppStream lists the releases newest first.
    const QString files = QFileInfo(QFileInfo(program).absolutePath()).absolutePath();
    writeFile(files + QStringLiteral("/share/metainfo/org.chromium.Chromium.metainfo.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<component type=\"desktop\">\n"
              "  <id>org.chromium.Chromium</id>\n  <name>Chromium Web Browser</name>\n  <releases>\n"
              "    <release version=\"" + version.toUtf8() + "\" date=\"2024-01-16\">\n      <description/>\n"
              "    </release>\n    <release version=\"99.0.4844.84\" date=\"2022-03-26\"/>\n  </releases>\n"
              "</component>\n");
    return program;
}

QString ApplicationsRoot::debianChromium(const QString &version)
{
    const QString program = installStandIn(at(QStringLiteral("/usr/lib/chromium/chromium")));
    setVersionOutput(program, "Chromium " + version.toUtf8() + " built on Debian GNU/Linux 12 (bookworm)\n");
    writeFile(at(QStringLiteral("/usr/bin/chromium")),
              "#!/bin/sh\n\n# Chromium launcher\n\nAPPNAME=chromium\n\nGDB=/usr/bin/gdb\nLIBDIR=/usr/lib/$APPNAME\n"
              "CHROMIUM_FLAGS=\"\"\n\n"
              "# Source additional settings\nfor file in /etc/chromium.d/*; do\n"
              "  test $file = /etc/chromium.d/README || . $file\ndone\n\n"
              "export CHROME_DESKTOP=\"chromium.desktop\"\n\n"
              "if [ $want_debug -eq 1 ] ; then\n  $GDB \"$LIBDIR/$APPNAME\" -x $tmpfile\n  exit $?\nelse\n"
              "  if [ $want_temp_profile -eq 0 ] ; then\n    exec $LIBDIR/$APPNAME $CHROMIUM_FLAGS \"$@\"\n  else\n"
              "    $LIBDIR/$APPNAME $CHROMIUM_FLAGS \"$@\"\n  fi\nfi\n",
              true);
    writeFile(at(QStringLiteral("/usr/share/applications/chromium.desktop")),
              desktopEntry("Chromium Web Browser", "/usr/bin/chromium %U", "chromium"));
    return program;
}

QString ApplicationsRoot::googleChrome(const QString &version)
{
    const QString program = installStandIn(at(QStringLiteral("/opt/google/chrome/chrome")));
    setVersionOutput(program, "Google Chrome " + version.toUtf8() + " \n");
    writeFile(at(QStringLiteral("/opt/google/chrome/google-chrome")),
              "#!/bin/bash\nHERE=\"`dirname \"$(readlink -f \"${0}\")\"`\"\nexec -a \"$0\" \"$HERE/chrome\" \"$@\"\n", true);
    link(QStringLiteral("/opt/google/chrome/google-chrome"), at(QStringLiteral("/usr/bin/google-chrome-stable")));
    writeFile(at(QStringLiteral("/usr/share/applications/google-chrome.desktop")),
              desktopEntry("Google Chrome", "/usr/bin/google-chrome-stable %U", "google-chrome"));
    return program;
}

void setDefaultWebBrowser(const QString &desktopFileId)
{
    const QByteArray id = desktopFileId.toUtf8();
    writeFile(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/mimeapps.list"),
              "[Default Applications]\nx-scheme-handler/http=" + id + "\nx-scheme-handler/https=" + id
                  + "\ntext/html=" + id + "\n");
}

} // namespace QMTest
