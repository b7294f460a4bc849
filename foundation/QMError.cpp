#include "QMError.h"

#include "QMErrorAdvice.h"
#include "QMLog.h"

#include <cstring>

namespace {
std::atomic<quint64> gErrorCounter{0};

QString orNull(const QString &s)
{
    return s.isNull() ? QStringLiteral("(null)") : s;
}
} // namespace

QMError::Cause::Cause(const Ptr &error)
{
    if (error) {
        _kind = Kind::Error;
        _error = error;
    }
}

QMError::Cause::Cause(const QString &text)
{
    if (!text.isNull()) {
        _kind = Kind::Text;
        _text = text;
    }
}

QMError::Cause::Cause(const char *text) : Cause(text ? QString::fromUtf8(text) : QString()) {}

QMError::Cause QMError::Cause::platformError(const QString &domain, qint64 code, const QString &localizedDescription)
{
    Cause c;
    c._kind = Kind::Platform;
    c._domain = domain;
    c._code = code;
    c._text = localizedDescription;
    return c;
}

QMError::Cause QMError::Cause::fromErrno(int errnum)
{
    return platformError(QStringLiteral("NSPOSIXErrorDomain"), errnum, QString::fromLocal8Bit(strerror(errnum)));
}

QString QMError::Cause::description() const
{
    switch (_kind) {
    case Kind::None:
        return QStringLiteral("(null)");
    case Kind::Error:
        return _error->description();
    case Kind::Text:
        return _text;
    case Kind::Platform:
        return QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(_domain).arg(_code).arg(_text);
    }
    return {};
}

QString QMError::Cause::localizedDescription() const
{
    switch (_kind) {
    case Kind::None:
        return {};
    case Kind::Error:
        return _error->message();
    case Kind::Text:
    case Kind::Platform:
        return _text;
    }
    return {};
}

QMError::Ptr QMError::errorWithMessage(const QString &message, const QString &reason)
{
    return errorWithMessage(message, reason, Cause());
}

QMError::Ptr QMError::errorWithMessage(const QString &message, const QString &reason, const Cause &depends)
{
    Ptr error(new QMError());
    error->_errorCount = ++gErrorCounter;
    error->_message = message;
    error->_reason = reason;
    error->_depends = depends;
    QM_LogErrorMethod("QMError", error->description());
    return error;
}

quint64 QMError::currentErrorCount()
{
    return gErrorCounter.load();
}

void QMError::addInfo(const QVariant &info, const QString &key)
{
    _infos.append(Info{key, info});
}

QList<QMError::Info> QMError::infos() const
{
    return _infos;
}

QMError::Ptr QMError::initialError() const
{
    if (_depends.kind() != Cause::Kind::Error)
        return nullptr;
    Ptr current = _depends.error();
    while (!current->_depends.isNull()) {
        if (current->_depends.kind() != Cause::Kind::Error)
            return nullptr;
        current = current->_depends.error();
    }
    return current;
}

QString QMError::initialErrorMessage() const
{
    const Ptr root = initialError();
    return root ? root->message() : QString();
}

QString QMError::description() const
{
    QString s = QStringLiteral("<QMError %1 message:%2 reason:%3")
                    .arg(QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(this), 16))
                    .arg(orNull(_message), orNull(_reason));
    for (const Info &i : _infos)
        s += QStringLiteral("\n\tInfos[%1]:{%2\n}").arg(orNull(i.key), QMDescribeVariant(i.info));
    if (!_depends.isNull())
        s += QStringLiteral("\n\tDepends:%1").arg(_depends.description());
    s += QLatin1Char('>');
    return s;
}

QString QMError::stringWithFullStop(const QString &text)
{
    if (text.isEmpty())
        return text;
    const QChar last = text.back();
    if (last == u'!' || last == u'.' || last == u':' || last == u'?' || last == QChar(0x2026))
        return text;
    return text + QLatin1Char('.');
}

