// Browsers found the way distributions install them: faithful copies of each layout in the
// test's own applications root, each found with its version and its own cache directory;
// the desktop's default browser chooses among several; the running rule sees the processes
// of every layout. The last tests ask the real machine and check its own answer.
#include "QMBrowserInstallations.h"
#include "QMFileRemover.h"
#include "QMBrowserLayouts.h"
#include "QMRamDiskManager.h"
#include "QMRunningApplications.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <utility>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>


using B = QMBrowserInstallations;
using QMTest::ApplicationsRoot;

namespace {

QString home()
{
    return QDir::cleanPath(QDir::homePath());
}

QString cacheHome()
{
    return qEnvironmentVariable("XDG_CACHE_HOME");
}

QVariantMap presetOf(qint64 type)
{
    return QMRamDiskManager::creationInfosOfRamDiskType(type, QString()).value_or(QVariantMap());
}

// A process started from a layout's program, killed and reaped at the end.
struct Running
{
    explicit Running(const QString &program, const QStringList &args = {})
    {
        process.start(program, args);
        process.waitForStarted();
    }
    ~Running()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    QProcess process;
};

const char *identifierOf(qint64 type)
{
    return type == 7 ? "org.mozilla.firefox" : type == 8 ? "com.google.Chrome" : "org.chromium.Chromium";
}

// Whether the running rule of a type counts that process.
bool runsAs(pid_t pid, qint64 type)
{
    return QMRunningApplications::processIds(QLatin1String(identifierOf(type))).contains(pid);
}

pid_t parentOf(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // "pid (comm) S ppid ...": the name may hold spaces, the fields follow the last ")".
    return static_cast<pid_t>(line.mid(line.lastIndexOf(')') + 2).split(' ').value(1).toInt());
}

struct Expected
{
    const char *what;
    B::Kind kind;
    QString version;
    QString place;
    QString executable;
    QString cacheHome;
};

void expectOnly(B::Browser browser, const Expected &e)
{
    const QList<B::Installation> found = B::installations(browser);
    ASSERT_EQ(found.size(), 1) << e.what;
    const B::Installation &i = found.first();
    EXPECT_EQ(i.kind, e.kind) << e.what;
    EXPECT_EQ(i.version, e.version) << e.what;
    EXPECT_EQ(i.place(), e.place) << e.what;
    EXPECT_EQ(i.executable, e.executable) << e.what;
    EXPECT_EQ(i.cacheHome, e.cacheHome) << e.what;
}

} // namespace

TEST(QMBrowserInstallations, LaunchersAreFollowedToTheRealProgram)
{
    {
        ApplicationsRoot root;
        root.debianFirefoxEsr(QStringLiteral("115.8.0"));
        root.debianChromium(QStringLiteral("120.0.6099.109"));
        root.mozillaTarball(QStringLiteral("128.0"));
        root.googleChrome(QStringLiteral("120.0.6099.109"));
        // Debian's diverted firefox: the "$FIREFOX.real" it tries first needs the script run.
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/firefox"))),
                  root.at(QStringLiteral("/usr/lib/firefox-esr/firefox-esr")));
        // "exec $LIBDIR/$APPNAME" with LIBDIR=/usr/lib/$APPNAME.
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/chromium"))),
                  root.at(QStringLiteral("/usr/lib/chromium/chromium")));
        // An absolute link stays in the root it was found in.
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/local/bin/firefox"))),
                  root.at(QStringLiteral("/opt/firefox/firefox")));
        // Chrome's launcher finds its program from where it runs: nothing to read.
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/google-chrome-stable"))), QString());
        // A script that hands over to itself ends.
        QMTest::writeScript(root.at(QStringLiteral("/usr/bin")), QStringLiteral("loop"), QStringLiteral("exec loop \"$@\"\n"));
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/loop"))), QString());
    }
    {
        // Fedora: the directory chosen in a "case", the other tried when the first is missing.
        ApplicationsRoot root;
        root.fedoraFirefox(QStringLiteral("128.0"));
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/firefox"))),
                  root.at(QStringLiteral("/usr/lib64/firefox/firefox")));
    }
    {
        // Ubuntu: the deb hands over to the snap.
        ApplicationsRoot root;
        root.firefoxSnap(QStringLiteral("128.0"));
        root.chromiumSnap(QStringLiteral("120.0.6099.109"));
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/firefox"))), QStringLiteral("snap:firefox"));
        EXPECT_EQ(B::programOfLauncher(root.at(QStringLiteral("/usr/bin/chromium-browser"))), QStringLiteral("snap:chromium"));
    }
}

