#include "QMPropertyListSerialization.h"

#include "QMPropertyList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <plist/plist.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <limits>
#include <memory>

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr qint64 kAppleEpochOffset = 978307200;

struct PlistFree
{
    void operator()(plist_t node) const
    {
        if (node)
            plist_free(node);
    }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

QVariant variantFromNode(plist_t node, int depth)
{
    // Deeper nesting than any file of ours holds is refused rather than recursed into.
    if (!node || depth > 512)
        return {};
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return QVariant(v != 0);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        // libplist keeps signed values in two's complement.
        return QVariant(static_cast<qint64>(v));
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return QVariant(v);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *ptr = plist_get_string_ptr(node, &length);
        return QVariant(QString::fromUtf8(ptr ? ptr : "", static_cast<qsizetype>(length)));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *ptr = plist_get_data_ptr(node, &length);
        return QVariant(QByteArray(ptr ? ptr : "", static_cast<qsizetype>(length)));
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (static_cast<qint64>(sec) + kAppleEpochOffset) * 1000 + usec / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return QVariant::fromValue(QMPropertyListSerialization::Uid{v});
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            QVariant v = variantFromNode(plist_array_get_item(node, i), depth + 1);
            if (!v.isValid())
                return {};
            list.append(v);
        }
        return list;
    }
    case PLIST_DICT: {
        // XML has no UID element: it writes {"CF$UID": n} instead.
        if (plist_dict_get_size(node) == 1) {
            plist_t uid = plist_dict_get_item(node, "CF$UID");
            if (uid && plist_get_node_type(uid) == PLIST_UINT) {
                uint64_t v = 0;
                plist_get_uint_val(uid, &v);
                return QVariant::fromValue(QMPropertyListSerialization::Uid{v});
            }
        }
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!key)
                break;
            const QString k = QString::fromUtf8(key);
            free(key);
            QVariant v = variantFromNode(value, depth + 1);
            if (!v.isValid()) {
                free(it);
                return {};
            }
            map.insert(k, v);
        }
        free(it);
        return map;
    }
    default:
        return {};
    }
}

plist_t nodeFromVariant(const QVariant &value, QString *error)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return plist_new_uint(static_cast<uint64_t>(value.toULongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QString:
        return plist_new_string(value.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - kAppleEpochOffset * 1000;
        qint64 sec = ms / 1000;
        qint64 rem = ms % 1000;
        if (rem < 0) {
            rem += 1000;
            --sec;
        }
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max()) {
            if (error)
                *error = QStringLiteral("date out of range");
            return nullptr;
        }
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(rem * 1000));
    }
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        for (const QString &s : value.toStringList())
            plist_array_append_item(array, plist_new_string(s.toUtf8().constData()));
        return array;
    }
    case QMetaType::QVariantList: {
        PlistPtr array(plist_new_array());
        for (const QVariant &item : value.toList()) {
            plist_t child = nodeFromVariant(item, error);
            if (!child)
                return nullptr;
            plist_array_append_item(array.get(), child);
        }
        return array.release();
    }
    case QMetaType::QVariantMap: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            plist_t child = nodeFromVariant(it.value(), error);
            if (!child)
                return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), child);
        }
        return dict.release();
    }
    default:
        if (value.metaType() == QMetaType::fromType<QMPropertyListSerialization::Uid>())
            return plist_new_uid(value.value<QMPropertyListSerialization::Uid>().value);
        if (error)
            *error = QStringLiteral("no property-list form for a value of type %1")
                         .arg(QString::fromLatin1(value.metaType().name() ? value.metaType().name() : "invalid"));
        return nullptr;
    }
}

// libplist parses and frees recursively, one stack frame per nesting level: data nested
// deeper than anything we write is refused before it can exhaust the stack.
constexpr int kMaxXmlDepth = 512;
constexpr quint64 kMaxBinaryContainers = 10000;

