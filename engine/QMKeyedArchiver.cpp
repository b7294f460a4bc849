#include "QMKeyedArchiver.h"

#include "QMPropertyListSerialization.h"

#include <QHash>

namespace {

const QString kNull = QStringLiteral("$null");
const QString kClass = QStringLiteral("$class");
const QString kClassName = QStringLiteral("$classname");
const QString kClasses = QStringLiteral("$classes");

using Uid = QMPropertyListSerialization::Uid;

class Encoder
{
public:
    Encoder() { objects.append(kNull); }

    // False (with *error) when something has no archived form.
    bool encode(const QVariant &value, QVariant *out, QString *error, int depth = 0)
    {
        if (depth > 64) {
            *error = QStringLiteral("nesting too deep");
            return false;
        }
        switch (value.typeId()) {
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Double:
            *out = value;
            return true;
        case QMetaType::QString: {
            const QString s = value.toString();
            if (s.isNull()) {
                *out = QVariant::fromValue(Uid{0});
                return true;
            }
            auto it = strings.constFind(s);
            if (it != strings.constEnd()) {
                *out = QVariant::fromValue(Uid{it.value()});
                return true;
            }
            const quint64 uid = append(s);
            strings.insert(s, uid);
            *out = QVariant::fromValue(Uid{uid});
            return true;
        }
        case QMetaType::QByteArray:
            *out = QVariant::fromValue(Uid{append(value.toByteArray())});
            return true;
        case QMetaType::QStringList:
        case QMetaType::QVariantList: {
            // Reserve the array's slot first: references point downwards, as in the
            // archives the platform writes.
            const quint64 uid = append(QVariant());
            QVariantList refs;
            for (const QVariant &item : value.toList()) {
                QVariant ref;
                if (!encode(item, &ref, error, depth + 1))
                    return false;
                refs.append(ref);
            }
            QVariantMap dict{{QStringLiteral("NS.objects"), refs}};
            dict.insert(kClass, classRef(QStringLiteral("NSArray"), {QStringLiteral("NSArray"), QStringLiteral("NSObject")}));
            objects[static_cast<qsizetype>(uid)] = dict;
            *out = QVariant::fromValue(Uid{uid});
            return true;
        }
        case QMetaType::QVariantMap: {
            const quint64 uid = append(QVariant());
            const QVariantMap map = value.toMap();
            QVariantList keys, values;
            for (auto it = map.begin(); it != map.end(); ++it) {
                QVariant k, v;
                if (!encode(it.key(), &k, error, depth + 1) || !encode(it.value(), &v, error, depth + 1))
                    return false;
                keys.append(k);
                values.append(v);
            }
            QVariantMap dict{{QStringLiteral("NS.keys"), keys}, {QStringLiteral("NS.objects"), values}};
            dict.insert(kClass, classRef(QStringLiteral("NSDictionary"),
                                         {QStringLiteral("NSDictionary"), QStringLiteral("NSObject")}));
            objects[static_cast<qsizetype>(uid)] = dict;
            *out = QVariant::fromValue(Uid{uid});
            return true;
        }
        default:
            break;
        }
        if (value.metaType() == QMetaType::fromType<QMKeyedArchiver::Object>()) {
            const auto object = value.value<QMKeyedArchiver::Object>();
            if (object.className.isEmpty() || object.values.contains(kClass)) {
                *error = QStringLiteral("object without a class name");
                return false;
            }
            const quint64 uid = append(QVariant());
            QVariantMap dict;
            for (auto it = object.values.begin(); it != object.values.end(); ++it) {
                QVariant v;
                if (!encode(it.value(), &v, error, depth + 1))
                    return false;
                dict.insert(it.key(), v);
            }
            QStringList classes = object.classHierarchy;
            if (classes.isEmpty() || classes.first() != object.className)
                classes.prepend(object.className);
            if (!classes.contains(QStringLiteral("NSObject")))
                classes.append(QStringLiteral("NSObject"));
            dict.insert(kClass, classRef(object.className, classes));
            objects[static_cast<qsizetype>(uid)] = dict;
            *out = QVariant::fromValue(Uid{uid});
            return true;
        }
        *error = QStringLiteral("no archived form for a value of type %1")
                     .arg(QString::fromLatin1(value.metaType().name() ? value.metaType().name() : "invalid"));
        return false;
    }