TEST(QMBrowserInstallations, EveryFirefoxInstallationWithItsVersionAndCache)
{
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    const QString flatpakCache = home() + QStringLiteral("/.var/app/org.mozilla.firefox/cache");
    {
        ApplicationsRoot root;
        EXPECT_TRUE(B::installations(B::Firefox).isEmpty());
        EXPECT_FALSE(B::preferred(B::Firefox));
        root.debianFirefoxEsr(QStringLiteral("115.8.0"));
        expectOnly(B::Firefox, {"Debian", B::Directory, QStringLiteral("115.8.0"), root.at(QStringLiteral("/usr/lib/firefox-esr")),
                                root.at(QStringLiteral("/usr/bin/firefox")), cacheHome()});
    }
    {
        ApplicationsRoot root;
        root.mozillaTarball(QStringLiteral("128.0.3"));
        expectOnly(B::Firefox, {"tarball", B::Directory, QStringLiteral("128.0.3"), root.at(QStringLiteral("/opt/firefox")),
                                root.at(QStringLiteral("/usr/local/bin/firefox")), cacheHome()});
    }
    {
        ApplicationsRoot root;
        root.fedoraFirefox(QStringLiteral("129.0"));
        expectOnly(B::Firefox, {"Fedora", B::Directory, QStringLiteral("129.0"), root.at(QStringLiteral("/usr/lib64/firefox")),
                                root.at(QStringLiteral("/usr/bin/firefox")), cacheHome()});
    }
    {
        ApplicationsRoot root;
        root.firefoxSnap(QStringLiteral("130.0"));
        expectOnly(B::Firefox, {"snap with Ubuntu's launcher", B::Snap, QStringLiteral("130.0"), QStringLiteral("snap"),
                                root.at(QStringLiteral("/usr/bin/firefox")), home() + QStringLiteral("/snap/firefox/common/.cache")});
        // Without application.ini, the snap's own version.
        ASSERT_TRUE(QFile::remove(root.at(QStringLiteral("/snap/firefox/current/usr/lib/firefox/application.ini"))));
        EXPECT_EQ(B::installations(B::Firefox).value(0).version, QStringLiteral("130.0-1"));
    }
    {
        ApplicationsRoot root;
        root.firefoxSnap(QStringLiteral("130.0"), false);
        expectOnly(B::Firefox, {"snap alone", B::Snap, QStringLiteral("130.0"), QStringLiteral("snap"),
                                root.at(QStringLiteral("/snap/bin/firefox")), home() + QStringLiteral("/snap/firefox/common/.cache")});
    }
    {
        ApplicationsRoot root;
        root.firefoxFlatpak(QStringLiteral("131.0.2"));
        expectOnly(B::Firefox, {"Flatpak", B::Flatpak, QStringLiteral("131.0.2"), QStringLiteral("Flatpak"),
                                root.at(QStringLiteral("/var/lib/flatpak/exports/bin/org.mozilla.firefox")), flatpakCache});
    }
    {
        ApplicationsRoot root;
        root.firefoxFlatpak(QStringLiteral("131.0.3"), true);
        expectOnly(B::Firefox, {"Flatpak for the user", B::Flatpak, QStringLiteral("131.0.3"), QStringLiteral("Flatpak, for this user"),
                                dataHome + QStringLiteral("/flatpak/exports/bin/org.mozilla.firefox"), flatpakCache});
        ASSERT_TRUE(QMFileRemover::removePath(dataHome + QStringLiteral("/flatpak")).ok());
    }
    {
        // The preset covers the cache of the installation it serves.
        ApplicationsRoot root;
        root.firefoxFlatpak(QStringLiteral("131.0.2"));
        EXPECT_EQ(presetOf(7).value(QStringLiteral("status")).toInt(), 0) << "its cache folder is not there yet";
        ASSERT_TRUE(QDir().mkpath(flatpakCache + QStringLiteral("/mozilla")));
        const QVariantMap preset = presetOf(7);
        EXPECT_EQ(preset.value(QStringLiteral("status")).toInt(), 1);
        EXPECT_EQ(preset.value(QStringLiteral("mountDirectory")).toString(), flatpakCache + QStringLiteral("/mozilla"));
        EXPECT_EQ(preset.value(QStringLiteral("name")).toString(), QStringLiteral("firefox"));
        EXPECT_EQ(preset.value(QStringLiteral("application")).toString(), QStringLiteral("Firefox 131.0.2 (Flatpak)"));
    }
}

