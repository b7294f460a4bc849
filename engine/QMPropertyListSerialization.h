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

    enum class ReadStatus {
        Ok,
        Missing,
        Unreadable,
        NotAPropertyList,
        NotADictionary,
        NotARegularFile, // a symbolic link, a FIFO, a device, a directory
        TooLarge,
    };

    // The largest file read: far more than any list of ours, far less than what would
    // exhaust memory.
    static constexpr qint64 maximumFileSize = 16 * 1024 * 1024;

    // Reads a file whole, without following a symbolic link at its place, without waiting
    // on a FIFO, and only a regular file of at most `maximumSize` bytes.
    static ReadStatus readFile(const QString &path, QByteArray *contents, QString *error = nullptr,
                               qint64 maximumSize = maximumFileSize);

    // Reads a property-list file whose root is a dictionary, as readFile() reads it.
    static ReadStatus readDictionary(const QString &path, QVariantMap *dictionary, QString *error = nullptr);

    // Serialises and writes atomically: a new file beside the old one, flushed to disk,
    // renamed over it, and the directory flushed too, so that after a crash the path holds
    // either the old file or the new one, whole. The new file is private to the user.
    static bool writeFileAtomically(const QString &path, const QVariant &value, Format format,
                                    QString *error = nullptr);
    static bool writeDataAtomically(const QString &path, const QByteArray &data, QString *error = nullptr);
};

Q_DECLARE_METATYPE(QMPropertyListSerialization::Uid)
