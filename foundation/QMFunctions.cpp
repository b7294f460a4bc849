#include "QMFunctions.h"

#include "QMBuildInfo.h"
#include "QMLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QUuid>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Text of a child's output: UTF-8, else 8-bit ASCII (bytes 0x80-0x9F are control codes
// no ASCII text holds), else none.
QString decodeOutput(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b <= 0x9F)
            return {};
    }
    return QString::fromLatin1(bytes);
}

class Pipe
{
public:
    ~Pipe() { closeBoth(); }
    bool open() { return pipe2(fds, O_CLOEXEC) == 0; }
    void closeRead() { closeFd(fds[0]); }
    void closeWrite() { closeFd(fds[1]); }
    void closeBoth() { closeRead(); closeWrite(); }
    int fds[2] = {-1, -1};

private:
    static void closeFd(int &fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

} // namespace

bool QMFunctions::executeCommand(const QString &tool, const QStringList &args,
                                 const std::optional<QVariantMap> &environment, const QString &currentDir,
                                 qint64 *status, QString *stdOut, QString *stdErr)
{
    if (status)
        *status = 0;
    if (stdOut)
        *stdOut = QString();
    if (stdErr)
        *stdErr = QString();

    if (tool.isEmpty() || tool == QLatin1String("/"))
        return false;
    const QByteArray toolPath = QFile::encodeName(tool);
    struct stat st {};
    if (::stat(toolPath.constData(), &st) != 0 || S_ISDIR(st.st_mode) || ::access(toolPath.constData(), X_OK) != 0)
        return false;

    std::vector<QByteArray> argBytes;
    argBytes.push_back(toolPath);
    for (const QString &a : args)
        argBytes.push_back(a.toUtf8());
    std::vector<char *> argv;
    for (auto &a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envBytes;
    std::vector<char *> envp;
    if (environment) {
        for (auto it = environment->begin(); it != environment->end(); ++it)
            envBytes.push_back((it.key() + QLatin1Char('=') + it.value().toString()).toUtf8());
        for (auto &e : envBytes)
            envp.push_back(e.data());
        envp.push_back(nullptr);
    }

    Pipe out, err;
    if (!out.open() || !err.open()) {
        QM_LogErrorMethod("QMFunctions", QStringLiteral("exception:%1 command:%2")
                                             .arg(QString::fromLocal8Bit(strerror(errno)), tool));
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const QByteArray dir = QFile::encodeName(currentDir);
    if (!currentDir.isNull())
        posix_spawn_file_actions_addchdir_np(&actions, dir.constData());

    // The child starts with default signal handling, whatever the caller set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, empty;
    sigemptyset(&empty);
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, toolPath.constData(), &actions, &attr, argv.data(),
                               environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    out.closeWrite();
    err.closeWrite();
    if (rc != 0) {
        QM_LogErrorMethod("QMFunctions", QStringLiteral("exception:%1 command:%2")
                                             .arg(QString::fromLocal8Bit(strerror(rc)), tool));
        return false;
    }

    QByteArray outBytes, errBytes;
    struct pollfd fds[2] = {{out.fds[0], POLLIN, 0}, {err.fds[0], POLLIN, 0}};
    QByteArray *buffers[2] = {&outBytes, &errBytes};
    int open = 2;
    char chunk[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                buffers[i]->append(chunk, static_cast<qsizetype>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }

    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }

    if (stdErr && !errBytes.isEmpty()) {
        *stdErr = decodeOutput(errBytes);
        if (stdErr->isNull())
            *stdErr = QStringLiteral("errString==nil");
    }
    if (stdOut && !outBytes.isEmpty()) {
        *stdOut = decodeOutput(outBytes);
        if (stdOut->isNull())
            *stdOut = QStringLiteral("outString==nil");
    }
    if (status) {
        const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : wstatus;
        *status = static_cast<qint64>(code);
    }
    return true;
}

bool QMFunctions::executeCommand(const QString &tool, const QStringList &args, qint64 *status, QString *stdOut,
                                 QString *stdErr)
{
    return executeCommand(tool, args, std::nullopt, QString(), status, stdOut, stdErr);
}

namespace {

// The program and arguments that run `tool` as root: pkexec for a normal user, the tool
// itself when already root. False (logged) when there is no way to get the rights.
bool privilegedCommand(const QString &tool, const QStringList &args, QString *program, QStringList *arguments)
{
    *program = tool;
    *arguments = args;
    if (geteuid() == 0)
        return true;
    // The graphical prompt of polkit stands in for the administrator's password. By its
    // absolute path: a "pkexec" found first in $PATH could be anyone's.
    const QString pkexec = QStringLiteral("/usr/bin/pkexec");
    if (!QFileInfo(pkexec).isExecutable()) {
        QM_LogErrorMethod("QMFunctions", QStringLiteral("AuthorizationCreate:%1").arg(-60008));
        return false;
    }
    arguments->prepend(tool);
    *program = pkexec;
    return true;
}

void logNotStarted(const QStringList &args, bool logArgs)
{
    QString line = QStringLiteral("AuthorizationExecuteWithPrivileges:%1").arg(-60031);
    if (logArgs)
        line += QStringLiteral(" args:%1").arg(args.join(QStringLiteral(", ")));
    QM_LogErrorMethod("QMFunctions", line);
}

} // namespace

bool QMFunctions::executeWithPrivileges(const QString &tool, const QStringList &args, bool logArgs)
{
    QString program;
    QStringList arguments;
    if (!privilegedCommand(tool, args, &program, &arguments))
        return false;
    if (!QProcess::startDetached(program, arguments)) {
        logNotStarted(args, logArgs);
        return false;
    }
    return true;
}

bool QMFunctions::executeWithPrivilegesAndWait(const QString &tool, const QStringList &args, qint64 *status,
                                               bool logArgs)
{
    if (status)
        *status = 0;
    QString program;
    QStringList arguments;
    if (!privilegedCommand(tool, args, &program, &arguments))
        return false;
    // pkexec starts the tool whatever its path holds; refuse here what could not run.
    const QFileInfo info(tool);
    if (!info.isFile() || !info.isExecutable()) {
        logNotStarted(args, logArgs);
        return false;
    }
    qint64 exitStatus = 0;
    if (!executeCommand(program, arguments, &exitStatus, nullptr, nullptr)) {
        logNotStarted(args, logArgs);
        return false;
    }
    if (status)
        *status = exitStatus;
    return true;
}

QString QMFunctions::UUIDString()
{
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (uuid.isEmpty()) {
        QM_CriticalException("QMFunctions", "uuid==NULL");
        return {};
    }
    return uuid;
}

QString QMFunctions::appName()
{
    static const QString name = [] {
        if (QCoreApplication::instance())
            return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).fileName();
    }();
    return name;
}

QString QMFunctions::appVersion()
{
    return QStringLiteral(QUILMO_VERSION);
}

QString QMFunctions::appBuild()
{
    return QStringLiteral(QUILMO_BUILD_NUMBER);
}

std::optional<double> QMFunctions::dateCompiled()
{
    // The sources' own time rather than the compiler's clock: building the same sources
    // again gives the same program.
    return static_cast<double>(QUILMO_SOURCE_DATE_EPOCH);
}

QString QMFunctions::stringFromBytesWithBin1024Style(qint64 bytes)
{
    if (bytes < 0)
        return {};
    // Linux has no byte-count formatter of its own: these rules are the formatter.
    const char *ctx = "QMFunctions";
    const double count = static_cast<double>(bytes);
    QString text;
    auto format = [&](const char *key, double value) {
        return QString::asprintf(QCoreApplication::translate(ctx, key).toUtf8().constData(), value);
    };
    if (count >= std::ldexp(1.0, 40))
        text = format("%.2f TB", count / std::ldexp(1.0, 40));
    else if (count >= std::ldexp(1.0, 30))
        text = format("%.2f GB", count / std::ldexp(1.0, 30));
    else if (count >= std::ldexp(1.0, 20))
        text = format("%.1f MB", count / std::ldexp(1.0, 20));
    else if (count >= 1024)
        text = format("%.0f KB", count / 1024);
    else if (bytes >= 1)
        return QCoreApplication::translate(ctx, "1 Byte");
    else
        return QCoreApplication::translate(ctx, "Zero Byte");

    const int space = text.indexOf(QLatin1Char(' '));
    if (space > 0) {
        const QString number = text.left(space);
        if (number.endsWith(QLatin1String(".0")) || number.endsWith(QLatin1String(".00"))) {
            const QString whole = number.left(number.indexOf(QLatin1Char('.')));
            return QStringLiteral("%1 %2").arg(whole, text.mid(space + 1));
        }
    }
    return text;
}

bool QMFunctions::isLegalFilename(const QString &name)
{
    if (name.isEmpty() || name.size() > 254)
        return false;
    for (char32_t c : name.toUcs4()) {
        if ((c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029)
            return false;
        switch (QChar::category(c)) {
        case QChar::Other_NotAssigned:
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Symbol_Math:
        case QChar::Symbol_Currency:
        case QChar::Symbol_Modifier:
        case QChar::Symbol_Other:
            return false;
        default:
            break;
        }
        switch (c) {
        case U':': case U'/': case U'\\': case U'|': case U'"': case U'<': case U'>':
            return false;
        default:
            break;
        }
    }
    return true;
}

std::optional<QStringList> QMFunctions::linesFromString(const QString &text)
{
    if (text.isNull())
        return std::nullopt;
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (c == u'\n' || c == u'\r' || c == QChar(0x2029)) {
            lines << text.mid(start, i - start);
            if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines << text.mid(start);
    return lines;
}

namespace {
bool fileTime(double *seconds, const QString &path, bool birth)
{
    if (path.isEmpty())
        return false;
    struct statx stx {};
    const unsigned mask = birth ? STATX_BTIME : STATX_MTIME;
    if (statx(AT_FDCWD, QFile::encodeName(path).constData(), 0, mask, &stx) != 0) {
        QM_LogErrorMethod("QMFunctions", QStringLiteral("stat!=0 errno:%1").arg(errno));
        return false;
    }
    if (!(stx.stx_mask & mask)) {
        // The file system keeps no such time (birth time on some file systems).
        QM_LogErrorMethod("QMFunctions", QStringLiteral("stat!=0 errno:%1").arg(ENODATA));
        return false;
    }
    if (seconds)
        *seconds = static_cast<double>(birth ? stx.stx_btime.tv_sec : stx.stx_mtime.tv_sec);
    return true;
}
} // namespace

bool QMFunctions::getModDate1970(double *seconds, const QString &path)
{
    return fileTime(seconds, path, false);
}

bool QMFunctions::getCreationDate1970(double *seconds, const QString &path)
{
    return fileTime(seconds, path, true);
}

QString QMFunctions::installPrefix()
{
    static const QString prefix = [] {
        if (!qEnvironmentVariableIsEmpty("QUILMO_PREFIX"))
            return QDir::cleanPath(qEnvironmentVariable("QUILMO_PREFIX"));
        QString dir = QCoreApplication::instance()
                          ? QCoreApplication::applicationDirPath()
                          : QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
        dir = QDir::cleanPath(dir);
        // P/libexec/quilmo for the helper and the disk tool, P/bin (or P/tests) otherwise.
        if (dir.endsWith(QLatin1String("/libexec/quilmo")))
            return QDir::cleanPath(dir + QStringLiteral("/../.."));
        return QDir::cleanPath(dir + QStringLiteral("/.."));
    }();
    return prefix;
}

QString QMFunctions::libexecDirectory()
{
    return installPrefix() + QStringLiteral("/libexec/quilmo");
}

QString QMFunctions::shareDirectory()
{
    return installPrefix() + QStringLiteral("/share/quilmo");
}
