#include "QMMountTable.h"

#include "QMFormatRules.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

QString QMMountTable::ramDiskFileSystemType(const QString &deviceNode)
{
    return isMemoryInstanceName(deviceNode) ? QStringLiteral("tmpfs") : QStringLiteral("ext4");
}

bool QMMountTable::isMemoryInstanceName(const QString &deviceNode)
{
    const QLatin1String prefix(QMFormatRules::kMemoryInstancePrefix);
    if (!deviceNode.startsWith(prefix) || deviceNode.size() == prefix.size())
        return false;
    for (const QChar c : deviceNode.mid(prefix.size()))
        if (!c.isDigit())
            return false;
    return true;
}

bool QMMountTable::isRamDiskVolume(const QMMountEntry &entry)
{
    if (entry.fsType != ramDiskFileSystemType(entry.device))
        return false;
    return entry.fsType == QLatin1String("ext4")
        || !entry.mountPoint.startsWith(QLatin1String(QMFormatRules::kMemoryInstancePlace) + QLatin1Char('/'));
}

QString QMMountTable::decodeField(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size()) {
            const char a = field.at(i + 1), b = field.at(i + 2), d = field.at(i + 3);
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && d >= '0' && d <= '7') {
                out.append(static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (d - '0')));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return QFile::decodeName(out);
}

QList<QMMountEntry> QMMountTable::parseMountInfo(const QByteArray &text)
{
    // id parent major:minor root mount-point options [optional fields...] - type source super-options
    QList<QMMountEntry> entries;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 10)
            continue;
        qsizetype dash = -1;
        for (qsizetype i = 6; i < fields.size(); ++i) {
            if (fields.at(i) == "-") {
                dash = i;
                break;
            }
        }
        if (dash < 0 || dash + 2 >= fields.size())
            continue;
        QMMountEntry entry;
        entry.mountPoint = decodeField(fields.at(4));
        entry.fsType = decodeField(fields.at(dash + 1));
        entry.device = decodeField(fields.at(dash + 2));
        entries.append(entry);
    }
    return entries;
}

std::optional<QList<QMMountEntry>> QMMountTable::entries(int *errnum)
{
    // Read with plain system calls: /proc files report a size of 0, and errno must survive.
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errnum)
            *errnum = errno;
        return std::nullopt;
    }
    QByteArray text;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int e = errno;
            ::close(fd);
            if (errnum)
                *errnum = e;
            return std::nullopt;
        }
    }
    ::close(fd);
    return parseMountInfo(text);
}
