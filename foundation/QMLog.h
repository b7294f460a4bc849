#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <type_traits>
#include <typeinfo>

class QMError;

// The levelled log of both programs. Lines go to standard error, one entry each, with a
// time stamp, the program name and its process id in front of the text.
class QMLog
{
public:
    enum Severity { Diag = 0, Debug = 1, Info = 2, Warning = 3, Error = 4, CriticalException = 5 };

    static void setIsDebug(bool isDebug);
    static bool isDebug();

    static void logDiag(const QString &text);
    static void logDebug(const QString &text);
    static void logInfo(const QString &text);
    static void logWarning(const QString &text);
    static void logError(const QString &text);
    static void logCriticalException(const QString &text);

    static void logWithSeverity(int severity, const QString &text, const std::shared_ptr<QMError> &error = nullptr);

    // Shows the critical-exception alert on the main thread and waits until it is dismissed.
    // Without a GUI (no alert handler registered) the alert is only logged.
    static void showCritialException(const QString &text);

    // The level word written at the head of a line (null above 5).
    static QString levelWord(int severity);

    // The text of a log entry: "%@ %@" with the level word and the text, the error appended.
    static QString lineText(int severity, const QString &text, const std::shared_ptr<QMError> &error);

    // Where finished entries go (standard error by default); tests capture the log here.
    using Sink = std::function<void(const QString &entry)>;
    static Sink setSink(Sink sink);

    // The UI library registers the alert; it receives the title and the informative text.
    using AlertHandler = std::function<void(const QString &title, const QString &text)>;
    static void setCriticalAlertHandler(AlertHandler handler);

    // The alert's title for this program.
    static QString criticalAlertTitle();

    // The crash reporter of the main application registers itself here; mode 2 comes
    // from the critical-exception alert.
    using CrashReporterHook = std::function<void(int mode)>;
    static void setCrashReporterHook(CrashReporterHook hook);
    static bool presentCrashReporter(int mode);

    // The vendor website and its support page.
    static QUrl vendorWebsiteURL();
    static QUrl supportPageURL();
};

namespace qm_detail {

QString demangledClassName(const std::type_info &type);
QString objectAddressDescription(const void *object, const QString &className);

template<typename T>
concept HasDescription = requires(const T &t) {
    { t.description() } -> std::convertible_to<QString>;
};

// Receivers of the method convention: a class name for class operations, or an object.
inline QString receiverDescription(const char *className) { return QString::fromUtf8(className); }
inline QString receiverDescription(const QString &className) { return className; }
template<typename T>
QString receiverDescription(const T *object)
{
    if constexpr (HasDescription<T>)
        return object ? object->description() : QStringLiteral("(null)");
    else
        return objectAddressDescription(object, demangledClassName(typeid(T)));
}

inline QString receiverClassName(const char *className) { return QString::fromUtf8(className); }
inline QString receiverClassName(const QString &className) { return className; }
template<typename T>
QString receiverClassName(const T *)
{
    return demangledClassName(typeid(T));
}

inline QString methodLine(const char *function, int line, const QString &receiver, const QString &text)
{
    return QStringLiteral("%1(%2) %3 %4").arg(QString::fromUtf8(function)).arg(line).arg(receiver, text);
}

inline QString functionLine(const char *function, int line, const QString &text)
{
    return QStringLiteral("%1(%2) %3").arg(QString::fromUtf8(function)).arg(line).arg(text);
}

void criticalException(const char *function, int line, const QString &receiver, const QString &className,
                       const QString &condition);

} // namespace qm_detail

// "%s(%d) %@ %@": function, line, receiver, text. The receiver is `this` in a member
// function and the class name (a string) in a class operation.
#define QM_LogMethod(severity, receiver, text)                                                        \
    QMLog::logWithSeverity((severity),                                                                \
                           qm_detail::methodLine(__func__, __LINE__,                                  \
                                                 qm_detail::receiverDescription(receiver), (text)))
#define QM_LogErrorMethod(receiver, text) QM_LogMethod(QMLog::Error, receiver, text)
#define QM_LogWarningMethod(receiver, text) QM_LogMethod(QMLog::Warning, receiver, text)
#define QM_LogInfoMethod(receiver, text) QM_LogMethod(QMLog::Info, receiver, text)

// "%s(%d) %@": function, line, text.
#define QM_LogFunction(severity, text)                                                                \
    QMLog::logWithSeverity((severity), qm_detail::functionLine(__func__, __LINE__, (text)))
#define QM_LogErrorFunction(text) QM_LogFunction(QMLog::Error, text)
#define QM_LogWarningFunction(text) QM_LogFunction(QMLog::Warning, text)
#define QM_LogInfoFunction(text) QM_LogFunction(QMLog::Info, text)

// An internal invariant failed: log it, then show the critical-exception alert with
// "[%@ %s %d]\n%@" (class, function, line, condition). The caller goes on with its own
// failure path.
#define QM_CriticalException(receiver, condition)                                                     \
    qm_detail::criticalException(__func__, __LINE__, qm_detail::receiverDescription(receiver),        \
                                 qm_detail::receiverClassName(receiver), QStringLiteral(condition))
