#include "QMTestUser.h"

#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

int runTool(const QString &program, const QStringList &args, QString *err)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000))
        return -1;
    *err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

QMTestUser::QMTestUser(const QString &tag)
{
    if (geteuid() != 0) {
        _why = QStringLiteral("needs root to create a second user");
        return;
    }
    const QString useradd = QStringLiteral("/usr/sbin/useradd");
    if (!QFileInfo(useradd).isExecutable()) {
        _why = QStringLiteral("needs useradd to create a second user");
        return;
    }
    _name = QStringLiteral("qm%1-%2").arg(tag).arg(QRandomGenerator::global()->bounded(1u << 24), 6, 16, QLatin1Char('0'));
    // Other tests on the machine add users too: the password files may be locked a moment.
    QString err;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int status = runTool(useradd, {QStringLiteral("--no-create-home"), QStringLiteral("--user-group"),
                                             QStringLiteral("--shell"), QStringLiteral("/usr/sbin/nologin"), _name},
                                   &err);
        if (status == 0)
            break;
        if (status != 10 && status != 1) { // 10: cannot lock the files; 1: cannot update them
            _why = QStringLiteral("useradd %1 failed (%2): %3").arg(_name).arg(status).arg(err);
            return;
        }
        QThread::msleep(250);
    }
    const struct passwd *pw = getpwnam(_name.toLocal8Bit().constData());
    if (!pw) {
        _why = QStringLiteral("useradd %1 failed: %2").arg(_name, err);
        return;
    }
    _uid = pw->pw_uid;
    _gid = pw->pw_gid;
    _valid = true;
}

QMTestUser::~QMTestUser()
{
    if (!_valid)
        return;
    // A program may leave a process behind (a browser's, a helper): userdel refuses a
    // user still running. Asked first, then forced.
    for (const int signal : {SIGTERM, SIGKILL}) {
        for (const pid_t pid : processIds())
            kill(pid, signal);
        QElapsedTimer timer;
        timer.start();
        while (!processIds().isEmpty() && timer.elapsed() < 5000)
            QThread::msleep(20);
    }
    QString err;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (runTool(QStringLiteral("/usr/sbin/userdel"), {_name}, &err) == 0)
            return;
        QThread::msleep(250);
    }
}

pid_t QMTestUser::spawn(const std::function<int()> &work) const
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (setgroups(0, nullptr) != 0 || setgid(_gid) != 0 || setuid(_uid) != 0)
        _exit(126);
    _exit(work());
}

void QMTestUser::runAs(QProcess &process) const
{
    const uid_t uid = _uid;
    const gid_t gid = _gid;
    process.setChildProcessModifier([uid, gid] {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(126);
    });
}

QString QMTestUser::makeHome(const QString &parent) const
{
    const QString home = parent + QLatin1Char('/') + _name;
    for (const char *sub : {"", "/.config", "/.cache", "/.local", "/.local/share", "/.local/state", "/runtime", "/tmp"}) {
        const QByteArray path = QFile::encodeName(home + QLatin1String(sub));
        if (mkdir(path.constData(), 0700) != 0 || lchown(path.constData(), _uid, _gid) != 0)
            return QString();
    }
    return home;
}

QProcessEnvironment QMTestUser::environment(const QString &home) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("USER"), _name);
    env.insert(QStringLiteral("LOGNAME"), _name);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    return env;
}

QList<pid_t> QMTestUser::processIds() const
{
    QList<pid_t> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&ok));
        struct stat st {};
        if (ok && stat(QFile::encodeName(QStringLiteral("/proc/") + entry).constData(), &st) == 0 && st.st_uid == _uid)
            pids << pid;
    }
    return pids;
}

QMTestUserSession::QMTestUserSession(const QString &tag) : user(tag) {}

QMTestUserSession::~QMTestUserSession() = default;

