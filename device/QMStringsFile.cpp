#include "QMStringsFile.h"

#include <QStringDecoder>

namespace {

QString quoted(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('"');
    return out;
}

// A recursive-descent reader over the whole text; any deviation fails the whole parse.
class Reader
{
public:
    explicit Reader(const QString &text) : _s(text) {}

    bool parse(QVariantMap *out)
    {
        QVariantMap map;
        if (_pos < _s.size() && _s.at(_pos) == QChar(0xFEFF))
            ++_pos;
        for (;;) {
            if (!skipSpaceAndComments())
                return false;
            if (_pos >= _s.size())
                break;
            QString key, value;
            if (!readString(&key))
                return false;
            if (!skipSpaceAndComments())
                return false;
            if (peek() == u';') {
                // `"key";` names a key whose value is itself.
                ++_pos;
                map.insert(key, key);
                continue;
            }
            if (peek() != u'=')
                return false;
            ++_pos;
            if (!skipSpaceAndComments() || !readString(&value) || !skipSpaceAndComments())
                return false;
            if (peek() != u';')
                return false;
            ++_pos;
            map.insert(key, value);
        }
        *out = map;
        return true;
    }

private:
    QChar peek() const { return _pos < _s.size() ? _s.at(_pos) : QChar(); }

    bool skipSpaceAndComments()
    {
        while (_pos < _s.size()) {
            const QChar c = _s.at(_pos);
            if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f' || c == u'\v'
                || c == QChar(0x2028) || c == QChar(0x2029)) {
                ++_pos;
            } else if (c == u'/' && _pos + 1 < _s.size() && _s.at(_pos + 1) == u'*') {
                const qsizetype end = _s.indexOf(QLatin1String("*/"), _pos + 2);
                if (end < 0)
                    return false; // an unterminated comment
                _pos = end + 2;
            } else if (c == u'/' && _pos + 1 < _s.size() && _s.at(_pos + 1) == u'/') {
                while (_pos < _s.size() && _s.at(_pos) != u'\n' && _s.at(_pos) != u'\r')
                    ++_pos;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isWordChar(QChar c)
    {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_'
            || u == u'$' || u == u'+' || u == u'/' || u == u':' || u == u'.' || u == u'-';
    }

    static int hexValue(QChar c)
    {
        const char16_t u = c.unicode();
        if (u >= u'0' && u <= u'9')
            return u - u'0';
        if (u >= u'a' && u <= u'f')
            return u - u'a' + 10;
        if (u >= u'A' && u <= u'F')
            return u - u'A' + 10;
        return -1;
    }

    bool readString(QString *out)
    {
        if (peek() == u'"')
            return readQuoted(out);
        const qsizetype start = _pos;
        while (_pos < _s.size() && isWordChar(_s.at(_pos))) {
            // A comment start ends a word.
            if (_s.at(_pos) == u'/' && _pos + 1 < _s.size() && (_s.at(_pos + 1) == u'/' || _s.at(_pos + 1) == u'*'))
                break;
            ++_pos;
        }
        if (_pos == start)
            return false;
        *out = _s.mid(start, _pos - start);
        return true;
    }

    bool readQuoted(QString *out)
    {
        ++_pos; // the opening quote
        QString text;
        while (_pos < _s.size()) {
            const QChar c = _s.at(_pos++);
            if (c == u'"') {
                *out = text;
                return true;
            }
            if (c != u'\\') {
                text += c;
                continue;
            }
            if (_pos >= _s.size())
                return false;
            const QChar e = _s.at(_pos++);
            switch (e.unicode()) {
            case u'"': text += u'"'; break;
            case u'\\': text += u'\\'; break;
            case u'\'': text += u'\''; break;
            case u'n': text += u'\n'; break;
            case u't': text += u'\t'; break;
            case u'r': text += u'\r'; break;
            case u'a': text += QChar(0x07); break;
            case u'b': text += QChar(0x08); break;
            case u'f': text += QChar(0x0C); break;
            case u'v': text += QChar(0x0B); break;
            case u'U': {
                // \U followed by up to four hexadecimal digits, one UTF-16 unit.
                int value = 0, digits = 0;
                while (digits < 4 && _pos < _s.size() && hexValue(_s.at(_pos)) >= 0) {
                    value = value * 16 + hexValue(_s.at(_pos++));
                    ++digits;
                }
                if (digits == 0)
                    return false;
                text += QChar(static_cast<char16_t>(value));
                break;
            }
            default:
                if (e >= u'0' && e <= u'7') {
                    // Up to three octal digits: one byte value.
                    int value = e.unicode() - u'0', digits = 1;
                    while (digits < 3 && _pos < _s.size() && _s.at(_pos) >= u'0' && _s.at(_pos) <= u'7') {
                        value = value * 8 + (_s.at(_pos++).unicode() - u'0');
                        ++digits;
                    }
                    if (value > 0xFF)
                        return false;
                    text += QChar(static_cast<char16_t>(value));
                    break;
                }
                return false; // an escape the format does not have
            }
        }
        return false; // an unterminated string
    }

    const QString &_s;
    qsizetype _pos = 0;
};

} // namespace

QString QMStringsFile::textFromMap(const QVariantMap &map)
{
    QString text;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        text += quoted(it.key()) + QStringLiteral(" = ") + quoted(it.value().toString()) + QStringLiteral(";\n");
    return text;
}

bool QMStringsFile::mapFromText(const QString &text, QVariantMap *map)
{
    QVariantMap parsed;
    if (!Reader(text).parse(&parsed))
        return false;
    if (map)
        *map = parsed;
    return true;
}

bool QMStringsFile::mapFromUtf8(const QByteArray &bytes, QVariantMap *map)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return false;
    return mapFromText(text, map);
}
