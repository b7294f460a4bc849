#include "QMRunningApplications.h"

#include "QMBrowserInstallations.h"
#include "QMDesktopEntry.h"
#include "QMRamDiskUtils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readProcFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return f.readAll();
}

QString fileName(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

// How the /proc entry of a process names what it runs.
struct ProcessImage
{
    QString exe;        // the executable file, as the kernel resolved it
    QStringList argv;
};

bool readProcess(pid_t pid, ProcessImage *image)
{
    const QString dir = QStringLiteral("/proc/%1").arg(pid);
    char target[4096];
    const QByteArray link = QFile::encodeName(dir + QStringLiteral("/exe"));
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    image->exe = n > 0 ? QFile::decodeName(QByteArray(target, static_cast<qsizetype>(n))) : QString();
    // An executable replaced since it started still runs as its old file.
    if (image->exe.endsWith(QLatin1String(" (deleted)")))
        image->exe.chop(10);
    image->argv.clear();
    const QByteArray cmdline = readProcFile(dir + QStringLiteral("/cmdline"));
    for (const QByteArray &a : cmdline.split('\0')) {
        if (!a.isEmpty())
            image->argv << QFile::decodeName(a);
    }
    return !image->exe.isEmpty() || !image->argv.isEmpty();
}

bool matches(const ProcessImage &p, const QString &executable, const QString &canonical)
{
    const QString argv0 = p.argv.value(0);
    if (executable.endsWith(u'/')) {
        // Every program of a directory: a snap's revisions (/snap/chromium/2701/…).
        return !p.exe.isEmpty() && (p.exe.startsWith(executable) || (!canonical.isEmpty() && p.exe.startsWith(canonical)));
    }
    if (executable.contains(u'/')) {
        // A program that is not there runs nowhere (and kernel threads name no file at all).
        if (canonical.isEmpty() || p.exe.isEmpty())
            return false;
        if (p.exe == canonical || p.exe == executable || argv0 == executable)
            return true;
        // A script runs as its interpreter, with the script's path as the first argument.
        // Other programs given the path (an editor, a viewer) are not the application.
        const QString argv1 = p.argv.value(1);
        if (argv1 != executable && argv1 != canonical)
            return false;
        const QString interpreter = argv0.startsWith(u'/') ? QFileInfo(argv0).canonicalFilePath() : QString();
        return interpreter == p.exe;
    }
    return (!p.exe.isEmpty() && fileName(p.exe) == executable) || (!argv0.isEmpty() && fileName(argv0) == executable);
}

// The application a Flatpak sandbox runs, from the file Flatpak puts at its root.
QString flatpakApplication(pid_t pid)
{
    return QMDesktopEntry::groupValue(QStringLiteral("/proc/%1/root/.flatpak-info").arg(pid),
                                      QStringLiteral("Application"), QStringLiteral("name"));
}

char processState(pid_t pid)
{
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // "pid (comm) S ...": comm may hold spaces and parentheses, the state follows the last ")".
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return 0;
    return stat.at(close + 2);
}

} // namespace

QMRunningApplications::Application QMRunningApplications::applicationForIdentifier(const QString &bundleIdentifier)
{
    if (bundleIdentifier == QMRamDiskUtils::helperBundleIdentifier())
        return {{QMRamDiskUtils::helperPath()}, {bundleIdentifier + QStringLiteral(".desktop")},
                QStringLiteral("Quilmo-Helper"), {}};
    if (bundleIdentifier == QMRamDiskUtils::bundleIdentifier())
        return {{QMRamDiskUtils::installPrefix() + QStringLiteral("/bin/Quilmo")},
                {bundleIdentifier + QStringLiteral(".desktop")}, QStringLiteral("Quilmo"), {}};
    // Browsers by the names their programs have in every installation (a snap's and a
    // tarball's Firefox is "firefox", Debian's "firefox-esr"), the places only theirs use,
    // and their Flatpaks.
    if (bundleIdentifier == QLatin1String("org.mozilla.firefox"))
        return {{QStringLiteral("firefox"), QStringLiteral("firefox-esr"), QStringLiteral("firefox-bin")},
                {QStringLiteral("firefox.desktop"), QStringLiteral("firefox-esr.desktop"),
                 QStringLiteral("firefox_firefox.desktop"), QStringLiteral("org.mozilla.firefox.desktop")},
                QStringLiteral("Firefox"),
                {QStringLiteral("org.mozilla.firefox")}};
    if (bundleIdentifier == QLatin1String("org.chromium.Chromium"))
        return {{QStringLiteral("chromium"), QStringLiteral("chromium-browser"),
                 QMBrowserInstallations::underRoot(QStringLiteral("/snap/chromium/"))},
                {QStringLiteral("chromium.desktop"), QStringLiteral("chromium-browser.desktop"),
                 QStringLiteral("chromium_chromium.desktop"), QStringLiteral("org.chromium.Chromium.desktop")},
                QStringLiteral("Chromium"),
                {QStringLiteral("org.chromium.Chromium")}};
    if (bundleIdentifier == QLatin1String("com.google.Chrome"))
        return {{QMBrowserInstallations::underRoot(QStringLiteral("/opt/google/chrome/chrome"))},
                {QStringLiteral("google-chrome.desktop"), QStringLiteral("com.google.Chrome.desktop")},
                QStringLiteral("Google Chrome"),
                {QStringLiteral("com.google.Chrome")}};
    // The other platform's applications never run here.
    return {};
}