QString QMError::alertMessageText(const QString &title) const
{
    return stringWithFullStop(title.isNull() ? QMErrorAdvice::displayMessage(_message) : title);
}

QString QMError::alertInformativeText(const QString &title) const
{
    return stringWithFullStop(QMErrorAdvice::displayMessage(title.isNull() ? initialErrorMessage() : _message));
}

namespace {
// Texts compared as a person reads them: "Device busy" and "Device busy." say the same.
QString comparable(const QString &text)
{
    QString t = text.trimmed();
    while (t.endsWith(QLatin1Char('.')))
        t.chop(1);
    return t.toCaseFolded();
}
} // namespace

QStringList QMError::userCauses(const QStringList &shown) const
{
    QStringList seen;
    for (const QString &s : shown)
        seen << comparable(s);
    seen << comparable(QMErrorAdvice::displayMessage(_message));
    QStringList causes;
    auto add = [&](const QString &text) {
        if (!text.isEmpty() && !seen.contains(comparable(text))) {
            seen << comparable(text);
            causes << stringWithFullStop(text);
        }
    };
    Cause cause = _depends;
    while (cause.kind() == Cause::Kind::Error) {
        add(QMErrorAdvice::displayMessage(cause.error()->message()));
        cause = cause.error()->depends();
    }
    if (cause.kind() == Cause::Kind::Text || cause.kind() == Cause::Kind::Platform)
        add(QMErrorAdvice::readableCause(cause.text()));
    return causes;
}

QString QMError::advice() const
{
    // The deepest error that is known says best what went wrong.
    QString found;
    const QMError *e = this;
    while (e) {
        if (const auto a = QMErrorAdvice::adviceForMessage(e->_message))
            found = *a;
        e = e->_depends.kind() == Cause::Kind::Error ? e->_depends.error().get() : nullptr;
    }
    return found;
}

QString QMError::alertAdviceText(const QString &title) const
{
    QStringList parts = userCauses({alertMessageText(title), alertInformativeText(title)});
    const QString what = advice();
    parts << (what.isNull() ? QMErrorAdvice::tryAgainAdvice() : what);
    parts.removeAll(QString());
    parts.removeAll(QLatin1String(""));
    return parts.join(QLatin1Char(' '));
}

QString QMError::alertDetailedText() const
{
    QStringList lines;
    const QMError *e = this;
    Cause last;
    while (e) {
        lines << (e->_message.isEmpty() ? QStringLiteral("(no message)") : e->_message);
        if (!e->_reason.isEmpty())
            lines << QStringLiteral("    ") + e->_reason.trimmed();
        last = e->_depends;
        e = last.kind() == Cause::Kind::Error ? last.error().get() : nullptr;
    }
    if (last.kind() == Cause::Kind::Text)
        lines << last.text().trimmed();
    else if (last.kind() == Cause::Kind::Platform)
        lines << last.description();
    return lines.join(QLatin1Char('\n'));
}

QString QMDescribeVariant(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return QStringLiteral("<null>");
    if (value.canConvert<QMError::Ptr>() && value.metaType() == QMetaType::fromType<QMError::Ptr>()) {
        const auto e = value.value<QMError::Ptr>();
        return e ? e->description() : QStringLiteral("<null>");
    }
    if (value.metaType() == QMetaType::fromType<QStringList>() || value.metaType() == QMetaType::fromType<QVariantList>()) {
        QStringList parts;
        for (const QVariant &v : value.toList())
            parts << QStringLiteral("    ") + QMDescribeVariant(v);
        return QStringLiteral("(\n%1\n)").arg(parts.join(QStringLiteral(",\n")));
    }
    if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
        QStringList parts;
        const QVariantMap m = value.toMap();
        for (auto it = m.begin(); it != m.end(); ++it)
            parts << QStringLiteral("    %1 = %2;").arg(it.key(), QMDescribeVariant(it.value()));
        return QStringLiteral("{\n%1\n}").arg(parts.join(QLatin1Char('\n')));
    }
    return value.toString();
}
