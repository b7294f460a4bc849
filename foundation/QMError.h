#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <memory>

class QWidget;

// The error record of every fallible operation. Errors chain through `depends`; every
// error logs itself, with its whole chain, once when it is created.
class QMError : public std::enable_shared_from_this<QMError>
{
public:
    using Ptr = std::shared_ptr<QMError>;

    // The cause of an error: another QMError, a text, or a platform error with its
    // description (errno and the like).
    class Cause
    {
    public:
        enum class Kind { None, Error, Text, Platform };

        Cause() = default;
        Cause(std::nullptr_t) {}
        Cause(const Ptr &error);
        Cause(const QString &text);
        Cause(const char *text);

        static Cause platformError(const QString &domain, qint64 code, const QString &localizedDescription);
        static Cause fromErrno(int errnum);

        Kind kind() const { return _kind; }
        bool isNull() const { return _kind == Kind::None; }
        Ptr error() const { return _error; }
        QString text() const { return _text; }
        qint64 code() const { return _code; }
        QString domain() const { return _domain; }
        QString description() const;
        // What a user reads of it: message, localized description or the text itself.
        QString localizedDescription() const;

    private:
        Kind _kind = Kind::None;
        Ptr _error;
        QString _text;
        QString _domain;
        qint64 _code = 0;
    };

    struct Info
    {
        QString key;
        QVariant info; // an invalid QVariant is the null marker
    };

    static Ptr errorWithMessage(const QString &message, const QString &reason);
    static Ptr errorWithMessage(const QString &message, const QString &reason, const Cause &depends);

    void addInfo(const QVariant &info, const QString &key);
    QList<Info> infos() const;

    Ptr initialError() const;
    QString initialErrorMessage() const;

    QString description() const;

    // Shows the error in an alert with the single button "OK": a sheet on a visible window,
    // else application-modal. Lives in the UI library (quilmo_foundation_ui).
    void presentWIthTitle(const QString &title, QWidget *window) const;

    // The two texts of that alert, after the full-stop rule.
    QString alertMessageText(const QString &title) const;
    QString alertInformativeText(const QString &title) const;
    // What the alert adds for people below them: the causes a person can read (a tool's own
    // line without the tool's private name, a system error's description) and what to do.
    // Never a function, a line number or a failed condition: those are in the details.
    QString alertAdviceText(const QString &title) const;
    // The alert's details: each error of the chain with its reason (function, line and the
    // failed condition), and the last cause as it was given.
    QString alertDetailedText() const;

    // The causes a person can read, from the head down, without the texts `shown` already
    // holds; and what to do about this error in words (empty when nothing is known beyond
    // trying again, which each program words for itself).
    QStringList userCauses(const QStringList &shown = {}) const;
    QString advice() const;

    // Appends "." to a non-empty text that does not end in "!", ".", ":", "?" or an ellipsis.
    static QString stringWithFullStop(const QString &text);

    quint64 errorCount() const { return _errorCount; }
    QString message() const { return _message; }
    QString reason() const { return _reason; }
    const Cause &depends() const { return _depends; }
    bool isNotified() const { return _isNotified.load(); }
    void setIsNotified(bool notified) { _isNotified.store(notified); }

    static quint64 currentErrorCount();

private:
    QMError() = default;

    quint64 _errorCount = 0;
    QString _message;
    QString _reason;
    Cause _depends;
    QList<Info> _infos;
    std::atomic<bool> _isNotified{false};
};

Q_DECLARE_METATYPE(QMError::Ptr)

// Text form of any value stored in an error's infos.
QString QMDescribeVariant(const QVariant &value);