    QVariantList objects;

private:
    quint64 append(const QVariant &v)
    {
        objects.append(v);
        return static_cast<quint64>(objects.size() - 1);
    }
    QVariant classRef(const QString &name, const QStringList &chain)
    {
        auto it = classes.constFind(name);
        if (it == classes.constEnd())
            it = classes.insert(name, append(QVariantMap{{kClassName, name}, {kClasses, chain}}));
        return QVariant::fromValue(Uid{it.value()});
    }

    QHash<QString, quint64> strings;
    QHash<QString, quint64> classes;
};

class Decoder
{
public:
    explicit Decoder(const QVariantList &objects) : objects(objects) {}

    // Resolves a value found in an object: references are followed, inline values kept.
    bool decodeValue(const QVariant &value, QVariant *out, QString *error, int depth)
    {
        if (value.metaType() == QMetaType::fromType<Uid>())
            return decodeRef(value.value<Uid>().value, out, error, depth);
        switch (value.typeId()) {
        case QMetaType::Bool:
        case QMetaType::LongLong:
        case QMetaType::Double:
            *out = value;
            return true;
        default:
            // Dictionaries, arrays and strings are never inline in a keyed archive.
            *error = QStringLiteral("unexpected inline value of type %1")
                         .arg(QString::fromLatin1(value.metaType().name()));
            return false;
        }
    }

    bool decodeRef(quint64 uid, QVariant *out, QString *error, int depth)
    {
        if (depth > 64) {
            *error = QStringLiteral("nesting too deep or a reference cycle");
            return false;
        }
        if (uid >= static_cast<quint64>(objects.size())) {
            *error = QStringLiteral("reference %1 out of range").arg(uid);
            return false;
        }
        const QVariant &object = objects.at(static_cast<qsizetype>(uid));
        if (uid == 0) {
            *out = QVariant(); // nil
            return true;
        }
        switch (object.typeId()) {
        case QMetaType::QString:
        case QMetaType::QByteArray:
        case QMetaType::LongLong:
        case QMetaType::Double:
        case QMetaType::Bool:
            *out = object;
            return true;
        case QMetaType::QVariantMap:
            return decodeObject(object.toMap(), out, error, depth);
        default:
            *error = QStringLiteral("object %1 of unexpected type").arg(uid);
            return false;
        }
    }

private:
    bool decodeList(const QVariant &refs, QVariantList *out, QString *error, int depth)
    {
        if (refs.typeId() != QMetaType::QVariantList) {
            *error = QStringLiteral("array without a list of objects");
            return false;
        }
        for (const QVariant &ref : refs.toList()) {
            QVariant v;
            if (!decodeValue(ref, &v, error, depth + 1))
                return false;
            out->append(v);
        }
        return true;
    }

