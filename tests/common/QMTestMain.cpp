// Entry point of every test executable: a fresh temporary HOME and XDG_* per process, so
// that no test touches the real user's files, and an offscreen Qt application.
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#ifdef QUILMO_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

namespace {

// The helpers that this test process's programs started under its home (or a child test
// process's, nested in it). One started by quilmoctl with nothing to do waits to be told,
// for the rest of its session: the test's session ends here.
QList<pid_t> helpersUnder(const QString &root)
{
    QList<pid_t> found;
    const QByteArray prefix = "HOME=" + QFile::encodeName(root) + '/';
    DIR *proc = opendir("/proc");
    if (!proc)
        return found;
    while (const dirent *e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0 || pid == getpid())
            continue;
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (!exe.endsWith(QStringLiteral("/Quilmo-Helper")) && !exe.endsWith(QStringLiteral("/Quilmo-Helper (deleted)")))
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (!environ.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &var : environ.readAll().split('\0')) {
            if (var.startsWith(prefix)) {
                found << pid;
                break;
            }
        }
    }
    closedir(proc);
    return found;
}

// Gone, or a zombie that its parent has yet to reap.
bool hasEnded(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    return end < 0 || text.mid(end + 2, 1) == "Z";
}

void endHelpersUnder(const QString &root)
{
    const QList<pid_t> helpers = helpersUnder(root);
    for (pid_t pid : helpers)
        kill(pid, SIGTERM);
    // It saves what changed first; its own bounds are longer than a test should wait.
    for (int i = 0; i < 100; ++i) {
        bool alive = false;
        for (pid_t pid : helpers)
            alive = alive || !hasEnded(pid);
        if (!alive)
            return;
        usleep(50 * 1000);
    }
    for (pid_t pid : helpers)
        kill(pid, SIGKILL);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // Quilmo refuses to mount inside system directories, /tmp among them; as root the
    // test directories go under /home (a user's place) so that real mounts are allowed.
    // A test process started by another one (to be killed half way, or to race it) keeps
    // its directories inside its parent's, which go with the parent whatever happens to it.
    const QString parentRoot = qEnvironmentVariable("QUILMO_TEST_ROOT");
    const QString base = !parentRoot.isEmpty() && QFileInfo(parentRoot).isDir()
                             ? parentRoot
                             : (QFileInfo(QStringLiteral("/home")).isWritable() ? QStringLiteral("/home")
                                                                                : QDir::tempPath());
    QMTemporaryDir root(base + QStringLiteral("/quilmo-test-XXXXXX"));
    if (!root.isValid())
        return 2;
    if (parentRoot.isEmpty())
        qputenv("QUILMO_TEST_ROOT", QFile::encodeName(root.path()));
    const struct { const char *var; const char *sub; } places[] = {
        {"HOME", "home"},
        {"XDG_CONFIG_HOME", "home/.config"},
        {"XDG_DATA_HOME", "home/.local/share"},
        {"XDG_CACHE_HOME", "home/.cache"},
        {"XDG_STATE_HOME", "home/.local/state"},
        {"XDG_RUNTIME_DIR", "runtime"},
        {"TMPDIR", "tmp"},
    };
    for (const auto &p : places) {
        const QString path = root.path() + QLatin1Char('/') + QLatin1String(p.sub);
        QDir().mkpath(path);
        qputenv(p.var, path.toLocal8Bit());
    }
    // The system's applications (browsers and the like) are the test's to install: an empty
    // root of its own, which the program and every child it starts look under (a test
    // process started by another keeps its parent's).
    if (parentRoot.isEmpty() || !qEnvironmentVariableIsSet("QUILMO_TEST_APPLICATIONS_ROOT")) {
        const QString applications = root.path() + QStringLiteral("/applications");
        QDir().mkpath(applications);
        qputenv("QUILMO_TEST_APPLICATIONS_ROOT", QFile::encodeName(applications));
    }
    // Reachable by the other users that some tests play, like the system's own /tmp.
    chmod(QFile::encodeName(root.path()).constData(), 0755);
    chmod(QFile::encodeName(root.path() + QStringLiteral("/tmp")).constData(), 01777);
    QFile::setPermissions(root.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_DATA_DIRS", QByteArray("/usr/local/share:/usr/share"));
    qputenv("XDG_CONFIG_DIRS", QByteArray("/etc/xdg"));

#ifdef QUILMO_TEST_RAMDISKS
    // Tests that make RAM disks read machine-wide figures; CTest runs them one at a time
    // within a build, and this lock does the same across builds (several checkouts on one
    // machine). Listing the tests needs no lock.
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    // A child process that a test starts runs under its parent's lock: waiting for it
    // would wait forever.
    if (!listing && !qEnvironmentVariableIsSet("QUILMO_RAMDISK_LOCK_HELD")) {
        const int lock = open(QMTest::ramDiskTestLock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock >= 0)
            flock(lock, LOCK_EX); // held until the process ends
        qputenv("QUILMO_RAMDISK_LOCK_HELD", "1");
    }
#endif

    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    if (parentRoot.isEmpty())
        endHelpersUnder(root.path());
    // Again when it fails: a removal the engine runs in the background (replaced copies) may
    // still be deleting in there, and an entry it deletes first stops the walk's removal of
    // its directory. A mount a test left behind is never entered.
    root.setAutoRemove(false);
    for (int attempt = 0; attempt < 100 && !root.remove(); ++attempt)
        usleep(50 * 1000);
    return result;
}