quint64 readBigEndian(const char *p, int size)
{
    quint64 v = 0;
    for (int i = 0; i < size; ++i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

bool nestingIsSane(const QByteArray &data)
{
    if (data.startsWith("bplist00")) {
        // In a binary list nesting is bounded by the number of containers it holds.
        if (data.size() < 8 + 32)
            return true; // too short to parse at all: libplist refuses it
        const char *trailer = data.constData() + data.size() - 32;
        const int offsetSize = static_cast<unsigned char>(trailer[6]);
        const quint64 count = readBigEndian(trailer + 8, 8);
        const quint64 tableOffset = readBigEndian(trailer + 24, 8);
        const auto size = static_cast<quint64>(data.size());
        if (offsetSize < 1 || offsetSize > 8 || tableOffset >= size || count > (size - tableOffset) / offsetSize)
            return true; // malformed: libplist refuses it
        quint64 containers = 0;
        for (quint64 i = 0; i < count; ++i) {
            const quint64 offset = readBigEndian(data.constData() + tableOffset + i * offsetSize, offsetSize);
            if (offset >= size)
                continue;
            const int kind = static_cast<unsigned char>(data.at(static_cast<qsizetype>(offset))) >> 4;
            if ((kind == 0xA || kind == 0xB || kind == 0xC || kind == 0xD) && ++containers > kMaxBinaryContainers)
                return false;
        }
        return true;
    }
    int depth = 0;
    const char *p = data.constData();
    const char *end = p + data.size();
    while ((p = static_cast<const char *>(memchr(p, '<', static_cast<size_t>(end - p))))) {
        const char *close = static_cast<const char *>(memchr(p, '>', static_cast<size_t>(end - p)));
        if (!close)
            break;
        const bool selfClosing = close[-1] == '/';
        if (p + 1 < end && p[1] == '/') {
            if (depth > 0)
                --depth;
        } else if (!selfClosing && p + 1 < end && p[1] != '?' && p[1] != '!') {
            const QByteArrayView tag(p + 1, close - p - 1);
            if ((tag.startsWith("dict") || tag.startsWith("array")) && ++depth > kMaxXmlDepth)
                return false;
        }
        p = close + 1;
    }
    return true;
}

} // namespace

QVariant QMPropertyListSerialization::fromData(const QByteArray &data)
{
    if (data.isEmpty() || data.size() > std::numeric_limits<int32_t>::max() || !nestingIsSane(data))
        return {};
    // Only what libplist reads back without aborting; binary lists arrive as XML, where
    // UIDs are {"CF$UID": n} dictionaries.
    const auto xml = QMPropertyList::readableXml(data);
    if (!xml)
        return {};
    plist_t root = nullptr;
    plist_from_xml(xml->constData(), static_cast<uint32_t>(xml->size()), &root);
    PlistPtr owner(root);
    return variantFromNode(root, 0);
}

QByteArray QMPropertyListSerialization::toData(const QVariant &value, Format format, QString *error)
{
    PlistPtr root(nodeFromVariant(value, error));
    if (!root)
        return {};
    char *buffer = nullptr;
    uint32_t length = 0;
    QByteArray out;
    if (format == Format::Xml) {
        plist_to_xml(root.get(), &buffer, &length);
        if (buffer)
            out = QByteArray(buffer, static_cast<qsizetype>(length));
        plist_to_xml_free(buffer);
    } else {
        plist_to_bin(root.get(), &buffer, &length);
        if (buffer)
            out = QByteArray(buffer, static_cast<qsizetype>(length));
        plist_to_bin_free(buffer);
    }
    if (out.isEmpty() && error)
        *error = QStringLiteral("serialisation failed");
    return out;
}

QMPropertyListSerialization::ReadStatus QMPropertyListSerialization::readFile(const QString &path, QByteArray *contents,
                                                                             QString *error, qint64 maximumSize)
{
    auto failed = [error](ReadStatus status, const QString &why) {
        if (error)
            *error = why;
        return status;
    };
    // errno of the open itself tells a missing file from one we may not read; asking
    // afterwards would race with a writer creating it meanwhile. O_NONBLOCK: opening a
    // FIFO must not wait for a writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (code == ENOENT || code == ENOTDIR)
            return failed(ReadStatus::Missing, QString::fromLocal8Bit(strerror(code)));
        if (code == ELOOP)
            return failed(ReadStatus::NotARegularFile, QStringLiteral("it is a symbolic link"));
        return failed(ReadStatus::Unreadable, QString::fromLocal8Bit(strerror(code)));
    }
    struct FdCloser
    {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return failed(ReadStatus::Unreadable, QString::fromLocal8Bit(strerror(errno)));
    if (!S_ISREG(st.st_mode))
        return failed(ReadStatus::NotARegularFile, S_ISDIR(st.st_mode) ? QStringLiteral("it is a directory")
                                                                       : QStringLiteral("it is not a regular file"));
    if (st.st_size > maximumSize)
        return failed(ReadStatus::TooLarge, QStringLiteral("it is too large (%1 bytes)").arg(st.st_size));

    // Read up to one byte past the limit: a file that grows meanwhile is refused as well.
    QByteArray data;
    data.resize(static_cast<qsizetype>(st.st_size) + 1);
    qsizetype filled = 0;
    for (;;) {
        if (filled == data.size()) {
            if (filled > maximumSize)
                return failed(ReadStatus::TooLarge, QStringLiteral("it is too large (more than %1 bytes)").arg(maximumSize));
            data.resize(qMin<qsizetype>(data.size() * 2, maximumSize + 1));
        }
        const ssize_t n = ::read(fd, data.data() + filled, static_cast<size_t>(data.size() - filled));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failed(ReadStatus::Unreadable, QString::fromLocal8Bit(strerror(errno)));
        }
        if (n == 0)
            break;
        filled += n;
    }
    data.resize(filled);
    if (contents)
        *contents = data;
    return ReadStatus::Ok;
}