    bool decodeObject(const QVariantMap &dict, QVariant *out, QString *error, int depth)
    {
        const QVariant classRef = dict.value(kClass);
        if (classRef.metaType() != QMetaType::fromType<Uid>()) {
            *error = QStringLiteral("object without a class");
            return false;
        }
        const quint64 classUid = classRef.value<Uid>().value;
        if (classUid == 0 || classUid >= static_cast<quint64>(objects.size())) {
            *error = QStringLiteral("class reference out of range");
            return false;
        }
        const QVariantMap classDict = objects.at(static_cast<qsizetype>(classUid)).toMap();
        const QString className = classDict.value(kClassName).toString();
        if (classDict.value(kClassName).typeId() != QMetaType::QString || className.isEmpty()) {
            *error = QStringLiteral("class without a name");
            return false;
        }
        QStringList chain;
        for (const QVariant &c : classDict.value(kClasses).toList())
            chain << c.toString();

        if (className == QLatin1String("NSArray") || className == QLatin1String("NSMutableArray")
            || className == QLatin1String("NSSet") || className == QLatin1String("NSMutableSet")) {
            QVariantList list;
            if (!decodeList(dict.value(QStringLiteral("NS.objects")), &list, error, depth))
                return false;
            *out = list;
            return true;
        }
        if (className == QLatin1String("NSDictionary") || className == QLatin1String("NSMutableDictionary")) {
            QVariantList keys, values;
            if (!decodeList(dict.value(QStringLiteral("NS.keys")), &keys, error, depth)
                || !decodeList(dict.value(QStringLiteral("NS.objects")), &values, error, depth))
                return false;
            if (keys.size() != values.size()) {
                *error = QStringLiteral("dictionary with %1 keys and %2 values").arg(keys.size()).arg(values.size());
                return false;
            }
            QVariantMap map;
            for (qsizetype i = 0; i < keys.size(); ++i) {
                if (keys.at(i).typeId() != QMetaType::QString) {
                    *error = QStringLiteral("dictionary key that is not a string");
                    return false;
                }
                map.insert(keys.at(i).toString(), values.at(i));
            }
            *out = map;
            return true;
        }
        if (className == QLatin1String("NSString") || className == QLatin1String("NSMutableString")) {
            const QVariant s = dict.value(QStringLiteral("NS.string"));
            if (s.typeId() != QMetaType::QString) {
                *error = QStringLiteral("string object without its text");
                return false;
            }
            *out = s;
            return true;
        }
        if (className == QLatin1String("NSData") || className == QLatin1String("NSMutableData")) {
            const QVariant d = dict.value(QStringLiteral("NS.data"));
            if (d.typeId() != QMetaType::QByteArray) {
                *error = QStringLiteral("data object without its bytes");
                return false;
            }
            *out = d;
            return true;
        }
        if (className == QLatin1String("NSDate")) {
            *out = dict.value(QStringLiteral("NS.time")).toDouble();
            return true;
        }

        QMKeyedArchiver::Object object;
        object.className = className;
        object.classHierarchy = chain;
        for (auto it = dict.begin(); it != dict.end(); ++it) {
            if (it.key() == kClass)
                continue;
            QVariant v;
            if (!decodeValue(it.value(), &v, error, depth + 1))
                return false;
            if (v.isValid())
                object.values.insert(it.key(), v);
        }
        *out = QVariant::fromValue(object);
        return true;
    }

    const QVariantList &objects;
};

} // namespace

QByteArray QMKeyedArchiver::archivedDataWithRootObject(const QVariant &root, QString *error)
{
    QString why;
    Encoder encoder;
    QVariant rootRef;
    if (!encoder.encode(root, &rootRef, &why)) {
        if (error)
            *error = why;
        return {};
    }
    const QVariantMap archive{
        {QStringLiteral("$archiver"), QStringLiteral("NSKeyedArchiver")},
        {QStringLiteral("$version"), qint64(100000)},
        {QStringLiteral("$top"), QVariantMap{{QStringLiteral("root"), rootRef}}},
        {QStringLiteral("$objects"), encoder.objects},
    };
    return QMPropertyListSerialization::toData(archive, QMPropertyListSerialization::Format::Binary, error);
}

QVariant QMKeyedArchiver::unarchiveObjectWithData(const QByteArray &data, QString *error)
{
    QString why;
    const QVariant plist = QMPropertyListSerialization::fromData(data);
    const QVariantMap archive = plist.toMap();
    const QVariant root = archive.value(QStringLiteral("$top")).toMap().value(QStringLiteral("root"));
    if (!plist.isValid()) {
        why = QStringLiteral("not a property list");
    } else if (plist.typeId() != QMetaType::QVariantMap
               || archive.value(QStringLiteral("$archiver")).toString() != QLatin1String("NSKeyedArchiver")) {
        why = QStringLiteral("not a keyed archive");
    } else if (archive.value(QStringLiteral("$objects")).typeId() != QMetaType::QVariantList
               || root.metaType() != QMetaType::fromType<Uid>()) {
        why = QStringLiteral("keyed archive without objects or root");
    } else {
        const QVariantList objects = archive.value(QStringLiteral("$objects")).toList();
        Decoder decoder(objects);
        QVariant out;
        if (decoder.decodeRef(root.value<Uid>().value, &out, &why, 0))
            return out.isValid() ? out : QVariant();
        why.prepend(QStringLiteral("malformed keyed archive: "));
    }
    if (error)
        *error = why;
    return {};
}
