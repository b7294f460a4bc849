#include "QMUpdateVersionDocument.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <limits>
#include <sys/utsname.h>

QMUpdateVersionDocument QMUpdateVersionDocument::fromData(const QByteArray &data)
{
    QMUpdateVersionDocument doc;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    doc._text = utf8.decode(data);
    if (utf8.hasError())
        doc._text = QString::fromLatin1(data);
    // A document written with an editor ends with a line break; it belongs to no field.
    QString body = doc._text;
    while (body.endsWith(QLatin1Char('\n')) || body.endsWith(QLatin1Char('\r')))
        body.chop(1);
    doc._fields = body.split(QLatin1Char('|'));
    if (doc._fields.size() == 2)
        doc._kind = Kind::Message;
    else if (doc._fields.size() >= 3)
        doc._kind = Kind::Offer;
    return doc;
}

bool QMUpdateVersionDocument::messageIsShown() const
{
    return _kind == Kind::Message && integerValue(_fields.at(0)) == 1;
}

QString QMUpdateVersionDocument::messageText() const
{
    return _kind == Kind::Message ? _fields.at(1) : QString();
}

qint64 QMUpdateVersionDocument::build() const
{
    return _kind == Kind::Offer ? integerValue(_fields.at(0)) : 0;
}

QString QMUpdateVersionDocument::buildField() const
{
    return _kind == Kind::Offer ? _fields.at(0).trimmed() : QString();
}

QString QMUpdateVersionDocument::displayVersion() const
{
    return _kind == Kind::Offer ? _fields.at(1).trimmed() : QString();
}

QString QMUpdateVersionDocument::downloadLink() const
{
    return _kind == Kind::Offer ? _fields.at(2).trimmed() : QString();
}

QString QMUpdateVersionDocument::systemRequirementField() const
{
    return _kind == Kind::Offer && _fields.size() >= 4 ? _fields.at(3).trimmed() : QString();
}

std::optional<QMUpdateVersionDocument::SystemVersion> QMUpdateVersionDocument::systemRequirement() const
{
    if (_kind != Kind::Offer || _fields.size() < 4)
        return std::nullopt;
    return parseSystemVersion(systemRequirementField());
}

qint64 QMUpdateVersionDocument::integerValue(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t') || text.at(i) == QLatin1Char('\n')
                     || text.at(i) == QLatin1Char('\r')))
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    for (; i < n; ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        const int digit = c.unicode() - '0';
        // Accumulate towards the sign so that the lowest value is reachable too.
        if (negative) {
            if (value < (min + digit) / 10)
                return min;
            value = value * 10 - digit;
        } else {
            if (value > (max - digit) / 10)
                return max;
            value = value * 10 + digit;
        }
    }
    return value;
}

std::optional<QMUpdateVersionDocument::SystemVersion> QMUpdateVersionDocument::parseSystemVersion(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() < 2)
        return std::nullopt;
    SystemVersion v;
    v.major = integerValue(parts.at(0));
    v.minor = integerValue(parts.at(1));
    v.patch = parts.size() > 2 ? integerValue(parts.at(2)) : 0;
    return v;
}

std::optional<QMUpdateVersionDocument::SystemVersion> QMUpdateVersionDocument::parseKernelRelease(const QString &release)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+)\\.(\\d+)(?:\\.(\\d+))?"));
    const QRegularExpressionMatch m = re.match(release);
    if (!m.hasMatch())
        return std::nullopt;
    SystemVersion v;
    v.major = integerValue(m.captured(1));
    v.minor = integerValue(m.captured(2));
    v.patch = m.capturedLength(3) > 0 ? integerValue(m.captured(3)) : 0;
    return v;
}

std::optional<QMUpdateVersionDocument::SystemVersion> QMUpdateVersionDocument::runningSystemVersion()
{
    struct utsname name {};
    if (uname(&name) != 0)
        return std::nullopt;
    return parseKernelRelease(QString::fromLatin1(name.release));
}