QList<pid_t> QMRunningApplications::processIds(const QString &bundleIdentifier)
{
    return processIdsOfApplication(applicationForIdentifier(bundleIdentifier));
}

QList<pid_t> QMRunningApplications::processIdsOfExecutables(const QStringList &executables)
{
    Application application;
    application.executables = executables;
    return processIdsOfApplication(application);
}

QList<pid_t> QMRunningApplications::processIdsOfApplication(const Application &application)
{
    QList<pid_t> pids;
    const QStringList &executables = application.executables;
    if (executables.isEmpty() && application.flatpakIds.isEmpty())
        return pids;
    QStringList canonical;
    for (const QString &e : executables) {
        QString c = e.contains(u'/') ? QFileInfo(e).canonicalFilePath() : e;
        if (e.endsWith(u'/') && !c.isEmpty())
            c += u'/';
        canonical << c;
    }

    const uid_t me = getuid();
    const pid_t self = getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&ok));
        if (!ok || pid <= 0 || pid == self)
            continue;
        // Other users' applications are theirs: never count nor stop them.
        struct stat st {};
        if (::stat(QFile::encodeName(QStringLiteral("/proc/") + entry).constData(), &st) != 0 || st.st_uid != me)
            continue;
        ProcessImage image;
        if (!readProcess(pid, &image))
            continue;
        bool match = false;
        for (qsizetype i = 0; i < executables.size() && !match; ++i)
            match = matches(image, executables.at(i), canonical.at(i));
        // Inside a Flatpak a program's name and path are the sandbox's (/app/chromium/chrome).
        if (!match && !application.flatpakIds.isEmpty())
            match = application.flatpakIds.contains(flatpakApplication(pid));
        if (match && isAlive(pid))
            pids << pid;
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

QString QMRunningApplications::localizedName(const QString &bundleIdentifier)
{
    const Application app = applicationForIdentifier(bundleIdentifier);
    QMDesktopEntry entry;
    if (!app.desktopFileIds.isEmpty() && entry.loadFirst(app.desktopFileIds) && !entry.name().isEmpty())
        return entry.name();
    return app.fallbackName.isEmpty() ? bundleIdentifier : app.fallbackName;
}

bool QMRunningApplications::isAlive(pid_t pid)
{
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

bool QMRunningApplications::terminate(const QList<pid_t> &pids, int graceMs)
{
    auto waitForAll = [](QList<pid_t> &left, int ms) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            left.erase(std::remove_if(left.begin(), left.end(), [](pid_t p) { return !isAlive(p); }), left.end());
            if (left.isEmpty() || timer.elapsed() >= ms)
                return left.isEmpty();
            QThread::msleep(20);
        }
    };

    QList<pid_t> left;
    for (pid_t pid : pids) {
        if (pid <= 0)
            continue;
        // A refused request is forced at once.
        if (::kill(pid, SIGTERM) != 0 && errno != ESRCH)
            ::kill(pid, SIGKILL);
        left << pid;
    }
    if (waitForAll(left, graceMs))
        return true;
    for (pid_t pid : left)
        ::kill(pid, SIGKILL);
    return waitForAll(left, graceMs);
}