TEST(QMBrowserInstallations, TheDefaultBrowserChoosesAmongSeveral)
{
    ApplicationsRoot root;
    root.debianFirefoxEsr(QStringLiteral("115.8.0"));
    root.firefoxSnap(QStringLiteral("130.0"), false);
    root.firefoxFlatpak(QStringLiteral("131.0.2"));
    const QList<B::Installation> all = B::installations(B::Firefox);
    ASSERT_EQ(all.size(), 3);
    EXPECT_EQ(all.at(0).kind, B::Directory) << "what `firefox` starts comes first";
    EXPECT_EQ(all.at(1).kind, B::Snap);
    EXPECT_EQ(all.at(2).kind, B::Flatpak);

    auto preferredKind = [] { return B::preferred(B::Firefox).value_or(B::Installation{}).kind; };
    EXPECT_EQ(preferredKind(), B::Directory) << "no default browser: the first";

    // A system-wide default, then the user's own, which wins.
    QDir().mkpath(root.at(QStringLiteral("/usr/share/applications")));
    QFile system(root.at(QStringLiteral("/usr/share/applications/mimeapps.list")));
    ASSERT_TRUE(system.open(QIODevice::WriteOnly));
    system.write("[Default Applications]\nx-scheme-handler/http=org.mozilla.firefox.desktop;\n");
    system.close();
    EXPECT_EQ(preferredKind(), B::Flatpak);
    QMTest::setDefaultWebBrowser(QStringLiteral("firefox_firefox.desktop"));
    EXPECT_EQ(preferredKind(), B::Snap);
    QMTest::setDefaultWebBrowser(QStringLiteral("firefox-esr.desktop"));
    EXPECT_EQ(preferredKind(), B::Directory);
    EXPECT_EQ(B::defaultWebBrowsers().mid(0, 2),
              (QStringList{QStringLiteral("firefox-esr.desktop"), QStringLiteral("org.mozilla.firefox.desktop")}));

    // Another browser is the default: the first Firefox.
    QMTest::setDefaultWebBrowser(QStringLiteral("chromium.desktop"));
    ASSERT_TRUE(system.remove());
    EXPECT_EQ(preferredKind(), B::Directory);

    // The default names the Flatpak: the preset covers its cache and says so.
    QMTest::setDefaultWebBrowser(QStringLiteral("org.mozilla.firefox.desktop"));
    const QString flatpakCache = home() + QStringLiteral("/.var/app/org.mozilla.firefox/cache/mozilla");
    ASSERT_TRUE(QDir().mkpath(flatpakCache));
    const QVariantMap preset = presetOf(7);
    EXPECT_EQ(preset.value(QStringLiteral("mountDirectory")).toString(), flatpakCache);
    EXPECT_EQ(preset.value(QStringLiteral("installation")).toString(), QStringLiteral("Flatpak"));
    EXPECT_EQ(QMRamDiskManager::favoriteFirefoxAppPath(),
              root.at(QStringLiteral("/var/lib/flatpak/exports/bin/org.mozilla.firefox")));
    QFile::remove(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/mimeapps.list"));
}

TEST(QMBrowserInstallations, ChromiumFromEachInstallationAndChromeFromItsOwn)
{
    {
        ApplicationsRoot root;
        EXPECT_EQ(presetOf(9).value(QStringLiteral("reason")).toString(), QStringLiteral("Chromium is not installed"));
        root.debianChromium(QStringLiteral("120.0.6099.109"));
        expectOnly(B::Chromium, {"Debian", B::Directory, QStringLiteral("120.0.6099.109"),
                                 root.at(QStringLiteral("/usr/lib/chromium")), root.at(QStringLiteral("/usr/bin/chromium")),
                                 cacheHome()});
        const QVariantMap preset = presetOf(9);
        EXPECT_EQ(preset.value(QStringLiteral("status")).toInt(), 1);
        EXPECT_EQ(preset.value(QStringLiteral("name")).toString(), QStringLiteral("chromium"));
        EXPECT_EQ(preset.value(QStringLiteral("mountDirectory")).toString(), cacheHome());
        EXPECT_EQ(preset.value(QStringLiteral("backupMode")).toInt(), 3);
        EXPECT_TRUE(presetOf(8).isEmpty() || presetOf(8).value(QStringLiteral("status")).toInt() == -1)
            << "Chromium is not Google Chrome";

        // The version floor of Chrome's preset.
        ApplicationsRoot::setVersionOutput(root.at(QStringLiteral("/usr/lib/chromium/chromium")),
                                           "Chromium 59.0.3071.86 built on Debian GNU/Linux 9 (stretch)\n");
        EXPECT_EQ(presetOf(9).value(QStringLiteral("status")).toInt(), 0);
        EXPECT_TRUE(presetOf(9).value(QStringLiteral("reason")).toString().contains(QStringLiteral("59.0.3071.86")));
    }
    {
        ApplicationsRoot root;
        root.chromiumSnap(QStringLiteral("121.0.6167.85"));
        const QString snapCache = home() + QStringLiteral("/snap/chromium/common/.cache");
        expectOnly(B::Chromium, {"snap", B::Snap, QStringLiteral("121.0.6167.85"), QStringLiteral("snap"),
                                 root.at(QStringLiteral("/usr/bin/chromium-browser")), snapCache});
        EXPECT_EQ(presetOf(9).value(QStringLiteral("status")).toInt(), 0) << "no cache folder yet";
        ASSERT_TRUE(QDir().mkpath(snapCache));
        EXPECT_EQ(presetOf(9).value(QStringLiteral("mountDirectory")).toString(), snapCache);
    }
    {
        ApplicationsRoot root;
        root.chromiumFlatpak(QStringLiteral("122.0.6261.57"));
        expectOnly(B::Chromium, {"Flatpak", B::Flatpak, QStringLiteral("122.0.6261.57"), QStringLiteral("Flatpak"),
                                 root.at(QStringLiteral("/var/lib/flatpak/exports/bin/org.chromium.Chromium")),
                                 home() + QStringLiteral("/.var/app/org.chromium.Chromium/cache")});
    }
    {
        ApplicationsRoot root;
        root.googleChrome(QStringLiteral("120.0.6099.109"));
        EXPECT_TRUE(B::installations(B::Chromium).isEmpty()) << "Google Chrome is not Chromium";
        const QVariantMap preset = presetOf(8);
        EXPECT_EQ(preset.value(QStringLiteral("status")).toInt(), 1);
        EXPECT_EQ(preset.value(QStringLiteral("name")).toString(), QStringLiteral("google-chrome"));
        EXPECT_EQ(preset.value(QStringLiteral("application")).toString(),
                  QStringLiteral("Google Chrome 120.0.6099.109 (%1)").arg(root.at(QStringLiteral("/opt/google/chrome"))));
    }
}

TEST(QMBrowserInstallations, TheRunningRuleSeesTheProcessesOfEveryLayout)
{
    ApplicationsRoot root;
    const struct
    {
        const char *what;
        QString program;
        qint64 type;
    } layouts[] = {
        {"Debian's Firefox", root.debianFirefoxEsr(QStringLiteral("115.8.0")), 7},
        {"Firefox's tarball", root.mozillaTarball(QStringLiteral("128.0")), 7},
        {"Firefox's snap", root.firefoxSnap(QStringLiteral("130.0"), false), 7},
        {"Debian's Chromium", root.debianChromium(QStringLiteral("120.0.6099.109")), 9},
        {"Chromium's snap", root.chromiumSnap(QStringLiteral("121.0.6167.85"), false), 9},
        {"Google Chrome", root.googleChrome(QStringLiteral("120.0.6099.109")), 8},
    };
    // This test's own process is looked for: other browsers may run beside it.
    for (const auto &layout : layouts) {
        Running running(layout.program);
        const pid_t pid = static_cast<pid_t>(running.process.processId());
        ASSERT_TRUE(QMTest::waitUntil([&] { return runsAs(pid, layout.type); })) << layout.what;
        for (qint64 type : {7, 8, 9}) {
            if (type != layout.type) {
                EXPECT_FALSE(runsAs(pid, type)) << layout.what << " counted as " << type;
            }
        }
        // Refused with the browser's name, from its desktop entry where it has one.
        QString message;
        EXPECT_FALSE(QMRamDiskManager::canCreateWithName(QStringLiteral("x"), 256000000ULL, layout.type, QString(), &message));
        EXPECT_TRUE(message.endsWith(QStringLiteral(" is running"))) << layout.what << ": " << message.toStdString();
    }
}

TEST(QMBrowserInstallations, TheRunningRuleSeesFlatpakSandboxes)
{
    // Flatpak runs an application with bubblewrap, its files at /app and /.flatpak-info at
    // the sandbox's root; the program's own name ("chrome") is no browser's.
    const QString bwrap = QStandardPaths::findExecutable(QStringLiteral("bwrap"));
    if (bwrap.isEmpty())
        GTEST_SKIP() << "bubblewrap (bwrap), which Flatpak runs applications with, is not installed";
    ApplicationsRoot root;
    const QString program = root.chromiumFlatpak(QStringLiteral("122.0.6261.57"));
    const QString files = QFileInfo(QFileInfo(program).absolutePath()).absolutePath();
    const QString info = root.at(QStringLiteral("/flatpak-info"));
    QFile f(info);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Application]\nname=org.chromium.Chromium\nruntime=runtime/org.freedesktop.Platform/x86_64/23.08\n");
    f.close();

    Running sandbox(bwrap, {QStringLiteral("--ro-bind"), QStringLiteral("/usr"), QStringLiteral("/usr"),
                            QStringLiteral("--symlink"), QStringLiteral("usr/lib"), QStringLiteral("/lib"),
                            QStringLiteral("--symlink"), QStringLiteral("usr/lib64"), QStringLiteral("/lib64"),
                            QStringLiteral("--symlink"), QStringLiteral("usr/bin"), QStringLiteral("/bin"),
                            QStringLiteral("--proc"), QStringLiteral("/proc"), QStringLiteral("--dev"), QStringLiteral("/dev"),
                            QStringLiteral("--ro-bind"), info, QStringLiteral("/.flatpak-info"),
                            QStringLiteral("--ro-bind"), files, QStringLiteral("/app"),
                            QStringLiteral("--die-with-parent"), QStringLiteral("/app/chromium/chrome")});
    // The sandboxed program is bubblewrap's child.
    const pid_t bubblewrap = static_cast<pid_t>(sandbox.process.processId());
    pid_t chrome = 0;
    const bool seen = QMTest::waitUntil([&] {
        for (pid_t pid : QMRunningApplications::processIds(QStringLiteral("org.chromium.Chromium"))) {
            if (parentOf(pid) == bubblewrap)
                chrome = pid;
        }
        return chrome != 0;
    });
    if (!seen && sandbox.process.state() == QProcess::NotRunning)
        GTEST_SKIP() << "bubblewrap cannot make a sandbox here: " << sandbox.process.readAllStandardError().toStdString();
    EXPECT_TRUE(seen);
    EXPECT_FALSE(runsAs(chrome, 8)) << "the sandbox's chrome is not Google Chrome";
    EXPECT_FALSE(runsAs(chrome, 7));
}

