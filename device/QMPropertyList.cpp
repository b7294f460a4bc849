#include "QMPropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QVariantList>
#include <QVariantMap>

#include <plist/plist.h>

#include <cctype>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

// Tool output and device descriptions are shallow; anything deeper is not one of them.
constexpr int kMaxDepth = 64;

// libplist's XML reader recurses per nesting level; refuse before parsing what could
// exhaust the stack there.
bool nestingIsSane(const QByteArray &xml)
{
    int depth = 0;
    for (qsizetype i = 0; i + 1 < xml.size(); ++i) {
        if (xml.at(i) != '<')
            continue;
        const char next = xml.at(i + 1);
        if (next == '/') {
            if (depth > 0)
                --depth;
        } else if (next != '?' && next != '!') {
            // An element is opened; an empty one (<x/>) closes again at its end.
            const qsizetype end = xml.indexOf('>', i + 1);
            if (end < 0)
                break;
            if (xml.at(end - 1) != '/' && ++depth > kMaxDepth * 2)
                return false;
            i = end;
        }
    }
    return true;
}

// libplist asserts (and so aborts the process) when a key or string holds a zero byte;
// no list we read has one, so such input is refused before it reaches the reader.
bool hasZeroCharacter(const QByteArray &xml)
{
    if (xml.contains('\0'))
        return true;
    for (qsizetype i = xml.indexOf("&#"); i >= 0; i = xml.indexOf("&#", i + 2)) {
        qsizetype j = i + 2;
        const bool hex = j < xml.size() && (xml.at(j) == 'x' || xml.at(j) == 'X');
        if (hex)
            ++j;
        // A reference without digits, or whose digits are all zeros, may read as character 0.
        bool nonZero = false;
        for (; j < xml.size(); ++j) {
            const auto c = static_cast<unsigned char>(xml.at(j));
            if (!(hex ? std::isxdigit(c) : std::isdigit(c)))
                break;
            nonZero = nonZero || c != '0';
        }
        if (!nonZero)
            return true;
    }
    return false;
}

// The XML text of a list: binary lists are read once and written out as XML, so that
// both forms pass the same checks.
std::optional<QByteArray> xmlOf(const QByteArray &data)
{
    if (!plist_is_binary(data.constData(), static_cast<uint32_t>(data.size())))
        return data;
    plist_t root = nullptr;
    plist_from_bin(data.constData(), static_cast<uint32_t>(data.size()), &root);
    if (!root)
        return std::nullopt;
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    plist_free(root);
    if (!xml)
        return std::nullopt;
    QByteArray text(xml, static_cast<qsizetype>(length));
    plist_to_xml_free(xml);
    return text;
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
        uint64_t length = 0;
        const char *s = plist_get_string_ptr(node, &length);
        return QVariant(s ? QString::fromUtf8(s, static_cast<qsizetype>(length)) : QString());
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

std::optional<QByteArray> QMPropertyList::readableXml(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    const auto xml = xmlOf(data);
    if (!xml || xml->isEmpty() || hasZeroCharacter(*xml) || !nestingIsSane(*xml))
        return std::nullopt;
    return xml;
}

std::optional<QVariant> QMPropertyList::fromData(const QByteArray &data)
{
    const auto xml = readableXml(data);
    if (!xml)
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_xml(xml->constData(), static_cast<uint32_t>(xml->size()), &root);
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
