#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

// Property lists (XML or binary) as Qt values: dictionaries become QVariantMap, arrays
// QVariantList, strings QString, integers quint64/qint64, reals double, booleans bool,
// data QByteArray, dates QDateTime (UTC).
class QMPropertyList
{
public:
    // None when the bytes are not a property list (or nest deeper than is sane).
    static std::optional<QVariant> fromData(const QByteArray &data);

    // The file's property list, none when it cannot be read or parsed.
    static std::optional<QVariant> fromFile(const QString &path);

    // The XML text of a property list (binary lists are converted) that libplist can read
    // back without aborting: none for what is not a list, holds a zero character (libplist
    // asserts on it, and on dictionary keys that are not strings in binary lists) or nests
    // absurdly deep.
    static std::optional<QByteArray> readableXml(const QByteArray &data);
};
