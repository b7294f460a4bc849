#include "QMPropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QVariantList>
#include <QVariantMap>

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

namespace {

// Tool output and device descriptions are shallow; anything deeper is not one of them.
constexpr int kMaxDepth = 64;

// libplist's own XML and binary readers recurse per nesting level; refuse before parsing
// what could exhaust the stack there.
bool nestingIsSane(const QByteArray &data)
{
    if (plist_is_binary(data.constData(), static_cast<uint32_t>(data.size())))
        return true; // the binary reader keeps its own bounded stack of offsets
    int depth = 0;
    for (qsizetype i = 0; i + 1 < data.size(); ++i) {
        if (data.at(i) != '<')
            continue;
        const char next = data.at(i + 1);
        if (next == '/' ) {
            if (depth > 0)
                --depth;
        } else if (next != '?' && next != '!') {
            // An element is opened; an empty one (<x/>) closes again at its end.
            qsizetype end = data.indexOf('>', i + 1);
            if (end < 0)
                break;
            if (data.at(end - 1) != '/' && ++depth > kMaxDepth * 2)
                return false;
            i = end;
        }
    }
    return true;
}

struct PlistDeleter
{
    void operator()(void *p) const { plist_free(static_cast<plist_t>(p)); }
};

QString takeString(char *s)
{
    const QString text = s ? QString::fromUtf8(s) : QString();
    std::free(s);
    return text;
}

std::optional<QVariant> convert(plist_t node, int depth)
{
    if (!node || depth > kMaxDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it)
            return map;
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                std::free(key);
                break;
            }
            const QString k = takeString(key);
            auto v = convert(value, depth + 1);
            if (!v) {
                std::free(it);
                return std::nullopt;
            }
            map.insert(k, *v);
        }
        std::free(it);
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            auto v = convert(plist_array_get_item(node, i), depth + 1);
            if (!v)
                return std::nullopt;
            list.append(*v);
        }
        return list;
    }
    case PLIST_STRING: {
        char *s = nullptr;
        plist_get_string_val(node, &s);
        return QVariant(takeString(s));
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return QVariant(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u <= static_cast<uint64_t>(std::numeric_limits<qint64>::max()))
            return QVariant(static_cast<qint64>(u));
        return QVariant(static_cast<quint64>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return QVariant(d);
    }
    case PLIST_DATA: {
        char *bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        QByteArray data(bytes, static_cast<qsizetype>(bytes ? length : 0));
        std::free(bytes);
        return QVariant(data);
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // Property-list dates count from 2001-01-01.
        const qint64 ms = (static_cast<qint64>(sec) + 978307200LL) * 1000 + usec / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return QVariant(static_cast<quint64>(u));
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<QVariant> QMPropertyList::fromData(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > std::numeric_limits<int32_t>::max() || !nestingIsSane(data))
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(data.constData(), static_cast<uint32_t>(data.size()), &root);
    if (!root)
        return std::nullopt;
    std::unique_ptr<void, PlistDeleter> guard(root);
    return convert(root, 0);
}

std::optional<QVariant> QMPropertyList::fromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return fromData(file.readAll());
}