bool QMTestUserSession::setUp(QString *why)
{
    const QString root = qEnvironmentVariable("QUILMO_TEST_ROOT");
    home = user.makeHome(root);
    if (home.isEmpty()) {
        *why = QStringLiteral("cannot make a home for %1").arg(user.name());
        return false;
    }
    _prefix = std::make_unique<QMTemporaryDir>(root + QStringLiteral("/prefix-XXXXXX"));
    const QString build = QDir::cleanPath(QMTest::libexecDir() + QStringLiteral("/../.."));
    const QString prefix = _prefix->path();
    const QString tools = prefix + QStringLiteral("/libexec/quilmo");
    const QString tool = tools + QStringLiteral("/quilmo-disktool");
    bool ok = _prefix->isValid() && chown(QFile::encodeName(prefix).constData(), 0, user.gid()) == 0
              && chmod(QFile::encodeName(prefix).constData(), 0750) == 0 && QDir().mkpath(tools)
              && QFile::link(build + QStringLiteral("/bin"), prefix + QStringLiteral("/bin"))
              && QFile::link(build + QStringLiteral("/share"), prefix + QStringLiteral("/share"))
              && QFile::link(build + QStringLiteral("/libexec/quilmo/Quilmo-Helper"), tools + QStringLiteral("/Quilmo-Helper"))
              && QFile::copy(build + QStringLiteral("/libexec/quilmo/quilmo-disktool"), tool)
              && chmod(QFile::encodeName(tool).constData(), 04755) == 0;
    for (const char *name : {"hdiutil", "newfs_hfs", "diskutil", "mount", "umount", "mdutil", "purge"})
        ok = ok && QFile::link(QStringLiteral("quilmo-disktool"), tools + u'/' + QLatin1String(name));
    if (!ok) {
        *why = QStringLiteral("cannot install the build tree for %1").arg(user.name());
        return false;
    }
    environment = user.environment(home);
    environment.insert(QStringLiteral("QUILMO_PREFIX"), prefix);
    return true;
}

void QMTestUserSession::prepare(QProcess &process) const
{
    process.setProcessEnvironment(environment);
    user.runAs(process);
}

QList<pid_t> QMTestUserSession::running(const QString &program) const
{
    QList<pid_t> found;
    for (const pid_t pid : user.processIds())
        if (QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid))).fileName() == program)
            found << pid;
    return found;
}

int QMTestWaitForChild(pid_t pid, int timeoutMs)
{
    if (pid <= 0)
        return -1;
    // Woken by the child's end, not by a clock.
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        struct pollfd ready {pidfd, POLLIN, 0};
        const int n = poll(&ready, 1, timeoutMs);
        close(pidfd);
        if (n == 0)
            kill(pid, SIGKILL);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t QMTestStartLinkSwapAttack(const QMTestUser &attacker, const QString &dir, int files, const QString &bait,
                                const QString &target, int timeoutMs)
{
    // Everything the child needs is made before the fork: it only makes system calls.
    const QByteArray d = QFile::encodeName(dir), moved = d + ".moved", b = QFile::encodeName(bait),
                     t = QFile::encodeName(target);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = attacker.spawn([&]() -> int {
        close(ready[0]);
        if (mkdir(d.constData(), 0755) != 0)
            return 4;
        const int dirFd = open(d.constData(), O_RDONLY | O_DIRECTORY);
        char name[32];
        for (int i = 0; i < files; ++i) {
            snprintf(name, sizeof name, "A%05d", i);
            const int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0)
                return 4;
            close(fd);
        }
        if (mkdirat(dirFd, b.constData(), 0755) != 0)
            return 4;
        const int watch = inotify_init1(0);
        if (watch < 0 || inotify_add_watch(watch, d.constData(), IN_DELETE) < 0)
            return 4;
        if (write(ready[1], "r", 1) != 1)
            return 4;
        struct pollfd event {watch, POLLIN, 0};
        if (poll(&event, 1, timeoutMs) != 1)
            return 3;
        if (rename(d.constData(), moved.constData()) != 0 || symlink(t.constData(), d.constData()) != 0)
            return 5;
        return 0;
    });
    close(ready[1]);
    char byte = 0;
    struct pollfd set {ready[0], POLLIN, 0};
    const bool armed = pid > 0 && poll(&set, 1, 120000) == 1 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!armed) {
        if (pid > 0)
            QMTestWaitForChild(pid, 0);
        return -1;
    }
    return pid;
}