QMPropertyListSerialization::ReadStatus QMPropertyListSerialization::readDictionary(const QString &path, QVariantMap *dictionary,
                                                          QString *error)
{
    QByteArray data;
    const ReadStatus status = readFile(path, &data, error);
    if (status != ReadStatus::Ok)
        return status;
    const QVariant value = fromData(data);
    if (!value.isValid()) {
        if (error)
            *error = QStringLiteral("not a property list");
        return ReadStatus::NotAPropertyList;
    }
    if (value.typeId() != QMetaType::QVariantMap) {
        if (error)
            *error = QStringLiteral("the root is not a dictionary");
        return ReadStatus::NotADictionary;
    }
    if (dictionary)
        *dictionary = value.toMap();
    return ReadStatus::Ok;
}

bool QMPropertyListSerialization::writeFileAtomically(const QString &path, const QVariant &value, Format format, QString *error)
{
    const QByteArray data = toData(value, format, error);
    if (data.isEmpty())
        return false;
    return writeDataAtomically(path, data, error);
}

bool QMPropertyListSerialization::writeDataAtomically(const QString &path, const QByteArray &data, QString *error)
{
    auto failed = [error](const QString &what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(errno)));
        return false;
    };
    const QByteArray target = QFile::encodeName(path);
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray directory = slash > 0 ? target.left(slash) : slash == 0 ? QByteArray("/") : QByteArray(".");
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0)
        return failed(QStringLiteral("cannot create a file beside %1").arg(path));
    bool ok = true;
    for (qsizetype written = 0; ok && written < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + written, static_cast<size_t>(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        written += n > 0 ? n : 0;
    }
    if (!ok || ::fsync(fd) != 0) {
        failed(QStringLiteral("cannot write %1").arg(QFile::decodeName(temporary)));
        ::close(fd);
        ::unlink(temporary.constData());
        return false;
    }
    ::close(fd);
    if (::rename(temporary.constData(), target.constData()) != 0) {
        failed(QStringLiteral("cannot replace %1").arg(path));
        ::unlink(temporary.constData());
        return false;
    }
    // The rename itself is only durable once the directory is.
    const int dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0) {
        const bool result = failed(QStringLiteral("cannot flush the directory of %1").arg(path));
        if (dirFd >= 0)
            ::close(dirFd);
        return result;
    }
    ::close(dirFd);
    return true;
}
