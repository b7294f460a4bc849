#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVariant>

// Property lists (XML or binary) over libplist, as values Qt code can use.
//
// Mapping: dictionary <-> QVariantMap, array <-> QVariantList, string <-> QString,
// integer <-> qint64 (quint64 accepted when writing), real <-> double, boolean <-> bool,
// data <-> QByteArray, date <-> QDateTime (UTC), UID <-> QMPropertyListSerialization::Uid.
//
// Files are read and written whole; writes go to a temporary file in the same directory
// that is then renamed over the old one, so a reader never sees half a file.
class QMPropertyListSerialization
{
public:
    // A keyed-archive object reference.
    struct Uid
    {
        quint64 value = 0;
        bool operator==(const Uid &other) const { return value == other.value; }
    };

    enum class Format { Xml, Binary };

    // Parses XML or binary property-list data; an invalid QVariant when the data is not a
    // property list.
    static QVariant fromData(const QByteArray &data);

    // Serialises a value; an empty array when the value (or a value inside it) has no
    // property-list form, and *error says which.
    static QByteArray toData(const QVariant &value, Format format, QString *error = nullptr);

    enum class ReadStatus { Ok, Missing, Unreadable, NotAPropertyList, NotADictionary };

    // Reads a property-list file whose root is a dictionary.
    static ReadStatus readDictionary(const QString &path, QVariantMap *dictionary, QString *error = nullptr);

    // Serialises and writes atomically (temporary file + rename, flushed to disk first).
    static bool writeFileAtomically(const QString &path, const QVariant &value, Format format,
                                    QString *error = nullptr);
};

Q_DECLARE_METATYPE(QMPropertyListSerialization::Uid)
