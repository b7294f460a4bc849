#include "QMCrashHandler.h"

#include "QMFunctions.h"
#include "QMLog.h"
#include "QMLogFile.h"

#include <QDir>
#include <QFile>

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// Everything the handler needs is prepared at install time, in fixed buffers: a handler
// may call neither malloc nor anything that takes a lock.
char gDirectory[1024];
char gProgram[64];
char gHeader[512]; // "Program: ...\nVersion: ...\nBuild: ...\n"
volatile sig_atomic_t gHandling = 0;
std::atomic<bool> gInstalled{false};
bool gInstallResult = false;

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
struct sigaction gPrevious[sizeof(kSignals) / sizeof(kSignals[0])];

// A stack of its own, so that a stack overflow can still be reported.
alignas(16) char gAltStack[64 * 1024];

const char *signalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    default: return "signal";
    }
}

// ---- async-signal-safe text ----

size_t textLength(const char *s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void writeText(int fd, const char *s)
{
    writeAll(fd, s, textLength(s));
}

// Decimal or hexadecimal digits of v into buf (at least 24 bytes); returns buf.
char *formatNumber(char *buf, unsigned long long v, unsigned base)
{
    char tmp[24];
    int n = 0;
    do {
        const unsigned d = static_cast<unsigned>(v % base);
        tmp[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        v /= base;
    } while (v && n < 23);
    int i = 0;
    while (n > 0)
        buf[i++] = tmp[--n];
    buf[i] = 0;
    return buf;
}

void appendText(char *buf, size_t capacity, const char *s)
{
    size_t len = textLength(buf);
    while (*s && len + 1 < capacity)
        buf[len++] = *s++;
    buf[len] = 0;
}

// The executable mappings of /proc/self/maps: the key to the backtrace's addresses.
void writeLoadedCode(int fd)
{
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0)
        return;
    char chunk[4096];
    char line[1024];
    size_t lineLen = 0;
    ssize_t n;
    while ((n = ::read(maps, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            const char c = chunk[i];
            if (lineLen + 1 < sizeof line)
                line[lineLen++] = c;
            if (c != '\n')
                continue;
            line[lineLen] = 0;
            // "start-end perms offset dev inode path": keep the executable ones.
            const char *space = nullptr;
            for (size_t k = 0; k < lineLen; ++k)
                if (line[k] == ' ') {
                    space = line + k;
                    break;
                }
            if (space && space[1] == 'r' && space[3] == 'x')
                writeAll(fd, line, lineLen);
            lineLen = 0;
        }
    }
    ::close(maps);
}

void writeReport(int sig, const siginfo_t *info)
{
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    char seconds[24];
    char pid[24];
    formatNumber(seconds, static_cast<unsigned long long>(now.tv_sec), 10);
    formatNumber(pid, static_cast<unsigned long long>(getpid()), 10);

    char path[sizeof gDirectory + 128];
    path[0] = 0;
    appendText(path, sizeof path, gDirectory);
    appendText(path, sizeof path, "/");
    appendText(path, sizeof path, gProgram);
    appendText(path, sizeof path, "-");
    appendText(path, sizeof path, seconds);
    appendText(path, sizeof path, "-");
    appendText(path, sizeof path, pid);
    appendText(path, sizeof path, ".crash");

    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char number[24];
    writeText(fd, "Quilmo crash report\n");
    writeText(fd, gHeader);
    writeText(fd, "Process: ");
    writeText(fd, pid);
    writeText(fd, "\nTime: ");
    writeText(fd, seconds);
    writeText(fd, "\nSignal: ");
    writeText(fd, formatNumber(number, static_cast<unsigned long long>(sig), 10));
    writeText(fd, " (");
    writeText(fd, signalName(sig));
    writeText(fd, ")\n");
    if (info && (sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE)) {
        writeText(fd, "Fault address: 0x");
        writeText(fd, formatNumber(number, reinterpret_cast<unsigned long long>(info->si_addr), 16));
        writeText(fd, "\n");
    }
    writeText(fd, "\nBacktrace:\n");
    void *frames[128];
    const int count = backtrace(frames, 128);
    backtrace_symbols_fd(frames, count, fd);
    writeText(fd, "\nLoaded code:\n");
    writeLoadedCode(fd);
    ::fsync(fd);
    ::close(fd);
}

int indexOfSignal(int sig)
{
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i)
        if (kSignals[i] == sig)
            return static_cast<int>(i);
    return -1;
}

void fatalSignalHandler(int sig, siginfo_t *info, void *)
{
    const int saved = errno;
    // A fault inside the handler itself (or a second thread crashing) only ends the process.
    if (!gHandling) {
        gHandling = 1;
        writeReport(sig, info);
    }
    // Back to what was there before (the default: end the process), then the signal again;
    // it is blocked while this handler runs and is delivered as soon as it returns. A fault
    // returns to the faulting instruction, which faults again under the old action.
    const int i = indexOfSignal(sig);
    if (i >= 0 && gPrevious[i].sa_handler != SIG_IGN)
        sigaction(sig, &gPrevious[i], nullptr);
    else
        signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

void copyInto(char *dst, size_t capacity, const QByteArray &src)
{
    const size_t n = std::min(capacity - 1, static_cast<size_t>(src.size()));
    memcpy(dst, src.constData(), n);
    dst[n] = 0;
}

} // namespace

QString QMCrashHandler::crashDirectory()
{
    return QMLogFile::logDirectory() + QStringLiteral("/crashes");
}

QString QMCrashHandler::reportSuffix()
{
    return QStringLiteral(".crash");
}

bool QMCrashHandler::isInstalled()
{
    return gInstalled.load();
}

bool QMCrashHandler::install(const QString &program)
{
    if (gInstalled.exchange(true))
        return gInstallResult;

    const QString dir = crashDirectory();
    if (!QDir().mkpath(dir)) {
        QM_LogErrorFunction(QStringLiteral("mkpath==NO path:%1").arg(dir));
        return gInstallResult = false;
    }
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    copyInto(gDirectory, sizeof gDirectory, QFile::encodeName(dir));
    // Only characters that make a plain file name.
    QByteArray name = program.toUtf8();
    for (char &c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    copyInto(gProgram, sizeof gProgram, name);
    copyInto(gHeader, sizeof gHeader,
             QStringLiteral("Program: %1\nVersion: %2\nBuild: %3\n")
                 .arg(program, QMFunctions::appVersion(), QMFunctions::appBuild())
                 .toUtf8());

    // The first backtrace() loads the unwinder, which allocates: do it now, not in the handler.
    void *warmUp[4];
    backtrace(warmUp, 4);

    stack_t stack = {};
    stack.ss_sp = gAltStack;
    stack.ss_size = sizeof gAltStack;
    if (sigaltstack(&stack, nullptr) != 0)
        QM_LogWarningFunction(QStringLiteral("sigaltstack==NO"));

    struct sigaction action = {};
    action.sa_sigaction = fatalSignalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
        if (sigaction(kSignals[i], &action, &gPrevious[i]) != 0) {
            QM_LogErrorFunction(QStringLiteral("sigaction==NO signal:%1").arg(kSignals[i]));
            ok = false;
        }
    }
    return gInstallResult = ok;
}
