#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

// Keyed archives in the "NSKeyedArchiver" layout: a binary property list holding
// "$archiver", "$version", "$top" {"root": UID} and "$objects", the table of every object,
// each referenced by its index. Strings, lists, dictionaries and data are objects of the
// table; numbers and booleans sit inline in the object that holds them; an object of a
// class of ours is a dictionary of its keys plus "$class", a reference to
// {"$classname", "$classes"}. The layout names its classes, so a reader knows what it reads.
class QMKeyedArchiver
{
public:
    // An archived object of a class of ours: its class name, the class chain (most derived
    // first) and its keyed values. A missing key decodes as absent, as does a nil object.
    struct Object
    {
        QString className;
        QStringList classHierarchy;
        QVariantMap values;
    };

    // Values: QString, bool, integers, double, QByteArray, QStringList and QVariantList (an
    // array), QVariantMap with string keys (a dictionary), Object. An empty array and
    // *error on a value with no archived form.
    static QByteArray archivedDataWithRootObject(const QVariant &root, QString *error = nullptr);

    // The root object, decoded with the same mapping (arrays as QVariantList); an invalid
    // QVariant and *error when the data is not a well-formed keyed archive.
    static QVariant unarchiveObjectWithData(const QByteArray &data, QString *error = nullptr);
};

Q_DECLARE_METATYPE(QMKeyedArchiver::Object)