// This machine, as it is: whatever Firefox and Chromium it has are found, with the versions
// they tell themselves, and the default browser is the one xdg-settings names.
TEST(QMBrowserInstallations, TheRealMachinesBrowsers)
{
    ApplicationsRoot machine(QStringLiteral("/"));
    int asked = 0;
    for (const auto &[browser, command] : {std::pair{B::Firefox, QStringLiteral("firefox-esr")},
                                           std::pair{B::Chromium, QStringLiteral("chromium")}}) {
        const QString path = QStandardPaths::findExecutable(command);
        if (path.isEmpty())
            continue;
        ++asked;
        QString out;
        ASSERT_EQ(QMTest::run(path, {QStringLiteral("--version")}, &out), 0) << command.toStdString();
        const auto found = B::preferred(browser);
        ASSERT_TRUE(found) << command.toStdString();
        EXPECT_TRUE(out.contains(found->version)) << out.toStdString() << " / " << found->version.toStdString();
        EXPECT_GT(found->version.section(u'.', 0, 0).toInt(), 59);
    }
    if (asked == 0) {
        GTEST_SKIP() << "neither firefox-esr nor chromium is installed here";
    }
    const QString xdgSettings = QStandardPaths::findExecutable(QStringLiteral("xdg-settings"));
    QString answer;
    if (!xdgSettings.isEmpty()
        && QMTest::run(xdgSettings, {QStringLiteral("get"), QStringLiteral("default-web-browser")}, &answer) == 0
        && !answer.trimmed().isEmpty()) {
        EXPECT_EQ(B::defaultWebBrowsers().value(0), answer.trimmed());
    }
}
