#include "QMLog.h"

#include "QMBuildInfo.h"
#include "QMError.h"
#include "QMFunctions.h"

#include <QCoreApplication>
#include <QDateTime>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <mutex>
#include <unistd.h>

namespace {

// Unset (0), on (1), off (-1).
std::atomic<int> gDebugSwitch{0};

std::mutex gSinkMutex;
QMLog::Sink gSink;
QMLog::AlertHandler gAlertHandler;
QMLog::CrashReporterHook gCrashReporterHook;

void writeToStandardError(const QString &entry)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    const QByteArray line = QStringLiteral("%1 %2[%3] %4\n")
                                .arg(stamp, QMFunctions::appName())
                                .arg(static_cast<qint64>(getpid()))
                                .arg(entry)
                                .toUtf8();
    fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    fflush(stderr);
}

} // namespace

void QMLog::setIsDebug(bool isDebug)
{
    gDebugSwitch.store(isDebug ? 1 : -1);
}

bool QMLog::isDebug()
{
    return gDebugSwitch.load() == 1;
}

void QMLog::logDiag(const QString &text) { logWithSeverity(Diag, text); }
void QMLog::logDebug(const QString &text) { logWithSeverity(Debug, text); }
void QMLog::logInfo(const QString &text) { logWithSeverity(Info, text); }
void QMLog::logWarning(const QString &text) { logWithSeverity(Warning, text); }
void QMLog::logError(const QString &text) { logWithSeverity(Error, text); }
void QMLog::logCriticalException(const QString &text) { logWithSeverity(CriticalException, text); }

QString QMLog::levelWord(int severity)
{
    switch (severity) {
    case Diag: return QStringLiteral("DIAG");
    case Debug: return QStringLiteral("DEBUG");
    case Info: return QStringLiteral("INFO");
    case Warning: return QStringLiteral("WARNING");
    case Error: return QStringLiteral("ERROR");
    case CriticalException: return QStringLiteral("CRITIRAL EXCEPTION");
    default: return {};
    }
}

QString QMLog::lineText(int severity, const QString &text, const std::shared_ptr<QMError> &error)
{
    const QString word = levelWord(severity);
    QString line = QStringLiteral("%1 %2").arg(word.isNull() ? QStringLiteral("(null)") : word,
                                                text.isNull() ? QStringLiteral("(null)") : text);
    if (error)
        line += QStringLiteral("\n{%1\n}").arg(error->description());
    return line;
}

void QMLog::logWithSeverity(int severity, const QString &text, const std::shared_ptr<QMError> &error)
{
    if (severity == Debug && !isDebug())
        return;
    const QString entry = lineText(severity, text, error);
    std::lock_guard lock(gSinkMutex);
    if (gSink)
        gSink(entry);
    else
        writeToStandardError(entry);
}

QMLog::Sink QMLog::setSink(Sink sink)
{
    std::lock_guard lock(gSinkMutex);
    Sink previous = std::move(gSink);
    gSink = std::move(sink);
    return previous;
}

void QMLog::setCriticalAlertHandler(AlertHandler handler)
{
    std::lock_guard lock(gSinkMutex);
    gAlertHandler = std::move(handler);
}

QString QMLog::criticalAlertTitle()
{
    return QCoreApplication::translate("Localizable", "An critical error occurred with %@.\nPlease, contact Support.")
        .replace(QStringLiteral("%@"), QMFunctions::appName());
}

void QMLog::showCritialException(const QString &text)
{
    AlertHandler handler;
    {
        std::lock_guard lock(gSinkMutex);
        handler = gAlertHandler;
    }
    if (handler)
        handler(criticalAlertTitle(), text);
    else
        logWithSeverity(CriticalException, criticalAlertTitle() + QLatin1Char('\n') + text);
}

void QMLog::setCrashReporterHook(CrashReporterHook hook)
{
    std::lock_guard lock(gSinkMutex);
    gCrashReporterHook = std::move(hook);
}

bool QMLog::presentCrashReporter(int mode)
{
    CrashReporterHook hook;
    {
        std::lock_guard lock(gSinkMutex);
        hook = gCrashReporterHook;
    }
    if (!hook)
        return false;
    hook(mode);
    return true;
}

QUrl QMLog::vendorWebsiteURL()
{
    return QUrl(QStringLiteral(QUILMO_VENDOR_WEBSITE));
}

QUrl QMLog::supportPageURL()
{
    // "?page=support" appended as a further path component of the base address.
    QString base = vendorWebsiteURL().toString();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return QUrl(base + QStringLiteral("?page=support"));
}

namespace qm_detail {

QString demangledClassName(const std::type_info &type)
{
    int status = 0;
    char *name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    QString result = status == 0 && name ? QString::fromUtf8(name) : QString::fromUtf8(type.name());
    std::free(name);
    const int sep = result.lastIndexOf(QStringLiteral("::"));
    return sep >= 0 ? result.mid(sep + 2) : result;
}

QString objectAddressDescription(const void *object, const QString &className)
{
    return QStringLiteral("<%1: 0x%2>").arg(className, QString::number(reinterpret_cast<quintptr>(object), 16));
}

void criticalException(const char *function, int line, const QString &receiver, const QString &className,
                       const QString &condition)
{
    QMLog::logCriticalException(methodLine(function, line, receiver, condition));
    QMLog::showCritialException(
        QStringLiteral("[%1 %2 %3]\n%4").arg(className, QString::fromUtf8(function)).arg(line).arg(condition));
}

} // namespace qm_detail
