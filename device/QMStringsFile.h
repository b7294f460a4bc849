#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>

// The strings-file text format: one `"key" = "value";` entry per line.
class QMStringsFile
{
public:
    // Text of a map of strings, entries sorted by key, with `"` and `\` escaped.
    // An empty map gives an empty text.
    static QString textFromMap(const QVariantMap &map);

    // Strict reader: white space, /* */ and // comments, quoted strings with their
    // escapes (\" \\ \n \t \r \a \b \f \v \UXXXX \ooo) and unquoted words
    // ([A-Za-z0-9_$+/:.-]) are allowed; anything else fails. A later duplicate key wins.
    // False (and *map untouched) when the text is not a strings file.
    static bool mapFromText(const QString &text, QVariantMap *map);

    // Same, from UTF-8 bytes; invalid UTF-8 is not a strings file.
    static bool mapFromUtf8(const QByteArray &bytes, QVariantMap *map);
};
